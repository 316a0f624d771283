#!/usr/bin/env bash
# releases.sh: make release, with throwaway keys, into a tree of its own,
# version after version, and every refusal between them; the trees it
# publishes, and the keys, are kept for the tests that install and check
# them.
. "$(dirname "$0")/lib.sh"
where=release
needs_tool apt-ftparchive createrepo_c rpmsign rpmkeys

# release_from TREE KEY: make release of TREE into $work/published, signed by KEY.
release_from() {
    local trees
    mapfile -t trees < <(in_tree "$1")
    LIBCWORK_SIGNING_KEY=$2 LIBCWORK_URL=file:/srv/libcwork "$source_dir/scripts/release.sh" "$work/published" "${trees[@]}"
}

# snapshot: every name, mode and byte of the published tree.
snapshot() {
    [ -d "$work/published" ] || { echo none; return; }
    (cd "$work/published" && find . -printf '%p %m\n' | sort && find . -type f -exec sha256sum {} + | sort)
}

# web_files: the names, modes and bytes of the web server's own files.
web_files() {
    (cd "$work/published" && stat -c '%a %n' index.html .htaccess .well-known .well-known/security.txt &&
        sha256sum index.html .htaccess .well-known/security.txt)
}

# published_verifies KEY [AS]: make verify holds for the published tree,
# against KEY; kept as published-AS, if named, for the other tests.
published_verifies() {
    FINGERPRINT=$1 verify_tree "$work/published" >"$err" 2>&1 ||
        fail "the published tree does not verify:"$'\n'"$(cat "$err")"
    [ -z "${2:-}" ] || keep "$work/published" "published-$2"
}

# release_refused MESSAGE KEY [TREE]: refused, saying MESSAGE, with the
# published tree left as it was.
release_refused() {
    local before
    before=$(snapshot)
    refuses "the release" "$1" release_from "${3:-$work/tree}" "$2"
    [ "$(grep -c '^release: ' "$out")" = 1 ] || fail "refused with more than one message:"$'\n'"$(cat "$out")"
    [ "$(snapshot)" = "$before" ] || fail "refused ('$1'), and yet the published tree changed"
    say "refused, as it must be: $(head -n 1 "$out" | sed 's/^release: //')"
}

# replace FILE NEW: the published FILE replaced by a copy of NEW, as one
# who can write to the web server's copy would, never writing into it;
# add FILE NEW: NEW copied in as FILE. untamper puts the tree back.
replace() { mkdir -p "$work/saved" && mv "$work/published/$1" "$work/saved/${1//\//%}" && cp "$2" "$work/published/$1"; }
add() { cp "$2" "$work/published/$1" && printf '%s\0' "$1" >>"$work/added"; }
untamper() {
    local f
    { [ ! -f "$work/added" ] || (cd "$work/published" && xargs -0 rm -f <"$work/added" && rm "$work/added"); } || return
    for f in "$work/saved"/*; do
        [ ! -e "$f" ] || { f=${f##*/} && mv -f "$work/saved/$f" "$work/published/${f//%//}"; } || return
    done
}

# tampered CASE FILE: the release refuses the tree, naming FILE; put back,
# it verifies.
tampered() {
    release_refused "does not verify against the key $key" "$key"
    grep -qF "$2:" "$out" || fail "the refusal of $1 does not name $2:"$'\n'"$(cat "$out")"
    say "tampered with ($1), the tree is refused, naming $2, and left as it was"
    untamper || fail "could not put the tree back as it was"
    published_verifies "$key"
}

# kill_midway TREE KEY FILE|verify: a release of TREE, killed once its new
# tree holds FILE (part way through writing it), or once it checks it.
kill_midway() {
    local pid i trees
    mapfile -t trees < <(in_tree "$1")
    LIBCWORK_SIGNING_KEY=$2 setsid "$source_dir/scripts/release.sh" "$work/published" "${trees[@]}" >"$out" 2>&1 &
    pid=$!
    for i in $(seq 600); do
        if [ "$3" = verify ]; then pgrep -f -- "--no-record $work/.published.new" >/dev/null && break
        else compgen -G "$work/.published.new.*/$3" >/dev/null && break; fi
        sleep 0.05
    done
    kill -KILL -- -"$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    [ "$i" -lt 600 ] || fail "the release never wrote $3:"$'\n'"$(cat "$out")"
}

# The throwaway keys: the repository's, the next (which signs with a
# subkey, as many maintainers' keys do), another, one that expires soon,
# one whose signing subkey does, and one with a passphrase.
make_keys() {
    local what k
    export GNUPGHOME=$work/release-keys
    mkdir -m 700 "$GNUPGHOME"
    for what in "libcwork 1y" "next 1y" "other 1y" "soon 10d" "expired seconds=1" "subkey never"; do
        must "gpg could not make the key ${what% *}" gpg --batch --quiet --passphrase '' \
            --quick-gen-key "${what% *} <${what% *}@example.org>" ed25519 sign "${what#* }"
    done
    for what in "next 1y" "subkey 10d"; do
        must "gpg could not add a subkey" gpg --batch --quiet --passphrase '' --quick-add-key "$(fpr_of "${what% *}")" ed25519 sign "${what#* }"
    done
    must "gpg could not make the key locked" gpg --batch --quiet --pinentry-mode loopback --passphrase secret \
        --quick-gen-key "locked <locked@example.org>" ed25519 sign 1y
    gpgconf --reload gpg-agent
    key=$(fpr_of libcwork) next=$(fpr_of next) other=$(fpr_of other)
    for k in old next other; do gpg --batch --export "$(fpr_of "${k/old/libcwork}")" >"$work/$k.gpg"; done
}
fpr_of() { key_fingerprints --list-keys "<$1@example.org>" | head -n 1; }

# The first release, and every refusal of it leaving the tree as it was;
# then a web server's own files, which every later release keeps.
first_release() {
    local before
    tree_at "$first"
    release_refused "no LIBCWORK_SIGNING_KEY" ""
    release_refused "is not one secret key" "$(printf '%040d' 0)"
    release_refused "the key $(fpr_of expired) expired on" "$(fpr_of expired)"
    release_refused "the key $(fpr_of soon) expires on $(date -u -d '+10 days' +%F), within 30 days" "$(fpr_of soon)"
    release_refused "which gpg signs with, expires on $(date -u -d '+10 days' +%F), within 30 days" "$(fpr_of subkey)"
    release_refused "the key needs its passphrase, and no pinentry can ask for it" "$(fpr_of locked)" </dev/null
    must "the first release failed" with_umask 077 release_from "$work/tree" "$key"
    [ "$(cat "$work/published/FINGERPRINT")" = "$key" ] || fail "FINGERPRINT is not the key's"
    [ -z "$(find "$work/published" \( -type d ! -perm 755 \) -o \( -type f ! -perm 644 \))" ] ||
        fail "made under umask 077, the tree is not all 0755 and 0644:"$'\n'"$(find "$work/published" -ls)"
    published_verifies "$key" first
    # The sha256 of every versioned file published, which no later release may change.
    (cd "$work/published" && find . -type f \( -path './apt/pool/*' -o -path './rpm/*.rpm' -o -name '*[0-9]*.deb' \
        -o -name '*[0-9]*.rpm' -o -name '*.tar.gz' \) ! -name "$(keyring_alias '*')" \
        ! -name "$(release_alias)" -exec sha256sum {} + | sort -k2) >"$work/first.sums"
    say "the first, under umask 077: $(sed 's/^release: //' "$out"); it verifies"
    before=$(snapshot)
    must "the same release again" release_from "$work/tree" "$key"
    grep -qF "with the same bytes: nothing to do" "$out" && [ "$(snapshot)" = "$before" ] ||
        fail "the same release again:"$'\n'"$(cat "$out")"
    release_refused "is signed by the key $key, and LIBCWORK_SIGNING_KEY is $other" "$other"
    printf '<html></html>\n' >"$work/published/index.html"
    printf 'Options -Indexes\nRedirect 302 /apt/dists/ /old/apt/dists/\n' >"$work/published/.htaccess"
    mkdir -m 750 "$work/published/.well-known"
    printf 'Contact: mailto:security@example.org\n' >"$work/published/.well-known/security.txt"
    chmod 640 "$work/published/.well-known/security.txt"
    web_files=$(web_files)
}

# A tampered published tree is refused by the next release, naming the
# file, and left as it is: a pool .deb of the same name with a postinst
# added, a foreign .deb, an altered .rpm, an unnamed package at the top,
# a decoy of the keyring package (renamed with a trailing blank, another
# .deb under its name).
tampered_trees() {
    local p=$work/published el=${rhels##* } pool_deb el_rpm alias
    pool_deb=$(cd "$p" && ls libcwork_*.deb | head -n 1) && el_rpm=$(cd "$p/rpm/$el" && ls libcwork-[0-9]*.rpm | head -n 1)
    alias=$(keyring_alias "${releases%% *}")
    must "no evil .deb" dpkg-deb -R "$p/apt/pool/$pool_deb" "$work/evil"
    printf '#!/bin/sh\necho owned\n' >"$work/evil/DEBIAN/postinst" && chmod 755 "$work/evil/DEBIAN/postinst"
    must "no evil .deb" dpkg-deb -b "$work/evil" "$work/evil.deb"
    replace "apt/pool/$pool_deb" "$work/evil.deb" && replace "$pool_deb" "$work/evil.deb"
    tampered pool-deb "apt/pool/$pool_deb"
    add apt/pool/foreign_1.0_amd64.deb "$work/evil.deb"
    tampered foreign-deb apt/pool/foreign_1.0_amd64.deb
    { cat "$p/rpm/$el/$el_rpm"; echo; } >"$work/altered.rpm" && replace "rpm/$el/$el_rpm" "$work/altered.rpm"
    tampered altered-rpm "rpm/$el/$el_rpm"
    echo garbage >"$work/garbage" && add index.deb "$work/garbage"
    tampered top-unnamed index.deb
    replace "$alias" "$work/evil.deb" && add "$alias " "$work/saved/$alias"
    tampered decoy "'$alias\x20'"
}

# A revision bump, killed part way, and at its last check (which accepts
# nothing), and then whole: every file published before stays byte for byte.
the_bump() {
    local before how
    tree_at "$bump"
    tampered_trees
    before=$(snapshot)
    for how in "apt/pool/$(. "$(newest_in "$work/tree")/facts.sh" && echo "$deb")" verify; do
        kill_midway "$work/tree" "$key" "$how"
        [ "$(snapshot)" = "$before" ] || fail "a release killed part way ($how) changed the published tree"
        published_verifies "$key"
    done
    say "killed while it wrote its new tree, or checked it, the published tree is as it was and verifies"
    echo "draft" >>"$work/tree/README.md"
    release_refused "the tree has uncommitted changes" "$key"
    git -C "$work/tree" checkout -q README.md
    must "the revision bump failed" release_from "$work/tree" "$key"
    (cd "$work/published" && sha256sum --quiet -c "$work/first.sums") >"$err" 2>&1 ||
        fail "the revision bump changed files of the first release:"$'\n'"$(cat "$err")"
    [ -z "$(find "$work" -maxdepth 1 -name '.published.new.*')" ] || fail "the killed release's files are left beside it"
    published_verifies "$key" bump
    say "the revision bump $bump: $(sed 's/^release: //' "$out"); the first's files are as they were"
}

# copy_tree DEST: $work/tree and its builds copied to DEST, their facts
# naming the copy, as release.sh reads them.
copy_tree() { rm -rf "$1" && cp -a "$work/tree" "$1" && sed -i "s|$work/tree/|$1/|g; s|$work/tree'|$1'|g" "$1"/build/*/facts.sh; }

# Releases at once: the second version, and started while it holds the
# lock, the bump spelt otherwise (older by then) and the second with other
# bytes, which wait for it, saying so.
at_once() {
    local spelt=${bump/.0-/.00-} i a b c f
    tree_at "$spelt" && must "could not copy the tree" copy_tree "$work/tree-spelt"
    release_refused "version $spelt is version $bump, published in $work/published already, spelt otherwise" \
        "$key" "$work/tree-spelt"
    tree_at "$second" && must "could not copy the tree" copy_tree "$work/tree-other"
    echo >>"$(. "$(newest_in "$work/tree-other")/facts.sh" && echo "$packages_dir/$tgz")"
    # A failure in the background is for the row to judge, from its output.
    (trap - ERR; release_from "$work/tree" "$key") >"$work/a.out" 2>&1 & a=$!
    for i in $(seq 200); do grep -qs "version $second" "$work/.published.lock" && break; sleep 0.05; done
    (trap - ERR; release_from "$work/tree-spelt" "$key") >"$work/b.out" 2>&1 & b=$!
    (trap - ERR; release_from "$work/tree-other" "$key") >"$work/c.out" 2>&1 & c=$!
    wait $a || fail "the second release failed:"$'\n'"$(cat "$work/a.out")"
    ! wait $b && grep -qF "version $spelt is older than $second" "$work/b.out" ||
        fail "an older release started while another ran:"$'\n'"$(cat "$work/b.out")"
    ! wait $c && grep -qF "version $second is in $work/published already, and" "$work/c.out" ||
        fail "the same version with other bytes, started while it ran:"$'\n'"$(cat "$work/c.out")"
    for f in b c; do grep -qF "release: waiting for the release into $work/published that holds" "$work/$f.out" ||
        fail "a release started while another held the lock did not wait for it:"$'\n'"$(cat "$work/$f.out")"; done
    published_verifies "$key" second
    for f in $(. "$(newest_in "$work/tree")/facts.sh" && echo "$packages_dir/$deb $packages_dir/$tgz"); do
        cmp -s "$f" "$work/published/${f##*/}" || fail "${f##*/} is not the second release's"; done
    say "the second, with two more started while it held the lock: they waited; it is published, the older and the other bytes refused"
}

# Every dist lists every version its release runs.
listed() {
    local release got want p v
    for release in $releases; do
        got=$(awk '/^Package:/ { p = $2 } /^Version:/ { print p "=" $2 }' \
            "$work/published/apt/dists/$release/main/binary-amd64/Packages" | sort | xargs)
        want=$(for p in "$keyring_package" $(offered_of "$release"); do for v in "$first" "$bump" "$second"; do
            [ "$p" = "$keyring_package" ] && echo "$p=$v+$release" || echo "$p=$v"; done; done | sort | xargs)
        equals "apt/dists/$release lists" "$got" "$want"
    done
    say "the apt dists list every version"
}

# A rotation: a release signed by the key and the next, each of which
# verifies it alone; then one by the next alone, which ends it.
rotation() {
    local k release
    tree_at "$third"
    LIBCWORK_NEXT_KEY=$next must "the release that starts a rotation failed" release_from "$work/tree" "$key"
    [ "$(xargs <"$work/published/FINGERPRINT")" = "$key $next" ] || fail "FINGERPRINT does not name both keys"
    for k in old next; do for release in $releases; do verifies_alone "$k" "$release"; done; done
    published_verifies "$next" rotating
    say "the third, signed by both keys: $(sed 's/^release: //' "$out")"
    tree_at "$fourth"
    release_refused "a rotation from $key to $next is under way" "$key"
    must "the release that ends the rotation failed" release_from "$work/tree" "$next"
    [ "$(cat "$work/published/FINGERPRINT")" = "$next" ] || fail "FINGERPRINT does not name the next key alone"
    published_verifies "$next" fourth
    say "the fourth, signed by the next key alone: $(sed 's/^release: //' "$out")"
    [ "$(web_files)" = "$web_files" ] || fail "the web server's files did not survive the releases"
    say "the web server's index.html, .htaccess and .well-known/ are as they were"
}

# verifies_alone KEY RELEASE: the dist's InRelease verifies with KEY.gpg
# alone. (gpgv exits 2 for the signature it has no key for; a good one is
# what counts.)
verifies_alone() {
    gpgv --status-fd 1 --keyring "$work/$1.gpg" "$work/published/apt/dists/$2/InRelease" >"$err" 2>&1 || true
    grep -q '^\[GNUPG:\] VALIDSIG ' "$err" && ! grep -q '^\[GNUPG:\] BADSIG ' "$err" ||
        fail "$2's InRelease does not verify with the $1 key alone:"$'\n'"$(cat "$err")"
}

# The keyring and release packages: clean by lintian and rpmlint, and
# made again elsewhere, under another umask and time zone, the same bytes.
key_packages() {
    local file
    if have "linting the keyring and release packages" lintian rpmlint; then
        # shellcheck disable=SC2046 # the name is a glob, meant to match every release's package
        lintian --fail-on error,warning "$work/published"/$(keyring_name '*' '*') >"$out" 2>&1 &&
            rpmlint --strict -c "$source_dir/scripts/rpmlint.toml" "$work/published/$(release_name "$fourth")" >>"$out" 2>&1 ||
            fail "the keyring and release packages are not clean:"$'\n'"$(cat "$out")"
    fi
    must "could not make them again" with_umask 002 env TZ=Asia/Tokyo "$source_dir/scripts/package.sh" keys \
        "$(newest_in "$work/tree")" "$work/again" file:/srv/libcwork "$work/published/libcwork.gpg" "$work/published/libcwork.asc"
    for file in "$work/again"/*; do cmp -s "$file" "$work/published/${file##*/}" || fail "${file##*/}, made again, has other bytes"; done
    say "the keyring and release packages are clean and reproducible"
}

make_keys
first_release
the_bump
at_once
listed
rotation
key_packages
# The keys, for the systems to trust and for make verify's forgeries.
for k in old next other; do cp "$work/$k.gpg" "$systems/$k.gpg"; done
gpgconf --kill gpg-agent
keep "$GNUPGHOME" release-keys
