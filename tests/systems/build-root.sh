#!/usr/bin/env bash
# build-root.sh: make release from an environment made to poison a build
# publishes exactly what a clean build in the root makes of the same
# source; make rebuild, by two rebuilders of their own (one on a Debian 13
# host), matches it, and names what a compromised build machine or key
# holder changed; the -rebuilt dists hold what enough of them matched.
. "$(dirname "$0")/lib.sh"
where="build root" tree=$work/tree-root
[ -f "$debian_dir/$build_release-build.tar" ] || needs_tool mmdebstrap
needs_tool apt-ftparchive createrepo_c rpmsign rpmkeys

# a_rebuilder UID DIR: a rebuilder of its own, the user UID, with a clone
# of the tree in DIR/libcwork, a download cache in DIR/cache and a key in
# DIR/gnupg, whose fingerprint it keeps in DIR/fpr.
a_rebuilder() {
    mkdir -p "$2" && git clone -q "$tree" "$2/libcwork" &&
        GNUPGHOME=$2/gnupg throwaway_key "rebuilder $1 <rebuilder$1@example.org>" ed25519 >"$2/fpr" &&
        gpgconf --homedir "$2/gnupg" --kill all && chown -R "$1:$1" "$2" && cache_for "$1" "$2" && chmod o+x "$work"
}

# rebuilds_as UID DIR REPO [ENTER...]: make rebuild of REPO by that
# rebuilder, under umask 002, signing what it found; ENTER, the way into
# its system, where DIR and REPO are.
rebuilds_as() {
    with_umask 002 "${@:4}" setpriv --reuid="$1" --regid="$1" --clear-groups env -i PATH=/usr/bin:/bin LC_ALL=C.UTF-8 \
        HOME="$2" XDG_CACHE_HOME="$2/cache" GNUPGHOME="$2/gnupg" make --no-print-directory -C "$2/libcwork" rebuild \
        REPO="$3" ATTEST="$(cat "${root:-}$2/fpr")"
}

# release_into DIR [NAME=VALUE...]: release.sh of the tree's builds into
# DIR, signed by the key, with the environment NAME=VALUE... .
release_into() { env LIBCWORK_SIGNING_KEY="$key" "${@:2}" "$source_dir/scripts/release.sh" "$1" "${trees[@]}"; }

# envelope_altered payload|omit|signature FILE: the DSSE envelope FILE with
# the first subject of its statement given another digest, or the pool
# copy of libcwork's .deb left out, or with a bit of its first signature
# turned, the rest as it was.
envelope_altered() {
    /usr/bin/python3 - "$@" <<'PY'
import base64, json, sys
what, path = sys.argv[1:]
e = json.load(open(path))
if what in ("payload", "omit"):
    s = json.loads(base64.b64decode(e["payload"]))
    if what == "omit":
        s["subject"] = [x for x in s["subject"] if not x["name"].startswith("apt/pool/libcwork_")]
    else:
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
    cp -a "$work/poisoned" "$work/unattested"
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
    must "could not give nobody a clone, a key and a cache" a_rebuilder 65534 "$work/other clone"
    rk=$(cat "$work/other clone/fpr")
    must "make rebuild by nobody from a second clone" rebuilds_as 65534 "$work/other clone" "$work/poisoned"
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

# A second rebuilder, on a Debian 13 host of its own, as a user of its
# own with its own clone, cache and key: it still builds in the recorded
# root, and matches.
on_debian_13() {
    local root=$work/trixie home=/home/rebuilder
    host_root trixie "$root"
    echo "rebuilder:x:1001:1001::$home:/bin/bash" >>"$root/etc/passwd" && echo "rebuilder:x:1001:" >>"$root/etc/group"
    must "could not give the rebuilder a clone, a key and a cache" a_rebuilder 1001 "$root$home"
    cp -a "$work/poisoned" "$root$home/published" && chown -R 1001:1001 "$root$home/published"
    must "make rebuild on Debian 13" rebuilds_as 1001 "$home" "$home/published" enter_root "$root"
    grep -qF "version $first, built again from its source in a Debian $build_release root, is what" "$out" ||
        fail "make rebuild on Debian 13 does not match:"$'\n'"$(cat "$out")"
    mkdir "$work/rebuilds" &&
        cp "$work/other clone/libcwork/build/rebuilds"/* "$root$home/libcwork/build/rebuilds"/* "$work/rebuilds/"
    for f in "$work/rebuilds"/*.asc; do gpg --dearmor <"$f"; done >"$work/rebuilders.gpg"
    rm -rf --one-file-system "$root"
    say "make rebuild on a Debian 13 host, by a rebuilder of its own, builds in the recorded $build_release root and matches"
}

# Two rebuilders' attestations and the policy naming both (THRESHOLD=2),
# added by a release at the version published: the -rebuilt dists hold it,
# nothing else changes, and make verify checks each attestation: refused
# once changed, by a revoked key, or named by another key than its signer's.
attested() {
    local before
    main_sums() { (cd "$work/poisoned" && find apt/dists/"$build_release" rpm/el9 -type f -exec sha256sum {} + | sort); }
    before=$(main_sums)
    must "the release that adds two rebuilders' attestations" release_into "$work/poisoned" \
        LIBCWORK_REBUILDS="$work/rebuilds" LIBCWORK_REBUILDERS="$work/rebuilders.gpg" LIBCWORK_THRESHOLD=2
    grep -qF "the -rebuilt dists and repositories hold $first" "$out" || fail "$first is not promoted:"$'\n'"$(cat "$out")"
    equals "after adding the attestations, the main dist and repository" \
        "$(main_sums)" "$before"
    REBUILDERS=$work/rebuilders.gpg must "the release with two rebuilders' attestations does not verify" verify_tree "$work/poisoned"
    grep -qE "^verify: +$first +matched +matched +2 of 2: rebuilt$" "$out" || fail "make verify's table:"$'\n'"$(cat "$out")"
    say "two rebuilders' attestations, added at the version published: $first is in the -rebuilt dists, and nothing else changed"
    f=$(attestation_name "$first" "$rk")
    resigned attestation "$work/poisoned/rebuilds/$f" envelope_altered signature
    refuses "verify of a changed attestation" "rebuilds/$f: not a good signature by the key rebuilds/$rk.asc" verify_tree "$work/tampered"
    cp -r "$work/other clone/gnupg" "$work/revoked-keys" && chmod 700 "$work/revoked-keys" && rm -f "$work/revoked-keys"/S.*
    sed 's/^:-----/-----/' "$work/revoked-keys/openpgp-revocs.d/$rk.rev" | gpg --homedir "$work/revoked-keys" --batch --quiet --import 2>/dev/null
    resigned "rebuilder's key" "$work/poisoned/rebuilds/$rk.asc" sh -c 'gpg --homedir "$0" --batch --armor --export >"$1"' "$work/revoked-keys"
    refuses "verify of an attestation by a revoked key" "rebuilds/$f: signed by $rk, which is revoked" verify_tree "$work/tampered"
    resigned "attestation's name" "$work/poisoned/rebuilds/$f" \
        sh -c 'cp "$2" "${2%%-by-*}-by-$0.intoto.json" && cp "${2%/*}/$1.asc" "${2%/*}/$0.asc"' "$key" "$rk"
    refuses "verify of an attestation named by another key" "signed by $rk, and it says it is signed by $key" verify_tree "$work/tampered"
    say "an attestation changed, by a revoked key, or named by another key than its signer's, is refused"
}

# signed_omitting FILE: the first rebuilder's attestation FILE with the
# pool copy of libcwork's .deb left out of its subjects, signed again by it.
signed_omitting() {
    envelope_altered omit "$1" && /usr/bin/python3 -c 'import base64, json, sys
sys.stdout.buffer.write(base64.b64decode(json.load(open(sys.argv[1]))["payload"]))' "$1" >"$work/statement.json" &&
        /usr/bin/python3 "$source_dir/scripts/dsse.py" pae "$work/statement.json" >"$work/pae" &&
        gpg --homedir "$work/a-keys" --batch --yes --local-user "$rk" --detach-sign -o "$work/sig" "$work/pae" &&
        /usr/bin/python3 "$source_dir/scripts/dsse.py" envelope "$work/statement.json" "$rk=$work/sig" >"$1"
}

# Who counts: an attestation by a key outside the user's REBUILDERS does
# not, nor one whose subjects leave out a pool copy; the tree's own key as
# a rebuilder is refused by make verify and make release, as is THRESHOLD=0.
thresholds() {
    local stranger
    stranger=$(GNUPGHOME=$work/stranger throwaway_key "stranger <stranger@example.org>" ed25519)
    { gpg --dearmor <"$work/rebuilds/$rk.asc" && gpg --homedir "$work/stranger" --export "$stranger"; } >"$work/and-stranger.gpg"
    REBUILDERS=$work/and-stranger.gpg refuses "make verify with a rebuilder who did not rebuild" \
        "the newest, is matched by fewer than 2 of the rebuilders you trust" verify_tree "$work/poisoned"
    grep -qE "^verify: +$first +(matched +missing|missing +matched) +1 of 2$" "$out" || fail "make verify's table:"$'\n'"$(cat "$out")"
    cp -r "$work/other clone/gnupg" "$work/a-keys" && chmod 700 "$work/a-keys" && rm -f "$work/a-keys"/S.*
    resigned "attestation's subjects" "$work/poisoned/rebuilds/$(attestation_name "$first" "$rk")" signed_omitting
    REBUILDERS=$work/rebuilders.gpg refuses "make verify of an attestation that leaves out a pool copy" \
        "by $rk does not count: its subjects omit apt/pool/libcwork_" verify_tree "$work/tampered"
    say "an attestation by a key outside REBUILDERS, or one that leaves out a pool copy, does not count"
    REBUILDERS=$work/poisoned/libcwork.gpg refuses "make verify with the tree's own key as a rebuilder" \
        "a release key of the tree's: a rebuilder must be another" verify_tree "$work/poisoned"
    refuses "make release with the tree's own key as a rebuilder" "a release key: one who signs the release vouches" \
        release_into "$work/poisoned" LIBCWORK_REBUILDERS="$work/poisoned/libcwork.gpg"
    refuses "make release with THRESHOLD=0" "THRESHOLD=0: at least 1 of the 2 rebuilders" \
        release_into "$work/poisoned" LIBCWORK_THRESHOLD=0 LIBCWORK_REBUILDERS="$work/rebuilders.gpg"
    say "the tree's own key as a rebuilder is refused by make verify and make release, and so is THRESHOLD=0"
}

# A build machine that publishes, as the next version, a .deb and a
# keyring its source does not make, signed by the maintainer's own key, its
# source archive the commit's tar compressed otherwise, and an index that
# hands a client a .deb of its own: the tree verifies. The first
# rebuilder, its clone brought up to date, names the three and each member
# that differs, and attests FAILED: make verify sees it in the rebuilder's
# own directory (ATTESTATIONS), then in the tree once a release at that
# version adds it; the -rebuilt dists keep the version before, and one that
# names the newer fails make verify.
compromised() {
    local g s c2 d
    tree_at "$bump" "$tree"
    must "the build of $bump in the root" "$source_dir/scripts/rootbuild.sh" "$(newest_in "$tree")" "$("$tree/scripts/dist.sh")" \
        "$work/clean2" "$work/poisoned/libcwork.asc" "$(field Repository "$work/poisoned/$(record_name "$first")")"
    rm -rf "$work/forged" && cp -a "$work/clean2" "$work/forged" && f=$(cd "$work/forged" && ls libcwork_*.deb)
    k=$(keyring_name "$bump" "$build_release")
    for g in "$f" "$k"; do rm -rf "$work/forged.tree" && must "could not alter $g" dpkg-deb -R "$work/forged/$g" "$work/forged.tree"
        echo owned >"$work/forged.tree/usr/share/doc/${g%%_*}/README" && rm "$work/forged/$g"
        must "could not alter $g" dpkg-deb --root-owner-group -b "$work/forged.tree" "$work/forged/$g"; done
    s=$(source_name "$bump") && gzip -dc "$work/clean2/$s" | gzip -1n >"$work/forged/$s" &&
        sed -i "s/^Source-Archive: [0-9a-f]*/Source-Archive: $(hash_of sha256 "$work/forged/$s")/" "$work/forged/$(record_name "$bump")"
    rm -rf "$work/compromised" && cp -a "$work/poisoned" "$work/compromised"
    must "the compromised release" release_into "$work/compromised" LIBCWORK_PACKAGES="$work/forged"
    e=${f%.deb}.more.deb && cp "$work/forged/$f" "$work/compromised/apt/pool/$e"
    must "could not name $e in an index" /usr/bin/python3 "$source_dir/tests/forge.py" "$work/compromised" "$key" \
        point "$build_release" libcwork "pool/$e" all
    must "the compromised release does not verify" verify_tree "$work/compromised"
    c2=$(field Commit "$work/compromised/$(record_name "$bump")")
    git -C "$work/other clone/libcwork" -c safe.directory='*' pull -q --ff-only && chown -R 65534:65534 "$work/other clone/libcwork"
    refuses "make rebuild of the compromised release" "$f: other bytes than the rebuild's" \
        rebuilds_as 65534 "$work/other clone" "$work/compromised"
    grep -qF "apt/pool/$k: other bytes than the rebuild's" "$out" && grep -qF "attested (FAILED)" "$out" &&
        grep -qF "member apt/pool/$f: ./usr/share/doc/libcwork/README: only in the published" "$out" &&
        grep -qF "apt/pool/$e: the build makes no $e" "$out" &&
        grep -qF "$s: the same tar as dist.sh makes of commit $c2, compressed otherwise" "$out" ||
        fail "make rebuild does not name $k, $e and the README, or not the source's compression, or does not attest:"$'\n'"$(cat "$out")"
    say "a release whose $f and $k its source does not make, signed by the key, verifies; make rebuild names them and attests FAILED"
    REBUILDERS=$work/rebuilders.gpg THRESHOLD=1 ATTESTATIONS="$work/other clone/libcwork/build/rebuilds" refuses \
        "make verify of the compromised release" "the newest, is matched by fewer than 1" verify_tree "$work/compromised"
    grep -qE "^verify: +$bump +(failed +missing|missing +failed) +0 of 2$" "$out" ||
        fail "make verify does not find the failed rebuild in the rebuilder's own directory:"$'\n'"$(cat "$out")"
    must "the release that adds the failed rebuild" release_into "$work/compromised" \
        LIBCWORK_REBUILDS="$work/other clone/libcwork/build/rebuilds"
    grep -qF "the -rebuilt dists and repositories hold $first" "$out" || fail "the -rebuilt dists do not keep $first:"$'\n'"$(cat "$out")"
    REBUILDERS=$work/rebuilders.gpg refuses "make verify of the compromised release" "the newest" verify_tree "$work/compromised"
    grep -qE "^verify: +$bump +(failed +missing|missing +failed) +0 of 2$" "$out" || fail "make verify's table:"$'\n'"$(cat "$out")"
    keep "$work/compromised" rebuilt
    say "its FAILED rebuild, seen in the rebuilder's directory and then published: the -rebuilt dists keep $first"
    rm -rf "$work/tampered" && cp -a "$work/compromised" "$work/tampered" && d=$work/tampered/apt/dists/$build_release
    cp "$d"/main/binary-amd64/Packages* "$d-rebuilt/main/binary-amd64/" && rm -f "$d-rebuilt"/main/binary-amd64/by-hash/SHA256/*
    must "could not sign it again" /usr/bin/python3 "$source_dir/tests/forge.py" --keep-provenance "$work/tampered" "$key"
    refuses "make verify of a -rebuilt dist that names $bump" "names libcwork $bump, and version $bump is not matched" \
        verify_tree "$work/tampered"
    say "a $build_release-rebuilt that names $bump, which no rebuilder matched, fails make verify"
}

# A source archive of another commit, its header made to name the
# recorded one, in the release as it was before any rebuild: make rebuild
# names the archive and the files that differ.
other_commit() {
    local s
    s=$(source_name "$first")
    rm -rf "$work/tampered" && cp -a "$work/unattested" "$work/tampered"
    git -C "$tree" -c tar.umask=0022 archive --prefix="libcwork-$upstream/" HEAD | sed "s/$(git -C "$tree" rev-parse HEAD)/$c/" |
        gzip -9n >"$work/tampered/$s"
    sed -i "s/^Source-Archive: [0-9a-f]*/Source-Archive: $(hash_of sha256 "$work/tampered/$s")/" "$work/tampered/$(record_name "$first")"
    must "could not sign it again" /usr/bin/python3 "$source_dir/tests/forge.py" "$work/tampered" "$key"
    refuses "make rebuild of another commit's source" "$s is not what dist.sh makes of commit $c" make -C "$tree" rebuild REPO="$work/tampered"
    grep -qF "libcwork-$upstream/changelog: " "$out" || fail "make rebuild does not name the file that differs:"$'\n'"$(cat "$out")"
    say "a source archive of another commit, named as the recorded one: make rebuild names it and the changelog, which differs"
}

tree_at "$first" "$tree"
mapfile -t trees < <(in_tree "$tree")
export GNUPGHOME=$work/root-keys
key=$(throwaway_key "root build <root@example.org>" ed25519)
mkdir "$work/poison" && printf '#!/bin/sh\nexec /usr/bin/g++ -O0 -DPOISONED "$@"\n' >"$work/poison/g++" && chmod 755 "$work/poison/g++"
root_build
rebuild_by_nobody
on_debian_13
attested
thresholds
compromised
other_commit
