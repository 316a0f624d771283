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
# another key refused; a tree tampered with (a pool .deb replaced, a foreign .deb, an
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
#
# And beside the releases and the systems, in a checkout of its own, the
# build in the clean root: make release through make, into a REPO with
# spaces, quotes, $(…) and backquotes, from a poisoned environment, makes
# the bytes of a clean root build; make rebuild, by another user, matches
# them, and names what a compromised build machine changed.
# Much of this is read only by the rows of the tables, where shellcheck
# cannot see it.
# shellcheck disable=SC2034
export LIBCWORK_FACTS=$1/facts.sh TEST_NAME=systems
. "$(dirname "$0")/lib.sh"
repo=$source_dir/build/repo
[ -f "$repo/libcwork.gpg" ] || fail "no repositories in $repo: make repo"

[ "$(id -u)" = 0 ] || skip "needs root for chroot"
for release in $releases; do [ -f "$debian_dir/$release-system.tar" ] || needs_tool mmdebstrap; done
[ -f "$debian_dir/$build_release-build.tar" ] || needs_tool mmdebstrap
needs_tool apt-ftparchive

# The builds, oldest floor first: the order to install and switch in.
builds=()
for gen in $generations; do builds+=("${build_dir%/*}/$gen"); done

# table NAME: the rows on stdin, kept as the table NAME. rows NAME runs
# them: a row is a line of shell, and the lines under it that start with a
# blank are more of it. Each runs in this shell, so it sees what the rows
# above it set; a row that fails without saying why fails the test,
# naming it.
declare -A tables
table() { tables[$1]=$(cat); }
rows() {
    local _line _text _row _table=()
    [ -n "${tables[$1]+set}" ] || fail "no table $1"
    while IFS= read -r _line; do
        _text=${_line#"${_line%%[![:blank:]]*}"}
        case $_text in '' | '#'*) continue ;; esac
        if [[ $_line == [[:blank:]]* ]]; then _table[-1]+=$'\n'$_line; else _table+=("$_line"); fi
    done <<<"${tables[$1]}"
    for _row in "${_table[@]}"; do eval "$_row" </dev/null || fail "a row of $1 failed: $_row"; done
}

# The verbs of the rows. must WHAT COMMAND...: COMMAND succeeds, its output
# in $out, or the test fails saying WHAT, and what COMMAND said.
must() { "${@:2}" >"$out" 2>&1 || fail "$1:"$'\n'"$(cat "$out")"; }
# refuses WHAT SAYING COMMAND...: COMMAND (asked to do WHAT) fails, its
# output in $out, and says SAYING, unless that is empty.
refuses() {
    ! "${@:3}" >"$out" 2>&1 || fail "$1 succeeded, and must be refused${2:+ ('$2')}:"$'\n'"$(cat "$out")"
    [ -z "$2" ] || grep -qF -- "$2" "$out" || fail "$1 was refused for another reason than '$2':"$'\n'"$(cat "$out")"
}
# same WHAT GOT WANT: what a row found is what it wants.
same() { [ "$2" = "$3" ] || fail "$1 '$2', not '$3'"; }
# say NEWS: what the rows have shown, under the name of what they are about.
say() { echo "$where: $*"; }
# clean WHAT COMMAND...: as must, and apt warns of nothing.
clean() { must "$@" && ! grep -q '^W:' "$out" || fail "$1, with a warning:"$'\n'"$(cat "$out")"; }
with_umask() { (umask "$1" && "${@:2}"); }

# fits_of SYSTEM: the packages a release, runtime or RHEL release runs,
# oldest floor first; fits SYSTEM: true if it runs $package.
fits_of() { local var=fits_${1//-/_}; echo "${!var}"; }
fits() { [[ " $(fits_of "$1") " == *" $package "* ]]; }
sorted() { printf '%s\n' "$@" | sort | xargs; }

# in_tree TREE: the builds of a checkout TREE, as this one's are laid out;
# newest_in TREE: its build of the newest generation.
in_tree() { for gen in $generations; do echo "$1/build/$gen"; done; }
newest_in() { echo "$1/build/${generations##* }"; }

# in_root COMMAND...: run a command in the system, offline, in a clean
# environment.
clean_env=(env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 DEBIAN_FRONTEND=noninteractive)
in_root() { "${clean_env[@]}" unshare -n chroot "$root" "$@"; }

# served DIR COMMAND...: a command offline but for DIR, served over http at
# http://127.0.0.1:8080/ on the loopback of a network of its own, as a
# client reaches a published tree; what was asked of the server in
# $work/served.log. served_in_root DIR COMMAND...: in the system.
served() {
    "${clean_env[@]}" unshare -n bash -c 'ip link set lo up && cd "$1" || exit
            /usr/bin/python3 -m http.server --bind 127.0.0.1 8080 >/dev/null 2>"$2" & server=$!
            for i in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/8080) 2>/dev/null && break; sleep 0.05; done
            "${@:3}"; status=$?
            kill $server; exit $status' - "$1" "$work/served.log" "${@:2}"
}
served_in_root() { served "$1" chroot "$root" "${@:2}"; }
# verify_tree [--served] DIR: make verify of DIR, or with --served of DIR
# served over http at its URL, as a user runs it (FINGERPRINT and
# ACCEPT_OLDER as the caller sets them), remembering what it accepts in the
# test's own state.
verify_tree() {
    local run=(env FINGERPRINT="${FINGERPRINT:-}" ACCEPT_OLDER="${ACCEPT_OLDER:-}" XDG_STATE_HOME="$XDG_STATE_HOME"
        /usr/bin/python3 "$source_dir/scripts/verify.py")
    if [ "$1" = --served ]; then served "$2" "${run[@]}" http://127.0.0.1:8080; else "${run[@]}" "$@"; fi
}

# The system's files, less the caches, logs and package lists that every apt
# or dnf run rewrites (the dpkg database is kept, the rpm one not: dnf keeps
# the key it imports there).
files() {
    (cd "$root" && find . -xdev \( -path ./tmp -o -path ./var/cache -o -path ./var/log \
        -o -path ./var/lib/apt -o -path ./var/lib/dnf -o -path ./var/lib/rpm \
        -o -path ./usr/lib/sysimage \) -prune -o -print | sort)
}

# glibc_is LIBC: the root's libc, run, says it is $glibc.
glibc_is() { in_root "$1" | grep -q "release version ${glibc}[.,]" || fail "the root's glibc is not $glibc"; }

# runs PACKAGE_ROOT: every program, installed under PACKAGE_ROOT in the
# system, prints exactly its output.
runs() {
    local p args
    for p in $programs; do
        for args in "" "one --two"; do
            # shellcheck disable=SC2086
            in_root "$1/$p" $args </dev/null >"$out" 2>"$err"
            status=$?
            name=$p expected_out=$source_dir/$p/expected.out expect_output
        done
    done
}

manuals_render() {
    local p
    for p in $programs; do
        in_root man --warnings "$p" >"$out" 2>"$err" || fail "man $p failed: $(cat "$err")"
        [ ! -s "$err" ] || fail "man $p warns:"$'\n'"$(cat "$err")"
        grep -q "$p" "$out" || fail "man $p shows no page"
    done
}

# What apt ($pm apt) or dnf ($pm rpm) installed: the libcwork packages, the
# version of one; and their removal.
apt_installed() { in_root dpkg-query -W -f '${db:Status-Abbrev}${Package}\n' 'libcwork*' | awk '$1 == "ii" { print $2 }'; }
apt_version() { in_root dpkg-query -W -f '${Version}' "$1"; }
apt_remove() { apt_get purge 'libcwork*'; }
rpm_installed() { rpm --root "$root" -qa --qf '%{NAME}\n' 'libcwork*'; }
rpm_version() { rpm --root "$root" -q --qf '%{VERSION}' "$1"; }
rpm_remove() { dnf_in "$root" "" remove 'libcwork*'; }
# installs WHAT: WHAT installed $expect, the newest generation the system
# runs, and no other; at VERSION: $expect is at VERSION.
installs() { same "$1 installed" "$("${pm}_installed")" "$expect"; }
at() {
    local got
    got=$("${pm}_version" "$expect")
    [ "$got" = "$1" ] || fail "$expect is at '$got', not $1:"$'\n'"$(cat "$out")"
}
# purged: with any served tree taken away, removing every libcwork package
# leaves the files as they were before any was installed.
purged() {
    rm -rf "$root/srv/libcwork" "$root/etc/apt/sources.list.d/libcwork.list"
    must "removing the libcwork packages" "${pm}_remove"
    files >"$root.after"
    diff "$root.before" "$root.after" >"$out" || fail "removing them left the system changed:"$'\n'"$(cat "$out")"
    say "removed, as it was"
}

apt_get() { in_root apt-get -y -q -o Dpkg::Use-Pty=0 "$@"; }
# apt_to VERSION ARG...: apt-get ARG... takes $expect to VERSION.
apt_to() { must "apt-get ${*:2}" apt_get "${@:2}" && at "$1"; }
# apt_update: apt-get update of our source alone, as the system's own
# sources cannot be reached offline.
apt_update() {
    in_root apt-get update -q --error-on=any -o Dir::Etc::SourceParts=- \
        -o Dir::Etc::SourceList=/etc/apt/sources.list.d/libcwork.list
}
# serve TREE [KEY [URL]]: TREE, and the throwaway keys, as /srv/libcwork in
# the system; with KEY, apt's source is its apt tree (or URL), verified
# with KEY.gpg.
serve() {
    rm -rf "$root/srv/libcwork" && cp -r "$1" "$root/srv/libcwork" && cp "$work"/*.gpg "$root/srv/libcwork/" &&
        { [ $# = 1 ] || apt_source "${@:2}"; }
}
apt_source() {
    echo "deb [signed-by=/srv/libcwork/$1.gpg] ${2:-file:/srv/libcwork/apt} $release main" \
        >"$root/etc/apt/sources.list.d/libcwork.list"
}

check_release() {
    local release=$1 where=$1 root=$work/$1 pm=apt glibc fits expect installed="" build
    TEST_NAME="systems/$release"
    glibc=$(glibc_of "$release") fits=$(fits_of "$release")
    expect=${fits##* }
    rows system
}

table system <<'ROWS'
must "could not make the system" "$source_dir/scripts/debfetch.sh" --system "$release" \
    "$debian_dir/$release-system.tar" man-db
mkdir "$root"
must "could not unpack the system" tar -xf "$debian_dir/$release-system.tar" -C "$root"
glibc_is /lib/x86_64-linux-gnu/libc.so.6
files >"$root.before"
# Every generation from its file, the older first, so that each install
# switches from one to the next.
for build in "${builds[@]}"; do . "$build/facts.sh"
    must "could not copy $deb and $tgz into the system" cp "$packages_dir/$deb" "$packages_dir/$tgz" "$root/tmp/"
    if fits "$release"; then rows deb_runs; else rows deb_refused; fi; done
purged
rows from_repository
rows from_published
rows across_switch
rows apt_rotation
rows keyring_package
for build in "${builds[@]}"; do . "$build/facts.sh"; ! fits "$release" || rows tgz_runs; done
ROWS

# A generation the system runs installs with apt-get from its file, over
# the one before, and runs.
table deb_runs <<'ROWS'
must "apt-get install $deb" apt_get install "./tmp/$deb"
runs /usr/bin
manuals_render
say "$package installs${installed:+ over $installed} and runs"
installed=$package
ROWS

# Any other is refused by apt and dpkg, and what was installed still runs.
table deb_refused <<'ROWS'
refuses "apt-get install $deb on glibc $glibc" "libc6 (>= $floor)" apt_get install "./tmp/$deb"
refuses "dpkg -i $deb on glibc $glibc" "libc6 (>= $floor)" in_root dpkg -i "/tmp/$deb"
[ -z "$installed" ] || in_root dpkg-query -W -f '${Status}' "$installed" | grep -qx 'install ok installed' ||
    fail "refusing $package broke $installed"
[ -z "$installed" ] || runs /usr/bin
say "$package refused by apt and dpkg${installed:+, $installed still runs}"
ROWS

# From the repository: apt refuses it when it must be verified with
# another key, and takes it with the project's.
table from_repository <<'ROWS'
serve "$repo" other
refuses "apt-get update from the repository, verified with another key" "is not signed" apt_update
say "the repository, verified with another key: refused by apt"
apt_source libcwork
must "apt-get update from the repository" apt_update
must "apt-get install libcwork from the repository" apt_get install libcwork
installs "apt-get install libcwork"
runs /usr/bin
say "apt-get install libcwork, from the repository, installs $expect, which runs"
purged
ROWS

# The published tree over two releases: lists fetched before the second
# still install what they name; then upgrade, and back.
table from_published <<'ROWS'
serve "$work/published-first" libcwork
must "apt-get update from the first release" apt_update
serve "$work/published-second" libcwork
apt_to "$first" install libcwork
must "apt-get update" apt_update
apt_to "$second" upgrade
apt_to "$first" install --allow-downgrades "$expect=$first"
runs /usr/bin
say "from the published tree, lists older than its second release install $expect $first;" \
    "apt-get upgrade takes it to $second, and back"
purged
ROWS

# A client, over http, that reads the InRelease before a release's
# switch and the rest after it still gets the Packages its InRelease
# names (by hash), and installs what they name.
table across_switch <<'ROWS'
cp -r "$work/published-second" "$work/across-$release"
cp "$work/published-bump/apt/dists/$release/InRelease" "$work/across-$release/apt/dists/$release/"
serve "$work/published-second" libcwork http://127.0.0.1:8080/apt
must "apt across the switch" served_in_root "$work/across-$release" sh -c 'apt-get update -q --error-on=any \
    -o Dir::Etc::SourceParts=- -o Dir::Etc::SourceList=/etc/apt/sources.list.d/libcwork.list &&
    apt-get install -y -q -o Dpkg::Use-Pty=0 libcwork' && at "$bump"
say "over http, an InRelease read before a release's switch and the rest after it: apt installs $expect $bump"
ROWS

# A rotation: holding the old key alone or the next alone, apt takes
# the release signed by both, with no warning; then the next alone
# takes the release that ends it, and the old alone no longer does.
table apt_rotation <<'ROWS'
serve "$work/published-rotating" old
clean "apt-get update, holding the old key alone, of published-rotating" apt_update
apt_source next
clean "apt-get update, holding the next key alone, of published-rotating" apt_update
serve "$work/published" old
refuses "apt-get update, holding the old key alone, of the release signed by the next alone" "" apt_update
apt_source next
clean "apt-get update, holding the next key alone, of published" apt_update
apt_to "$fourth" upgrade
say "a rotation: the release signed by both keys is taken with either alone, without a warning;" \
    "the next alone takes the one that ends it, and upgrades to $fourth"
purged
ROWS

# The keyring package, installed from its file: its source and key
# alone bring libcwork; purged, it leaves nothing.
table keyring_package <<'ROWS'
serve "$work/published"
must "apt-get install of the keyring package" apt_get install "/srv/libcwork/libcwork-archive-keyring-$release.deb"
mkdir "$root/tmp/parts"
cp "$root/etc/apt/sources.list.d/libcwork.sources" "$root/tmp/parts/"
clean "apt-get update from the keyring package's source" in_root apt-get update -q --error-on=any \
    -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts=/tmp/parts
apt_to "$fourth" install libcwork
say "the keyring package's source and key bring $expect $fourth"
rm -r "$root/tmp/parts"
purged
ROWS

# A .tar.gz the system runs runs unpacked under /opt.
table tgz_runs <<'ROWS'
must "could not unpack $tgz" tar -xzf "$root/tmp/$tgz" -C "$root/opt"
runs "/opt/${tgz%.tar.gz}/bin"
say "$tgz runs from /opt"
ROWS

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
table repositories <<'ROWS'
cp -r "$repo" "$work/repo"
must "build/repo does not verify" verify_tree "$work/repo"
say "$(sed 's/^verify: //' "$out")"
for release in $releases; do
    got=$(awk '/^Package:/ && $2 !~ /^libcwork-archive-keyring/ { print $2 }' \
        "$work/repo/apt/dists/$release/main/binary-amd64/Packages" | sort | xargs)
    same "apt dist $release holds" "$got" "$(sorted $(fits_of "$release"))"
    say "apt/dists/$release: signed, holds $got"; done
! $rpm_roots || for name in $rhels; do mkdir "$work/dnf-$name"
    must "dnf cannot read rpm/$name" dnf_in "$work/dnf-$name" "$name" --quiet list --available
    got=$(awk '$1 ~ /^libcwork/ && $1 !~ /^libcwork-release/ { sub(/\.x86_64$/, "", $1); print $1 }' "$out" | sort | xargs)
    same "dnf lists in rpm/$name" "$got" "$(sorted $(fits_of "$name"))"
    say "rpm/$name: dnf lists $got"; done
ROWS

# tree_at VERSION [TREE]: the tree as it is, in a git checkout of its own
# (by default $work/tree), at the version VERSION on top of its changelog
# (a release of its own when it is not the changelog's), and its packages.
tree_at() {
    local tree=${2:-$work/tree}
    if [ ! -d "$tree" ]; then
        mkdir "$tree" && must "could not copy the tree" tar -xzf "$work/tree.tar.gz" -C "$tree" --strip-components=1
        must "could not make the tree a git checkout" git -C "$tree" init -q
    fi
    { [ "$1" = "$first" ] ||
        printf '%s\n' "libcwork ($1) unstable; urgency=medium" "" "  * The next release." "" \
            " -- $maintainer  $(LC_ALL=C date -u -R -d "@$((epoch + 86400))")" ""
      cat "$source_dir/changelog"; } >"$tree/changelog"
    must "could not commit version $1" git -C "$tree" add -A
    must "could not commit version $1" git -C "$tree" -c user.name=t -c user.email=t@example.org commit -qm "$1"
    must "could not build version $1" make -C "$tree" package
}

# copy_tree DEST: $work/tree and its builds copied to DEST, their facts
# naming the copy, as release.sh reads them.
copy_tree() { rm -rf "$1" && cp -a "$work/tree" "$1" && sed -i "s|$work/tree/|$1/|g; s|$work/tree'|$1'|g" "$1"/build/*/facts.sh; }

# release_from TREE KEY: make release of TREE into $work/published, signed by KEY.
release_from() {
    local trees
    mapfile -t trees < <(in_tree "$1")
    LIBCWORK_SIGNING_KEY=$2 LIBCWORK_URL=file:/srv/libcwork "$source_dir/scripts/release.sh" "$work/published" "${trees[@]}"
}

# snapshot: every name, mode and byte of the published tree.
snapshot() {
    [ -d "$work/published" ] || { echo none; return; }
    (cd "$work/published" && find . -printf '%p %m\n' | sort && find . -type f -exec sha256sum {} + | sort)
}

# web_files: the names, modes and bytes of the web server's own files.
web_files() {
    (cd "$work/published" && stat -c '%a %n' index.html .htaccess .well-known .well-known/security.txt &&
        sha256sum index.html .htaccess .well-known/security.txt)
}

# expect_verified KEY [AS]: make verify holds for the published tree,
# against KEY; kept as published-AS, if named, for the systems to install.
expect_verified() {
    FINGERPRINT=$1 verify_tree "$work/published" >"$err" 2>&1 ||
        fail "the published tree does not verify:"$'\n'"$(cat "$err")"
    [ -z "${2:-}" ] || cp -al "$work/published" "$work/published-$2"
}

# expect_refused MESSAGE KEY [TREE]: refused, saying MESSAGE, with the
# published tree left as it was.
expect_refused() {
    local before
    before=$(snapshot)
    refuses "the release" "$1" release_from "${3:-$work/tree}" "$2"
    [ "$(grep -c '^release: ' "$out")" = 1 ] || fail "refused with more than one message:"$'\n'"$(cat "$out")"
    [ "$(snapshot)" = "$before" ] || fail "refused ('$1'), and yet the published tree changed"
    say "refused, as it must be: $(head -n 1 "$out" | sed 's/^release: //')"
}

# replace FILE NEW: the published FILE replaced by a copy of NEW, as one
# who can write to the web server's copy would, never writing into it;
# add FILE NEW: NEW copied in as FILE. untamper puts the tree back.
replace() { mkdir -p "$work/saved" && mv "$work/published/$1" "$work/saved/${1//\//%}" && cp "$2" "$work/published/$1"; }
add() { cp "$2" "$work/published/$1" && printf '%s\0' "$1" >>"$work/added"; }
untamper() {
    local f
    { [ ! -f "$work/added" ] || (cd "$work/published" && xargs -0 rm -f <"$work/added" && rm "$work/added"); } || return
    for f in "$work/saved"/*; do
        [ ! -e "$f" ] || { f=${f##*/} && mv -f "$work/saved/$f" "$work/published/${f//%//}"; } || return
    done
}

# kill_midway TREE KEY FILE|verify: a release of TREE, killed once its new
# tree holds FILE (part way through writing it), or once it checks it.
kill_midway() {
    local pid i trees
    mapfile -t trees < <(in_tree "$1")
    LIBCWORK_SIGNING_KEY=$2 setsid "$source_dir/scripts/release.sh" "$work/published" "${trees[@]}" >"$out" 2>&1 &
    pid=$!
    for i in $(seq 600); do
        if [ "$3" = verify ]; then pgrep -f -- "--no-record $work/.published.new" >/dev/null && break
        else compgen -G "$work/.published.new.*/$3" >/dev/null && break; fi
        sleep 0.05
    done
    kill -KILL -- -"$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    [ "$i" -lt 600 ] || fail "the release never wrote $3:"$'\n'"$(cat "$out")"
}

# The throwaway keys: the repository's, the next, another, one that expires
# soon, one whose signing subkey does, and one with a passphrase.
table make_keys <<'ROWS'
export GNUPGHOME=$work/release-keys
mkdir -m 700 "$GNUPGHOME"
for what in "libcwork 1y" "next 1y" "other 1y" "soon 10d" "expired seconds=1" "subkey never"; do
    must "gpg could not make the key ${what% *}" gpg --batch --quiet --passphrase '' \
        --quick-gen-key "${what% *} <${what% *}@example.org>" ed25519 sign "${what#* }"; done
must "gpg could not add a subkey" gpg --batch --quiet --passphrase '' --quick-add-key "$(fpr_of subkey)" ed25519 sign 10d
must "gpg could not make the key locked" gpg --batch --quiet --pinentry-mode loopback --passphrase secret \
    --quick-gen-key "locked <locked@example.org>" ed25519 sign 1y
gpgconf --reload gpg-agent
key=$(fpr_of libcwork) next=$(fpr_of next) other=$(fpr_of other)
for k in old next other; do gpg --batch --export "$(fpr_of "${k/old/libcwork}")" >"$work/$k.gpg"; done
ROWS
fpr_of() { gpg --batch --with-colons --list-keys "<$1@example.org>" 2>/dev/null | awk -F: '$1 == "fpr" { print $10; exit }'; }

# versioned_sums: the sha256 of every versioned file published, which no
# later release may change.
versioned_sums() {
    (cd "$work/published" && find . -type f \( -path './apt/pool/*' -o -path './rpm/*.rpm' -o -name '*[0-9]*.deb' \
        -o -name '*[0-9]*.rpm' -o -name '*.tar.gz' \) ! -name 'libcwork-archive-keyring-*.deb' \
        ! -name libcwork-release.noarch.rpm -exec sha256sum {} + | sort -k2)
}

# The first release, and every refusal of it leaving the tree as it was;
# then a web server's own files, which every later release keeps.
table check_first <<'ROWS'
tree_at "$first"
expect_refused "no LIBCWORK_SIGNING_KEY" ""
expect_refused "is not one secret key" "$(printf '%040d' 0)"
expect_refused "the key $(fpr_of expired) expired on" "$(fpr_of expired)"
expect_refused "the key $(fpr_of soon) expires on $(date -u -d '+10 days' +%F), within 30 days" "$(fpr_of soon)"
expect_refused "which gpg signs with, expires on $(date -u -d '+10 days' +%F), within 30 days" "$(fpr_of subkey)"
expect_refused "the key needs its passphrase, and no pinentry can ask for it" "$(fpr_of locked)" </dev/null
must "the first release failed" with_umask 077 release_from "$work/tree" "$key"
[ "$(cat "$work/published/FINGERPRINT")" = "$key" ] || fail "FINGERPRINT is not the key's"
[ -z "$(find "$work/published" \( -type d ! -perm 755 \) -o \( -type f ! -perm 644 \))" ] ||
    fail "made under umask 077, the tree is not all 0755 and 0644:"$'\n'"$(find "$work/published" -ls)"
expect_verified "$key" first
versioned_sums >"$work/first.sums"
say "the first, under umask 077: $(sed 's/^release: //' "$out"); it verifies"
before=$(snapshot)
must "the same release again" release_from "$work/tree" "$key"
grep -qF "with the same bytes: nothing to do" "$out" && [ "$(snapshot)" = "$before" ] ||
    fail "the same release again:"$'\n'"$(cat "$out")"
expect_refused "is signed by the key $key, and LIBCWORK_SIGNING_KEY is $other" "$other"
printf '<html></html>\n' >"$work/published/index.html"
printf 'Options -Indexes\nRedirect 302 /apt/dists/ /old/apt/dists/\n' >"$work/published/.htaccess"
mkdir -m 750 "$work/published/.well-known"
printf 'Contact: mailto:security@example.org\n' >"$work/published/.well-known/security.txt"
chmod 640 "$work/published/.well-known/security.txt"
web_files=$(web_files)
# make verify names them as what nothing vouches for, and warns that a
# .htaccess can send clients elsewhere.
must "make verify of the tree with a web server's files" verify_tree "$work/published"
grep -qF "nothing vouches for .htaccess, .well-known/security.txt, index.html:" "$out" &&
    grep -qF "warning: .htaccess configures the web server, and can redirect clients" "$out" ||
    fail "make verify does not name the web server's files, or the .htaccess:"$'\n'"$(cat "$out")"
say "make verify names the web server's files as what nothing vouches for, and warns of the .htaccess"
ROWS

# A tampered published tree is refused by the next release, naming the
# file, and left as it is: a pool .deb of the same name with a postinst
# added, a foreign .deb, an altered .rpm, an unnamed package at the top.
table check_tampered <<'ROWS'
p=$work/published el=${rhels##* }
pool_deb=$(cd "$p" && ls libcwork_*.deb | head -n 1) && el_rpm=$(cd "$p/rpm/$el" && ls libcwork-[0-9]*.rpm | head -n 1)
must "no evil .deb" dpkg-deb -R "$p/apt/pool/$pool_deb" "$work/evil"
printf '#!/bin/sh\necho owned\n' >"$work/evil/DEBIAN/postinst" && chmod 755 "$work/evil/DEBIAN/postinst"
must "no evil .deb" dpkg-deb -b "$work/evil" "$work/evil.deb"
replace "apt/pool/$pool_deb" "$work/evil.deb" && replace "$pool_deb" "$work/evil.deb"
tampered pool-deb "apt/pool/$pool_deb"
add apt/pool/foreign_1.0_amd64.deb "$work/evil.deb"
tampered foreign-deb apt/pool/foreign_1.0_amd64.deb
{ cat "$p/rpm/$el/$el_rpm"; echo; } >"$work/altered.rpm" && replace "rpm/$el/$el_rpm" "$work/altered.rpm"
tampered altered-rpm "rpm/$el/$el_rpm"
echo garbage >"$work/garbage" && add index.deb "$work/garbage"
tampered top-unnamed index.deb
# Decoys: a file renamed with a blank, a control or a format character in
# its name, or a byte that is not UTF-8, and another file put under its own
# name. Refused by the release and by make verify (without FINGERPRINT, as
# the README's first step runs), the name shown escaped.
replace "libcwork-archive-keyring-${releases%% *}.deb" "$work/evil.deb"
add "libcwork-archive-keyring-${releases%% *}.deb " "$work/saved/libcwork-archive-keyring-${releases%% *}.deb"
tampered decoy "'libcwork-archive-keyring-${releases%% *}.deb\x20'"
echo "$other" >"$work/other.fpr" && gpg --batch --armor --export "$other" >"$work/other.asc"
decoyed FINGERPRINT "$work/other.fpr" $'\t' '\x09'
decoyed libcwork.gpg "$work/other.gpg" $'\xc2\xa0' '\xa0'
decoyed libcwork.asc "$work/other.asc" $'\xe2\x80\x8b' '\u200b'
decoyed libcwork-release.noarch.rpm "$work/altered.rpm" $'\n' '\x0a'
decoyed "$pool_deb" "$work/evil.deb" $'\xff' '\xff'
decoyed "libcwork-$first.buildinfo" "$work/garbage" $'\xe2\x80\xa8' '\u2028'
decoyed "apt/pool/$pool_deb" "$work/evil.deb" $'\xe3\x80\x80' '\u3000'
decoyed "rpm/$el/$el_rpm" "$work/altered.rpm" $'\xc2\xad' '\xad'
add apt/.htaccess "$work/garbage"
refuses "make verify of a tree with apt/.htaccess" "apt/.htaccess: no signed index names it" verify_tree "$p"
untamper || fail "could not put the tree back as it was"
# Over http, a SHA256SUMS naming a file of 300 MiB, not signed by the key:
# refused once the keys, SHA256SUMS and its signature are fetched, and
# nothing more is; a file longer than SHA256SUMS says, or a SHA256SUMS
# longer than any, is read no further than that.
rm -rf "$work/served" && cp -a "$p" "$work/served" && truncate -s 300M "$work/served/libcwork-big.tar.gz"
printf '%s  %s\n# size %s %s\n' "$(printf '%064d' 0)" libcwork-big.tar.gz 314572800 libcwork-big.tar.gz >>"$work/served/SHA256SUMS"
FINGERPRINT=$key refuses "make verify over http of SHA256SUMS not signed by the key" \
    "nothing more of it is fetched, as its SHA256SUMS is not signed" verify_tree --served "$work/served"
same "over http, the files fetched" "$(grep -o 'GET /[^ ]*' "$work/served.log" | sort | xargs)" \
    "GET /FINGERPRINT GET /SHA256SUMS GET /SHA256SUMS.asc GET /libcwork.gpg"
cp "$p/SHA256SUMS" "$work/served/" && rm "$work/served/libcwork-big.tar.gz" && truncate -s +64M "$work/served/libcwork-$first.buildinfo"
FINGERPRINT=$key refuses "make verify over http of a file longer than its size" \
    "libcwork-$first.buildinfo sent more than the $(stat -c %s "$p/libcwork-$first.buildinfo") bytes it should hold: stopped there" \
    verify_tree --served "$work/served"
truncate -s 17M "$work/served/SHA256SUMS"
FINGERPRINT=$key refuses "make verify over http of a SHA256SUMS of 17 MiB" \
    "SHA256SUMS sent more than the 16777216 bytes it may hold: stopped there" verify_tree --served "$work/served"
say "over http: an unsigned SHA256SUMS is refused before anything it names is fetched, and no file is read past its size"
ROWS

# decoyed FILE OTHER SUFFIX SHOWN: FILE renamed with SUFFIX, which makes a
# name that could pass for it (SHOWN, escaped), and OTHER put under its own
# name: make verify refuses, naming the decoy; put back, the tree verifies.
decoyed() {
    replace "$1" "$2" && add "$1$3" "$work/saved/${1//\//%}" || fail "could not put a decoy of $1"
    refuses "make verify of a decoy of $1" "'$1$4': a name that" verify_tree "$work/published"
    say "a decoy of $1 ('$1$4') and another file under its name: make verify refuses the tree"
    untamper || fail "could not put the tree back as it was"
}

# tampered CASE FILE: the release refuses the tree, naming FILE; put back,
# it verifies.
tampered() {
    expect_refused "does not verify against the key $key" "$key"
    grep -qF "$2:" "$out" || fail "the refusal of $1 does not name $2:"$'\n'"$(cat "$out")"
    say "tampered with ($1), the tree is refused, naming $2, and left as it was"
    untamper || fail "could not put the tree back as it was"
    expect_verified "$key"
}

# A revision bump, killed part way and then whole: every file published
# before stays byte for byte.
table check_bump <<'ROWS'
tree_at "$bump"
rows check_tampered
before=$(snapshot)
kill_midway "$work/tree" "$key" "apt/pool/$(. "$(newest_in "$work/tree")/facts.sh" && echo "$deb")"
[ "$(snapshot)" = "$before" ] || fail "a release killed part way changed the published tree"
expect_verified "$key"
say "killed while it wrote its new tree, the published tree is as it was and verifies"
# Its check of its new tree accepts nothing: killed then, the tree it was
# to replace still verifies.
kill_midway "$work/tree" "$key" verify
[ "$(snapshot)" = "$before" ] || fail "a release killed at its last check changed the published tree"
expect_verified "$key"
echo "draft" >>"$work/tree/README.md"
expect_refused "the tree has uncommitted changes" "$key"
git -C "$work/tree" checkout -q README.md
must "the revision bump failed" release_from "$work/tree" "$key"
(cd "$work/published" && sha256sum --quiet -c "$work/first.sums") >"$err" 2>&1 ||
    fail "the revision bump changed files of the first release:"$'\n'"$(cat "$err")"
[ -z "$(find "$work" -maxdepth 1 -name '.published.new.*')" ] || fail "the killed release's files are left beside it"
expect_verified "$key" bump
say "the revision bump $bump: $(sed 's/^release: //' "$out"); the first's files are as they were"
ROWS

# Releases at once: the second version, and started while it runs, the
# bump spelt otherwise (older by then) and the second with other bytes.
table check_at_once <<'ROWS'
spelt=${bump/.0-/.00-}
tree_at "$spelt" && must "could not copy the tree" copy_tree "$work/tree-spelt"
expect_refused "version $spelt is version $bump, published in $work/published already, spelt otherwise" \
    "$key" "$work/tree-spelt"
tree_at "$second" && must "could not copy the tree" copy_tree "$work/tree-other"
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
expect_verified "$key" second
for i in $(. "$(newest_in "$work/tree")/facts.sh" && echo "$packages_dir/$deb $packages_dir/$tgz"); do
    cmp -s "$i" "$work/published/${i##*/}" || fail "${i##*/} is not the second release's"; done
say "the second, with two more started while it ran: it is published; the older and the other bytes refused"
ROWS

# Every release, and every refusal leaving the published tree as it was.
table check_published <<'ROWS'
unset LIBCWORK_NEXT_KEY
rows make_keys
rows check_first
rows check_bump
rows check_at_once
for release in $releases; do
    got=$(awk '/^Package:/ { p = $2 } /^Version:/ { print p "=" $2 }' \
        "$work/published/apt/dists/$release/main/binary-amd64/Packages" | sort | xargs)
    want=$(for p in libcwork-archive-keyring $(fits_of "$release"); do for v in "$first" "$bump" "$second"; do
        [ $p = libcwork-archive-keyring ] && echo "$p=$v+$release" || echo "$p=$v"; done; done | sort | xargs)
    same "apt/dists/$release lists" "$got" "$want"; done
say "the apt dists list every version"
rows check_rotation
rows check_key_packages
gpgconf --kill gpg-agent
unset GNUPGHOME
ROWS

# A rotation: a release signed by the key and the next, each of which
# verifies it alone; then one by the next alone, which ends it.
table check_rotation <<'ROWS'
tree_at "$third"
export LIBCWORK_NEXT_KEY=$next
must "the release that starts a rotation failed" release_from "$work/tree" "$key"
unset LIBCWORK_NEXT_KEY
[ "$(xargs <"$work/published/FINGERPRINT")" = "$key $next" ] || fail "FINGERPRINT does not name both keys"
for k in old next; do for release in $releases; do verifies_alone "$k" "$release"; done; done
expect_verified "$next" rotating
say "the third, signed by both keys: $(sed 's/^release: //' "$out")"
tree_at "$fourth"
expect_refused "a rotation from $key to $next is under way" "$key"
must "the release that ends the rotation failed" release_from "$work/tree" "$next"
[ "$(cat "$work/published/FINGERPRINT")" = "$next" ] || fail "FINGERPRINT does not name the next key alone"
expect_verified "$next"
say "the fourth, signed by the next key alone: $(sed 's/^release: //' "$out")"
[ "$(web_files)" = "$web_files" ] || fail "the web server's files did not survive the releases"
say "the web server's index.html, .htaccess and .well-known/ are as they were"
# An older tree served again where a newer one was accepted is refused,
# naming both dates, from a directory and over http, also with both keys
# of the rotation trusted; ACCEPT_OLDER=yes takes it.
rm -rf "$work/place" && cp -a "$work/published-second" "$work/place"
FINGERPRINT=$key must "make verify of the second release" verify_tree "$work/place"
grep -qF "nothing earlier from $key at $work/place is known here" "$out" || fail "the first use is not said:"$'\n'"$(cat "$out")"
rm -rf "$work/place" && cp -a "$work/published-first" "$work/place"
FINGERPRINT=$key refuses "make verify of the first release, served again" "older tree served again (a rollback) is refused" \
    verify_tree "$work/place"
[ "$(grep -o 'signed on [0-9-]* [0-9:]* UTC' "$out" | sort -u | wc -l)" = 2 ] || fail "the refusal does not name both dates:"$'\n'"$(cat "$out")"
ACCEPT_OLDER=yes FINGERPRINT=$key must "make verify ACCEPT_OLDER=yes of the first release" verify_tree "$work/place"
FINGERPRINT="$key,$next" must "make verify over http of the fourth release" verify_tree --served "$work/published"
FINGERPRINT="$key, $next" refuses "make verify over http of the third, served again" "(a rollback) is refused" \
    verify_tree --served "$work/published-rotating"
say "an older tree served again is refused, from a directory and over http, naming both dates; ACCEPT_OLDER=yes takes it"
ROWS

# verifies_alone KEY RELEASE: the dist's InRelease verifies with KEY.gpg
# alone. (gpgv exits 2 for the signature it has no key for; a good one is
# what counts.)
verifies_alone() {
    gpgv --status-fd 1 --keyring "$work/$1.gpg" "$work/published/apt/dists/$2/InRelease" >"$err" 2>&1
    grep -q '^\[GNUPG:\] VALIDSIG ' "$err" && ! grep -q '^\[GNUPG:\] BADSIG ' "$err" ||
        fail "$2's InRelease does not verify with the $1 key alone:"$'\n'"$(cat "$err")"
}

# The keyring and release packages: clean by lintian and rpmlint, and
# made again elsewhere, under another umask and time zone, the same bytes.
table check_key_packages <<'ROWS'
lint_key_packages
must "could not make them again" key_packages_again
for file in "$work/again"/*; do cmp -s "$file" "$work/published/${file##*/}" || fail "${file##*/}, made again, has other bytes"; done
say "the keyring and release packages are clean and reproducible"
ROWS

lint_key_packages() {
    have "linting the keyring and release packages" lintian rpmlint || return 0
    lintian --fail-on error,warning "$work/published"/libcwork-archive-keyring_*.deb >"$out" 2>&1 &&
        rpmlint --strict -c "$source_dir/scripts/rpmlint.toml" "$work/published/libcwork-release-$fourth.noarch.rpm" >>"$out" 2>&1 ||
        fail "the keyring and release packages are not clean:"$'\n'"$(cat "$out")"
}

# key_packages_again: the keyring and release packages made again, into
# $work/again, from the newest generation's build, elsewhere and otherwise.
key_packages_again() {
    (umask 002 && cd / && TZ=Asia/Tokyo "$source_dir/scripts/package.sh" keys "$(newest_in "$work/tree")" \
        "$work/again" file:/srv/libcwork "$work/published/libcwork.gpg" "$work/published/libcwork.asc")
}

# glibc_rpm RUNTIME GLIBC TREE: the loader and libc of the glibc runtime in
# TREE as the rpm glibc GLIBC, in $work/rpmbuild-RUNTIME.
glibc_rpm() {
    local runtime=$1 glibc=$2 tree=$3 payload=$work/rpm-$1.payload
    # The loader and libc, with the links that lead to them, laid out under
    # /usr as on RHEL, where /lib and /lib64 lead into /usr.
    (cd "$tree" && find . \( -name 'ld-*.so*' -o -name libc.so.6 -o -name 'libc-*.so' \) \
        \( -type f -o -type l \)) | while read -r file; do
        dest=$payload/usr/${file#./}
        dest=${dest/\/usr\/usr\///usr/}
        mkdir -p "$(dirname "$dest")" && cp -a "$tree/$file" "$dest" || exit
    done || return
    mkdir -p "$payload/usr/bin" "$payload/usr/share/man/man1" "$payload/usr/share/licenses" \
        "$payload/etc/pki/rpm-gpg" "$payload/etc/yum.repos.d" &&
        ln -s usr/lib "$payload/lib" && ln -s usr/lib64 "$payload/lib64" || return
    # rpm's generator provides the libraries and their symbol versions;
    # rtld(GNU_HASH) it cannot see, and every RHEL and Fedora glibc states it.
    SOURCE_DATE_EPOCH=$epoch pkg_name=glibc pkg_version=$glibc pkg_release=0.${runtime//-/_} pkg_arch=amd64 \
        pkg_summary="The loader and C library of glibc $glibc, for a test root" pkg_license=LGPL-2.1-or-later \
        pkg_provides="rtld(GNU_HASH)" pkg_autoprov=yes pkg_files=$'/etc\n/lib\n/lib64\n/usr' \
        pkg_description="The loader and C library of the $runtime glibc runtime, and the
directories the packages installed beside them need." \
        "$source_dir/scripts/package.sh" rpm "$work/rpmbuild-$runtime" "$payload"
}

# check_rpm_root RUNTIME: an rpm root of that glibc runtime, and libcwork
# installed there by dnf from the repositories.
check_rpm_root() {
    local runtime=$1 root=$work/rpm-$1 pm=rpm glibc fits expect el="" name refused="" where dnf_repo=""
    TEST_NAME=systems/rpm-$runtime
    glibc=$(glibc_of "$runtime") fits=$(fits_of "$runtime")
    expect=${fits##* } where="rpm root, glibc $glibc ($runtime)"
    # It reads the repository of the newest RHEL release whose glibc its own meets.
    for name in $rhels; do ! version_at_most "$(glibc_of "$name")" "$glibc" || el=$name; done
    rows rpm_root
}

# dnf_el ARG...: dnf, from the repository of the root's RHEL release;
# dnf_to VERSION ARG...: that takes $expect to VERSION.
dnf_el() { must "dnf $*" dnf_in "$root" "$el" "$@"; }
dnf_to() { dnf_el "${@:2}" && at "$1"; }

table rpm_root <<'ROWS'
[ -d "$debian_dir/$runtime-runtime" ] || fail "no glibc runtime in $debian_dir/$runtime-runtime: make check fetches it"
must "rpmbuild of glibc $glibc" glibc_rpm "$runtime" "$glibc" "$debian_dir/$runtime-runtime"
mkdir "$root"
must "dnf install glibc $glibc" dnf_in "$root" "" install "$work/rpmbuild-$runtime"/glibc-*.rpm
glibc_is "/$(cd "$root" && find usr -name libc.so.6 | head -n 1)"
files >"$root.before"
# From a repository that holds a generation this glibc cannot run, dnf
# refuses libcwork, naming the glibc version it needs.
for name in $rhels; do for build in "${builds[@]}"; do . "$build/facts.sh"
    fits "$name" && ! fits "$runtime" || continue
    refuses "dnf install libcwork from rpm/$name on glibc $glibc" "libc.so.6(GLIBC_$floor)(64bit)" \
        dnf_in "$root" "$name" install libcwork
    refused="; from rpm/$name, dnf refuses $package: it needs libc.so.6(GLIBC_$floor)(64bit)"; break 2; done; done
dnf_el install libcwork
installs "dnf install libcwork"
runs /usr/bin
say "from rpm/$el, dnf installs $expect, which runs$refused"
# The published tree over two releases: dnf lists every version, upgrades
# from the first to the second, and goes back.
purged
dnf_repo=$work/published-second
dnf_el --showduplicates list "$expect"
[ "$(grep -c "^$expect\.x86_64 " "$out")" = 3 ] || fail "dnf does not list the three versions of $expect:"$'\n'"$(cat "$out")"
dnf_to "${first%-*}" install "$expect-${first%-*}"
dnf_to "${second%-*}" upgrade
dnf_to "${first%-*}" downgrade "$expect"
runs /usr/bin
dnf_repo=
say "from the published rpm/$el, dnf lists every version of $expect, upgrades to ${second%-*} and downgrades to ${first%-*}"
# The release package of the rotation's first release, installed from
# its file: its .repo and keys bring libcwork from that release, and
# after the switch dnf upgrades from the release signed by the next key
# alone.
purged
must "dnf install of the release package" dnf_in "$root" "" install "$work/published-rotating/libcwork-release.noarch.rpm"
grep -qx 'baseurl=file:/srv/libcwork/rpm/el$releasever/' "$root/etc/yum.repos.d/libcwork.repo" &&
    grep -qx 'gpgkey=file:///etc/pki/rpm-gpg/RPM-GPG-KEY-libcwork' "$root/etc/yum.repos.d/libcwork.repo" ||
    fail "libcwork.repo names another place:"$'\n'"$(cat "$root/etc/yum.repos.d/libcwork.repo")"
through_release_package "${third%-*}" published-rotating install
through_release_package "${fourth%-*}" published upgrade
say "the release package of the rotation brings $expect ${third%-*}" \
    "and, after the switch to the next key, dnf upgrade ${fourth%-*}"
purged
ROWS

# through_release_package VERSION TREE ACTION: dnf ACTION libcwork from
# TREE, by the .repo and key the release package installed, takes $expect
# to VERSION. (dnf --installroot reads file: URLs on this machine, not in
# the root: baseurl and gpgkey are pointed at where those are here.)
through_release_package() {
    local number=number_$el
    must "dnf $3 libcwork through the release package, from $2" unshare -n dnf --installroot="$root" \
        --releasever="${!number}" --noplugins --assumeyes --setopt=reposdir="$root/etc/yum.repos.d" \
        --setopt=skip_if_unavailable=False --setopt=libcwork.baseurl="file://$work/$2/rpm/$el/" \
        --setopt=libcwork.gpgkey="file://$root/etc/pki/rpm-gpg/RPM-GPG-KEY-libcwork" "$3" libcwork && at "$1"
}

# check_root_build: make release, from an environment made to poison a
# build (a g++ first on PATH that builds otherwise, compiler and linker
# flags, another locale, time zone and umask), publishes exactly what a
# clean build in the root makes of the same source.
check_root_build() {
    local where="build root" tree=$work/tree-root f
    TEST_NAME=systems/build-root
    tree_at "$first" "$tree"
    export GNUPGHOME=$work/root-keys
    must "no throwaway key" throwaway_key "root build <root@example.org>" ed25519
    local key
    key=$(cat "$out")
    mkdir "$work/poison" && printf '#!/bin/sh
exec /usr/bin/g++ -O0 -DPOISONED "$@"
' >"$work/poison/g++" &&
        chmod 755 "$work/poison/g++" || fail "could not make the poisoned g++"
    rows root_build
    rows rebuilds
}

table root_build <<'ROWS'
# REPO with the shell's and make's metacharacters reaches the release as
# it is, through make, in a parent the release makes; a failing release
# fails make.
dir="$work/a b/\$(touch made-by-dollar) \`touch made-by-backquote\` \"q'/published"
refuses "make release with no key" "no LIBCWORK_SIGNING_KEY" env LIBCWORK_SIGNING_KEY= make -C "$tree" release REPO="$dir"
must "make and make release, poisoned, into '$dir'" with_umask 077 env PATH="$work/poison:$PATH" CXXFLAGS="-O0 -g3" \
    LDFLAGS=-Wl,-znorelro LC_ALL=C.UTF-8 TZ=Asia/Tokyo LIBCWORK_SIGNING_KEY="$key" make -C "$tree" all release REPO="$dir"
[ -f "$dir/FINGERPRINT" ] || fail "make release into '$dir' wrote no FINGERPRINT:"$'\n'"$(cat "$out")"
[ -z "$(find "$work" "$tree" -maxdepth 1 -name 'made-by-*')" ] || fail "REPO ran as a command"
[ "$(stat -c %a "$work/a b" "$dir/.." "$dir" | xargs)" = "755 755 755" ] ||
    fail "the directories the release made under umask 077 are not 0755"
mv "$dir" "$work/poisoned" && rm -rf "$work/a b"
say "REPO with spaces, quotes, \$(…) and backquotes reaches it as it is, through make"
for b in $(in_tree "$tree"); do same "after make from a poisoned environment, ${b##*/} needs glibc" \
    "$("$source_dir/scripts/glibc-floor.sh" "$b"/bin/*)" "$(. "$b/facts.sh" && echo "$floor")"; done
must "the clean build in the root" "$source_dir/scripts/rootbuild.sh" "$(newest_in "$tree")" \
    "$(ls "$work/poisoned"/libcwork-*-source.tar.gz)" "$work/clean" "$work/poisoned/libcwork.asc" \
    "$(field Repository "$work/poisoned"/libcwork-*.buildinfo)"
for f in "$work/clean"/*; do [ "${f%.buildinfo}" != "$f" ] || cmp -s "$f" "$work/poisoned/${f##*/}" ||
    fail "${f##*/}, released from a poisoned environment, is not what the clean build in the root made"; done
f=$(cd "$work/clean" && ls *.buildinfo)
head -c "$(stat -c %s "$work/clean/$f")" "$work/poisoned/$f" | cmp -s - "$work/clean/$f" ||
    fail "the published build record is not the clean build's:"$'\n'"$(diff "$work/clean/$f" "$work/poisoned/$f")"
say "make release from a poisoned environment publishes the bytes of a clean build in the root: $(ls "$work/clean" | wc -l) files"
must "the release built in the root does not verify" verify_tree "$work/poisoned"
# A changed build record or provenance fails, even where the whole tree's
# sums are signed again by the key.
resigned record "$work/poisoned/$f" sed -i 's/^Build-Release: .*/Build-Release: elsewhere/'
refuses "verify of a changed build record" "${f%.buildinfo}.intoto.json: names $f with sha256" \
    verify_tree "$work/tampered"
resigned provenance "$work/poisoned/${f%.buildinfo}.intoto.json" envelope_altered payload
refuses "verify of a changed provenance" "${f%.buildinfo}.intoto.json: no good signature by a key of the tree's" \
    verify_tree "$work/tampered"
say "a build record or provenance changed, the tree's sums signed again, fails make verify"
# One who holds the key publishes a version without its build record,
# source archive or provenance, or an index that hands a client a file
# outside apt/pool/ or its rpm repository (in Packages, Packages.gz alone,
# a by-hash copy alone; in the primary xml or sqlite alone, or at another
# xml:base), or with another hash that apt checks: everything signed again
# by the key, make verify refuses each.
d=${releases##* } el=${rhels##* } rpm=$(. "$(newest_in "$tree")/facts.sh" && echo "$rpm")
forged "a version without its provenance" "names it as libcwork $first, a version with no provenance" rm "libcwork-$first.intoto.json"
forged "a version without its build record" "version $first: has no build record" rm "libcwork-$first.buildinfo"
forged "a version without its source archive" "version $first: has no source archive" rm "libcwork-$first-source.tar.gz"
for index in all gz by-hash; do forged "a Packages entry outside apt/pool/ ($index)" \
    "names 'dists/$d/Release' for libcwork $first, outside apt/pool/" - point "$d" libcwork "dists/$d/Release" "$index"; done
forged "another SHA512 in Packages" "sha512 " - field "$d" libcwork SHA512 "$(printf '%0128d' 0)"
for index in xml sqlite; do forged "an rpm location outside its repository ($index)" "names '../el9/$rpm', outside rpm/$el/" \
    - locate "$el" libcwork "../el9/$rpm" - "$index"
    forged "an rpm location at another xml:base ($index)" "at the base 'https://elsewhere.example/' (xml:base)" \
    - locate "$el" libcwork "$rpm" https://elsewhere.example/ "$index"; done
forged "an index that apt reads and make verify does not" "names main/binary-amd64/Packages.diff/Index, an index that no release writes" \
    - index "$d" main/binary-amd64/Packages.diff/Index
forged "rpm metadata that dnf reads and make verify does not" "names metadata of the kind primary_zck, which no release writes" \
    - metadata "$el" primary_zck
say "a version without its record, source or provenance, an index entry outside its place, and an index make verify does not read, signed by the key: refused"
# The key's fingerprint as gpg --fingerprint prints it, in ten groups, is
# taken, and a signing subkey's stands for its key; a short id is refused.
FINGERPRINT="$(gpg --fingerprint "$key" | sed -n 2p)" must "make verify with a grouped fingerprint" verify_tree "$work/poisoned"
FINGERPRINT=${key: -16} refuses "make verify with a short id" "is not a key's fingerprint" verify_tree "$work/poisoned"
signer=$(GNUPGHOME=$work/signer-keys throwaway_key "signer <signer@example.org>" ed25519) &&
    GNUPGHOME=$work/signer-keys gpg --batch --quiet --passphrase '' --quick-add-key "$signer" ed25519 sign 1y ||
    fail "could not make a key with a signing subkey"
sub=$(GNUPGHOME=$work/signer-keys gpg --batch --with-colons --list-keys "$signer" | awk -F: '$1 == "fpr" { f = $10 } END { print f }')
rm -rf "$work/tampered" && cp -a "$work/poisoned" "$work/tampered" && echo "$signer" >"$work/tampered/FINGERPRINT" &&
    GNUPGHOME=$work/signer-keys gpg --batch --export "$signer" >"$work/tampered/libcwork.gpg" &&
    GNUPGHOME=$work/signer-keys gpg --batch --armor --export "$signer" >"$work/tampered/libcwork-retired.asc" ||
    fail "could not give the tree the key with a signing subkey"
GNUPGHOME=$work/signer-keys must "could not sign with the subkey" /usr/bin/python3 "$source_dir/tests/forge.py" "$work/tampered" "$sub"
FINGERPRINT=$sub must "make verify with a signing subkey's fingerprint" verify_tree "$work/tampered"
grep -qF "the subkey $sub stands for its key $signer" "$out" || fail "the subkey is not said to stand for its key:"$'\n'"$(cat "$out")"
say "a fingerprint in groups of four, and a signing subkey's, are taken; a short id is refused"
# A key that has expired: what every release signs anew is refused signed
# by it; an older version's provenance that it signed before it expired
# still counts, as make verify says.
! have "the rows of an expired key" faketime || aged_key "$work/aged"
ROWS

# Anyone with a checkout shows that the release comes from its source, and
# signs what they found: here nobody, with a cache of its own.
table rebuilds <<'ROWS'
must "could not clone the tree" git clone -q "$tree" "$work/other clone/libcwork"
rk=$(GNUPGHOME=$work/rebuilder-keys throwaway_key "rebuilder <rebuilder@example.org>" ed25519)
must "could not give nobody the clone and a cache" cache_for_nobody "$work/other clone" "$work/rebuilder-keys"
must "make rebuild by nobody from a second clone" with_umask 002 setpriv --reuid=65534 --regid=65534 --clear-groups \
    env HOME="$work/other clone" XDG_CACHE_HOME="$work/other clone/cache" GNUPGHOME="$work/rebuilder-keys" \
    make --no-print-directory -C "$work/other clone/libcwork" rebuild REPO="$work/poisoned" ATTEST="$rk"
grep -qF "rebuild: version $first, the newest that the tree's indices name" "$out" &&
    grep -qF "libcwork-$first-source.tar.gz: the same bytes as dist.sh makes of commit" "$out" ||
    fail "make rebuild does not say which version it rebuilt, why, and that its source is the commit:"$'\n'"$(cat "$out")"
say "make rebuild, by another user, from a second clone in a path with a space and under umask 002: $(tail -n 1 "$out")"
c=$(field Commit "$work/poisoned/libcwork-$first.buildinfo")
git init -q --bare "$work/empty.git" || fail "could not make an empty repository"
GIT_DIR=$work/empty.git refuses "make rebuild from a checkout without the commit" "this checkout has no commit $c" \
    make -C "$tree" rebuild REPO="$work/poisoned"
refuses "make rebuild of a trial" "was built outside a clean root, as its build record says" \
    make -C "$tree" rebuild REPO="$work/repo"
# A build machine that publishes a .deb and a keyring its source does not
# make, signed by the maintainer's own key: the tree verifies, and the
# rebuild names them.
rm -rf "$work/forged" && cp -a "$work/clean" "$work/forged" && f=$(cd "$work/forged" && ls libcwork_*.deb)
k=$(cd "$work/forged" && ls libcwork-archive-keyring_*.deb | head -n 1)
for g in "$f" "$k"; do rm -rf "$work/forged.tree" && must "could not alter $g" dpkg-deb -R "$work/forged/$g" "$work/forged.tree"
    echo owned >"$work/forged.tree/usr/share/doc/${g%%_*}/README" && rm "$work/forged/$g"
    must "could not alter $g" dpkg-deb --root-owner-group -b "$work/forged.tree" "$work/forged/$g"; done
# Its source archive is the commit's tar, compressed otherwise, which the
# rebuild takes; and an index hands a client a .deb of its own.
s=libcwork-$first-source.tar.gz && gzip -dc "$work/clean/$s" | gzip -1n >"$work/forged/$s" &&
    sed -i "s/^Source-Archive: [0-9a-f]*/Source-Archive: $(sha256sum <"$work/forged/$s" | cut -d' ' -f1)/" \
        "$work/forged/libcwork-$first.buildinfo" || fail "could not compress the source archive otherwise"
must "the compromised release" env LIBCWORK_PACKAGES="$work/forged" LIBCWORK_SIGNING_KEY="$key" \
    "$source_dir/scripts/release.sh" "$work/compromised" $(in_tree "$tree")
e=${f%.deb}.more.deb && cp "$work/forged/$f" "$work/compromised/apt/pool/$e" &&
    must "could not name $e in an index" /usr/bin/python3 "$source_dir/tests/forge.py" "$work/compromised" "$key" \
        point "$build_release" libcwork "pool/$e" all
must "the compromised release does not verify" verify_tree "$work/compromised"
# The checkout is at a later version by then: the release's own is rebuilt.
tree_at "${upstream%.*}.$((${upstream##*.} + 4))-1" "$tree"
refuses "make rebuild of the compromised release" "$f: other bytes than the rebuild's" \
    make -C "$tree" rebuild REPO="$work/compromised"
grep -qF "apt/pool/$k: other bytes than the rebuild's" "$out" && ! grep -q 'lacks\|cannot open' "$out" ||
    fail "make rebuild does not name $k alone:"$'\n'"$(cat "$out")"
grep -qF "apt/pool/$e: the build makes no $e" "$out" &&
    grep -qF "$s: the same tar as dist.sh makes of commit $c, compressed otherwise" "$out" ||
    fail "make rebuild does not name $e, which an index hands out, or not the source's compression:"$'\n'"$(cat "$out")"
say "a release whose $f and $k its source does not make, signed by the key, verifies, and make rebuild from a later checkout names them"
# A source archive of another commit, its header made to name the
# recorded one: make rebuild names the archive and the files that differ.
rm -rf "$work/tampered" && cp -a "$work/poisoned" "$work/tampered" &&
    git -C "$tree" -c tar.umask=0022 archive --prefix="libcwork-$upstream/" HEAD |
    sed "s/$(git -C "$tree" rev-parse HEAD)/$c/" | gzip -9n >"$work/tampered/$s" &&
    sed -i "s/^Source-Archive: [0-9a-f]*/Source-Archive: $(sha256sum <"$work/tampered/$s" | cut -d' ' -f1)/" \
        "$work/tampered/libcwork-$first.buildinfo" || fail "could not make another commit's source archive"
must "could not sign it again" /usr/bin/python3 "$source_dir/tests/forge.py" "$work/tampered" "$key"
refuses "make rebuild of another commit's source" "$s is not what dist.sh makes of commit $c" make -C "$tree" rebuild REPO="$work/tampered"
grep -qF "libcwork-$upstream/changelog: " "$out" || fail "make rebuild does not name the file that differs:"$'\n'"$(cat "$out")"
say "a source archive of another commit, named as the recorded one: make rebuild names it and the changelog, which differs"
# A later release publishes what the rebuilder signed under rebuilds/,
# and make verify checks it.
must "the release with a rebuilder's attestation" env LIBCWORK_REBUILDS="$work/other clone/libcwork/build/rebuilds" \
    LIBCWORK_SIGNING_KEY="$key" "$source_dir/scripts/release.sh" "$work/poisoned" $(in_tree "$tree")
must "the release with a rebuilder's attestation does not verify" verify_tree "$work/poisoned"
grep -qF "rebuilt and matched by $rk" "$out" || fail "make verify does not report the rebuilder:"$'\n'"$(cat "$out")"
f=$(cd "$work/poisoned/rebuilds" && ls *.intoto.json)
resigned attestation "$work/poisoned/rebuilds/$f" envelope_altered signature
refuses "verify of a changed attestation" "rebuilds/$f: not a good signature by the key rebuilds/$rk.asc" \
    verify_tree "$work/tampered"
say "make rebuild ATTEST signs what it found; published under rebuilds/, make verify checks it, and refuses it changed"
# An attestation is named by the key that signed it: one whose key is
# revoked, or one that names another key, does not count.
cp -a "$work/rebuilder-keys" "$work/revoked-keys" && rm -f "$work/revoked-keys"/S.* &&
    sed 's/^:-----/-----/' "$work/revoked-keys/openpgp-revocs.d/$rk.rev" |
    gpg --homedir "$work/revoked-keys" --batch --quiet --import 2>/dev/null || fail "could not revoke the rebuilder's key"
resigned "rebuilder's key" "$work/poisoned/rebuilds/$rk.asc" sh -c 'gpg --homedir "$0" --batch --armor --export >"$1"' "$work/revoked-keys"
refuses "verify of an attestation by a revoked key" "rebuilds/$f: signed by $rk, which is revoked" verify_tree "$work/tampered"
resigned "attestation's name" "$work/poisoned/rebuilds/$f" \
    sh -c 'cp "$2" "${2%%-by-*}-by-$0.intoto.json" && cp "${2%/*}/$1.asc" "${2%/*}/$0.asc"' "$key" "$rk"
refuses "verify of an attestation named by another key" "signed by $rk, and it says it is signed by $key" verify_tree "$work/tampered"
say "an attestation by a revoked key, or named by another key than its signer's, is refused"
ROWS

# cache_for_nobody DIR [DIR...]: the clone DIR/libcwork and the other
# DIRs are nobody's, and DIR/cache its download cache, holding what ours
# does: the entries linked (each is checked again at its every use), the
# package lists copied.
cache_for_nobody() {
    local ours=${XDG_CACHE_HOME:-$HOME/.cache}/libcwork mine=$1/cache/libcwork
    mkdir -p "$mine" && cp -rl "$ours"/sha* "$mine/" &&
        find "$ours" -mindepth 1 -maxdepth 1 ! -name 'sha*' -exec cp -r -t "$mine" {} + &&
        find "$mine" -path "$mine/sha*" -type f -prune -o -exec chown 65534:65534 {} + &&
        chown -R 65534:65534 "$1/libcwork" "${@:2}" && chown 65534:65534 "$1" && chmod o+x "$work"
}

# envelope_altered payload|signature FILE: the DSSE envelope FILE with the
# first subject of its statement given another digest, or with a bit of
# its first signature turned, the rest as it was.
envelope_altered() {
    /usr/bin/python3 - "$@" <<'PY'
import base64, json, sys
what, path = sys.argv[1:]
e = json.load(open(path))
if what == "payload":
    s = json.loads(base64.b64decode(e["payload"]))
    s["subject"][0]["digest"]["sha256"] = "0" * 64
    e["payload"] = base64.b64encode(json.dumps(s).encode()).decode()
else:
    sig = bytearray(base64.b64decode(e["signatures"][0]["sig"]))
    sig[-1] ^= 1
    e["signatures"][0]["sig"] = base64.b64encode(bytes(sig)).decode()
json.dump(e, open(path, "w"))
PY
}

# resigned WHAT FILE COMMAND...: $work/tampered, a copy of $work/poisoned
# with FILE changed by COMMAND FILE, and its indices and SHA256SUMS
# written and signed again by the key, as one holding the key (not the
# build) could; the provenance is kept as it is.
resigned() {
    local file=$work/tampered/${2#"$work/poisoned/"}
    rm -rf "$work/tampered" && cp -a "$work/poisoned" "$work/tampered" && "${@:3}" "$file" &&
        /usr/bin/python3 "$source_dir/tests/forge.py" --keep-provenance "$work/tampered" "$key" >"$out" 2>&1 ||
        fail "could not change the $1 and sign the sums again:"$'\n'"$(cat "$out")"
}

# forged WHAT SAYING COMMAND... | forged WHAT SAYING - EDIT...: $work/tampered,
# a copy of $work/poisoned changed by COMMAND, run there, or by forge.py's
# EDIT, and everything signed again by the key: make verify refuses it,
# saying SAYING.
forged() {
    rm -rf "$work/tampered" && cp -a "$work/poisoned" "$work/tampered" || fail "could not copy the tree"
    if [ "$3" = - ]; then must "could not forge $1" /usr/bin/python3 "$source_dir/tests/forge.py" "$work/tampered" "$key" "${@:4}"
    else
        (cd "$work/tampered" && "${@:3}") && must "could not forge $1" /usr/bin/python3 "$source_dir/tests/forge.py" "$work/tampered" "$key"
    fi
    refuses "make verify of $1, signed again by the key" "$2" verify_tree "$work/tampered"
}

# aged_key DIR: in a copy of $work/poisoned, SHA256SUMS and the indices,
# signed a year ago by a key that expired a day after, are refused; and a
# provenance that it signed then, its key kept as a retired one, counts.
aged_key() {
    local then aged keys=$work/aged-keys
    then=$(date -u -d '-1 year' '+%F %T')
    mkdir -m 700 "$keys" && GNUPGHOME=$keys must "could not make a key a year ago" faketime "$then" \
        gpg --batch --quiet --passphrase '' --quick-gen-key "aged <aged@example.org>" ed25519 sign 1d
    aged=$(GNUPGHOME=$keys fpr_of aged)
    rm -rf "$1" && cp -a "$work/poisoned" "$1" && gpg --homedir "$keys" --batch --export "$aged" >"$1/libcwork.gpg" &&
        echo "$aged" >"$1/FINGERPRINT" || fail "could not give the tree the aged key"
    GNUPGHOME=$keys must "could not sign a year ago" faketime "$then" /usr/bin/python3 "$source_dir/tests/forge.py" "$1" "$aged"
    gpgconf --homedir "$keys" --kill all
    refuses "make verify of a tree signed by a key that has expired" "SHA256SUMS.asc: signed by $aged, which expired on" \
        verify_tree "$1"
    gpg --batch --export "$key" >"$1/libcwork.gpg" && echo "$key" >"$1/FINGERPRINT" &&
        gpg --homedir "$keys" --batch --armor --export "$aged" >"$1/libcwork-retired.asc" || fail "could not retire the aged key"
    must "could not sign the tree again" /usr/bin/python3 "$source_dir/tests/forge.py" --keep-provenance "$1" "$key"
    must "make verify of a provenance signed before its key expired" verify_tree "$1"
    grep -qF "libcwork-$first.intoto.json: signed on $(date -u -d '-1 year' +%F)" "$out" && grep -qF "by $aged, before that key expired" "$out" ||
        fail "make verify does not say that the provenance was signed before its key expired:"$'\n'"$(cat "$out")"
    say "signed by a key that has expired, SHA256SUMS is refused; an older provenance it signed before then counts, as make verify says"
}

rpm_roots=true && have "the rpm roots" dnf rpmbuild || rpm_roots=false
where=repository TEST_NAME=systems/repositories out=$work/repositories.out err=$work/repositories.err rows repositories
# The version in the changelog, and the next ones.
first=$version
upstream=${first%%-*}
bump=$upstream-$((${first##*-} + 1))
second=${upstream%.*}.$((${upstream##*.} + 1))-1
third=${upstream%.*}.$((${upstream##*.} + 2))-1
fourth=${upstream%.*}.$((${upstream##*.} + 3))-1

# The build root beside the releases; then every system and every rpm root
# side by side, installing what the releases published.
releases_then_systems() { where=release TEST_NAME=systems/release rows check_published && side_by_side "${systems[@]}"; }
systems=()
for release in $releases; do systems+=("check_release $release"); done
if $rpm_roots; then
    for runtime in $runtimes; do systems+=("check_rpm_root $runtime"); done
fi
must "could not copy the tree" "$source_dir/scripts/dist.sh" --working-tree "$work/tree.tar.gz"
side_by_side check_root_build releases_then_systems
