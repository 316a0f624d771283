#!/usr/bin/env bash
# build-root.sh: make release from an environment made to poison a build
# publishes exactly what a clean build in the root makes of the same
# source; make rebuild, by another user from a clone of their own, matches
# it, and names what a compromised build machine or key holder changed.
. "$(dirname "$0")/lib.sh"
where="build root" tree=$work/tree-root
[ -f "$debian_dir/$build_release-build.tar" ] || needs_tool mmdebstrap
needs_tool apt-ftparchive createrepo_c rpmsign rpmkeys

# cache_for_nobody DIR [DIR...]: the clone DIR/libcwork and the other
# DIRs are nobody's, and DIR/cache its download cache, holding what ours
# does: the entries linked (each is checked again at its every use), the
# package lists copied.
cache_for_nobody() {
    local ours=${XDG_CACHE_HOME:-$HOME/.cache}/libcwork mine=$1/cache/libcwork
    mkdir -p "$mine" && cp -rl "$ours"/sha* "$mine/" &&
        find "$ours" -mindepth 1 -maxdepth 1 ! -name 'sha*' -exec cp -r -t "$mine" {} + &&
        find "$mine" -path "$mine/sha*" -type f -prune -o -exec chown 65534:65534 {} + &&
        chown -R 65534:65534 "$1/libcwork" "${@:2}" && chown 65534:65534 "$1" && chmod o+x "$work"
}

# envelope_altered payload|signature FILE: the DSSE envelope FILE with the
# first subject of its statement given another digest, or with a bit of
# its first signature turned, the rest as it was.
envelope_altered() {
    /usr/bin/python3 - "$@" <<'PY'
import base64, json, sys
what, path = sys.argv[1:]
e = json.load(open(path))
if what == "payload":
    s = json.loads(base64.b64decode(e["payload"]))
    s["subject"][0]["digest"]["sha256"] = "0" * 64
    e["payload"] = base64.b64encode(json.dumps(s).encode()).decode()
else:
    sig = bytearray(base64.b64decode(e["signatures"][0]["sig"]))
    sig[-1] ^= 1
    e["signatures"][0]["sig"] = base64.b64encode(bytes(sig)).decode()
json.dump(e, open(path, "w"))
PY
}

# resigned WHAT FILE COMMAND...: $work/tampered, a copy of $work/poisoned
# with FILE changed by COMMAND FILE, and its indices and SHA256SUMS
# written and signed again by the key, as one holding the key (not the
# build) could; the provenance is kept as it is.
resigned() {
    local file=$work/tampered/${2#"$work/poisoned/"}
    rm -rf "$work/tampered" && cp -a "$work/poisoned" "$work/tampered" && "${@:3}" "$file" &&
        /usr/bin/python3 "$source_dir/tests/forge.py" --keep-provenance "$work/tampered" "$key" >"$out" 2>&1 ||
        fail "could not change the $1 and sign the sums again:"$'\n'"$(cat "$out")"
}

# REPO with the shell's and make's metacharacters reaches the release as
# it is, through make, in a parent the release makes; a failing release
# fails make. Its packages are the bytes of a clean build in the root,
# which verify; a changed build record or provenance fails, even where the
# whole tree's sums are signed again by the key.
root_build() {
    local dir="$work/a b/\$(touch made-by-dollar) \`touch made-by-backquote\` \"q'/published" b f
    refuses "make release with no key" "no LIBCWORK_SIGNING_KEY" env LIBCWORK_SIGNING_KEY= make -C "$tree" release REPO="$dir"
    must "make and make release, poisoned, into '$dir'" with_umask 077 env PATH="$work/poison:$PATH" CXXFLAGS="-O0 -g3" \
        LDFLAGS=-Wl,-znorelro LC_ALL=C.UTF-8 TZ=Asia/Tokyo LIBCWORK_SIGNING_KEY="$key" make -C "$tree" all release REPO="$dir"
    [ -f "$dir/FINGERPRINT" ] || fail "make release into '$dir' wrote no FINGERPRINT:"$'\n'"$(cat "$out")"
    [ -z "$(find "$work" "$tree" -maxdepth 1 -name 'made-by-*')" ] || fail "REPO ran as a command"
    [ "$(stat -c %a "$work/a b" "$dir/.." "$dir" | xargs)" = "755 755 755" ] ||
        fail "the directories the release made under umask 077 are not 0755"
    mv "$dir" "$work/poisoned" && rm -rf "$work/a b"
    say "REPO with spaces, quotes, \$(…) and backquotes reaches it as it is, through make"
    for b in $(in_tree "$tree"); do equals "after make from a poisoned environment, ${b##*/} needs glibc" \
        "$("$source_dir/scripts/glibc-floor.sh" "$b"/bin/*)" "$(. "$b/facts.sh" && echo "$floor")"; done
    must "the clean build in the root" "$source_dir/scripts/rootbuild.sh" "$(newest_in "$tree")" \
        "$work/poisoned/$(source_name "$first")" "$work/clean" "$work/poisoned/libcwork.asc" \
        "$(field Repository "$work/poisoned/$(record_name "$first")")"
    for f in "$work/clean"/*; do [ "${f%.buildinfo}" != "$f" ] || cmp -s "$f" "$work/poisoned/${f##*/}" ||
        fail "${f##*/}, released from a poisoned environment, is not what the clean build in the root made"; done
    f=$(record_name "$first")
    head -c "$(stat -c %s "$work/clean/$f")" "$work/poisoned/$f" | cmp -s - "$work/clean/$f" ||
        fail "the published build record is not the clean build's:"$'\n'"$(diff "$work/clean/$f" "$work/poisoned/$f")"
    say "make release from a poisoned environment publishes the bytes of a clean build in the root: $(ls "$work/clean" | wc -l) files"
    must "the release built in the root does not verify" verify_tree "$work/poisoned"
    resigned record "$work/poisoned/$f" sed -i 's/^Build-Release: .*/Build-Release: elsewhere/'
    refuses "verify of a changed build record" "$(provenance_name "$first"): names $f with sha256" verify_tree "$work/tampered"
    resigned provenance "$work/poisoned/$(provenance_name "$first")" envelope_altered payload
    refuses "verify of a changed provenance" "$(provenance_name "$first"): no good signature by a key of the tree's" \
        verify_tree "$work/tampered"
    say "a build record or provenance changed, the tree's sums signed again, fails make verify"
}

# Anyone with a checkout shows that the release comes from its source, and
# signs what they found: here nobody, with a cache of its own, from a
# clone in a path with a space, under umask 002. It says which version it
# rebuilt and why, and that its source is the recorded commit; from a
# checkout without the commit it says to fetch it; a trial it refuses.
rebuild_by_nobody() {
    must "could not clone the tree" git clone -q "$tree" "$work/other clone/libcwork"
    rk=$(GNUPGHOME=$work/rebuilder-keys throwaway_key "rebuilder <rebuilder@example.org>" ed25519)
    must "could not give nobody the clone and a cache" cache_for_nobody "$work/other clone" "$work/rebuilder-keys"
    must "make rebuild by nobody from a second clone" with_umask 002 setpriv --reuid=65534 --regid=65534 --clear-groups \
        env HOME="$work/other clone" XDG_CACHE_HOME="$work/other clone/cache" GNUPGHOME="$work/rebuilder-keys" \
        make --no-print-directory -C "$work/other clone/libcwork" rebuild REPO="$work/poisoned" ATTEST="$rk"
    grep -qF "rebuild: version $first, the newest that the tree's indices name" "$out" &&
        grep -qF "$(source_name "$first"): the same bytes as dist.sh makes of commit" "$out" ||
        fail "make rebuild does not say which version it rebuilt, why, and that its source is the commit:"$'\n'"$(cat "$out")"
    say "make rebuild, by another user, from a second clone in a path with a space and under umask 002: $(tail -n 1 "$out")"
    c=$(field Commit "$work/poisoned/$(record_name "$first")")
    git init -q --bare "$work/empty.git"
    GIT_DIR=$work/empty.git refuses "make rebuild from a checkout without the commit" "this checkout has no commit $c" \
        make -C "$tree" rebuild REPO="$work/poisoned"
    kept repo "$work/repo"
    refuses "make rebuild of a trial" "was built outside a clean root, as its build record says" make -C "$tree" rebuild REPO="$work/repo"
}

# A build machine that publishes a .deb and a keyring its source does not
# make, signed by the maintainer's own key, with its source archive the
# commit's tar compressed otherwise, and an index that hands a client a
# .deb of its own: the tree verifies; make rebuild from a later checkout
# rebuilds the release's own version, takes the source, and names the three.
compromised() {
    local g s
    rm -rf "$work/forged" && cp -a "$work/clean" "$work/forged" && f=$(cd "$work/forged" && ls libcwork_*.deb)
    k=$(keyring_name "$first" "$build_release")
    for g in "$f" "$k"; do rm -rf "$work/forged.tree" && must "could not alter $g" dpkg-deb -R "$work/forged/$g" "$work/forged.tree"
        echo owned >"$work/forged.tree/usr/share/doc/${g%%_*}/README" && rm "$work/forged/$g"
        must "could not alter $g" dpkg-deb --root-owner-group -b "$work/forged.tree" "$work/forged/$g"; done
    s=$(source_name "$first") && gzip -dc "$work/clean/$s" | gzip -1n >"$work/forged/$s" &&
        sed -i "s/^Source-Archive: [0-9a-f]*/Source-Archive: $(hash_of sha256 "$work/forged/$s")/" "$work/forged/$(record_name "$first")"
    must "the compromised release" env LIBCWORK_PACKAGES="$work/forged" LIBCWORK_SIGNING_KEY="$key" \
        "$source_dir/scripts/release.sh" "$work/compromised" "${trees[@]}"
    e=${f%.deb}.more.deb && cp "$work/forged/$f" "$work/compromised/apt/pool/$e"
    must "could not name $e in an index" /usr/bin/python3 "$source_dir/tests/forge.py" "$work/compromised" "$key" \
        point "$build_release" libcwork "pool/$e" all
    must "the compromised release does not verify" verify_tree "$work/compromised"
    tree_at "${upstream%.*}.$((${upstream##*.} + 4))-1" "$tree"
    refuses "make rebuild of the compromised release" "$f: other bytes than the rebuild's" make -C "$tree" rebuild REPO="$work/compromised"
    grep -qF "apt/pool/$k: other bytes than the rebuild's" "$out" && ! grep -q 'lacks\|cannot open' "$out" ||
        fail "make rebuild does not name $k alone:"$'\n'"$(cat "$out")"
    grep -qF "apt/pool/$e: the build makes no $e" "$out" && grep -qF "$s: the same tar as dist.sh makes of commit $c, compressed otherwise" "$out" ||
        fail "make rebuild does not name $e, which an index hands out, or not the source's compression:"$'\n'"$(cat "$out")"
    say "a release whose $f and $k its source does not make, signed by the key, verifies, and make rebuild from a later checkout names them"
    # A source archive of another commit, its header made to name the
    # recorded one: make rebuild names the archive and the files that differ.
    rm -rf "$work/tampered" && cp -a "$work/poisoned" "$work/tampered"
    git -C "$tree" -c tar.umask=0022 archive --prefix="libcwork-$upstream/" HEAD | sed "s/$(git -C "$tree" rev-parse HEAD)/$c/" |
        gzip -9n >"$work/tampered/$s"
    sed -i "s/^Source-Archive: [0-9a-f]*/Source-Archive: $(hash_of sha256 "$work/tampered/$s")/" "$work/tampered/$(record_name "$first")"
    must "could not sign it again" /usr/bin/python3 "$source_dir/tests/forge.py" "$work/tampered" "$key"
    refuses "make rebuild of another commit's source" "$s is not what dist.sh makes of commit $c" make -C "$tree" rebuild REPO="$work/tampered"
    grep -qF "libcwork-$upstream/changelog: " "$out" || fail "make rebuild does not name the file that differs:"$'\n'"$(cat "$out")"
    say "a source archive of another commit, named as the recorded one: make rebuild names it and the changelog, which differs"
}

# A later release publishes what the rebuilder signed under rebuilds/, and
# make verify checks it: refused once changed, by a revoked key, or named
# by another key than its signer's.
attested() {
    must "the release with a rebuilder's attestation" env LIBCWORK_REBUILDS="$work/other clone/libcwork/build/rebuilds" \
        LIBCWORK_SIGNING_KEY="$key" "$source_dir/scripts/release.sh" "$work/poisoned" "${trees[@]}"
    must "the release with a rebuilder's attestation does not verify" verify_tree "$work/poisoned"
    grep -qF "rebuilt and matched by $rk" "$out" || fail "make verify does not report the rebuilder:"$'\n'"$(cat "$out")"
    f=$(attestation_name "$first" "$rk")
    resigned attestation "$work/poisoned/rebuilds/$f" envelope_altered signature
    refuses "verify of a changed attestation" "rebuilds/$f: not a good signature by the key rebuilds/$rk.asc" verify_tree "$work/tampered"
    say "make rebuild ATTEST signs what it found; published under rebuilds/, make verify checks it, and refuses it changed"
    cp -a "$work/rebuilder-keys" "$work/revoked-keys" && rm -f "$work/revoked-keys"/S.*
    sed 's/^:-----/-----/' "$work/revoked-keys/openpgp-revocs.d/$rk.rev" | gpg --homedir "$work/revoked-keys" --batch --quiet --import 2>/dev/null
    resigned "rebuilder's key" "$work/poisoned/rebuilds/$rk.asc" sh -c 'gpg --homedir "$0" --batch --armor --export >"$1"' "$work/revoked-keys"
    refuses "verify of an attestation by a revoked key" "rebuilds/$f: signed by $rk, which is revoked" verify_tree "$work/tampered"
    resigned "attestation's name" "$work/poisoned/rebuilds/$f" \
        sh -c 'cp "$2" "${2%%-by-*}-by-$0.intoto.json" && cp "${2%/*}/$1.asc" "${2%/*}/$0.asc"' "$key" "$rk"
    refuses "verify of an attestation named by another key" "signed by $rk, and it says it is signed by $key" verify_tree "$work/tampered"
    say "an attestation by a revoked key, or named by another key than its signer's, is refused"
}

tree_at "$first" "$tree"
mapfile -t trees < <(in_tree "$tree")
export GNUPGHOME=$work/root-keys
key=$(throwaway_key "root build <root@example.org>" ed25519)
mkdir "$work/poison" && printf '#!/bin/sh\nexec /usr/bin/g++ -O0 -DPOISONED "$@"\n' >"$work/poison/g++" && chmod 755 "$work/poison/g++"
root_build
rebuild_by_nobody
compromised
attested
