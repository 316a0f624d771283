#!/usr/bin/env bash
# reproducible.sh BUILD_DIR...: build a second copy of this tree in another
# directory, in another time zone and later, and check that every executable
# and every package comes out byte for byte the same as in the BUILD_DIRs.
# No build path, date or host name may end up in any of them.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
copy=$(mktemp -d /tmp/libcwork-elsewhere.XXXXXX)
trap 'rm -rf "$copy"' EXIT

# The tracked files as they are now, in a deeper directory of another name.
src=$copy/another/checkout
mkdir -p "$src"
git -C "$top" ls-files -z --cached --others --exclude-standard | (cd "$top" && xargs -0 cp --parents -t "$src")

status=0
same() {
    if cmp -s "$1" "$2"; then
        echo "same bytes: ${1#"$top"/}"
    else
        echo "DIFFERS: ${1#"$top"/} and ${2#"$src"/} built in $src" >&2
        status=1
    fi
}

for build in "$@"; do
    . "$build/facts.sh"
    # What is fetched from Debian is shared: fetching it again proves nothing.
    (cd "$src" &&
        TZ=Pacific/Kiritimati LC_ALL=C cmake --preset "$generation" \
            -DLIBCWORK_DEBIAN_DIR="$debian_dir" -DBUILD_TESTING=OFF >/dev/null &&
        cmake --build --preset "$generation" >/dev/null &&
        TZ=America/Adak cpack --preset "$generation" >/dev/null)
    for exe in "$build"/bin/*; do
        same "$exe" "$src/build/$generation/bin/$(basename "$exe")"
    done
    for file in "$deb" "$rpm" "$tgz"; do
        same "$packages_dir/$file" "$src/build/packages/$file"
    done
done
exit $status
