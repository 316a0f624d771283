#!/usr/bin/env bash
# npmfetch.sh PACKAGE@VERSION INTEGRITY DEST
#
# Keeps in DEST/lib64 the glibc runtime that an npm package carries: its
# loader, ld-linux-x86-64.so.2, and libc.so.6, nothing else. lib64 is where
# a glibc built for x86-64 as upstream builds it looks for its libraries. The package is
# fetched with npm's own client and configuration (npm pack), and its
# tarball must match INTEGRITY ("sha512-BASE64", as npm writes it) before
# anything in it is unpacked. A DEST that is already complete for the same
# package and integrity is left as it is, so later runs need no network.
#
# Exit status 77, the tests' "skipped", where npm is not installed.
set -euo pipefail
if [ $# != 3 ]; then
    echo "usage: $0 PACKAGE@VERSION INTEGRITY DEST" >&2
    exit 2
fi
pkg=$1 integrity=$2
dest=$(realpath -m "$3")
stamp="$dest.complete"
want="$pkg $integrity lib64"

complete() {
    [ -e "$dest" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]
}
complete && exit 0

fail() {
    echo "npmfetch: $*" >&2
    exit 1
}

if ! command -v npm >/dev/null; then
    [ "${CI:-}" != true ] || fail "npm is not installed, and CI must run every test"
    echo "SKIP: npm is not installed"
    exit 77
fi

mkdir -p "$(dirname "$dest")"
exec 9>"$dest.lock"
flock 9
complete && exit 0

tmp=$(mktemp -d "$dest.tmp.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/pack" "$tmp/unpacked" "$tmp/lib64"

echo "npmfetch: $pkg" >&2
(cd "$tmp/pack" && npm pack --prefer-offline --loglevel=error "$pkg" >/dev/null) ||
    fail "npm could not fetch $pkg (offline? npm's registry is set with 'npm config')"
tarball=$(find "$tmp/pack" -name '*.tgz')
[ "$(echo "$tarball" | wc -l)" = 1 ] && [ -f "$tarball" ] || fail "npm pack of $pkg wrote no one tarball"

# The pinned integrity, not npm's word for it: npm checks what the registry
# says, which is what a registry serving other bytes would change too.
case $integrity in
sha512-*) ;;
*) fail "the pinned integrity of $pkg is not sha512: $integrity" ;;
esac
pinned=$(echo "${integrity#sha512-}" | base64 -d 2>/dev/null | od -An -vtx1 | tr -d ' \n') || true
actual=$(sha512sum "$tarball" | cut -d' ' -f1)
[ "$actual" = "$pinned" ] ||
    fail "the bytes of $pkg are not the pinned ones: its sha512 is $actual," \
        "generations.txt pins $integrity; nothing was unpacked"

# The runtime may sit in the package itself or in a tarball inside it; only
# the lib folders' loader and libc are taken out of either.
tar -xzf "$tarball" -C "$tmp/unpacked"
members=(--wildcards '*/lib/ld-*' '*/lib/libc-*' '*/lib/libc.so.6' '*/lib64/ld-*')
find "$tmp/unpacked" -name '*.tar.*' | while read -r inner; do
    tar -xf "$inner" -C "$tmp/unpacked" "${members[@]}" 2>/dev/null || true
done
for file in ld-linux-x86-64.so.2 libc.so.6; do
    found=$(find "$tmp/unpacked" -path '*/lib/*' -name "$file" | sort | head -n 1)
    [ -n "$found" ] || fail "$pkg holds no lib/$file"
    cp -L "$found" "$tmp/lib64/$file"
done

rm -rf "$dest"
mkdir -p "$dest"
mv "$tmp/lib64" "$dest/lib64"
echo "$want" >"$stamp"
