#!/usr/bin/env bash
# hosts.sh RELEASE: the project built and checked, from the source archive
# of the working tree, on a Debian system of RELEASE as the build machine:
# make run, make check and make lint, as a user, in a path with a space,
# under umask 002, offline, with this machine's download cache (linked);
# or, where its tools are too old, refused at once, saying truly what it
# has (docs/testing.md).
. "$(dirname "$0")/lib.sh"
release=$1 root=$work/$1
[ "$(id -u)" = 0 ] || skip "needs root, for the system it builds in"
[ -f "$debian_dir/$release-host.tar" ] || needs_tool mmdebstrap
trap 'mountpoint -q "$root/proc" && umount -l "$root/proc"; rm -rf --one-file-system "$work"' EXIT
in_host() { enter_root "$root" "$@"; }

"$source_dir/scripts/dist.sh" --working-tree "$work/source.tar.gz" >/dev/null || fail "could not make the source archive"
host_root "$release" "$root"
# A user of its own, 1000, with the cache of a machine that has built, in a
# path with a space and a quote: any path works.
echo "builder:x:1000:1000::/home/builder:/bin/bash" >>"$root/etc/passwd"
echo "builder:x:1000:" >>"$root/etc/group"
home=$root/home/builder dir="/home/builder/it's my work/libcwork"
mkdir -p "$root$dir" && tar -xzf "$work/source.tar.gz" -C "$root$dir" --strip-components=1 && chown -R 1000:1000 "$home" &&
    cache_for 1000 "$home" || fail "could not give the user the tree and a cache"

in_host setpriv --reuid=1000 --regid=1000 --clear-groups env -i HOME=/home/builder XDG_CACHE_HOME=/home/builder/cache \
    PATH=/usr/bin:/bin LC_ALL=C.UTF-8 \
    CI="${CI:-}" bash -c 'umask 002 && cd "$1" && make run && make check && make lint' - "$dir" >"$out" 2>&1 && status=0 || status=$?
if grep -q '^libcwork needs ' "$out"; then
    [ "$status" != 0 ] || fail "refused, and yet exit status 0"
    [ ! -e "$root$dir/build/$generation" ] || fail "refused only after building:"$'\n'"$(head -n 20 "$out")"
    # What it says it has is what it has, and older than what it needs.
    while read -r _ _ tool need _ _ _ _ _ _ _ said; do
        case $tool in
        CMake) found=$(in_host cmake --version | awk 'NR == 1 { print $3 }') ;;
        g++) found=$(in_host g++ -dumpfullversion) ;;
        *) fail "refused for a tool it does not check: $tool" ;;
        esac
        [ "$said" = "$found" ] || fail "refused, saying it has $tool $said, and it has $found"
        ! version_at_most "$need" "$found" || fail "refused $tool $found, which is $need or later"
    done < <(grep '^libcwork needs ' "$out")
    echo "$release: refused at once, as its tools are too old: $(grep '^libcwork needs ' "$out" | xargs)"
    exit 0
fi
[ "$status" = 0 ] || fail "make run, check or lint failed:"$'\n'"$( (grep -A 30 -E '^FAIL|rror' "$out" || true; tail -n 10 "$out") | head -n 100)"
grep -q '100% tests passed' "$out" || fail "make check passed no tests"
echo "$release: make run, make check and make lint pass, as a user, in '$dir', under umask 002, offline:" \
    "$(grep -E '^(100% tests|skipped)' "$out" | xargs)"
