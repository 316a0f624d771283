#!/usr/bin/env bash
# package.sh BUILD_DIR GENERATION PROGRAM...: make the generation's packages
# and check their names, the .deb's Depends and what each archive holds.
set -u
build=$1 generation=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL $generation/package: $*" >&2
    exit 1
}

cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/log" 2>&1 ||
    fail "cpack failed:"$'\n'"$(cat "$work/log")"
deb=$(ls "$work"/*.deb) && tgz=$(ls "$work"/*.tar.gz) || fail "no .deb or .tar.gz made"

# The oldest glibc the package runs on is its most demanding executable's.
floor=$("$(dirname "$0")/../scripts/glibc-floor.sh" --check "$generation" "${@/#/$build/bin/}") ||
    fail "its executables need the wrong glibc"
for f in "$deb" "$tgz"; do
    case $(basename "$f") in
    *"glibc$floor-or-newer"*) ;;
    *) fail "$(basename "$f") does not say it needs glibc $floor or newer" ;;
    esac
done

depends=$(dpkg-deb -f "$deb" Depends)
[ "$depends" = "libc6 (>= $floor)" ] || fail "Depends is '$depends', expected 'libc6 (>= $floor)'"

debfiles=$(dpkg-deb -c "$deb" | awk '{ print $NF }')
tarfiles=$(tar tzf "$tgz")
for p in "$@"; do
    for f in "bin/$p" "share/man/man1/$p.1"; do
        grep -qx "\./usr/$f" <<<"$debfiles" || fail "$f is missing from the .deb"
        grep -qx "[^/]*/$f" <<<"$tarfiles" || fail "$f is missing from the .tar.gz"
    done
done
echo "$(basename "$deb"): Depends: $depends"
echo "$(basename "$tgz")"
