#!/usr/bin/env bash
# verify.sh: make verify of the published trees, and of copies made to
# fool it: by one who can write to the server (names, files no signature
# covers, what is served over http, an older tree served again) and by one
# who holds the key (what an index hands a client, a version's record,
# source and provenance, expired keys), against the fingerprints a user
# gives it.
. "$(dirname "$0")/lib.sh"
where=verify
for tree in published-first published-second published-rotating published-fourth; do kept "$tree" "$work/$tree"; done
kept release-keys "$work/gnupg" && rm -f "$work/gnupg"/S.*
export GNUPGHOME=$work/gnupg
trap 'gpgconf --kill all; rm -rf "$work"' EXIT
key=$(cat "$work/published-first/FINGERPRINT") next=$(cat "$work/published-fourth/FINGERPRINT")
p=$work/tree
# The newest generation's packages, which the rows put elsewhere.
read -r deb rpm < <(. "$(newest_in "$source_dir")/facts.sh" && echo "$deb $rpm")

# decoyed FILE OTHER SUFFIX SHOWN: in a copy of the first release, FILE
# renamed with SUFFIX, which makes a name that could pass for it (SHOWN,
# escaped), and OTHER put under its own name: make verify refuses it,
# without a fingerprint as the README's first step runs, naming the decoy.
decoyed() {
    kept published-first "$p" && mv "$p/$1" "$p/$1$3" && cp "$2" "$p/$1"
    refuses "make verify of a decoy of $1" "'$1$4': a name that" verify_tree "$p"
    say "a decoy of $1 ('$1$4') and another file under its name: make verify refuses the tree"
}

# The web server's files, which no signature covers, named as such, and
# the .htaccess, which can send clients elsewhere, warned of; in apt/,
# which the releases own, refused.
unvouched() {
    must "make verify of the tree with a web server's files" verify_tree "$work/published-fourth"
    grep -qF "nothing vouches for .htaccess, .well-known/security.txt, index.html:" "$out" &&
        grep -qF "warning: .htaccess configures the web server, and can redirect clients" "$out" ||
        fail "make verify does not name the web server's files, or the .htaccess:"$'\n'"$(cat "$out")"
    kept published-first "$p" && cp "$work/published-fourth/.htaccess" "$p/apt/"
    refuses "make verify of a tree with apt/.htaccess" "apt/.htaccess: no signed index names it" verify_tree "$p"
    say "the web server's files are named as what nothing vouches for, the .htaccess warned of; in apt/, refused"
}

# Decoys: a blank, a control or a format character, a byte that is not UTF-8.
decoys() {
    local el=${rhels##* }
    echo "$next" >"$work/other.fpr" && echo garbage >"$work/garbage"
    decoyed FINGERPRINT "$work/other.fpr" $'\t' '\x09'
    decoyed libcwork.gpg "$systems/next.gpg" $'\xc2\xa0' '\xa0'
    decoyed libcwork.asc "$work/published-fourth/libcwork.asc" $'\xe2\x80\x8b' '\u200b'
    decoyed "$(release_alias)" "$work/published-first/$rpm" $'\n' '\x0a'
    decoyed "$deb" "$work/garbage" $'\xff' '\xff'
    decoyed "$(record_name "$first")" "$work/garbage" $'\xe2\x80\xa8' '\u2028'
    decoyed "apt/pool/$deb" "$work/garbage" $'\xe3\x80\x80' '\u3000'
    decoyed "rpm/$el/$rpm" "$work/garbage" $'\xc2\xad' '\xad'
}

# Over http, a SHA256SUMS naming a file of 300 MiB, not signed by the key:
# refused once the keys, SHA256SUMS and its signature are fetched, and
# nothing more is; a file longer than SHA256SUMS says, or a SHA256SUMS
# longer than any, is read no further than that.
over_a_url() {
    local record
    record=$(record_name "$first")
    kept published-first "$p" && truncate -s 300M "$p/libcwork-big.tar.gz"
    printf '%s  %s\n# size %s %s\n' "$(printf '%064d' 0)" libcwork-big.tar.gz 314572800 libcwork-big.tar.gz >>"$p/SHA256SUMS"
    FINGERPRINT=$key refuses "make verify over http of SHA256SUMS not signed by the key" \
        "nothing more of it is read, as its SHA256SUMS is not signed" verify_tree --served "$p"
    equals "over http, the files fetched" "$(grep -o 'GET /[^ ]*' "$work/served.log" | sort | xargs)" \
        "GET /FINGERPRINT GET /SHA256SUMS GET /SHA256SUMS.asc GET /libcwork.gpg"
    cp "$work/published-first/SHA256SUMS" "$p/" && rm "$p/libcwork-big.tar.gz" && truncate -s +64M "$p/$record"
    FINGERPRINT=$key refuses "make verify over http of a file longer than its size" \
        "$record sent more than the $(stat -c %s "$work/published-first/$record") bytes it should hold: stopped there" \
        verify_tree --served "$p"
    truncate -s 17M "$p/SHA256SUMS"
    FINGERPRINT=$key refuses "make verify over http of a SHA256SUMS of 17 MiB" \
        "SHA256SUMS sent more than the 16777216 bytes it may hold: stopped there" verify_tree --served "$p"
    say "over http: an unsigned SHA256SUMS is refused before anything it names is fetched, and no file is read past its size"
}

# An older tree served again where a newer one was accepted is refused,
# naming both dates, from a directory and over http, also with both keys
# of a rotation trusted; ACCEPT_OLDER=yes takes it.
rollback() {
    kept published-second "$work/place"
    FINGERPRINT=$key must "make verify of the second release" verify_tree "$work/place"
    grep -qF "nothing earlier from $key at $work/place is known here" "$out" || fail "the first use is not said:"$'\n'"$(cat "$out")"
    kept published-first "$work/place"
    FINGERPRINT=$key refuses "make verify of the first release, served again" "older tree served again (a rollback) is refused" \
        verify_tree "$work/place"
    [ "$(grep -o 'signed on [0-9-]* [0-9:]* UTC' "$out" | sort -u | wc -l)" = 2 ] ||
        fail "the refusal does not name both dates:"$'\n'"$(cat "$out")"
    ACCEPT_OLDER=yes FINGERPRINT=$key must "make verify ACCEPT_OLDER=yes of the first release" verify_tree "$work/place"
    FINGERPRINT="$key,$next" must "make verify over http of the fourth release" verify_tree --served "$work/published-fourth"
    FINGERPRINT="$key, $next" refuses "make verify over http of the third, served again" "(a rollback) is refused" \
        verify_tree --served "$work/published-rotating"
    say "an older tree served again is refused, from a directory and over http, naming both dates; ACCEPT_OLDER=yes takes it"
}

# forged WHAT SAYING COMMAND... | forged WHAT SAYING - EDIT...: a copy of
# the first release changed by COMMAND, run there, or by forge.py's EDIT,
# and everything signed again by the key: make verify refuses it, saying
# SAYING.
forged() {
    kept published-first "$p"
    if [ "$3" = - ]; then must "could not forge $1" /usr/bin/python3 "$source_dir/tests/forge.py" "$p" "$key" "${@:4}"
    else (cd "$p" && "${@:3}") && must "could not forge $1" /usr/bin/python3 "$source_dir/tests/forge.py" "$p" "$key"; fi
    refuses "make verify of $1, signed again by the key" "$2" verify_tree "$p"
}

# One who holds the key publishes a version without its build record,
# source archive or provenance, or an index that hands a client a file
# outside apt/pool/ or its rpm repository (in Packages, Packages.gz alone,
# a by-hash copy alone; in the primary xml or sqlite alone, or at another
# xml:base), or with another hash that apt checks, or an index that apt or
# dnf reads and make verify does not.
key_holder() {
    local d=${releases##* } el=${rhels##* } index
    forged "a version without its provenance" "names it as libcwork $first, which is not a version with its provenance" rm "$(provenance_name "$first")"
    forged "a version without its build record" "version $first: has no build record" rm "$(record_name "$first")"
    forged "a version without its source archive" "version $first: has no source archive" rm "$(source_name "$first")"
    for index in all gz by-hash; do forged "a Packages entry outside apt/pool/ ($index)" \
        "names 'dists/$d/Release' for libcwork $first, outside apt/pool/" - point "$d" libcwork "dists/$d/Release" "$index"; done
    forged "another SHA512 in Packages" "sha512 " - field "$d" libcwork SHA512 "$(printf '%0128d' 0)"
    for index in xml sqlite; do
        forged "an rpm location outside its repository ($index)" "names '../el9/$rpm', outside rpm/$el/" \
            - locate "$el" libcwork "../el9/$rpm" - "$index"
        forged "an rpm location at another xml:base ($index)" "at the base 'https://elsewhere.example/' (xml:base)" \
            - locate "$el" libcwork "$rpm" https://elsewhere.example/ "$index"
    done
    forged "an index that apt reads and make verify does not" "names main/binary-amd64/Packages.diff/Index, an index that no release writes" \
        - index "$d" main/binary-amd64/Packages.diff/Index
    forged "rpm metadata that dnf reads and make verify does not" "names metadata of the kind primary_zck, which no release writes" \
        - metadata "$el" primary_zck
    say "a version without its record, source or provenance, an index entry outside its place, an index make verify does not read, signed by the key: refused"
}

# The key's fingerprint as gpg --fingerprint prints it, in ten groups, is
# taken, and a signing subkey's (the next key signs with one) stands for
# its key; a short id is refused.
fingerprints() {
    local sub
    FINGERPRINT="$(gpg --fingerprint "$key" | sed -n 2p)" must "make verify with a grouped fingerprint" verify_tree "$work/published-first"
    FINGERPRINT=${key: -16} refuses "make verify with a short id" "is not a key's fingerprint" verify_tree "$work/published-first"
    sub=$(gpg --batch --with-colons --list-keys "$next" | awk -F: '$1 == "sub" { s = 1 } $1 == "fpr" && s { print $10; exit }')
    FINGERPRINT=$sub must "make verify with a signing subkey's fingerprint" verify_tree "$work/published-fourth"
    grep -qF "the subkey $sub stands for its key $next" "$out" || fail "the subkey is not said to stand for its key:"$'\n'"$(cat "$out")"
    say "a fingerprint in groups of four, and a signing subkey's, are taken; a short id is refused"
}

# A key that has expired: SHA256SUMS and the indices, signed a year ago by
# a key that expired a day after, which every release signs anew, are
# refused; a provenance that it signed then, the key kept as a retired
# one, still counts, as make verify says.
aged_key() {
    local past signed aged keys=$work/aged-keys
    # Signed a minute after the key was made: faketime's clock starts
    # again at the time it is given, and gpg refuses a key from the future.
    past=$(date -u -d '-1 year' '+%F %T') signed=$(date -u -d "$past UTC + 1 minute" '+%F %T')
    mkdir -m 700 "$keys" && GNUPGHOME=$keys must "could not make a key a year ago" faketime "$past" \
        gpg --batch --quiet --passphrase '' --quick-gen-key "aged <aged@example.org>" ed25519 sign 1d
    aged=$(key_fingerprints --homedir "$keys" --list-keys)
    kept published-first "$p" && gpg --homedir "$keys" --batch --export "$aged" >"$p/libcwork.gpg" &&
        echo "$aged" >"$p/FINGERPRINT"
    GNUPGHOME=$keys must "could not sign a year ago" faketime "$signed" /usr/bin/python3 "$source_dir/tests/forge.py" "$p" "$aged"
    gpgconf --homedir "$keys" --kill all
    refuses "make verify of a tree signed by a key that has expired" "SHA256SUMS.asc: signed by $aged, which expired on" verify_tree "$p"
    gpg --batch --export "$key" >"$p/libcwork.gpg" && echo "$key" >"$p/FINGERPRINT" &&
        gpg --homedir "$keys" --batch --armor --export "$aged" >"$p/libcwork-retired.asc"
    must "could not sign the tree again" /usr/bin/python3 "$source_dir/tests/forge.py" --keep-provenance "$p" "$key"
    must "make verify of a provenance signed before its key expired" verify_tree "$p"
    grep -qF "$(provenance_name "$first"): signed on ${signed% *}" "$out" && grep -qF "by $aged, before that key expired" "$out" ||
        fail "make verify does not say that the provenance was signed before its key expired:"$'\n'"$(cat "$out")"
    say "signed by a key that has expired, SHA256SUMS is refused; an older provenance it signed before then counts, as make verify says"
}

unvouched
decoys
over_a_url
rollback
key_holder
fingerprints
! have "the rows of an expired key" faketime || aged_key
