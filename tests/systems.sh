#!/usr/bin/env bash
# systems.sh BUILD_DIR...: install and run each build's packages where users
# run them, from the package files and from the signed repositories that
# make repo wrote in build/repo, all side by side, the network cut off.
#
# First the repositories: every signature verifies with the project's key,
# and each holds what its release can run.
#
# Then make release, with throwaway keys, into a tree of its own, checked
# by make verify after every step: refused without a key, with a key that
# is not a secret one, expired or expiring within 30 days, whose signing
# subkey expires so, or that needs a passphrase no one can give; the first
# under umask 077, all 0755 and 0644; the same again changes nothing;
# another key refused; through make, a REPO with spaces, quotes, $(…) and
# backquotes; a tree tampered with (a pool .deb replaced, a foreign .deb, an
# altered .rpm, an unnamed package at the top) refused, naming the file,
# and left as it was; a revision bump killed while writing, the tree as it
# was, then published, every earlier file byte for byte; the bump spelt
# otherwise refused; three releases at once, the newer published and the
# older and the same version with other bytes refused; then a rotation to
# another key; a web server's files kept throughout. The keyring and
# release packages are clean by lintian and rpmlint, and reproducible.
#
# Then a real Debian system of every release in generations.txt: a minimal
# root made once by mmdebstrap and kept as a tarball under build/debian,
# unpacked afresh and entered with chroot. In each:
#
#   - every generation whose floor the release's glibc meets installs with
#     apt-get from its .deb, the older first, so the later installs switch
#     from one generation to the next; each installed command runs exactly,
#     with and without arguments, started by the release's own loader, and
#     its man page renders without warnings;
#   - every other generation is refused, by apt naming libc6 (>= floor) and
#     by dpkg -i, and what was installed still runs;
#   - purging the packages leaves the same files as before;
#   - from the apt repository, signed by another key, apt refuses it; signed
#     by the project's, apt-get install libcwork installs the newest
#     generation the release can run, which runs; purged, the same files;
#   - from the tree make release wrote, lists fetched before its second
#     release still install the first; apt-get upgrade takes it to the
#     second, and apt-get install PACKAGE=FIRST back; an InRelease read
#     before a switch and the rest after it still installs; apt holding either
#     key takes the release signed by both, and the next the one after;
#     the keyring package's source and key install libcwork;
#   - each .tar.gz that can run here runs unpacked under /opt.
#
# Then an rpm root for every glibc runtime in the table: that runtime's
# loader and libc packaged by rpmbuild (rpm's own generator says what they
# provide), installed with dnf. There dnf install libcwork, every signature
# check on, from the repository of the newest RHEL release whose glibc the
# root's meets, installs the newest generation it can run, which runs; from
# a repository holding a generation it cannot run, dnf refuses it, naming
# the glibc version; dnf remove leaves the same files. From the tree make
# release wrote, dnf lists both versions, upgrades and downgrades; the
# release package of a rotation brings both keys, through which dnf
# installs libcwork, and upgrades after the switch to the next key.
export LIBCWORK_FACTS=$1/facts.sh TEST_NAME=systems
. "$(dirname "$0")/lib.sh"
repo=$source_dir/build/repo
[ -f "$repo/libcwork.gpg" ] || fail "no repositories in $repo: make repo"

[ "$(id -u)" = 0 ] || { [ "${CI:-}" != true ] || fail "needs root"; echo "SKIP: needs root for chroot"; exit 77; }
for release in $releases; do
    [ -f "$debian_dir/$release-system.tar" ] || needs_tool mmdebstrap
done
needs_tool apt-ftparchive

# The builds, oldest floor first: the order to install and switch in.
builds=()
for gen in $generations; do builds+=("${build_dir%/*}/$gen"); done

# in_tree TREE: the builds of a checkout TREE, as this one's are laid out;
# newest_in TREE: its build of the newest generation.
in_tree() {
    local build
    for build in "${builds[@]}"; do echo "$1/build/${build##*/}"; done
}
newest_in() { in_tree "$1" | tail -n 1; }

# fits_of SYSTEM: the packages a release, runtime or RHEL release runs,
# oldest floor first; newest_for SYSTEM, the last of them; packages_for
# SYSTEM, all of them sorted by name on one line; fits SYSTEM: true if it
# runs $package.
fits_of() { local var=fits_${1//-/_}; echo "${!var}"; }
newest_for() { fits_of "$1" | xargs -n 1 | tail -n 1; }
packages_for() { fits_of "$1" | xargs -n 1 | sort | xargs; }
fits() { [[ " $(fits_of "$1") " == *" $package "* ]]; }

# A key that is not the project's: told to verify the repository with it,
# apt must refuse the repository.
mkdir -m 700 "$work/other-key"
GNUPGHOME=$work/other-key gpg --batch --quiet --passphrase '' \
    --quick-gen-key "not libcwork <other@example.org>" ed25519 sign never 2>/dev/null
GNUPGHOME=$work/other-key gpg --batch --export >"$work/other.gpg"
GNUPGHOME=$work/other-key gpgconf --kill gpg-agent

# in_root COMMAND...: run a command in the system, offline, in a clean
# environment.
in_root() {
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
        unshare -n chroot "$root" "$@"
}

# served_in_root DIR COMMAND...: a command in the system, offline but for
# DIR, served over http at http://127.0.0.1:8080/ on the loopback of a
# network of its own, as a client reaches a published tree.
served_in_root() {
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
        unshare -n bash -c 'ip link set lo up && cd "$1" || exit
            python3 -m http.server --bind 127.0.0.1 8080 >/dev/null 2>&1 & server=$!
            for i in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/8080) 2>/dev/null && break; sleep 0.05; done
            chroot "$2" "${@:3}"; status=$?
            kill $server; exit $status' - "$1" "$root" "${@:2}"
}

apt_install() {
    in_root apt-get install -y -q -o Dpkg::Use-Pty=0 "$@"
}

# The system's files, less the caches, logs and package lists that every apt
# or dnf run rewrites (the dpkg database is kept, the rpm one not: dnf keeps
# the key it imports there).
files() {
    (cd "$root" && find . -xdev \( -path ./tmp -o -path ./var/cache -o -path ./var/log \
        -o -path ./var/lib/apt -o -path ./var/lib/dnf -o -path ./var/lib/rpm \
        -o -path ./usr/lib/sysimage \) -prune -o -print | sort)
}

# expect_commands_run PACKAGE_ROOT: every program, installed under
# PACKAGE_ROOT in the system, prints exactly its output.
expect_commands_run() {
    local p
    for p in $programs; do
        for args in "" "one --two"; do
            # shellcheck disable=SC2086
            in_root "$1/$p" $args </dev/null >"$out" 2>"$err"
            status=$?
            name=$p expected_out=$source_dir/$p/expected.out expect_output
        done
    done
}

# apt_source KEY: the repository, verified with KEY.gpg, as apt's source.
apt_source() {
    echo "deb [signed-by=/srv/libcwork/$1.gpg] file:/srv/libcwork/apt $release main" \
        >"$root/etc/apt/sources.list.d/libcwork.list"
}

# apt_update: apt-get update of that source alone, as the system's own
# sources cannot be reached offline.
apt_update() {
    in_root apt-get update -q --error-on=any -o Dir::Etc::SourceParts=- \
        -o Dir::Etc::SourceList=/etc/apt/sources.list.d/libcwork.list
}

# expect_purged: purging every libcwork package leaves the files as they
# were before any was installed.
expect_purged() {
    in_root apt-get purge -y -q 'libcwork*' >"$out" 2>&1 || fail "purge failed:"$'\n'"$(cat "$out")"
    files >"$work/$release.after"
    diff "$work/$release.before" "$work/$release.after" >"$out" ||
        fail "purging left the system changed:"$'\n'"$(cat "$out")"
}

expect_manuals_render() {
    local p
    for p in $programs; do
        in_root man --warnings "$p" >"$out" 2>"$err" || fail "man $p failed: $(cat "$err")"
        [ ! -s "$err" ] || fail "man $p warns:"$'\n'"$(cat "$err")"
        grep -q "$p" "$out" || fail "man $p shows no page"
    done
}

check_release() {
    local release=$1 glibc installed="" build
    TEST_NAME="systems/$release"
    root=$work/$release
    glibc=$(glibc_of "$release")

    "$source_dir/scripts/debfetch.sh" --system "$release" "$debian_dir/$release-system.tar" man-db ||
        fail "could not make the system"
    mkdir "$root" && tar -xf "$debian_dir/$release-system.tar" -C "$root" || fail "could not unpack the system"
    in_root /lib/x86_64-linux-gnu/libc.so.6 | grep -q "release version $glibc\." ||
        fail "the system's glibc is not $glibc"
    files >"$work/$release.before"

    for build in "${builds[@]}"; do
        . "$build/facts.sh"
        cp "$packages_dir/$deb" "$packages_dir/$tgz" "$root/tmp/"
        if fits "$release"; then
            apt_install "./tmp/$deb" >"$out" 2>&1 || fail "apt-get install $deb:"$'\n'"$(cat "$out")"
            expect_commands_run /usr/bin
            expect_manuals_render
            echo "$release: $package installs${installed:+ over $installed} and runs"
            installed=$package
        else
            ! apt_install "./tmp/$deb" >"$out" 2>&1 || fail "apt installed $deb on glibc $glibc"
            grep -qF "libc6 (>= $floor)" "$out" || fail "apt refused $deb for another reason:"$'\n'"$(cat "$out")"
            ! in_root dpkg -i "/tmp/$deb" >"$out" 2>&1 || fail "dpkg installed $deb on glibc $glibc"
            if [ -n "$installed" ]; then
                in_root dpkg-query -W -f '${Status}' "$installed" | grep -qx 'install ok installed' ||
                    fail "refusing $package broke $installed"
                expect_commands_run /usr/bin
            fi
            echo "$release: $package refused by apt and dpkg${installed:+, $installed still runs}"
        fi
    done

    expect_purged
    echo "$release: purged, as it was"

    # From the repository: apt refuses it when it must be verified with
    # another key, and takes it with the project's.
    mkdir "$root/srv/libcwork"
    cp -r "$repo/apt" "$repo/libcwork.gpg" "$work/other.gpg" "$root/srv/libcwork/"
    apt_source other
    ! apt_update >"$out" 2>&1 || fail "apt took the repository under another key"
    grep -q "is not signed" "$out" || fail "apt refused the repository for another reason:"$'\n'"$(cat "$out")"
    echo "$release: the repository, verified with another key: refused by apt"
    apt_source libcwork
    apt_update >"$out" 2>&1 || fail "apt-get update from the repository:"$'\n'"$(cat "$out")"
    expect="$(newest_for "$release")"
    in_root apt-get install -y -q -o Dpkg::Use-Pty=0 libcwork >"$out" 2>&1 ||
        fail "apt-get install libcwork from the repository:"$'\n'"$(cat "$out")"
    got=$(in_root dpkg-query -W -f '${db:Status-Abbrev}${Package}\n' 'libcwork*' | awk '$1 == "ii" { print $2 }')
    [ "$got" = "$expect" ] || fail "apt-get install libcwork installed '$got', not $expect"
    expect_commands_run /usr/bin
    echo "$release: apt-get install libcwork, from the repository, installs $got, which runs"
    rm -r "$root/srv/libcwork" "$root/etc/apt/sources.list.d/libcwork.list"
    expect_purged
    echo "$release: purged, as it was"

    # The published tree over two releases: lists fetched before the second
    # still install what they name; then upgrade, and back.
    cp -r "$work/published-first" "$root/srv/libcwork"
    echo "deb [signed-by=/srv/libcwork/libcwork.gpg] file:/srv/libcwork/apt $release main" \
        >"$root/etc/apt/sources.list.d/libcwork.list"
    apt_update >"$out" 2>&1 || fail "apt-get update from the first release:"$'\n'"$(cat "$out")"
    rm -r "$root/srv/libcwork" && cp -r "$work/published-second" "$root/srv/libcwork"
    for step in "install libcwork" "$first" update "upgrade" "$second" "install --allow-downgrades $expect=$first" "$first"; do
        case $step in
        update) apt_update >"$out" 2>&1 ;;
        [0-9]*) got=$(in_root dpkg-query -W -f '${Version}' "$expect")
            [ "$got" = "$step" ] || fail "$expect is at '$got', not $step:"$'\n'"$(cat "$out")"
            continue ;;
        *) in_root apt-get $step -y -q -o Dpkg::Use-Pty=0 >"$out" 2>&1 ;;
        esac || fail "apt-get $step:"$'\n'"$(cat "$out")"
    done
    expect_commands_run /usr/bin
    echo "$release: from the published tree, lists older than its second release install $expect $first;" \
        "apt-get upgrade takes it to $second, and back"
    rm -r "$root/srv/libcwork" "$root/etc/apt/sources.list.d/libcwork.list"
    expect_purged

    # A client, over http, that reads the InRelease before a release's
    # switch and the rest after it still gets the Packages its InRelease
    # names (by hash), and installs what they name.
    cp -r "$work/published-second" "$work/across-$release"
    cp "$work/published-bump/apt/dists/$release/InRelease" "$work/across-$release/apt/dists/$release/"
    mkdir "$root/srv/libcwork" && cp "$work/published-second/libcwork.gpg" "$root/srv/libcwork/"
    echo "deb [signed-by=/srv/libcwork/libcwork.gpg] http://127.0.0.1:8080/apt $release main" \
        >"$root/etc/apt/sources.list.d/libcwork.list"
    served_in_root "$work/across-$release" sh -c 'apt-get update -q --error-on=any -o Dir::Etc::SourceParts=- \
        -o Dir::Etc::SourceList=/etc/apt/sources.list.d/libcwork.list &&
        apt-get install -y -q -o Dpkg::Use-Pty=0 libcwork' >"$out" 2>&1 &&
        [ "$(in_root dpkg-query -W -f '${Version}' "$expect")" = "$bump" ] ||
        fail "apt across the switch:"$'\n'"$(cat "$out")"
    echo "$release: over http, an InRelease read before a release's switch and the rest after it: apt installs $expect $bump"

    # A rotation: holding the old key alone or the next alone, apt takes
    # the release signed by both, with no warning; then the next alone
    # takes the release that ends it, and the old alone no longer does.
    for tree in published-rotating published; do
        rm -r "$root/srv/libcwork" && cp -r "$work/$tree" "$root/srv/libcwork"
        cp "$work/old.gpg" "$work/next.gpg" "$root/srv/libcwork/"
        for k in old next; do
            echo "deb [signed-by=/srv/libcwork/$k.gpg] file:/srv/libcwork/apt $release main" \
                >"$root/etc/apt/sources.list.d/libcwork.list"
            if [ $tree = published ] && [ $k = old ]; then
                ! apt_update >"$out" 2>&1 || fail "apt took the release signed by the next key alone with the old"
            else
                apt_update >"$out" 2>&1 && ! grep -q '^W:' "$out" ||
                    fail "apt, holding the $k key alone, did not take $tree cleanly:"$'\n'"$(cat "$out")"
            fi
        done
    done
    in_root apt-get upgrade -y -q -o Dpkg::Use-Pty=0 >"$out" 2>&1 &&
        [ "$(in_root dpkg-query -W -f '${Version}' "$expect")" = "$fourth" ] ||
        fail "apt-get upgrade after the rotation:"$'\n'"$(cat "$out")"
    echo "$release: a rotation: the release signed by both keys is taken with either alone, without a warning;" \
        "the next alone takes the one that ends it, and upgrades to $fourth"
    rm -r "$root/srv/libcwork" "$root/etc/apt/sources.list.d/libcwork.list"
    expect_purged

    # The keyring package, installed from its file: its source and key
    # alone bring libcwork; purged, it leaves nothing.
    cp -r "$work/published" "$root/srv/libcwork"
    apt_install "/srv/libcwork/libcwork-archive-keyring-$release.deb" >"$out" 2>&1 ||
        fail "apt-get install of the keyring package:"$'\n'"$(cat "$out")"
    mkdir "$root/tmp/parts" && cp "$root/etc/apt/sources.list.d/libcwork.sources" "$root/tmp/parts/"
    in_root apt-get update -q --error-on=any -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts=/tmp/parts \
        >"$out" 2>&1 && ! grep -q '^W:' "$out" || fail "apt-get update from the keyring package's source:"$'\n'"$(cat "$out")"
    in_root apt-get install -y -q -o Dpkg::Use-Pty=0 libcwork >"$out" 2>&1 &&
        [ "$(in_root dpkg-query -W -f '${Version}' "$expect")" = "$fourth" ] ||
        fail "apt-get install libcwork through the keyring package:"$'\n'"$(cat "$out")"
    echo "$release: the keyring package's source and key bring $expect $fourth"
    rm -r "$root/srv/libcwork" "$root/tmp/parts"
    expect_purged

    for build in "${builds[@]}"; do
        . "$build/facts.sh"
        fits "$release" || continue
        tar -xzf "$root/tmp/$tgz" -C "$root/opt" || fail "could not unpack $tgz"
        expect_commands_run "/opt/${tgz%.tar.gz}/bin"
        echo "$release: $tgz runs from /opt"
    done
}

# dnf_in ROOT RHEL|"" ARG...: dnf on the root, offline, with no repository
# but that RHEL release's of ours (in $dnf_repo, by default make repo's),
# if named, with every signature check on.
dnf_in() {
    local dnf_repo=${dnf_repo:-$work/repo}
    local root=$1 name=$2 number=7 opts=()
    shift 2
    if [ -n "$name" ]; then
        number=number_$name
        number=${!number}
        opts=(--repofrompath="libcwork,file://$dnf_repo/rpm/$name" --repo=libcwork
            --setopt=libcwork.gpgcheck=1 --setopt=libcwork.repo_gpgcheck=1
            --setopt=libcwork.gpgkey="file://$dnf_repo/libcwork.asc")
    fi
    unshare -n dnf --installroot="$root" --releasever="$number" --noplugins --assumeyes \
        --setopt=reposdir=/nonexistent --setopt=skip_if_unavailable=False ${opts[@]+"${opts[@]}"} "$@"
}

# Every signature and every file verifies with the project's key (make
# verify), and each repository holds what its release can run, besides the
# keyring and release packages.
check_repositories() {
    local release name got want
    TEST_NAME=systems/repositories
    cp -r "$repo" "$work/repo"
    "$source_dir/scripts/verify.sh" "$work/repo" >"$out" 2>&1 || fail "build/repo does not verify:"$'\n'"$(cat "$out")"
    echo "repository: $(sed 's/^verify: //' "$out")"
    for release in $releases; do
        got=$(awk '/^Package:/ && $2 !~ /^libcwork-archive-keyring/ { print $2 }' \
            "$work/repo/apt/dists/$release/main/binary-amd64/Packages" | sort | xargs)
        want=$(packages_for "$release")
        [ "$got" = "$want" ] || fail "apt dist $release holds '$got', not '$want'"
        echo "repository apt/dists/$release: signed, holds $got"
    done
    $rpm_roots || return 0
    for name in $rhels; do
        mkdir "$work/dnf-$name"
        dnf_in "$work/dnf-$name" "$name" --quiet list --available >"$out" 2>&1 ||
            fail "dnf cannot read rpm/$name:"$'\n'"$(cat "$out")"
        got=$(awk '$1 ~ /^libcwork/ && $1 !~ /^libcwork-release/ { sub(/\.x86_64$/, "", $1); print $1 }' "$out" | sort | xargs)
        want=$(packages_for "$name")
        [ "$got" = "$want" ] || fail "dnf lists '$got' in rpm/$name, not '$want'"
        echo "repository rpm/$name: dnf lists $got"
    done
}

# tree_at VERSION [TREE]: the tree as it is, in a git checkout of its own
# (by default $work/tree), at the version VERSION on top of its changelog
# (a release of its own when it is not the changelog's), and its packages.
tree_at() {
    local tree=${2:-$work/tree} trailer
    if [ ! -d "$tree" ]; then
        mkdir "$tree"
        [ -f "$work/tree.tar.gz" ] || "$source_dir/scripts/dist.sh" --working-tree "$work/tree.tar.gz" >/dev/null ||
            fail "could not copy the tree"
        tar -xzf "$work/tree.tar.gz" -C "$tree" --strip-components=1 || fail "could not copy the tree"
        git -C "$tree" init -q
    fi
    trailer=$(grep -m1 '^ -- ' "$source_dir/changelog")
    { head -n 1 "$source_dir/changelog" | grep -qF "($1)" ||
        printf '%s\n' "libcwork ($1) unstable; urgency=medium" "" "  * The next release." "" \
            "${trailer%>  *}>  $(LC_ALL=C date -u -R -d "${trailer#*>  } + 1 day")" ""
      cat "$source_dir/changelog"; } >"$tree/changelog"
    git -C "$tree" add -A && git -C "$tree" -c user.name=t -c user.email=t@example.org commit -qm "$1" ||
        fail "could not commit version $1"
    make -C "$tree" package >"$work/tree.log" 2>&1 || fail "could not build version $1:"$'\n'"$(tail -n 20 "$work/tree.log")"
}

# release_from TREE KEY: make release of TREE into $work/published, signed by KEY.
release_from() {
    local trees
    mapfile -t trees < <(in_tree "$1")
    LIBCWORK_SIGNING_KEY=$2 LIBCWORK_URL=file:/srv/libcwork "$source_dir/scripts/release.sh" "$work/published" "${trees[@]}"
}

# publish KEY: make release of $work/tree, its output in $out.
publish() {
    release_from "$work/tree" "$1" >"$out" 2>&1
}

# snapshot: every name, mode and byte of the published tree.
snapshot() {
    [ -d "$work/published" ] || { echo none; return; }
    (cd "$work/published" && find . -printf '%p %m\n' | sort && find . -type f -exec sha256sum {} + | sort)
}

# expect_verified KEY: make verify holds for the published tree, against KEY.
expect_verified() {
    FINGERPRINT=$1 "$source_dir/scripts/verify.sh" "$work/published" >"$err" 2>&1 ||
        fail "the published tree does not verify:"$'\n'"$(cat "$err")"
}

# expect_refused MESSAGE KEY [TREE]: refused, saying MESSAGE, with the
# published tree left as it was.
expect_refused() {
    local before
    before=$(snapshot)
    ! release_from "${3:-$work/tree}" "$2" >"$out" 2>&1 || fail "published, and it must be refused ('$1')"
    grep -qF -- "$1" "$out" || fail "refused for another reason than '$1':"$'\n'"$(cat "$out")"
    [ "$(grep -c '^release: ' "$out")" = 1 ] || fail "refused with more than one message:"$'\n'"$(cat "$out")"
    [ "$(snapshot)" = "$before" ] || fail "refused ('$1'), and yet the published tree changed"
    echo "release: refused, as it must be: $(head -n 1 "$out" | sed 's/^release: //')"
}

# tamper CASE: change the published tree as one who can write to the web
# server's copy would, replacing files, never writing into them; untamper
# puts it back.
tamper() {
    local p=$work/published deb rpm el=${rhels##* }
    deb=$(cd "$p" && ls libcwork_*.deb | head -n 1)
    rpm=$(cd "$p/rpm/$el" && ls libcwork-[0-9]*.rpm | head -n 1)
    mkdir -p "$work/saved"
    case $1 in
    pool-deb)
        # The same name, a postinst added.
        dpkg-deb -R "$p/apt/pool/$deb" "$work/evil" && printf '#!/bin/sh\necho owned\n' >"$work/evil/DEBIAN/postinst" &&
            chmod 755 "$work/evil/DEBIAN/postinst" && dpkg-deb -b "$work/evil" "$work/evil.deb" >/dev/null || fail "no evil .deb"
        rm -rf "$work/evil"
        for f in "apt/pool/$deb" "$deb"; do
            mv "$p/$f" "$work/saved/${f//\//%}" && cp "$work/evil.deb" "$p/$f"
        done
        echo "apt/pool/$deb" ;;
    foreign-deb) cp "$work/evil.deb" "$p/apt/pool/foreign_1.0_amd64.deb"; echo apt/pool/foreign_1.0_amd64.deb ;;
    altered-rpm)
        mv "$p/rpm/$el/$rpm" "$work/saved/rpm%$el%$rpm" && { cat "$work/saved/rpm%$el%$rpm"; echo; } >"$p/rpm/$el/$rpm"
        echo "rpm/$el/$rpm" ;;
    top-unnamed) echo garbage >"$p/index.deb"; echo index.deb ;;
    esac
}

untamper() {
    local f
    rm -f "$work/published/apt/pool/foreign_1.0_amd64.deb" "$work/published/index.deb"
    for f in "$work/saved"/*; do
        [ ! -e "$f" ] || { f=${f##*/} && mv -f "$work/saved/$f" "$work/published/${f//%//}"; }
    done
}

# kill_midway TREE KEY FILE: a release of TREE, killed once its new tree
# holds FILE: part way through writing it.
kill_midway() {
    local pid i trees
    mapfile -t trees < <(in_tree "$1")
    LIBCWORK_SIGNING_KEY=$2 setsid "$source_dir/scripts/release.sh" "$work/published" "${trees[@]}" >"$out" 2>&1 &
    pid=$!
    for i in $(seq 600); do
        compgen -G "$work/.published.new.*/$3" >/dev/null && break
        sleep 0.05
    done
    kill -KILL -- -"$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    [ "$i" -lt 600 ] || fail "the release never wrote $3:"$'\n'"$(cat "$out")"
}

# The throwaway keys: the repository's, the next, another, one that expires
# soon, one whose signing subkey does, and one with a passphrase.
make_keys() {
    local what
    export GNUPGHOME=$work/release-keys
    mkdir -m 700 "$GNUPGHOME"
    for what in "libcwork 1y" "next 1y" "other 1y" "soon 10d" "expired seconds=1" "subkey never"; do
        gpg --batch --quiet --passphrase '' --quick-gen-key "${what% *} <${what% *}@example.org>" \
            ed25519 sign "${what#* }" 2>/dev/null
    done
    gpg --batch --quiet --passphrase '' --quick-add-key "$(fpr_of subkey)" ed25519 sign 10d
    gpg --batch --quiet --pinentry-mode loopback --passphrase secret --quick-gen-key "locked <locked@example.org>" \
        ed25519 sign 1y 2>/dev/null
    gpgconf --reload gpg-agent
    key=$(fpr_of libcwork) next=$(fpr_of next) other=$(fpr_of other)
    gpg --batch --export "$key" >"$work/old.gpg"
    gpg --batch --export "$next" >"$work/next.gpg"
}
fpr_of() { gpg --batch --with-colons --list-keys "<$1@example.org>" 2>/dev/null | awk -F: '$1 == "fpr" { print $10; exit }'; }

# versioned_sums: the sha256 of every versioned file published, which no
# later release may change.
versioned_sums() {
    (cd "$work/published" && find . -type f \( -path './apt/pool/*' -o -path './rpm/*.rpm' -o -name '*[0-9]*.deb' \
        -o -name '*[0-9]*.rpm' -o -name '*.tar.gz' \) ! -name 'libcwork-archive-keyring-*.deb' \
        ! -name libcwork-release.noarch.rpm -exec sha256sum {} + | sort -k2)
}

# The first release, and every refusal of it leaving the tree as it was.
check_first() {
    tree_at "$first"
    expect_refused "no LIBCWORK_SIGNING_KEY" ""
    expect_refused "is not one secret key" "$(printf '%040d' 0)"
    expect_refused "the key $(fpr_of expired) expired on" "$(fpr_of expired)"
    expect_refused "the key $(fpr_of soon) expires on $(date -u -d '+10 days' +%F), within 30 days" "$(fpr_of soon)"
    expect_refused "which gpg signs with, expires on $(date -u -d '+10 days' +%F), within 30 days" "$(fpr_of subkey)"
    expect_refused "the key needs its passphrase, and no pinentry can ask for it" "$(fpr_of locked)" </dev/null
    (umask 077 && publish "$key") || fail "the first release failed:"$'\n'"$(cat "$out")"
    [ "$(cat "$work/published/FINGERPRINT")" = "$key" ] || fail "FINGERPRINT is not the key's"
    [ -z "$(find "$work/published" \( -type d ! -perm 755 \) -o \( -type f ! -perm 644 \))" ] ||
        fail "made under umask 077, the tree is not all 0755 and 0644:"$'\n'"$(find "$work/published" -ls)"
    expect_verified "$key"
    cp -al "$work/published" "$work/published-first"
    versioned_sums >"$work/first.sums"
    echo "release: the first, under umask 077: $(sed 's/^release: //' "$out"); it verifies"
    before=$(snapshot)
    publish "$key" && grep -qF "with the same bytes: nothing to do" "$out" && [ "$(snapshot)" = "$before" ] ||
        fail "the same release again:"$'\n'"$(cat "$out")"
    expect_refused "is signed by the key $key, and LIBCWORK_SIGNING_KEY is $other" "$other"
    check_hostile_repo
    # A web server's own files, which every later release keeps.
    printf '<html></html>\n' >"$work/published/index.html"
    printf 'Options -Indexes\n' >"$work/published/.htaccess"
    mkdir -m 750 "$work/published/.well-known" && printf 'Contact: mailto:security@example.org\n' >"$work/published/.well-known/security.txt"
    chmod 640 "$work/published/.well-known/security.txt"
    web_files=$(cd "$work/published" && stat -c '%a %n' index.html .htaccess .well-known .well-known/security.txt &&
        sha256sum index.html .htaccess .well-known/security.txt)
}

# REPO with the shell's and make's metacharacters reaches the release as
# it is, through make, in a parent the release makes; a failing release
# fails make.
check_hostile_repo() {
    local dir="$work/a b/\$(touch made-by-dollar) \`touch made-by-backquote\` \"q'/published"
    ! LIBCWORK_SIGNING_KEY="" make -C "$work/tree" release REPO="$dir" >"$out" 2>&1 ||
        fail "make release exited 0, and release.sh failed:"$'\n'"$(cat "$out")"
    (umask 077 && LIBCWORK_SIGNING_KEY=$key LIBCWORK_URL=file:/srv/libcwork make -C "$work/tree" release REPO="$dir") \
        >"$out" 2>&1 && [ -f "$dir/FINGERPRINT" ] || fail "make release into '$dir':"$'\n'"$(cat "$out")"
    [ -z "$(find "$work" "$work/tree" -maxdepth 1 -name 'made-by-*')" ] || fail "REPO ran as a command"
    [ "$(stat -c %a "$work/a b" "$dir/.." "$dir" | xargs)" = "755 755 755" ] ||
        fail "the directories the release made under umask 077 are not 0755"
    rm -rf "$work/a b"
    echo "release: REPO with spaces, quotes, \$(…) and backquotes reaches it as it is, through make"
}

# A tampered published tree is refused by the next release, naming the
# file, and left as it is.
check_tampered() {
    local case file
    for case in pool-deb foreign-deb altered-rpm top-unnamed; do
        file=$(tamper "$case")
        expect_refused "does not verify against the key $key" "$key"
        grep -qF "$file:" "$out" || fail "the refusal of $case does not name $file:"$'\n'"$(cat "$out")"
        echo "release: tampered with ($case), the tree is refused, naming $file, and left as it was"
        untamper
        expect_verified "$key"
    done
}

# A revision bump, killed part way and then whole: every file published
# before stays byte for byte.
check_bump() {
    local newdeb
    tree_at "$bump"
    check_tampered
    newdeb=$(. "$(newest_in "$work/tree")/facts.sh" && echo "$deb")
    before=$(snapshot)
    kill_midway "$work/tree" "$key" "apt/pool/$newdeb"
    [ "$(snapshot)" = "$before" ] || fail "a release killed part way changed the published tree"
    expect_verified "$key"
    echo "release: killed while it wrote its new tree, the published tree is as it was and verifies"
    echo "draft" >>"$work/tree/README.md"
    expect_refused "the tree has uncommitted changes" "$key"
    git -C "$work/tree" checkout -q README.md
    publish "$key" || fail "the revision bump failed:"$'\n'"$(cat "$out")"
    (cd "$work/published" && sha256sum --quiet -c "$work/first.sums") >"$err" 2>&1 ||
        fail "the revision bump changed files of the first release:"$'\n'"$(cat "$err")"
    expect_verified "$key"
    [ -z "$(find "$work" -maxdepth 1 -name '.published.new.*')" ] || fail "the killed release's files are left beside it"
    cp -al "$work/published" "$work/published-bump"
    echo "release: the revision bump $bump: $(sed 's/^release: //' "$out"); the first's files are as they were"
}

# Releases at once: the second version, and started while it runs, the
# bump spelt otherwise (older by then) and the second with other bytes.
check_at_once() {
    local i a b c
    spelt=${bump/.0-/.00-}
    tree_at "$spelt" "$work/tree-spelt"
    expect_refused "version $spelt is version $bump, published in $work/published already, spelt otherwise" \
        "$key" "$work/tree-spelt"
    tree_at "$second"
    rm -rf "$work/tree-other" && cp -a "$work/tree" "$work/tree-other"
    sed -i "s|$work/tree/|$work/tree-other/|g; s|$work/tree'|$work/tree-other'|g" "$work/tree-other"/build/*/facts.sh
    echo >>"$(. "$(newest_in "$work/tree-other")/facts.sh" && echo "$packages_dir/$tgz")"
    release_from "$work/tree" "$key" >"$work/a.out" 2>&1 & a=$!
    for i in $(seq 200); do grep -qs "version $second" "$work/.published.lock" && break; sleep 0.05; done
    sleep 2
    release_from "$work/tree-spelt" "$key" >"$work/b.out" 2>&1 & b=$!
    release_from "$work/tree-other" "$key" >"$work/c.out" 2>&1 & c=$!
    wait $a || fail "the second release failed:"$'\n'"$(cat "$work/a.out")"
    ! wait $b && grep -qF "version $spelt is older than $second" "$work/b.out" ||
        fail "an older release started while another ran:"$'\n'"$(cat "$work/b.out")"
    ! wait $c && grep -qF "version $second is in $work/published already, and" "$work/c.out" ||
        fail "the same version with other bytes, started while it ran:"$'\n'"$(cat "$work/c.out")"
    expect_verified "$key"
    for i in $(. "$(newest_in "$work/tree")/facts.sh" && echo "$packages_dir/$deb $packages_dir/$tgz"); do
        cmp -s "$i" "$work/published/${i##*/}" || fail "${i##*/} is not the second release's"
    done
    cp -al "$work/published" "$work/published-second"
    echo "release: the second, with two more started while it ran: it is published; the older and the other bytes refused"
}

# Every release, and every refusal leaving the published tree as it was.
check_published() {
    local release got want k
    TEST_NAME=systems/release
    unset LIBCWORK_NEXT_KEY
    make_keys
    check_first
    check_bump
    check_at_once
    for release in $releases; do
        got=$(awk '/^Package:/ { p = $2 } /^Version:/ { print p "=" $2 }' \
            "$work/published/apt/dists/$release/main/binary-amd64/Packages" | sort | xargs)
        want=$(for p in libcwork-archive-keyring $(fits_of "$release"); do
            for v in "$first" "$bump" "$second"; do
                [ $p = libcwork-archive-keyring ] && echo "$p=$v+$release" || echo "$p=$v"
            done
        done | sort | xargs)
        [ "$got" = "$want" ] || fail "apt/dists/$release lists '$got', not '$want'"
    done
    echo "release: the apt dists list every version"

    # A rotation: a release signed by the key and the next, each of which
    # verifies it alone; then one by the next alone, which ends it.
    tree_at "$third"
    LIBCWORK_NEXT_KEY=$next publish "$key" || fail "the release that starts a rotation failed:"$'\n'"$(cat "$out")"
    [ "$(xargs <"$work/published/FINGERPRINT")" = "$key $next" ] || fail "FINGERPRINT does not name both keys"
    for k in old next; do
        for release in $releases; do
            # (gpgv exits 2 for the signature it has no key for; a good one is what counts.)
            gpgv --status-fd 1 --keyring "$work/$k.gpg" "$work/published/apt/dists/$release/InRelease" >"$err" 2>&1
            grep -q '^\[GNUPG:\] VALIDSIG ' "$err" && ! grep -q '^\[GNUPG:\] BADSIG ' "$err" ||
                fail "$release's InRelease does not verify with the $k key alone:"$'\n'"$(cat "$err")"
        done
    done
    expect_verified "$next"
    cp -al "$work/published" "$work/published-rotating"
    echo "release: the third, signed by both keys: $(sed 's/^release: //' "$out")"
    tree_at "$fourth"
    expect_refused "a rotation from $key to $next is under way" "$key"
    publish "$next" || fail "the release that ends the rotation failed:"$'\n'"$(cat "$out")"
    [ "$(cat "$work/published/FINGERPRINT")" = "$next" ] || fail "FINGERPRINT does not name the next key alone"
    expect_verified "$next"
    echo "release: the fourth, signed by the next key alone: $(sed 's/^release: //' "$out")"
    [ "$(cd "$work/published" && stat -c '%a %n' index.html .htaccess .well-known .well-known/security.txt &&
        sha256sum index.html .htaccess .well-known/security.txt)" = "$web_files" ] ||
        fail "the web server's files did not survive the releases"
    echo "release: the web server's index.html, .htaccess and .well-known/ are as they were"
    check_key_packages
    gpgconf --kill gpg-agent
    unset GNUPGHOME
}

# The keyring and release packages: clean by lintian and rpmlint, and
# made again elsewhere, under another umask and time zone, the same bytes.
check_key_packages() {
    if command -v lintian >/dev/null && command -v rpmlint >/dev/null; then
        lintian --fail-on error,warning "$work/published"/libcwork-archive-keyring_*.deb >"$out" 2>&1 &&
            rpmlint --strict -c "$source_dir/scripts/rpmlint.toml" "$work/published/libcwork-release-$fourth.noarch.rpm" >>"$out" 2>&1 ||
            fail "the keyring and release packages are not clean:"$'\n'"$(cat "$out")"
    else
        [ "${CI:-}" != true ] || fail "lintian and rpmlint must be installed"
        echo "release: the keyring and release packages not linted: lintian or rpmlint is not installed (apt-get install lintian rpmlint)"
    fi
    (. "$(newest_in "$work/tree")/facts.sh" && umask 002 && cd / && TZ=Asia/Tokyo "$source_dir/scripts/keypackages.sh" \
        "$work/again" "$packages_dir/$deb" "$epoch" file:/srv/libcwork "$homepage" \
        "$work/published/libcwork.gpg" "$work/published/libcwork.asc" $releases) || fail "could not make them again"
    for file in "$work/again"/*; do
        cmp -s "$file" "$work/published/${file##*/}" || fail "${file##*/}, made again, has other bytes"
    done
    echo "release: the keyring and release packages are clean and reproducible"
}

# check_rpm_root RUNTIME: an rpm root of that glibc runtime, and libcwork
# installed there by dnf from the repositories.
check_rpm_root() {
    local runtime=$1 glibc tree payload name el="" refused="" got expect libc
    TEST_NAME=systems/rpm-$runtime
    glibc=$(glibc_of "$runtime")
    root=$work/rpm-$runtime
    tree=$debian_dir/$runtime-runtime
    [ -d "$tree" ] || fail "no glibc runtime in $tree: make check fetches it"

    # The loader and libc, with the links that lead to them, laid out under
    # /usr as on RHEL, where /lib and /lib64 lead into /usr.
    payload=$work/rpm-$runtime.payload
    (cd "$tree" && find . \( -name 'ld-*.so*' -o -name libc.so.6 -o -name 'libc-*.so' \) \
        \( -type f -o -type l \)) | while read -r file; do
        dest=$payload/usr/${file#./}
        dest=${dest/\/usr\/usr\///usr/}
        mkdir -p "$(dirname "$dest")" && cp -a "$tree/$file" "$dest"
    done
    mkdir -p "$payload/usr/bin" "$payload/usr/share/man/man1" "$payload/usr/share/licenses" \
        "$payload/etc/pki/rpm-gpg" "$payload/etc/yum.repos.d"
    ln -s usr/lib "$payload/lib"
    ln -s usr/lib64 "$payload/lib64"
    cat >"$work/glibc-$runtime.rpmbuild" <<BUILD
Name: glibc
Version: $glibc
Release: 0.${runtime//-/_}
Summary: The loader and C library of glibc $glibc, for a test root
License: LGPL-2.1-or-later
# rpm's generator provides the libraries and their symbol versions; this
# one it cannot see, and every RHEL and Fedora glibc package states it.
Provides: rtld(GNU_HASH)
%description
The loader and C library of the $runtime glibc runtime, and the
directories the packages installed beside them need.
%install
cp -a "$payload/." %{buildroot}/
%files
/etc
/lib
/lib64
/usr
BUILD
    rpmbuild -bb --quiet --target x86_64 --define "_topdir $work/rpmbuild-$runtime" \
        --define "__os_install_post %{nil}" --define "debug_package %{nil}" \
        --define "_build_id_links none" "$work/glibc-$runtime.rpmbuild" >"$out" 2>&1 ||
        fail "rpmbuild of glibc $glibc:"$'\n'"$(cat "$out")"
    mkdir "$root"
    dnf_in "$root" "" install "$work/rpmbuild-$runtime"/RPMS/x86_64/glibc-*.rpm >"$out" 2>&1 ||
        fail "dnf install glibc $glibc:"$'\n'"$(cat "$out")"
    libc=$(cd "$root" && find usr -name libc.so.6 | head -n 1)
    in_root "/$libc" | grep -q "release version $glibc[.,]" || fail "the root's glibc is not $glibc"
    files >"$work/rpm-$runtime.before"

    # From a repository that holds a generation this glibc cannot run, dnf
    # refuses libcwork, naming the glibc version it needs.
    for name in $rhels; do
        for build in "${builds[@]}"; do
            . "$build/facts.sh"
            fits "$name" && ! fits "$runtime" || continue
            ! dnf_in "$root" "$name" install libcwork >"$out" 2>&1 || fail "dnf installed $package on glibc $glibc"
            grep -qF "libc.so.6(GLIBC_$floor)(64bit)" "$out" ||
                fail "dnf refused $package for another reason:"$'\n'"$(cat "$out")"
            refused="; from rpm/$name, dnf refuses $package: it needs libc.so.6(GLIBC_$floor)(64bit)"
            break 2
        done
    done

    # From the newest release's repository whose glibc this one meets, dnf
    # installs the newest generation it can run.
    for name in $rhels; do
        ! version_at_most "$(glibc_of "$name")" "$glibc" || el=$name
    done
    dnf_in "$root" "$el" install libcwork >"$out" 2>&1 || fail "dnf install libcwork from rpm/$el:"$'\n'"$(cat "$out")"
    got=$(rpm --root "$root" -qa --qf '%{NAME}\n' 'libcwork*')
    expect=$(newest_for "$runtime")
    [ "$got" = "$expect" ] || fail "dnf install libcwork installed '$got', not $expect"
    expect_commands_run /usr/bin
    echo "rpm root, glibc $glibc ($runtime): from rpm/$el, dnf installs $got, which runs$refused"

    # The published tree over two releases: dnf lists both versions,
    # upgrades from the first to the second, and goes back.
    dnf_in "$root" "" remove 'libcwork*' >"$out" 2>&1 || fail "dnf remove:"$'\n'"$(cat "$out")"
    for step in "--showduplicates list $got" "install $got-${first%-*}" "${first%-*}" upgrade "${second%-*}" \
        "downgrade $got" "${first%-*}"; do
        case $step in
        [0-9]*) [ "$(rpm --root "$root" -q --qf '%{VERSION}' "$got")" = "$step" ] ||
            fail "$got is at $(rpm --root "$root" -q --qf '%{VERSION}' "$got"), not $step:"$'\n'"$(cat "$out")" ;;
        *) # shellcheck disable=SC2086
            dnf_repo=$work/published-second dnf_in "$root" "$el" $step >"$out" 2>&1 || fail "dnf $step:"$'\n'"$(cat "$out")"
            [[ $step != --showduplicates* ]] || [ "$(grep -c "^$got\.x86_64 " "$out")" = 3 ] ||
                fail "dnf does not list the three versions of $got:"$'\n'"$(cat "$out")" ;;
        esac
    done
    expect_commands_run /usr/bin
    echo "rpm root, glibc $glibc ($runtime): from the published rpm/$el, dnf lists every version of $got," \
        "upgrades to ${second%-*} and downgrades to ${first%-*}"

    # The release package of the rotation's first release, installed from
    # its file: its .repo and keys bring libcwork from that release, and
    # after the switch dnf upgrades from the release signed by the next key
    # alone. (dnf --installroot reads file: URLs on this machine, not in the
    # root: baseurl and gpgkey are pointed at where those are here.)
    dnf_in "$root" "" remove 'libcwork*' >"$out" 2>&1 || fail "dnf remove:"$'\n'"$(cat "$out")"
    dnf_in "$root" "" install "$work/published-rotating/libcwork-release.noarch.rpm" >"$out" 2>&1 ||
        fail "dnf install of the release package:"$'\n'"$(cat "$out")"
    grep -qx 'baseurl=file:/srv/libcwork/rpm/el$releasever/' "$root/etc/yum.repos.d/libcwork.repo" &&
        grep -qx 'gpgkey=file:///etc/pki/rpm-gpg/RPM-GPG-KEY-libcwork' "$root/etc/yum.repos.d/libcwork.repo" ||
        fail "libcwork.repo names another place:"$'\n'"$(cat "$root/etc/yum.repos.d/libcwork.repo")"
    number=number_$el
    for step in "published-rotating install ${third%-*}" "published upgrade ${fourth%-*}"; do
        read -r tree action version <<<"$step"
        unshare -n dnf --installroot="$root" --releasever="${!number}" --noplugins --assumeyes \
            --setopt=reposdir="$root/etc/yum.repos.d" --setopt=skip_if_unavailable=False \
            --setopt=libcwork.baseurl="file://$work/$tree/rpm/$el/" \
            --setopt=libcwork.gpgkey="file://$root/etc/pki/rpm-gpg/RPM-GPG-KEY-libcwork" $action libcwork >"$out" 2>&1 &&
            [ "$(rpm --root "$root" -q --qf '%{VERSION}' "$got")" = "$version" ] ||
            fail "dnf $action libcwork through the release package, from $tree:"$'\n'"$(cat "$out")"
    done
    echo "rpm root, glibc $glibc ($runtime): the release package of the rotation brings $got ${third%-*}" \
        "and, after the switch to the next key, dnf upgrade ${fourth%-*}"
    dnf_in "$root" "" remove 'libcwork*' >"$out" 2>&1 || fail "dnf remove:"$'\n'"$(cat "$out")"
    files >"$work/rpm-$runtime.after"
    diff "$work/rpm-$runtime.before" "$work/rpm-$runtime.after" >"$out" ||
        fail "dnf remove left the root changed:"$'\n'"$(cat "$out")"
    echo "rpm root, glibc $glibc ($runtime): removed, as it was"
}

rpm_roots=true
if ! command -v dnf >/dev/null || ! command -v rpmbuild >/dev/null; then
    [ "${CI:-}" != true ] || fail "dnf and rpmbuild must be installed"
    echo "SKIP: no rpm roots: dnf or rpmbuild is not installed (apt-get install dnf rpm)"
    rpm_roots=false
fi
out=$work/repositories.out err=$work/repositories.err check_repositories
# The version in the changelog, and the next one.
first=$(sed -n '1s/^libcwork (\([^)]*\)).*/\1/p' "$source_dir/changelog")
upstream=${first%%-*}
bump=$upstream-$((${first##*-} + 1))
second=${upstream%.*}.$((${upstream##*.} + 1))-1
third=${upstream%.*}.$((${upstream##*.} + 2))-1
fourth=${upstream%.*}.$((${upstream##*.} + 3))-1
out=$work/published.out err=$work/published.err check_published

# Every system and every rpm root side by side.
jobs=()
for release in $releases; do jobs+=("check_release $release"); done
if $rpm_roots; then
    for runtime in $runtimes; do jobs+=("check_rpm_root $runtime"); done
fi
side_by_side "${jobs[@]}"
