#!/usr/bin/env bash
# reproducible.sh: build a second copy of this tree in another directory and
# check that every executable comes out byte for byte the same as the one in
# build/. No build path, date or host name may end up in an executable.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
copy=$(mktemp -d /tmp/libcwork-elsewhere.XXXXXX)
trap 'rm -rf "$copy"' EXIT

# The tracked files as they are now, in a deeper directory of another name.
src=$copy/another/checkout
mkdir -p "$src"
git -C "$top" ls-files -z --cached --others --exclude-standard | (cd "$top" && xargs -0 cp --parents -t "$src")

status=0
for generation in current legacy; do
    # The glibc sysroot is shared: fetching it again proves nothing here.
    (cd "$src" &&
        TZ=Pacific/Kiritimati LC_ALL=C cmake --preset $generation \
            -DGLIBC_CACHE_DIR="$top/build/glibc" -DBUILD_TESTING=OFF >/dev/null &&
        cmake --build --preset $generation >/dev/null)
    for exe in "$top/build/$generation/bin"/*; do
        name=$(basename "$exe")
        if cmp -s "$exe" "$src/build/$generation/bin/$name"; then
            echo "same bytes: $generation/$name"
        else
            echo "DIFFERS: $generation/$name built in $src" >&2
            status=1
        fi
    done
done
exit $status
