#!/usr/bin/env bash
# systems.sh BUILD_DIR...: install and run each build's packages where users
# run them, from the package files and from the signed repositories that
# make repo wrote in build/repo, all side by side, the network cut off.
#
# First the repositories: every signature verifies with the project's key,
# and each holds what its release can run.
#
# Then make release, with throwaway keys, into a tree of its own: refused
# without a key, with a key that is not a secret one, expired or expiring
# within 30 days, or not the tree's, with uncommitted changes, an older
# version, or a published version with other bytes, the tree left as it was
# each time; killed part way, the tree as it was; the same release again
# changes nothing; and two releases in a row, of the tree and of a copy with
# the next version, both kept; then a rotation to another key. The keyring
# and release packages are clean by lintian and rpmlint, and reproducible.
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
#     second, and apt-get install PACKAGE=FIRST back; apt holding either
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

# The generations, oldest floor first: the order to install and switch in.
mapfile -t builds < <(for build in "$@"; do (. "$build/facts.sh" && echo "$floor $build"); done |
    sort -V | cut -d' ' -f2-)

# runnable_on GLIBC: the packages of the generations GLIBC runs, oldest
# floor first; newest_for GLIBC, the last of them; packages_for GLIBC, all
# of them sorted by name on one line.
runnable_on() {
    local build
    for build in "${builds[@]}"; do
        . "$build/facts.sh"
        ! version_at_most "$floor" "$1" || echo "$package"
    done
}
newest_for() { runnable_on "$1" | tail -n 1; }
packages_for() { runnable_on "$1" | sort | xargs; }

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
        if version_at_most "$floor" "$glibc"; then
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
    expect="$(newest_for "$glibc")"
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
        version_at_most "$floor" "$glibc" || continue
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

# Every signature verifies with the project's key, and each repository holds
# what its release can run.
check_repositories() {
    local release name got want rpm
    TEST_NAME=systems/repositories
    cp -r "$repo" "$work/repo"
    for release in $releases; do
        for signed in "InRelease" "Release.gpg Release"; do
            (cd "$work/repo/apt/dists/$release" && gpgv --keyring "$work/repo/libcwork.gpg" $signed) >"$out" 2>&1 ||
                fail "apt/dists/$release/${signed% *} does not verify:"$'\n'"$(cat "$out")"
        done
        got=$(awk '/^Package:/ { print $2 }' "$work/repo/apt/dists/$release/main/binary-amd64/Packages" | sort | xargs)
        want=$(packages_for "$(glibc_of "$release")")
        [ "$got" = "$want" ] || fail "apt dist $release holds '$got', not '$want'"
        echo "repository apt/dists/$release: signed, holds $got"
    done
    rpmkeys --dbpath "$work/rpmdb" --import "$work/repo/libcwork.asc" || fail "rpmkeys cannot import libcwork.asc"
    for name in $rhels; do
        for rpm in "$work/repo/rpm/$name"/*.rpm; do
            rpmkeys --dbpath "$work/rpmdb" -K "$rpm" | grep -q ': digests signatures OK$' ||
                fail "$rpm: $(rpmkeys --dbpath "$work/rpmdb" -K "$rpm")"
        done
        (cd "$work/repo/rpm/$name/repodata" && gpgv --keyring "$work/repo/libcwork.gpg" repomd.xml.asc repomd.xml) \
            >"$out" 2>&1 || fail "rpm/$name/repodata/repomd.xml.asc does not verify:"$'\n'"$(cat "$out")"
        $rpm_roots || continue
        mkdir "$work/dnf-$name"
        dnf_in "$work/dnf-$name" "$name" --quiet list --available >"$out" 2>&1 ||
            fail "dnf cannot read rpm/$name:"$'\n'"$(cat "$out")"
        got=$(awk '$1 ~ /^libcwork/ { sub(/\.x86_64$/, "", $1); print $1 }' "$out" | sort | xargs)
        want=$(packages_for "$(glibc_of "$name")")
        [ "$got" = "$want" ] || fail "dnf lists '$got' in rpm/$name, not '$want'"
        echo "repository rpm/$name: packages and metadata signed, dnf lists $got"
    done
    (cd "$work/repo" && sha256sum --quiet -c SHA256SUMS && gpgv --keyring ./libcwork.gpg SHA256SUMS.asc SHA256SUMS) \
        >"$out" 2>&1 || fail "SHA256SUMS:"$'\n'"$(cat "$out")"
    echo "repository: SHA256SUMS holds and is signed"
}

# The tree as it is, in a git checkout of its own under $work/tree, at the
# version VERSION on top of its changelog (a release of its own when it is
# not the changelog's), and its packages.
tree_at() {
    local tree=$work/tree trailer
    if [ ! -d "$tree" ]; then
        mkdir "$tree"
        "$source_dir/scripts/dist.sh" --working-tree "$work/tree.tar.gz" >/dev/null &&
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

# publish KEY: make release of $work/tree into $work/published, signed by KEY.
publish() {
    LIBCWORK_SIGNING_KEY=$1 LIBCWORK_URL=file:/srv/libcwork "$source_dir/scripts/release.sh" "$work/published" \
        "$work/tree/build/current" "$work/tree/build/legacy" >"$out" 2>&1
}

# snapshot: every name, mode and byte of the published tree.
snapshot() {
    [ -d "$work/published" ] || { echo none; return; }
    (cd "$work/published" && find . -printf '%p %m\n' | sort && find . -type f -exec sha256sum {} + | sort)
}

# expect_refused MESSAGE KEY: refused, saying MESSAGE, with the published
# tree left as it was.
expect_refused() {
    local before
    before=$(snapshot)
    ! publish "$2" || fail "published, and it must be refused ('$1')"
    grep -qF -- "$1" "$out" || fail "refused for another reason than '$1':"$'\n'"$(cat "$out")"
    [ "$(snapshot)" = "$before" ] || fail "refused ('$1'), and yet the published tree changed"
    echo "release: refused, as it must be: $(sed 's/^release: //' "$out")"
}

# Two releases in a row into one tree, and every refusal leaving it as it was.
check_published() {
    local key next other soon expired tgz k
    TEST_NAME=systems/release
    unset LIBCWORK_NEXT_KEY
    export GNUPGHOME=$work/release-keys
    mkdir -m 700 "$GNUPGHOME"
    for what in "libcwork 1y" "next 1y" "other 1y" "soon 10d" "expired seconds=1"; do
        gpg --batch --quiet --passphrase '' --quick-gen-key "${what% *} <${what% *}@example.org>" \
            ed25519 sign "${what#* }" 2>/dev/null
    done
    fpr_of() { gpg --batch --with-colons --list-keys "<$1@example.org>" 2>/dev/null | awk -F: '$1 == "fpr" { print $10; exit }'; }
    key=$(fpr_of libcwork) next=$(fpr_of next) other=$(fpr_of other) soon=$(fpr_of soon) expired=$(fpr_of expired)
    gpg --batch --export "$key" >"$work/old.gpg"
    gpg --batch --export "$next" >"$work/next.gpg"
    tree_at "$first"

    expect_refused "no LIBCWORK_SIGNING_KEY" ""
    expect_refused "is not one secret key" "$(printf '%040d' 0)"
    expect_refused "the key $expired expired on" "$expired"
    expect_refused "the key $soon expires on $(date -u -d '+10 days' +%F), within 30 days" "$soon"
    publish "$key" || fail "the first release failed:"$'\n'"$(cat "$out")"
    [ "$(cat "$work/published/FINGERPRINT")" = "$key" ] || fail "FINGERPRINT is not the key's"
    cp -al "$work/published" "$work/published-first"
    echo "release: the first: $(sed 's/^release: //' "$out")"
    before=$(snapshot)
    publish "$key" && grep -qF "with the same bytes: nothing to do" "$out" && [ "$(snapshot)" = "$before" ] ||
        fail "the same release again:"$'\n'"$(cat "$out")"
    expect_refused "is signed by the key $key, and LIBCWORK_SIGNING_KEY is $other" "$other"

    tree_at "$second"
    # Killed part way, the tree is as it was, and the next run succeeds.
    LIBCWORK_SIGNING_KEY=$key timeout -s KILL 1 "$source_dir/scripts/release.sh" "$work/published" \
        "$work/tree/build/current" "$work/tree/build/legacy" >/dev/null 2>&1 &&
        fail "the release ended within a second: kill it sooner"
    [ "$(snapshot)" = "$before" ] || fail "a release killed part way changed the published tree"
    echo "draft" >>"$work/tree/README.md"
    expect_refused "the tree has uncommitted changes" "$key"
    git -C "$work/tree" checkout -q README.md
    publish "$key" || fail "the second release failed:"$'\n'"$(cat "$out")"
    cp -al "$work/published" "$work/published-second"
    echo "release: the second: $(sed 's/^release: //' "$out")"
    for release in $releases; do
        got=$(awk '/^Package:/ { p = $2 } /^Version:/ { print p "=" $2 }' \
            "$work/published/apt/dists/$release/main/binary-amd64/Packages" | sort | xargs)
        want=$(for p in libcwork-archive-keyring $(packages_for "$(glibc_of "$release")"); do
            [ $p = libcwork-archive-keyring ] && echo "$p=$first+$release $p=$second+$release" || echo "$p=$first $p=$second"
        done | xargs -n 1 | sort | xargs)
        [ "$got" = "$want" ] || fail "apt/dists/$release lists '$got', not '$want'"
    done
    (cd "$work/published" && sha256sum --quiet -c SHA256SUMS &&
        [ "$(printf '%s\n' *.deb *.rpm *.tar.gz | sort)" = "$(awk '{ print $2 }' SHA256SUMS | sort)" ] &&
        gpgv --keyring ./libcwork.gpg SHA256SUMS.asc SHA256SUMS) >"$out" 2>&1 ||
        fail "SHA256SUMS does not hold for every package file of both releases:"$'\n'"$(cat "$out")"
    [ -z "$(find "$work" -maxdepth 1 -name '.published.*')" ] || fail "the killed release's files are left beside it"
    echo "release: the apt dists list both versions; SHA256SUMS holds for both releases"

    tgz=$(. "$work/tree/build/current/facts.sh" && echo "$packages_dir/$tgz")
    cp "$tgz" "$work/tgz" && echo >>"$tgz"
    expect_refused "version $second is in $work/published already, and ${tgz##*/} there has other bytes" "$key"
    cp "$work/tgz" "$tgz"
    tree_at "$first"
    expect_refused "version $first is older than $second" "$key"

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
    cp -al "$work/published" "$work/published-rotating"
    echo "release: the third, signed by both keys: $(sed 's/^release: //' "$out")"
    tree_at "$fourth"
    expect_refused "a rotation from $key to $next is under way" "$key"
    publish "$next" || fail "the release that ends the rotation failed:"$'\n'"$(cat "$out")"
    [ "$(cat "$work/published/FINGERPRINT")" = "$next" ] || fail "FINGERPRINT does not name the next key alone"
    echo "release: the fourth, signed by the next key alone: $(sed 's/^release: //' "$out")"

    # The keyring and release packages: clean by lintian and rpmlint, and
    # made again elsewhere, under another umask and time zone, the same bytes.
    if command -v lintian >/dev/null && command -v rpmlint >/dev/null; then
        lintian --fail-on error,warning "$work/published"/libcwork-archive-keyring_*.deb >"$out" 2>&1 &&
            rpmlint --strict -c "$source_dir/scripts/rpmlint.toml" "$work/published/libcwork-release-$fourth.noarch.rpm" >>"$out" 2>&1 ||
            fail "the keyring and release packages are not clean:"$'\n'"$(cat "$out")"
    else
        [ "${CI:-}" != true ] || fail "lintian and rpmlint must be installed"
        echo "release: the keyring and release packages not linted: lintian or rpmlint is not installed (apt-get install lintian rpmlint)"
    fi
    (. "$work/tree/build/current/facts.sh" && umask 002 && cd / && TZ=Asia/Tokyo "$source_dir/scripts/keypackages.sh" \
        "$work/again" "$packages_dir/$deb" "$epoch" file:/srv/libcwork "$homepage" \
        "$work/published/libcwork.gpg" "$work/published/libcwork.asc" $releases) || fail "could not make them again"
    for file in "$work/again"/*; do
        cmp -s "$file" "$work/published/${file##*/}" || fail "${file##*/}, made again, has other bytes"
    done
    echo "release: the keyring and release packages are clean and reproducible"
    gpgconf --kill gpg-agent
    unset GNUPGHOME
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
            version_at_most "$floor" "$(glibc_of "$name")" && ! version_at_most "$floor" "$glibc" || continue
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
    expect=$(newest_for "$glibc")
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
            [[ $step != --showduplicates* ]] || [ "$(grep -c "^$got\.x86_64 " "$out")" = 2 ] ||
                fail "dnf does not list both versions of $got:"$'\n'"$(cat "$out")" ;;
        esac
    done
    expect_commands_run /usr/bin
    echo "rpm root, glibc $glibc ($runtime): from the published rpm/$el, dnf lists both versions of $got," \
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
