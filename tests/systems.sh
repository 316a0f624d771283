#!/usr/bin/env bash
# systems.sh BUILD_DIR...: install and run each build's packages on a real
# Debian system of every release in generations.txt, the releases side by
# side. Each system is a minimal root made once by mmdebstrap and kept as a
# tarball under build/debian, unpacked afresh and entered with chroot, its
# network cut off. In each:
#
#   - every generation whose floor the release's glibc meets installs with
#     apt-get from its .deb, the older first, so the later installs switch
#     from one generation to the next; each installed command runs exactly,
#     with and without arguments, started by the release's own loader, and
#     its man page renders without warnings;
#   - every other generation is refused, by apt naming libc6 (>= floor) and
#     by dpkg -i, and what was installed still runs;
#   - purging the packages leaves the same files as before;
#   - each .tar.gz that can run here runs unpacked under /opt.
export LIBCWORK_FACTS=$1/facts.sh TEST_NAME=systems
. "$(dirname "$0")/lib.sh"

[ "$(id -u)" = 0 ] || { [ "${CI:-}" != true ] || fail "needs root"; echo "SKIP: needs root for chroot"; exit 77; }
for release in $releases; do
    [ -f "$debian_dir/$release-system.tar" ] || needs_tool mmdebstrap
done

# The generations, oldest floor first: the order to install and switch in.
mapfile -t builds < <(for build in "$@"; do (. "$build/facts.sh" && echo "$floor $build"); done |
    sort -V | cut -d' ' -f2-)

# in_root COMMAND...: run a command in the system, offline, in a clean
# environment.
in_root() {
    unshare -n chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
        LC_ALL=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"
}

apt_install() {
    in_root apt-get install -y -q -o Dpkg::Use-Pty=0 "$@"
}

# The system's files, less the caches and logs that every apt run rewrites.
files() {
    (cd "$root" && find . -xdev \( -path ./tmp -o -path ./var/cache -o -path ./var/log \
        -o -path ./var/lib/apt \) -prune -o -print | sort)
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

    in_root apt-get purge -y -q 'libcwork*' >"$out" 2>&1 || fail "purge failed:"$'\n'"$(cat "$out")"
    files >"$work/$release.after"
    diff "$work/$release.before" "$work/$release.after" >"$out" ||
        fail "purging left the system changed:"$'\n'"$(cat "$out")"
    echo "$release: purged, as it was"

    for build in "${builds[@]}"; do
        . "$build/facts.sh"
        version_at_most "$floor" "$glibc" || continue
        tar -xzf "$root/tmp/$tgz" -C "$root/opt" || fail "could not unpack $tgz"
        expect_commands_run "/opt/${tgz%.tar.gz}/bin"
        echo "$release: $tgz runs from /opt"
    done
}

pids=""
for release in $releases; do
    (out=$work/$release.out err=$work/$release.err check_release "$release") >"$work/$release.log" 2>&1 &
    pids="$pids $!"
done
status=0
for pid in $pids; do
    wait "$pid" || status=1
done
for release in $releases; do
    cat "$work/$release.log"
done
exit $status
