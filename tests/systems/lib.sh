# shellcheck shell=bash disable=SC2034 # what it sets is for the tests that source it
# Helpers for the system tests (docs/testing.md), sourced by each after
# tests/lib.sh. Each test is a subject of its own, whose rows are the
# functions it calls; what the tests share lies in $SYSTEMS_DIR, made by
# the ones that set up the fixtures, packages and published.
. "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
systems=${SYSTEMS_DIR:?}
[ "$(id -u)" = 0 ] || skip "needs root, for the systems it installs into"

# A command that fails where no row checks it fails the test, naming it.
set -E
trap 'fail "line $LINENO of ${BASH_SOURCE[0]##*/} failed: $BASH_COMMAND"' ERR

# The builds, oldest floor first: the order to install and switch in; and
# the version in the changelog, and the next ones.
builds=()
for gen in $generations; do builds+=("${build_dir%/*}/$gen"); done
first=$version upstream=${version%%-*}
bump=$upstream-$((${first##*-} + 1))
second=${upstream%.*}.$((${upstream##*.} + 1))-1
third=${upstream%.*}.$((${upstream##*.} + 2))-1
fourth=${upstream%.*}.$((${upstream##*.} + 3))-1

# The verbs of the rows. must WHAT COMMAND...: COMMAND succeeds, its output
# in $out, or the test fails saying WHAT, and what COMMAND said.
must() { "${@:2}" >"$out" 2>&1 || fail "$1:"$'\n'"$(cat "$out")"; }
# refuses WHAT SAYING COMMAND...: COMMAND (asked to do WHAT) fails, its
# output in $out, and says SAYING, unless that is empty.
refuses() {
    ! "${@:3}" >"$out" 2>&1 || fail "$1 succeeded, and must be refused${2:+ ('$2')}:"$'\n'"$(cat "$out")"
    [ -z "$2" ] || grep -qF -- "$2" "$out" || fail "$1 was refused for another reason than '$2':"$'\n'"$(cat "$out")"
}
# equals WHAT GOT WANT: what a row found is what it wants.
equals() { [ "$2" = "$3" ] || fail "$1 '$2', not '$3'"; }
# say NEWS: what the rows have shown, under the name of what they are about.
say() { echo "$where: $*"; }
with_umask() { (umask "$1" && "${@:2}"); }

sorted() { printf '%s\n' "$@" | sort | xargs; }

# in_tree TREE: the builds of a checkout TREE, as this one's are laid out;
# newest_in TREE: its build of the newest generation.
in_tree() { for gen in $generations; do echo "$1/build/$gen"; done; }
newest_in() { echo "$1/build/${generations##* }"; }

# over_http DIR COMMAND...: COMMAND, offline but for DIR, served over http
# at http://127.0.0.1:8080/ on the loopback of a network of its own, as a
# client reaches a published tree; what the server was asked in
# $work/served.log.
over_http() {
    unshare -n bash -c 'ip link set lo up && cd "$1" || exit
            /usr/bin/python3 -m http.server --bind 127.0.0.1 8080 >/dev/null 2>"$2" & server=$!
            for i in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/8080) 2>/dev/null && break; sleep 0.05; done
            "${@:3}"; status=$?
            kill $server; exit $status' - "$1" "$work/served.log" "${@:2}"
}

# verify_tree [--served] DIR: make verify of DIR, or with --served of DIR
# served over http at its URL, as a user runs it (FINGERPRINT, ACCEPT_OLDER,
# REBUILDERS, THRESHOLD and ATTESTATIONS as the caller sets them),
# remembering what it accepts in the test's own state.
verify_tree() {
    local run=(env FINGERPRINT="${FINGERPRINT:-}" ACCEPT_OLDER="${ACCEPT_OLDER:-}" REBUILDERS="${REBUILDERS:-}"
        THRESHOLD="${THRESHOLD:-}" ATTESTATIONS="${ATTESTATIONS:-}" XDG_STATE_HOME="$XDG_STATE_HOME"
        /usr/bin/python3 "$source_dir/scripts/verify.py")
    if [ "$1" = --served ]; then over_http "$2" "${run[@]}" http://127.0.0.1:8080; else "${run[@]}" "$@"; fi
}

# tree_at VERSION [TREE]: the tree as it is, in a git checkout of its own
# (by default $work/tree), at the version VERSION on top of its changelog
# (a release of its own when it is not the changelog's), and its packages.
tree_at() {
    local tree=${2:-$work/tree}
    if [ ! -d "$tree" ]; then
        [ -f "$work/tree.tar.gz" ] || must "could not copy the tree" "$source_dir/scripts/dist.sh" --working-tree "$work/tree.tar.gz"
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

# A system, or a published tree, kept by the test that made it for those
# that use it: copied there by keep, and back by kept.
keep() { rm -rf "${systems:?}/$2" && mkdir -p "$systems" && cp -a "$1" "$systems/$2"; }
kept() { [ -e "$systems/$1" ] || fail "no $1 in $systems: its fixture failed"; rm -rf "$2" && cp -a "$systems/$1" "$2"; }

# dnf_in ROOT RHEL|"" ARG...: dnf on the root, offline, with no repository
# but that RHEL release's of ours (in $dnf_repo, by default make repo's),
# if named, with every signature check on.
dnf_in() {
    local dnf_repo=${dnf_repo:-$work/repo} root=$1 name=$2 number=7 opts=()
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

# ---- Installed systems: a Debian root, or an rpm root ----

# in_system COMMAND...: COMMAND in the system $root, offline, in a clean
# environment (cleared before entering, as an rpm root has no env);
# served_in_system DIR COMMAND...: with DIR served to it over http, as
# over_http does.
clean_env=(env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 DEBIAN_FRONTEND=noninteractive)
in_system() { "${clean_env[@]}" bash -c '. "$0" && enter_root "$@"' "$source_dir/scripts/lib.sh" "$root" "$@"; }
served_in_system() {
    over_http "$1" "${clean_env[@]}" bash -c '. "$0" && enter_root --network "$@"' "$source_dir/scripts/lib.sh" "$root" "${@:2}"
}

# system_files: the system's files, less the caches, logs and package lists
# that every apt or dnf run rewrites (the dpkg database is kept, the rpm one
# not: dnf keeps the key it imports there).
system_files() {
    (cd "$root" && find . -xdev \( -path ./tmp -o -path ./var/cache -o -path ./var/log \
        -o -path ./var/lib/apt -o -path ./var/lib/dnf -o -path ./var/lib/rpm \
        -o -path ./usr/lib/sysimage \) -prune -o -print | sort)
}

# glibc_is LIBC: the root's libc, run, says it is $glibc.
glibc_is() { in_system "$1" | grep -q "release version ${glibc}[.,]" || fail "the root's glibc is not $glibc"; }

# programs_run PACKAGE_ROOT: every program, installed under PACKAGE_ROOT in
# the system, prints exactly its output, with and without arguments.
programs_run() {
    local p args
    for p in $programs; do
        for args in "" "one --two"; do
            in_system "$1/$p" $args </dev/null >"$out" 2>"$err" && status=0 || status=$?
            name=$p expected_out=$source_dir/$p/expected.out expect_output
        done
    done
}

# What apt ($pm apt) or dnf ($pm rpm) installed: the libcwork packages, the
# version of one; and their removal.
apt_installed() { in_system dpkg-query -W -f '${db:Status-Abbrev}${Package}\n' 'libcwork*' | awk '$1 == "ii" { print $2 }'; }
apt_version() { in_system dpkg-query -W -f '${Version}' "$1"; }
apt_get() { in_system apt-get -y -q -o Dpkg::Use-Pty=0 "$@"; }
apt_remove() { apt_get purge 'libcwork*'; }
rpm_installed() { rpm --root "$root" -qa --qf '%{NAME}\n' 'libcwork*'; }
rpm_version() { rpm --root "$root" -q --qf '%{VERSION}' "$1"; }
rpm_remove() { dnf_in "$root" "" remove 'libcwork*'; }
# installs WHAT: WHAT installed $expect, the package the system should be
# given, and no other; is_at VERSION: $expect is at VERSION.
installs() { equals "$1 installed" "$("${pm}_installed")" "$expect"; }
is_at() {
    local got
    got=$("${pm}_version" "$expect")
    [ "$got" = "$1" ] || fail "$expect is at '$got', not $1:"$'\n'"$(cat "$out")"
}
# purged: with any served tree taken away, removing every libcwork package
# leaves the files as they were before any was installed.
purged() {
    rm -rf "$root/srv/libcwork" "$root/etc/apt/sources.list.d/libcwork.list"
    must "removing the libcwork packages" "${pm}_remove"
    system_files >"$root.after"
    diff "$root.before" "$root.after" >"$out" || fail "removing them left the system changed:"$'\n'"$(cat "$out")"
    say "removed, as it was"
}
# expected SYSTEM: the package that apt-get or dnf install libcwork gives
# there: libcwork where its repository offers it, else the one it offers.
expected() {
    local offered
    offered=$(offered_of "$1")
    if [[ " $offered " == *" libcwork "* ]]; then echo libcwork; else echo "${offered##* }"; fi
}
