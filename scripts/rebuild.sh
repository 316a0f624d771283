#!/usr/bin/env bash
# rebuild.sh BUILD_DIR REPO|URL: show that a published release comes from
# its published source. The tree must verify (scripts/verify.sh, against
# FINGERPRINT where it is set); then the version VERSION (by default the
# newest built in the root) is built again from its source archive, in the
# root its build record names (scripts/rootbuild.sh), and every file the
# build made is compared byte for byte with the published one: each .deb
# and .tar.gz, and each .rpm as published unsigned and, in every rpm
# repository, all of it but its signature. The exit
# status is 0 only when every file is the same. After one connected run it
# works offline: the root is kept in the download cache. With ATTEST=KEY, what
# it found is signed by KEY as an attestation (attest, below).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
me=rebuild
[ $# = 2 ] || die "usage: rebuild.sh BUILD_DIR REPO|URL"
. "$1/facts.sh"
resource=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

case $2 in
http://* | https://* | file:*) copy=$work/copy && VERIFY_COPY=$copy "$here/verify.sh" "$2" ;;
*) copy=$(realpath "$2") && "$here/verify.sh" "$copy" ;;
esac || die "$2 does not verify: nothing of it is rebuilt"
mapfile -t versions < <(cd "$copy" && ls libcwork-*.buildinfo 2>/dev/null | sed 's/^libcwork-//; s/\.buildinfo$//')
[ ${#versions[@]} -gt 0 ] || die "$2 holds no build record: no release of it was built in the root"
v=${VERSION:-$(newest_version "${versions[@]}")}
record=$copy/libcwork-$v.buildinfo
[ -f "$record" ] || die "$2 holds no build record of version $v; it has: ${versions[*]}"
# lines NAME FILE: the lines of a field of a build record that spans
# lines, a value each.
lines() { awk -v f="$1:" '$1 == f { s = 1; next } /^[^ ]/ { s = 0 } s { sub(/^ +/, ""); sub(/,$/, ""); print }' "$2"; }
[ "$(field Build-Release "$record")" = "$build_release" ] ||
    die "version $v was built in a Debian $(field Build-Release "$record") root, and this checkout builds in $build_release:" \
        "rebuild it from a checkout of its commit, $(field Commit "$record")"

# The keys that V's keyring and release packages bring, which its record
# names by hash, come out of its release package.
keys=()
if [ -n "$(field Keys "$record")" ]; then
    needs rpm2cpio && needs cpio
    (cd "$work" && rpm2cpio "$copy/libcwork-release-$v.noarch.rpm" |
        cpio -i --quiet --to-stdout ./etc/pki/rpm-gpg/RPM-GPG-KEY-libcwork >keys.asc) 2>/dev/null &&
        [ "$(sha256sum <"$work/keys.asc" | cut -d' ' -f1) libcwork.asc" = "$(field Keys "$record")" ] ||
        die "libcwork-release-$v.noarch.rpm does not bring the keys its build record names"
    keys=("$work/keys.asc" "$(field Repository "$record")")
fi
"$here/rootbuild.sh" "$1" "$copy/libcwork-$v-source.tar.gz" "$work/out" "${keys[@]}" >/dev/null
# What the mirror has now may be newer than what the release was built
# with: say so, as the reason a byte may differ.
comm -23 <(lines Installed-Build-Depends "$record" | sort) \
    <(lines Installed-Build-Depends "$work/out/libcwork-$v.buildinfo" | sort) |
    sed 's/.*/rebuild: the root now lacks &, which the release was built with: a difference may come from that/'

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

# attest: what the rebuild found, signed by the key ATTEST in the envelope
# of the provenance, as build/rebuilds/libcwork-V.rebuilt-by-FINGERPRINT.intoto.json,
# with the key beside it as FINGERPRINT.asc: for make release REBUILDS=.
attest() {
    local fpr out=$source_dir/build/rebuilds result=PASSED
    fpr=$(gpg --batch --with-colons --list-secret-keys -- "$ATTEST" 2>/dev/null | awk -F: '$1 == "fpr" { print $10; exit }')
    [ -n "$fpr" ] || die "ATTEST=$ATTEST is not a secret key in your GnuPG keyring"
    [ $status = 0 ] || result=FAILED
    /usr/bin/python3 "$here/dsse.py" rebuilt "$result" "rebuilder $fpr" "$resource" "$copy/libcwork-$v.intoto.json" \
        "$work/compared" >"$work/statement" && /usr/bin/python3 "$here/dsse.py" pae "$work/statement" >"$work/pae" &&
        gpg --batch --local-user "$fpr" --detach-sign -o "$work/sig" "$work/pae" &&
        mkdir -p "$out" && gpg --batch --armor --export "$fpr" >"$out/$fpr.asc" &&
        /usr/bin/python3 "$here/dsse.py" envelope "$work/statement" "$fpr=$work/sig" \
            >"$out/libcwork-$v.rebuilt-by-$fpr.intoto.json" || die "could not sign the attestation with $fpr"
    echo "rebuild: attested ($result), signed by $fpr: $out/libcwork-$v.rebuilt-by-$fpr.intoto.json"
}

status=0
# same PUBLISHED REBUILT NAME [FILE]: the bytes match; FILE, the published
# file (PUBLISHED, if not given), is one the attestation names.
same() {
    local file=${4:-$1}
    echo "$(sha256sum <"$file" | cut -d' ' -f1) ${file#"$copy"/}" >>"$work/compared"
    if cmp -s "$1" "$2"; then
        echo "rebuild: $3: the same bytes"
    else
        echo "rebuild: $3: other bytes than the rebuild's" >&2
        ! command -v diffoscope >/dev/null || diffoscope "$2" "$1" >&2 || true
        status=1
    fi
}
while read -r _ name; do
    case $name in *-source.tar.gz) continue ;; esac
    same "$copy/$name" "$work/out/$name" "$name"
    [ ! -f "$copy/apt/pool/$name" ] || same "$copy/apt/pool/$name" "$work/out/$name" "apt/pool/$name"
    [ "${name%.rpm}" != "$name" ] || continue
    unsigned "$work/out/$name" >"$work/rebuilt.body" || die "the rebuilt $name is not an rpm package"
    for signed in "$copy"/rpm/*/"$name"; do
        [ -f "$signed" ] || continue
        unsigned "$signed" >"$work/published.body" || die "${signed#"$copy"/} is not an rpm package"
        same "$work/published.body" "$work/rebuilt.body" "${signed#"$copy"/}, all but its signature" "$signed"
    done
done < <(lines Checksums-Sha256 "$record")
[ -z "${ATTEST:-}" ] || attest
[ $status = 0 ] || die "version $v, built again from its source, is not what $2 publishes"
echo "rebuild: version $v, built again from its source in a Debian $build_release root, is what $2 publishes"
