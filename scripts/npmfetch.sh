#!/usr/bin/env bash
# npmfetch.sh PACKAGE@VERSION INTEGRITY DEST: the loader and libc.so.6 of
# the glibc runtime that the npm package carries, in DEST/lib64, once its
# tarball matches INTEGRITY ("sha512-BASE64"). A DEST already complete is
# left as it is. Exit status 77 where npm is missing or its registry out of
# reach (docs/building.md, "What is fetched, and why it is trusted").
set -euo pipefail
me=npmfetch
here=$(dirname "$0")
. "$here/lib.sh"
. "$here/cache.sh"
[ $# = 3 ] || { echo "usage: $0 PACKAGE@VERSION INTEGRITY DEST" >&2; exit 2; }
pkg=$1 integrity=$2
complete_or "$(realpath -m "$3")" "$pkg $integrity lib64"
unreachable="$dest.unreachable"

# The pinned integrity, not npm's word for it: npm checks what the registry
# says, which is what a registry serving other bytes would change too.
[[ $integrity == sha512-* ]] || die "the pinned integrity of $pkg is not sha512: $integrity"
pinned=$(echo "${integrity#sha512-}" | base64 -d 2>/dev/null | od -An -vtx1 | tr -d ' \n') || true
[ ${#pinned} = 128 ] || die "the pinned integrity of $pkg is not a sha512: $integrity"

claim "$dest.lock"
cache_init "$(dirname "$dest")/cache"
mkdir -p "$tmp/pack" "$tmp/unpacked" "$tmp/dest/lib64"
tarball=$tmp/package.tgz

# npm_failed WHAT: what npm's log says went wrong, as the real cause. A
# registry that cannot be reached skips; anything else fails.
npm_failed() {
    local reason
    reason=$({ grep -m1 -E 'reason:|network timeout' "$tmp/log" || grep -m1 -E 'error (code|errno) ' "$tmp/log"; } |
        sed 's/^npm error //' || true)
    if grep -q 'code EINTEGRITY' "$tmp/log"; then
        die "npm refused $pkg: the registry's bytes fail the integrity it gives for them" \
            "($(grep -m1 -o 'sha512-[^ ]*' "$tmp/log" || true)); nothing was unpacked or kept"
    elif grep -q -E 'code E404' "$tmp/log"; then
        die "the npm registry has no $pkg: $reason"
    elif [ ! -s "$tmp/log" ] ||
        grep -q -E 'EAI_AGAIN|ENOTFOUND|ECONNREFUSED|ECONNRESET|ETIMEDOUT|ENETUNREACH|EHOSTUNREACH|network|timeout' "$tmp/log"; then
        echo "the npm registry could not be reached (${reason:-no answer in 10 s}), so the glibc" \
            "of $pkg is not fetched and the tests on it are skipped" >"$unreachable"
        skip "$(cat "$unreachable")"
    fi
    die "npm could not $1 $pkg: $(head -n 3 "$tmp/log" | xargs)"
}

# fetch: npm pack into $tarball, with a cache of its own. A package of the
# registry is looked up first, within 10 s, so that a registry that cannot
# be reached costs no more; then its tarball is fetched at the network's pace.
fetch() {
    local made npm=(npm --cache "$tmp/npm-cache" --prefer-online --loglevel=error)
    command -v npm >/dev/null || skip "$(install_hint npm), so the glibc of $pkg is not fetched"
    # A registry found unreachable a moment ago, by the other generation's
    # build in the same make, is not asked again.
    [ -z "$(find "$unreachable" -mmin -2 2>/dev/null)" ] || skip "$(cat "$unreachable")"
    rm -f "$unreachable"
    echo "npmfetch: $pkg" >&2
    # A tarball on disk has no registry to look it up in.
    [[ $pkg =~ ^(/|\./|file:) ]] || timeout 10 "${npm[@]}" --fetch-retries=0 --fetch-timeout=7000 \
        view "$pkg" dist.integrity >/dev/null 2>"$tmp/log" || npm_failed "look up"
    (cd "$tmp/pack" && "${npm[@]}" pack "$pkg") >/dev/null 2>"$tmp/log" || npm_failed fetch
    made=$(find "$tmp/pack" -name '*.tgz')
    [ "$(echo "$made" | wc -l)" = 1 ] && [ -f "$made" ] || die "npm pack of $pkg wrote no one tarball"
    mv "$made" "$tarball"
}

if ! cache_take sha512 "$pinned" "$tarball"; then
    fetch
    actual=$(hash_of sha512 "$tarball")
    # cache_put takes only the pinned bytes; others are deleted.
    cache_put sha512 "$pinned" "$tarball" ||
        die "the bytes of $pkg are not the pinned ones: its sha512 is $actual," \
            "generations.txt pins $integrity; nothing was unpacked or kept"
    cache_take sha512 "$pinned" "$tarball" || die "$pkg vanished from the cache"
fi
# The runtime may sit in the package itself or in a tarball inside it; only
# the lib folders' loader and libc are taken out of either.
tar -xzf "$tarball" -C "$tmp/unpacked"
members=(--wildcards '*/lib/ld-*' '*/lib/libc-*' '*/lib/libc.so.6' '*/lib64/ld-*')
find "$tmp/unpacked" -name '*.tar.*' | while read -r inner; do
    tar -xf "$inner" -C "$tmp/unpacked" "${members[@]}" 2>/dev/null || true
done
for file in ld-linux-x86-64.so.2 libc.so.6; do
    found=$(find "$tmp/unpacked" -path '*/lib/*' -name "$file" | sort | head -n 1)
    [ -n "$found" ] || die "$pkg holds no lib/$file"
    cp -L "$found" "$tmp/dest/lib64/$file"
done

finish "$tmp/dest" "sha512 $pinned"
