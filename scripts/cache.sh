# cache.sh: the download cache (docs/building.md), and what a fetch into a
# destination does, sourced by debfetch.sh and npmfetch.sh after lib.sh.

# cache_init FALLBACK: sets $cache. Where the cache cannot be written, it is
# left alone and FALLBACK (under build/) serves instead, with one line
# saying so.
cache_init() {
    local base=${XDG_CACHE_HOME:-${HOME:+$HOME/.cache}} probe
    cache=${base:+$base/libcwork}
    if [ -n "$cache" ] && mkdir -p "$cache/sha256" "$cache/sha512" 2>/dev/null &&
        probe=$(mktemp "$cache/sha256/.tmp.XXXXXX" 2>/dev/null); then
        rm -f "$probe"
        # What killed builds left under temporary names.
        find "$cache/sha256" "$cache/sha512" -name '.tmp.*' -mmin +120 -delete 2>/dev/null || true
        return
    fi
    echo "${0##*/}: the download cache ${cache:-(no \$HOME)} cannot be written; keeping downloads in $1 instead" >&2
    cache=$1
    mkdir -p "$cache/sha256" "$cache/sha512"
}

# cache_take ALGO HEX DEST: DEST becomes the entry's bytes, checked against
# HEX after they are in DEST, so what is used is what was verified. False
# if there is no such entry; a corrupt one is deleted, saying so.
cache_take() {
    local entry=$cache/$1/$2 found
    [ -f "$entry" ] || return 1
    rm -f "$3"
    ln "$entry" "$3" 2>/dev/null || cp "$entry" "$3"
    found=$(hash_of "$1" "$3")
    [ "$found" = "$2" ] && return 0
    echo "${0##*/}: the cached $entry is corrupt (its $1 is $found); it is deleted" >&2
    rm -f "$entry" "$3"
    return 1
}

# cache_put ALGO HEX FILE: FILE, whose bytes must hash to HEX, becomes that
# entry; FILE, a plain file, is consumed. False, and nothing cached, if they do not.
cache_put() {
    local tmp
    [ "$(hash_of "$1" "$3")" = "$2" ] || { rm -f "$3"; return 1; }
    tmp=$(mktemp "$cache/$1/.tmp.XXXXXX") && mv -f "$3" "$tmp" && chmod 644 "$tmp" && mv -f "$tmp" "$cache/$1/$2"
}

# complete_or DEST WANT [again]: where DEST is complete for WANT (its
# stamp, DEST.complete, names WANT on its first line, above the hashes it
# was made from), there is nothing to do, and the script ends, unless asked
# to make it again. claim LOCK [again]: then, once it holds LOCK, which any
# run for the same DEST takes, and DEST is still not complete: $tmp, a
# directory of its own beside DEST, removed at exit, and nothing left of a
# killed run beside DEST. finish MADE HASH...: MADE becomes DEST, and its
# stamp says WANT and the hashes it was made from, one a line.
complete_or() {
    dest=$1 want=$2 stamp=$1.complete
    [ -n "${3:-}" ] || ! complete || exit 0
}
claim() {
    mkdir -p "$(dirname "$dest")"
    exec 9>"$1" && flock 9
    [ -n "${2:-}" ] || ! complete || exit 0
    rm -rf "$dest".tmp.*
    tmp=$(mktemp -d "$dest.tmp.XXXXXX")
    trap 'rm -rf "$tmp"' EXIT
}
complete() { [ -e "$dest" ] && [ -f "$stamp" ] && [ "$(head -n 1 "$stamp")" = "$want" ] && [ "$(wc -l <"$stamp")" -gt 1 ]; }
finish() { rm -rf "$dest" && mv "$1" "$dest" && printf '%s\n' "$want" "${@:2}" >"$stamp"; }
