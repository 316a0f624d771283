#!/usr/bin/env bash
# rebuild.sh BUILD_DIR REPO|URL: build a published version again from its
# source in its recorded root and compare every file a client can be handed
# (docs/releasing.md). VERSION and ATTEST from the environment.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
me=rebuild
[ $# = 2 ] || die "usage: rebuild.sh BUILD_DIR REPO|URL"
. "$1/facts.sh"
resource=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
copy=$work/copy

# Only the copy that verify checked is read from here on, never the tree.
own_verify --copy "$copy" --summary "$work/summary" "$2" >"$work/verify.log" ||
    die "$2 does not verify: nothing of it is rebuilt"
if [ -n "${VERSION:-}" ]; then
    v=$VERSION why="as VERSION= asks"
else
    v=$(awk '$1 == "newest" { print $2 }' "$work/summary") why="the newest that the tree's indices name, as dpkg orders versions"
fi
awk -v v="$v" '$1 == "version" && $2 == v { found = 1 } END { exit !found }' "$work/summary" ||
    die "$2 holds no version $v; it has: $(awk '$1 == "version" { print $2 }' "$work/summary" | xargs)"
record=$copy/$(record_name "$v")
[[ $(field Build-Root "$record") =~ ^[0-9a-f]{64}$ ]] ||
    die "version $v was built outside a clean root, as its build record says ($(field Build-Root "$record")):" \
        "there is no recorded root to build it again in"
commit=$(field Commit "$record")
echo "rebuild: version $v, $why, built from commit $commit"
# lines NAME FILE: the lines of a field of a build record that spans
# lines, a value each.
lines() { awk -v f="$1:" '$1 == f { s = 1; next } /^[^ ]/ { s = 0 } s { sub(/^ +/, ""); sub(/,$/, ""); print }' "$2"; }
[ "$(field Build-Release "$record")" = "$build_release" ] ||
    die "version $v was built in a Debian $(field Build-Release "$record") root, and this checkout builds in $build_release:" \
        "rebuild it from a checkout of its commit, $commit"

status=0
: >"$work/compared"
: >"$work/differences"
# compare PATH AS: the published PATH and what the build made as AS are the
# same bytes (an .rpm of a repository, all but its signature); PATH is one
# the attestation names, unless its name is not AS: an alias, which a
# later release points elsewhere. What differs is said, member by member.
compare() {
    local ours=$copy/$1 theirs=$work/out/$2 what=$1
    [ "${1##*/}" != "$2" ] || echo "$(hash_of sha256 "$ours") $1" >>"$work/compared"
    if [ "${1#rpm/}" != "$1" ]; then
        unsigned "$theirs" >"$work/rebuilt.body" || die "the rebuilt $2 is not an rpm package"
        unsigned "$ours" >"$work/published.body" || die "$1 is not an rpm package"
        ours=$work/published.body theirs=$work/rebuilt.body what="$1, all but its signature"
    fi
    if cmp -s "$ours" "$theirs"; then
        echo "rebuild: $what: the same bytes"
        return
    fi
    echo "rebuild: $what: other bytes than the rebuild's" >&2
    differs "$1" "$copy/$1" "$work/out/$2"
}

# differs PATH PUBLISHED OURS [WHAT]: PATH differs from OURS (the rebuilt,
# or WHAT), in these members.
differs() {
    echo "file $1" >>"$work/differences"
    /usr/bin/python3 "$here/members.py" "$2" "$3" published "${4:-rebuilt}" 2>&1 | sed "s|^ *|member $1: |" |
        tee -a "$work/differences" >&2 || true
    status=1
}

# The source: what dist.sh makes of the recorded commit, byte for byte, or
# the same tar compressed otherwise. Anything else is not that commit, and
# nothing is built from it.
source_is_commit() {
    local archive
    archive=$(source_name "$v")
    git -C "$source_dir" rev-parse -q --verify "$commit^{commit}" >/dev/null ||
        die "this checkout has no commit $commit, which version $v was built from: fetch it" \
            "(git fetch origin $commit, or from any clone that has it) and run make rebuild again"
    "$source_dir/scripts/dist.sh" --commit "$commit" "$work/commit.tar.gz" >/dev/null ||
        die "could not make the source archive of commit $commit"
    echo "$(hash_of sha256 "$copy/$archive") $archive" >>"$work/compared"
    if cmp -s "$copy/$archive" "$work/commit.tar.gz"; then
        echo "rebuild: $archive: the same bytes as dist.sh makes of commit $commit"
    elif cmp -s <(gzip -dc "$copy/$archive") <(gzip -dc "$work/commit.tar.gz"); then
        echo "rebuild: $archive: the same tar as dist.sh makes of commit $commit, compressed otherwise"
    else
        echo "rebuild: $archive is not what dist.sh makes of commit $commit; these differ:" >&2
        differs "$archive" "$copy/$archive" "$work/commit.tar.gz" "commit's"
        return 1
    fi
}

# unsigned RPM: the package less its signature header: what the signature
# covers, the header and the payload, byte for byte. (rpmsign --delsign
# writes a signature header of another size, so the whole files differ.)
unsigned() {
    /usr/bin/python3 -c 'import struct, sys
d = open(sys.argv[1], "rb").read()
assert d[:4] == b"\xed\xab\xee\xdb" and d[96:99] == b"\x8e\xad\xe8"
n, size = struct.unpack(">II", d[104:112])
end = 96 + 16 + 16 * n + size
sys.stdout.buffer.write(d[end + (-end) % 8:])' "$1"
}

# rebuild: V built again, and every file of V that the provenance and the
# indices name, wherever it lies, compared with what the build made of
# that name; and every file the build made is published.
rebuild() {
    local keys=() sum path as name
    # The keys that V's keyring and release packages bring, which its record
    # names by hash, come out of its release package.
    if [ -n "$(field Keys "$record")" ]; then
        needs rpm2cpio && needs cpio
        (cd "$work" && rpm2cpio "$copy/$(release_name "$v")" |
            cpio -i --quiet --to-stdout ./etc/pki/rpm-gpg/RPM-GPG-KEY-libcwork >keys.asc) 2>/dev/null &&
            [ "$(hash_of sha256 "$work/keys.asc") libcwork.asc" = "$(field Keys "$record")" ] ||
            die "$(release_name "$v") does not bring the keys its build record names"
        keys=("$work/keys.asc" "$(field Repository "$record")")
    fi
    "$here/rootbuild.sh" "$1" "$copy/$(source_name "$v")" "$work/out" "${keys[@]}" >/dev/null
    # What the mirror has now may be other than what the release was built
    # with: say so, as the reason a byte may differ.
    join -a 1 -a 2 -e none -o 0,1.2,2.2 <(root_packages "$record") <(root_packages "$work/out/$(record_name "$v")") |
        awk '$2 != $3 { print "root " $1 ": the release was built with " $2 ", and the root has " $3 }' |
        tee -a "$work/differences" | sed 's/^root /rebuild: /; s/$/: a difference may come from that/'
    while read -r _ _ sum path as; do
        case $path in *.buildinfo) echo "$sum $path" >>"$work/compared" && continue ;; *.intoto.json | *-source.tar.gz) continue ;; esac
        if [ ! -f "$work/out/$as" ]; then
            echo "$sum $path" >>"$work/compared"
            echo "rebuild: $path: the build makes no $as: it does not come from this source" >&2
            echo "file $path: the build makes no $as" >>"$work/differences"
            status=1
        else
            compare "$path" "$as"
        fi
        touch "$work/out/$as.compared"
    done < <(awk -v v="$v" '$1 == "file" && $2 == v' "$work/summary")
    for path in "$work"/out/*; do
        name=${path##*/}
        case $name in *.compared | *.buildinfo | *-source.tar.gz) continue ;; esac
        [ -f "$path.compared" ] || { echo "rebuild: the build makes $name, and the tree does not publish it" >&2 &&
            echo "unpublished $name" >>"$work/differences" && status=1; }
    done
}

# root_packages RECORD: each package of the root a build record names, and
# its version, sorted for join.
root_packages() { lines Installed-Build-Depends "$1" | sed 's/ (= \(.*\))$/ \1/' | sort; }

# attest: what the rebuild found, signed by the key ATTEST in the envelope
# of the provenance, as build/rebuilds/libcwork-V.rebuilt-by-FINGERPRINT.intoto.json,
# with the key beside it as FINGERPRINT.asc: for make release REBUILDS=.
attest() {
    local fpr out=$source_dir/build/rebuilds result=PASSED
    fpr=$(key_fingerprints --list-secret-keys -- "$ATTEST" | head -n 1)
    [ -n "$fpr" ] || die "ATTEST=$ATTEST is not a secret key in your GnuPG keyring"
    [ $status = 0 ] || result=FAILED
    # The rebuilder's own record: its root's, with the host and the time.
    { cat "$work/out/$(record_name "$v")" 2>/dev/null || true
      printf '%s\n' "Rebuild-Host: $(. /etc/os-release && echo "$PRETTY_NAME"), $(uname -srm)" "Rebuild-Date: $(date -u -R)"
    } >"$work/rebuilder.buildinfo"
    /usr/bin/python3 "$here/dsse.py" rebuilt "$result" "rebuilder $fpr" "$resource" "$copy/$(provenance_name "$v")" \
        "$work/compared" "$work/rebuilder.buildinfo" "$work/differences" >"$work/statement" &&
        /usr/bin/python3 "$here/dsse.py" pae "$work/statement" >"$work/pae" &&
        gpg --batch --local-user "$fpr" --detach-sign -o "$work/sig" "$work/pae" &&
        mkdir -p "$out" && gpg --batch --armor --export "$fpr" >"$out/$fpr.asc" &&
        /usr/bin/python3 "$here/dsse.py" envelope "$work/statement" "$fpr=$work/sig" \
            >"$out/$(attestation_name "$v" "$fpr")" || die "could not sign the attestation with $fpr"
    echo "rebuild: attested ($result), signed by $fpr: $out/$(attestation_name "$v" "$fpr")"
}

if source_is_commit; then rebuild "$1"; else status=1; fi
[ -z "${ATTEST:-}" ] || attest
[ $status = 0 ] || die "version $v, built again from its source, is not what $2 publishes"
echo "rebuild: version $v, built again from its source in a Debian $build_release root, is what $2 publishes"
