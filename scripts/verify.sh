#!/usr/bin/env bash
# verify.sh DIR|URL: check a published repository tree end to end, from its
# signatures down to every package file, before anyone trusts it.
#
# The keys: FINGERPRINT from the environment (one fingerprint or more,
# separated by spaces or commas), which the user got from elsewhere; without
# it, those in the tree's own FINGERPRINT file, which shows that the tree is
# whole and signed by its own keys, not whose keys they are. Every signature
# must be good and made by one of those keys:
#
#   SHA256SUMS.asc over SHA256SUMS, which lists every file the releases
#   wrote (all of apt/ and rpm/, and their files at the top), each of which
#   must be there with that sha256;
#   each dist's InRelease and Release.gpg over its Release, every index the
#   Release names, and every pool file against the Packages entries naming it;
#   each rpm repository's repomd.xml.asc, the metadata repomd.xml names, and
#   each .rpm against its primary entry and by its own signature (rpmkeys);
#   each version's provenance, NAME.intoto.json, and every file it names;
#   each rebuilder's attestation under rebuilds/, by the key beside it.
#
# A file in apt/ or rpm/, or a package file at the top, that no signed index
# names is refused, and so is one that an index names and that is missing.
# Every file that fails is named, with what it should have been; the exit
# status is 0 only when everything holds. A URL (http:, https:, file:) is
# read with apt-helper, each file checked against SHA256SUMS as it arrives;
# the copy is kept in VERIFY_COPY where that is set.
set -euo pipefail
umask 022
here=$(cd "$(dirname "$0")" && pwd)
me=verify
. "$here/lib.sh"

# bad FILE WHAT: FILE fails; WHAT says what it should have been.
bad() { echo "$1: $2" >>"$work/failures"; }

# fetch_tree URL DEST: the tree at URL, copied into DEST: its keys and
# SHA256SUMS, then every file SHA256SUMS lists, checked as it arrives.
fetch_tree() {
    local url=$1 dest=$2 sum path
    needs /usr/lib/apt/apt-helper
    mkdir -p "$dest"
    for path in FINGERPRINT libcwork.gpg SHA256SUMS SHA256SUMS.asc; do
        fetch_file "$url" "$dest" "$path" || die "$url has no $path: it is not a libcwork repository tree"
    done
    while read -r sum path; do
        safe_name "$path" || continue
        case $path in FINGERPRINT | libcwork.gpg) continue ;; esac
        if fetch_file "$url" "$dest" "$path"; then
            [ "$(sha256sum <"$dest/$path" | cut -d' ' -f1)" = "$sum" ] ||
                bad "$path" "fetched with sha256 $(sha256sum <"$dest/$path" | cut -d' ' -f1), and SHA256SUMS says $sum"
        else
            bad "$path" "missing at $url, and SHA256SUMS names it (sha256 $sum)"
        fi
    done <"$dest/SHA256SUMS"
}

# fetch_file URL DEST PATH: false if the server has no such file; a server
# that cannot be reached ends the check.
fetch_file() {
    local tmp=$work/fetched
    mkdir -p "$2/$(dirname "$3")"
    rm -f "$tmp"
    if ! /usr/lib/apt/apt-helper download-file "$1/$3" "$tmp" >"$work/fetch.log" 2>&1; then
        grep -q -E '404|File not found|No such file' "$work/fetch.log" && return 1
        die "$1 cannot be reached: $(sed -n 's/^ *//; /^Err:/{n; s/^ *//; p; q}' "$work/fetch.log" | grep . ||
            tail -n 1 "$work/fetch.log")"
    fi
    # A file: URL gives a link to the file; what counts is the bytes.
    cat "$tmp" >"$2/$3"
}

# safe_name PATH: a relative path inside the tree, of plain characters.
safe_name() {
    [[ $1 =~ ^[A-Za-z0-9_][A-Za-z0-9._+~/-]*$ && ! $1 =~ (^|/)\.\.?(/|$) ]] && return
    bad "SHA256SUMS" "names '$1', which is not a path inside the tree"
    return 1
}

# trusted_keys TOP FINGERPRINTS: the keys to check signatures with, taken
# from TOP/libcwork.gpg: those FINGERPRINTS names, or else those the tree's
# FINGERPRINT names.
trusted_keys() {
    local top=$1 want=${2//,/ } fpr
    [ -f "$top/FINGERPRINT" ] && [ -f "$top/libcwork.gpg" ] ||
        die "$top has no FINGERPRINT or libcwork.gpg: it is not a libcwork repository tree"
    [ -n "$want" ] || want=$(cat "$top/FINGERPRINT")
    mkdir -m 700 "$work/gnupg"
    gpg --homedir "$work/gnupg" --batch --quiet --import "$top/libcwork.gpg" 2>/dev/null ||
        die "$top/libcwork.gpg holds no key that gpg can read"
    : >"$work/keyring.gpg"
    for fpr in $want; do
        fpr=${fpr^^}
        [[ $fpr =~ ^[0-9A-F]{40}$ ]] || die "'$fpr' is not a key's fingerprint (40 hex digits)"
        gpg --homedir "$work/gnupg" --batch --with-colons --list-keys "$fpr" 2>/dev/null | grep -q "^fpr:*$fpr:" ||
            die "$top/libcwork.gpg holds no key $fpr: this tree is not signed by that key"
        gpg --homedir "$work/gnupg" --batch --export "$fpr" >>"$work/keyring.gpg"
        echo "$fpr"
    done >"$work/fingerprints"
    [ -s "$work/fingerprints" ] || die "no key to check the signatures with: FINGERPRINT names none"
}

# signed WHAT SIGNATURE [DATA]: a good signature by one of the keys, and no
# bad one; WHAT fails otherwise.
signed() {
    local what=$1 status
    shift
    status=$(gpgv --status-fd 1 --keyring "$work/keyring.gpg" "$@" 2>/dev/null) || true
    if grep -q '^\[GNUPG:\] BADSIG ' <<<"$status" ||
        ! awk '$2 == "VALIDSIG" { print $12 }' <<<"$status" | grep -qxF -f "$work/fingerprints" ||
        ! grep -q '^\[GNUPG:\] GOODSIG ' <<<"$status"; then
        bad "$what" "not a good signature by $(xargs <"$work/fingerprints")"
        return 1
    fi
}

# check_provenance TOP: each version's provenance (NAME.intoto.json) is a
# DSSE envelope signed by a key of the tree's when it was released (as for
# the .rpm files: the keys it names now or has retired), over an in-toto
# statement whose every subject is in the tree with that sha256.
check_provenance() {
    local top=$1 file dir n sum path good key
    for file in "$top"/*.intoto.json; do
        [ -f "$file" ] || continue
        file=${file##*/} dir=$work/provenance/$file
        mkdir -p "$dir"
        if [ ! -f "$work/released-keys.gpg" ]; then
            for key in libcwork.asc libcwork-retired.asc; do
                [ ! -f "$top/$key" ] || gpg --dearmor <"$top/$key"
            done >"$work/released-keys.gpg"
        fi
        /usr/bin/python3 "$here/dsse.py" open "$top/$file" "$dir" 2>"$dir/err" || {
            bad "$file" "not a DSSE envelope of an in-toto statement: $(tail -n 1 "$dir/err")"
            continue
        }
        good=false n=0
        while [ -f "$dir/sig.$n" ]; do
            ! gpgv --keyring "$work/released-keys.gpg" "$dir/sig.$n" "$dir/pae" 2>/dev/null || good=true
            n=$((n + 1))
        done
        $good || bad "$file" "no good signature by a key of the tree's over its statement"
        while read -r sum path; do
            [ "$(sha_of "$path")" = "$sum" ] || bad "$file" "names $path with sha256 $sum, and the tree's is $(sha_of "$path")"
        done <"$dir/subjects"
    done
}

# check_rebuilds TOP: each rebuilder's attestation under rebuilds/ is a DSSE
# envelope signed by the key beside it (rebuilds/FINGERPRINT.asc), over a
# verification summary that every file it names is in the tree with that
# sha256, and that its rebuild matched.
check_rebuilds() {
    local top=$1 file dir name fpr sum path
    for file in "$top"/rebuilds/*.intoto.json; do
        [ -f "$file" ] || continue
        name=rebuilds/${file##*/} dir=$work/rebuilds/${file##*/}
        fpr=${name##*-by-} && fpr=${fpr%.intoto.json}
        mkdir -p "$dir"
        /usr/bin/python3 "$here/dsse.py" open "$file" "$dir" rebuilt 2>"$dir/err" || {
            bad "$name" "not a DSSE envelope of a rebuild's attestation: $(tail -n 1 "$dir/err")"
            continue
        }
        gpg --dearmor <"$top/rebuilds/$fpr.asc" >"$dir/key.gpg" 2>/dev/null &&
            gpgv --keyring "$dir/key.gpg" "$dir/sig.0" "$dir/pae" 2>/dev/null ||
            bad "$name" "not a good signature by the key rebuilds/$fpr.asc"
        [ "$(cat "$dir/result")" = PASSED ] || bad "$name" "the rebuilder $fpr found other bytes: $(cat "$dir/result")"
        while read -r sum path; do
            [ "$(sha_of "$path")" = "$sum" ] || bad "$name" "names $path with sha256 $sum, and the tree's is $(sha_of "$path")"
        done <"$dir/subjects"
        echo "verify: rebuilt and matched by $fpr: $(wc -l <"$dir/subjects") files of ${file##*/}" >>"$work/news"
    done
}

# hash_all TOP: the sha256 of every file of the tree, in one pass, as
# ${sha[PATH]}, PATH relative to TOP; sha_of PATH gives it for any PATH,
# one that a statement names too.
declare -A sha
hash_all() {
    local sum path
    while read -r sum path; do sha[${path#./}]=$sum; done < <(cd "$1" && find . -type f -print0 | sort -z | xargs -0 -r sha256sum --)
}
sha_of() { [ -n "$1" ] && echo "${sha[$1]:-none}" || echo none; }

# check_sums TOP: SHA256SUMS, signed, and every file it lists as it says.
check_sums() {
    local top=$1 sum path found
    : >"$work/named"
    [ -f "$top/SHA256SUMS" ] && [ -f "$top/SHA256SUMS.asc" ] || {
        bad SHA256SUMS "missing, or its signature SHA256SUMS.asc is: every release writes both"
        return
    }
    signed SHA256SUMS.asc "$top/SHA256SUMS.asc" "$top/SHA256SUMS" || true
    while read -r sum path; do
        safe_name "$path" || continue
        echo "$path" >>"$work/named"
        if [ ! -f "$top/$path" ] || [ -L "$top/$path" ]; then
            bad "$path" "missing, and SHA256SUMS names it (sha256 $sum)"
            continue
        fi
        found=${sha[$path]:-none}
        [ "$found" = "$sum" ] || bad "$path" "sha256 $found, and SHA256SUMS says $sum"
    done <"$top/SHA256SUMS"
    sort -o "$work/named" "$work/named"
}

# check_unnamed TOP: nothing in apt/ or rpm/, and no package file at the
# top, that SHA256SUMS does not name.
check_unnamed() {
    local top=$1 path
    (
        cd "$top"
        find apt rpm rebuilds -mindepth 1 ! -type d -print 2>/dev/null || true
        for path in * .[!.]*; do
            [ -e "$path" ] || [ -L "$path" ] || continue
            ! owned_at_top "$path" || echo "$path"
        done
    ) | sort | comm -23 - "$work/named" | while read -r path; do
        bad "$path" "no signed index names it: it is not the tree's, or it was changed"
    done
}

# check_apt TOP: each dist's Release, signed both ways; the indices it
# names; the pool files their entries name; and no pool file unnamed.
check_apt() {
    local top=$1 dist
    [ -d "$top/apt" ] || return 0
    : >"$work/pool-named"
    for dist in "$top"/apt/dists/*/; do
        [ -d "$dist" ] || continue
        check_dist "$top" "${dist%/}"
    done
    sort -u -o "$work/pool-named" "$work/pool-named"
    (cd "$top/apt" && find pool ! -type d 2>/dev/null) | sort | comm -23 - "$work/pool-named" | while read -r path; do
        bad "apt/$path" "no Packages of any dist names it"
    done
}

# check_dist TOP DIST: one dist of apt/dists.
check_dist() {
    local top=$1 dist=$2 rel=${2#"$1"/} sum size path found
    [ -f "$dist/Release" ] || { bad "$rel/Release" "missing: every dist has one"; return; }
    signed "$rel/Release.gpg" "$dist/Release.gpg" "$dist/Release" || true
    if signed "$rel/InRelease" --output "$work/inrelease" "$dist/InRelease"; then
        cmp -s "$work/inrelease" "$dist/Release" || bad "$rel/InRelease" "signs other text than $rel/Release"
    fi
    rm -f "$work/inrelease"
    [ "$(sed -n 's/^Codename: //p' "$dist/Release")" = "${dist##*/}" ] ||
        bad "$rel/Release" "names the dist $(sed -n 's/^Codename: //p' "$dist/Release"), not ${dist##*/}"
    release_sha256 "$dist/Release" >"$work/indices"
    [ -s "$work/indices" ] || bad "$rel/Release" "names no index by sha256"
    while read -r sum size path; do
        safe_name "$path" || continue
        [ -f "$dist/$path" ] || { bad "$rel/$path" "missing, and $rel/Release names it"; continue; }
        found=${sha[$rel/$path]:-none}
        [ "$found" = "$sum" ] && [ "$(stat -c %s "$dist/$path")" = "$size" ] ||
            bad "$rel/$path" "sha256 $found, size $(stat -c %s "$dist/$path"); $rel/Release says $sum, size $size"
        case $path in */Packages) check_packages "$top" "$rel/$path" ;; esac
    done <"$work/indices"
}

# check_packages TOP PACKAGES: every pool file a Packages index names.
check_packages() {
    local top=$1 index=$2 file sum found
    awk '/^Filename: / { f = $2 } /^SHA256: / { s = $2 } /^$/ { if (f != "") print f, s; f = s = "" }
        END { if (f != "") print f, s }' "$top/$index" | while read -r file sum; do
        safe_name "$file" || continue
        echo "$file" >>"$work/pool-named"
        if [ ! -f "$top/apt/$file" ]; then
            bad "apt/$file" "missing, and $index names it (sha256 $sum)"
            continue
        fi
        found=${sha[apt/$file]:-none}
        [ "$found" = "$sum" ] || bad "apt/$file" "sha256 $found, and $index says $sum"
    done
}

# check_rpm TOP: each rpm repository's signed metadata, and its packages.
check_rpm() {
    local top=$1 repo
    [ -d "$top/rpm" ] || return 0
    needs rpmkeys
    # An .rpm carries one signature, by a key of the tree's when it was
    # released: the keys the tree names now (libcwork.asc) or has retired
    # (libcwork-retired.asc), which SHA256SUMS, signed by the keys checked
    # against, vouches for. Its bytes the signed metadata pins anyway.
    local file
    for file in libcwork.asc libcwork-retired.asc; do
        [ ! -f "$top/$file" ] || rpmkeys --dbpath "$work/rpmdb" --import "$top/$file" ||
            bad "$file" "holds no key that rpmkeys can import"
    done
    : >"$work/rpms"
    for repo in "$top"/rpm/*/; do [ -d "$repo" ] && check_rpm_repo "$top" "${repo%/}"; done
    [ -s "$work/rpms" ] || return 0
    xargs -d '\n' rpmkeys --dbpath "$work/rpmdb" -K <"$work/rpms" | grep -v ': digests signatures OK$' |
        while read -r line; do
            path=${line%%: *}
            bad "${path#"$top"/}" "not signed by a key of the tree's: ${line##*: }"
        done || true
}

# check_rpm_repo TOP REPO: repomd.xml, signed; what it names; the packages
# primary names, by checksum and signature; nothing there unnamed.
check_rpm_repo() {
    local top=$1 repo=$2 rel=${2#"$1"/} sum path found primary=""
    if [ ! -f "$repo/repodata/repomd.xml" ]; then
        bad "$rel/repodata/repomd.xml" "missing: every rpm repository has one"
        return
    fi
    signed "$rel/repodata/repomd.xml.asc" "$repo/repodata/repomd.xml.asc" "$repo/repodata/repomd.xml" || true
    printf '%s\n' repodata/repomd.xml repodata/repomd.xml.asc >"$work/rpm-named"
    while read -r sum path; do
        echo "$path" >>"$work/rpm-named"
        safe_name "$path" && [ -f "$repo/$path" ] || { bad "$rel/$path" "missing, and repomd.xml names it"; continue; }
        found=${sha[$rel/$path]:-none}
        [ "$found" = "$sum" ] || { bad "$rel/$path" "sha256 $found, and repomd.xml says $sum"; continue; }
        case $path in *-primary.xml.*) primary=$repo/$path ;; esac
    done < <(awk -F'"' '/<checksum type="sha256">/ { split($0, a, /[<>]/); s = a[3] }
        /<location href=/ { print s, $2 }' "$repo/repodata/repomd.xml")
    [ -n "$primary" ] || { bad "$rel/repodata/repomd.xml" "names no primary metadata that holds"; return; }
    while read -r sum path; do
        echo "$path" >>"$work/rpm-named"
        safe_name "$path" && [ -f "$repo/$path" ] || { bad "$rel/$path" "missing, and the primary metadata names it"; continue; }
        found=${sha[$rel/$path]:-none}
        [ "$found" = "$sum" ] || bad "$rel/$path" "sha256 $found, and the primary metadata says $sum"
        echo "$repo/$path" >>"$work/rpms"
    done < <(decompress "$primary" | awk -F'"' '/<checksum type="sha256" pkgid="YES">/ { split($0, a, /[<>]/); s = a[3] }
        /<location href=/ { print s, $2 }')
    (cd "$repo" && find . ! -type d -printf '%P\n') | sort | comm -23 - <(sort "$work/rpm-named") | while read -r path; do
        bad "$rel/$path" "neither repomd.xml nor the primary metadata names it"
    done
}

decompress() {
    case $1 in
    *.gz) zcat "$1" ;;
    *.xz) xzcat "$1" ;;
    *.zst) zstd -dcq "$1" ;;
    *.bz2) bzcat "$1" ;;
    *) cat "$1" ;;
    esac
}

[ $# = 1 ] && [ -n "$1" ] || die "usage: verify.sh DIR|URL (FINGERPRINT=HEX in the environment to name the key)"
work=$(mktemp -d)
trap 'gpgconf --homedir "$work/gnupg" --kill all 2>/dev/null; rm -rf "$work"' EXIT
for tool in gpg gpgv sha256sum /usr/bin/python3; do needs "$tool"; done

case $1 in
http://* | https://* | file:*) top=${VERIFY_COPY:-$work/copy} && fetch_tree "${1%/}" "$top" ;;
*) [ -d "$1" ] && top=$(realpath "$1") || die "$1 is not a directory, nor an http:, https: or file: URL" ;;
esac
name=$1

trusted_keys "$top" "${FINGERPRINT:-}"
for step in hash_all check_sums check_unnamed check_apt check_rpm check_provenance check_rebuilds; do "$step" "$top"; done

if [ -s "$work/failures" ]; then
    sed "s|^|verify: $name: |" "$work/failures" >&2
    echo "verify: $name does not hold: $(wc -l <"$work/failures") failures" >&2
    exit 1
fi
[ ! -s "$work/news" ] || cat "$work/news"
echo "verify: $name holds: $(wc -l <"$work/named") files, signed by $(xargs <"$work/fingerprints")"
