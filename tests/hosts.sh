#!/usr/bin/env bash
# hosts.sh BUILD_DIR: build and check the project, from the source archive
# of the working tree, on every Debian release in generations.txt as the
# build machine: in a fresh root of that release (made once by mmdebstrap,
# kept in the download cache), as a user who is not root, in a path with a
# space, under umask 002, with the network cut off: make run, make check
# and make lint. What the build fetches comes from a copy of this machine's
# download cache, as on a machine that has built before.
#
# A release whose tools are too old must refuse at once, in one line per
# tool naming what is needed and what it has, with nothing built; and what
# it says it has must be what it has, and older than needed.
export LIBCWORK_FACTS=$1/facts.sh TEST_NAME=hosts
. "$(dirname "$0")/lib.sh"

[ "$(id -u)" = 0 ] || skip "needs root for chroot"

# Only what make run, make check and make lint use, by the packages that
# scripts/tools.txt gives for them, and the keyring that the fetches verify
# the archive against. (The order is that of the cached roots' names.)
tools=$(awk -v used="g++ cmake make readelf valgrind strace man dpkg-shlibdeps gpg gpgv /usr/bin/time clang-format
    clang-tidy cppcheck rpmbuild rpmlint lintian hardening-check cpio debian-archive-keyring prlimit npm" \
    '{ package[$1] = $2 } END { n = split(used, c); for (i = 1; i <= n; i++) print (c[i] in package ? package[c[i]] : c[i]) }' \
    "$source_dir/scripts/tools.txt" | xargs)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/libcwork
"$source_dir/scripts/dist.sh" --working-tree "$work/source.tar.gz" >/dev/null || fail "could not make the source archive"

# The download cache a build needs: each release's lists, and the entries
# that the sysroots and runtimes under build/debian were made from.
mkdir -p "$work/cache/sha256" "$work/cache/sha512" "$work/cache/debian"
for release in $releases; do [ ! -d "$cache/debian/$release/lists" ] || cp -r "$cache/debian/$release" "$work/cache/debian/"; done
for hash in $(awk '$1 == "sha256" { print $2 }' "$debian_dir"/*.complete); do cp "$cache/sha256/$hash" "$work/cache/sha256/"; done
cp "$cache"/sha512/* "$work/cache/sha512/" 2>/dev/null || true

# available RELEASE: the tools that the release has, by its verified lists
# in the download cache (the build fetched them for its runtime): Debian 11
# has no rpmlint.
available() {
    local packages tool
    packages=$(find "$cache/debian/$1/lists" -name '*_main_binary-amd64_Packages' | head -n 1)
    [ -n "$packages" ] || { echo $tools; return; }
    for tool in $tools; do ! grep -qx "Package: $tool" "$packages" || echo "$tool"; done | xargs
}

# A machine that is itself a chroot (/ not a mount point) cannot make its
# mounts private in a namespace of their own; there the root's /proc is
# mounted in the machine's namespace for the run, and unmounted after.
if unshare -m --propagation private true 2>/dev/null; then
    own_proc=true
else
    own_proc=false
    trap 'for p in "$work"/*/proc; do ! mountpoint -q "$p" || umount -l "$p"; done; rm -rf --one-file-system "$work"' EXIT
fi

# in_root COMMAND...: in the root, offline, with a /proc of its own.
in_root() {
    if $own_proc; then
        unshare -n -m --propagation private \
            sh -c 'mount -t proc proc "$0/proc" && exec chroot "$0" "$@"' "$root" "$@"
    else
        unshare -n chroot "$root" "$@"
    fi
}

check_host() {
    local release=$1 home dir found
    TEST_NAME="hosts/$release"
    root=$work/$release
    "$source_dir/scripts/debfetch.sh" --system "$release" "$debian_dir/$release-host.tar" $(available "$release") ||
        fail "could not make the root"
    mkdir "$root" && tar -xf "$debian_dir/$release-host.tar" -C "$root" || fail "could not unpack the root"
    $own_proc || mount -t proc proc "$root/proc" || fail "could not mount /proc in the root"

    # A user of its own, 1000, with the cache of a machine that has built.
    echo "builder:x:1000:1000::/home/builder:/bin/bash" >>"$root/etc/passwd"
    echo "builder:x:1000:" >>"$root/etc/group"
    home=$root/home/builder
    # A path with a space and a quote: any path works.
    dir="/home/builder/it's my work/libcwork"
    mkdir -p "$home/.cache" "$root$dir"
    cp -r "$work/cache" "$home/.cache/libcwork"
    tar -xzf "$work/source.tar.gz" -C "$root$dir" --strip-components=1
    chown -R 1000:1000 "$home"

    in_root setpriv --reuid=1000 --regid=1000 --clear-groups \
        env -i HOME=/home/builder PATH=/usr/bin:/bin LC_ALL=C.UTF-8 CI="${CI:-}" \
        bash -c 'umask 002 && cd "$1" && make run && make check && make lint' - "$dir" >"$out" 2>&1
    status=$?
    if grep -q '^libcwork needs ' "$out"; then
        [ "$status" != 0 ] || fail "refused, and yet exit status 0"
        [ ! -e "$root$dir/build/$generation" ] || fail "refused only after building:"$'\n'"$(head -n 20 "$out")"
        while read -r _ _ tool need _ _ _ _ _ _ _ found; do
            case $tool in
            CMake) found=$(in_root cmake --version | awk 'NR == 1 { print $3 }') ;;
            g++) found=$(in_root g++ -dumpfullversion) ;;
            esac
            ! version_at_most "$need" "$found" || fail "refused $tool $found, which is $need or later"
        done < <(grep '^libcwork needs ' "$out")
        echo "$release: refused at once, as its tools are too old: $(grep '^libcwork needs ' "$out" | xargs)"
        return
    fi
    [ "$status" = 0 ] || fail "make run, check or lint failed:"$'\n'"$( (grep -A 30 -E '^FAIL|rror' "$out" || true; tail -n 10 "$out") | head -n 100)"
    grep -q '100% tests passed' "$out" || fail "make check passed no tests"
    echo "$release: make run, make check and make lint pass, as a user, in '$dir', under umask 002, offline:" \
        "$(grep -E '^(100% tests|skipped)' "$out" | xargs)"
}

for release in $releases; do [ -f "$debian_dir/$release-host.tar" ] || needs_tool mmdebstrap; done
jobs=()
for release in $releases; do jobs+=("check_host $release"); done
side_by_side "${jobs[@]}"
