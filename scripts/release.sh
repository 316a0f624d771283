#!/usr/bin/env bash
# release.sh REPO BUILD_DIR...: publish the builds' packages into the
# repository tree REPO, keeping every version published there before
# (docs/releasing.md). From the environment: LIBCWORK_SIGNING_KEY,
# LIBCWORK_NEXT_KEY, LIBCWORK_SOURCE (make dist's archive, to build in the
# root), LIBCWORK_PACKAGES (packages built already), LIBCWORK_REBUILDS,
# LIBCWORK_REBUILDERS, LIBCWORK_THRESHOLD, LIBCWORK_URL, LIBCWORK_TRIAL,
# LIBCWORK_LOCK_WAIT.
set -euo pipefail
umask 022
here=$(cd "$(dirname "$0")" && pwd)
me=release
. "$here/lib.sh"

# ---- The keys ----

when() { date -u -d "@$1" +%F; }

# signing_key VARIABLE: "FPR PART", the key that VARIABLE names and the
# part of it (primary key or subkey) that gpg signs with, both able to sign
# for 30 days more. Anything else ends the release.
signing_key() {
    local name=$1 key=${!1} listing fpr validity expires part part_expires
    local keyring="your GnuPG keyring (${GNUPGHOME:-~/.gnupg})" soon=$(($(date +%s) + 30 * 86400))
    [ "$(gpg --batch --with-colons --list-secret-keys -- "$key" 2>/dev/null | grep -c '^sec:')" = 1 ] ||
        die "$name=$key is not one secret key in $keyring"
    listing=$(gpg --batch --with-colons --fixed-list-mode --list-keys -- "$key" 2>/dev/null)
    fpr=$(awk -F: '$1 == "fpr" { print $10; exit }' <<<"$listing")
    read -r validity expires < <(awk -F: '$1 == "pub" { print ($2 == "" ? "-" : $2), ($7 == "" ? "never" : $7) }' <<<"$listing")
    case $validity in
    e) die "the key $fpr expired on $(when "$expires"): extend its expiry (docs/releasing.md)" ;;
    r) die "the key $fpr is revoked: a new key must take its place (docs/releasing.md)" ;;
    esac
    [ "$expires" = never ] || [ "$expires" -gt "$soon" ] ||
        die "the key $fpr expires on $(when "$expires"), within 30 days: extend its expiry first (docs/releasing.md)"
    # (This runs in a command substitution, where bash clears -e.)
    part=$(signing_part "$fpr") || exit 1
    part_expires=$(awk -F: -v p="$part" '$1 == "pub" || $1 == "sub" { e = ($7 == "" ? "never" : $7) }
        $1 == "fpr" && $10 == p { print e; exit }' <<<"$listing")
    [ "$part_expires" = never ] || [ "$part_expires" -gt "$soon" ] ||
        die "the subkey $part of $fpr, which gpg signs with, expires on $(when "$part_expires"), within 30 days:" \
            "extend its expiry first (docs/releasing.md)"
    echo "$fpr $part"
}

# signing_part FPR: the fingerprint of the part of FPR that gpg signs
# with, found by signing; a key that gpg cannot sign with here ends the release.
signing_part() {
    local status
    if ! status=$(echo probe | gpg --batch --yes --status-fd 1 --local-user "$1" --detach-sign -o "$work/probe.sig" 2>"$work/gpg.err"); then
        grep -q -i -E 'ioctl|pinentry|passphrase|cancel' "$work/gpg.err" &&
            die "gpg cannot sign with $1 here: the key needs its passphrase, and no pinentry can ask for it" \
                "($(tail -n 1 "$work/gpg.err")). Run make release in a terminal, where gpg asks for it, or give" \
                "gpg-agent the passphrase first (in a terminal: echo | gpg --local-user $1 --clearsign >/dev/null)"
        die "gpg cannot sign with $1: $(tail -n 1 "$work/gpg.err")"
    fi
    awk '$2 == "SIG_CREATED" { print $NF; exit }' <<<"$status"
}

# read_keys: $fpr and $next, the keys to sign with, and $signers, gpg's
# options that pin the parts that sign.
read_keys() {
    local pair
    [ -n "${LIBCWORK_SIGNING_KEY:-}" ] || die "no LIBCWORK_SIGNING_KEY: set it to the repository key's fingerprint," \
        "a secret key in your GnuPG keyring (make repo tries the repositories with a throwaway key)"
    pair=$(signing_key LIBCWORK_SIGNING_KEY) || exit 1
    read -r fpr rpm_part <<<"$pair"
    signers=(--local-user "$rpm_part!")
    next=""
    if [ -n "${LIBCWORK_NEXT_KEY:-}" ]; then
        pair=$(signing_key LIBCWORK_NEXT_KEY) || exit 1
        next=${pair% *}
        signers+=(--local-user "${pair#* }!")
    fi
    [ "$next" != "$fpr" ] || die "LIBCWORK_NEXT_KEY is LIBCWORK_SIGNING_KEY: a rotation is to another key"
    keys=("$fpr" ${next:+"$next"})
}

# ---- Beside REPO, one at a time ----

# take_lock VERSION: the parent can hold the new tree, REPO can be
# switched, and no other release into REPO runs.
take_lock() {
    parent=$(dirname "$repo") base=$(basename "$repo")
    mkdir -p "$parent" 2>/dev/null || die "cannot make $parent, the directory to hold $repo: make it, or release as a user who can"
    [ -w "$parent" ] || die "cannot write to $parent, where the new tree is made beside $repo to switch it in one rename:" \
        "let this user write there, or release as a user who can"
    [ ! -d "$repo" ] || ! mountpoint -q "$repo" ||
        die "$repo is a mount point, and a release switches the whole tree in one rename, which cannot move a mount" \
            "point: publish into a directory inside it (REPO=$repo/libcwork), and serve that"
    lock=$parent/.$base.lock
    exec 9>>"$lock" || die "cannot open the lock $lock"
    if ! flock -n 9; then
        echo "release: waiting for the release into $repo that holds $lock: $(cat "$lock")" >&2
        flock -w "${LIBCWORK_LOCK_WAIT:-600}" 9 ||
            die "another release into $repo still holds $lock ($(cat "$lock")): try again once it has ended"
    fi
    echo "version $1, by $(id -un) on $(uname -n), process $$, since $(date -u '+%F %T UTC')" >"$lock"
}

# verify_unrecorded TREE FINGERPRINTS [OPTION...]: make verify of TREE
# against the keys, with no rebuilders of the user's; what it checks here
# it does not remember as accepted.
verify_unrecorded() {
    FINGERPRINT="$2" own_verify --no-record "${@:3}" "$1" >"$work/verify.log" 2>&1
}

# check_tree: what REPO holds verifies against the key, and the key is the
# one REPO asks for.
check_tree() {
    local own announced
    if [ -z "$(ls -A "$repo" 2>/dev/null)" ]; then
        [ -z "$next" ] || die "$repo has no release yet: its first is signed by one key, LIBCWORK_SIGNING_KEY alone"
        old_keys=""
        return
    fi
    [ -f "$repo/FINGERPRINT" ] || die "$repo is not empty and is not a libcwork repository (it has no FINGERPRINT)"
    { read -r own; read -r announced || true; } <"$repo/FINGERPRINT"
    if [ -z "$next" ] && [ "$fpr" = "${announced:-}" ]; then
        :
    elif [ "$fpr" != "$own" ]; then
        die "$repo is signed by the key $own${announced:+ (and $announced, its next)}, and LIBCWORK_SIGNING_KEY is $fpr:" \
            "release with the repository's key (a new key comes in by a rotation: docs/releasing.md)"
    elif [ -n "${announced:-}" ] && [ "$next" != "$announced" ]; then
        die "a rotation from $own to $announced is under way in $repo: sign with" \
            "LIBCWORK_SIGNING_KEY=$own LIBCWORK_NEXT_KEY=$announced, or end it with LIBCWORK_SIGNING_KEY=$announced alone"
    fi
    verify_unrecorded "$repo" "$fpr" ||
        die "$repo does not verify against the key $fpr, so nothing of it is carried and it is left as it was:"$'\n'"$(
            grep -v '^verify: .* does not hold' "$work/verify.log")"$'\n'"Find out how it came to differ, and put" \
            "back the files from a copy you trust (docs/releasing.md)"
    old_keys=$(xargs <"$repo/FINGERPRINT")
}

# ---- What is published ----

# check_version: newer than every version published, or the very same
# bytes (then there is nothing to do).
check_version() {
    local newest file
    newest=$(published_newest)
    [ -n "$newest" ] || return 0
    dpkg --compare-versions "$version" ge "$newest" ||
        die "version $version is older than $newest, the newest in $repo: a release adds a newer version (changelog)"
    dpkg --compare-versions "$version" eq "$newest" || return 0
    [ "$version" = "$newest" ] ||
        die "version $version is version $newest, published in $repo already, spelt otherwise (dpkg and rpm" \
            "compare them equal): a published version is never replaced; give this build a new version (changelog)"
    for file in "${files[@]}"; do
        cmp -s "$file" "$repo/${file##*/}" ||
            die "version $version is in $repo already, and ${file##*/} there has other bytes:" \
                "a published version is never replaced; give this build a new version (changelog)"
    done
    echo "release: version $version is in $repo already, with the same bytes: nothing to do"
    exit 0
}

# published_newest: the newest version REPO's dists name, if any.
published_newest() {
    newest_version $(awk -v k="$keyring_package" '/^Package:/ { p = $2 } /^Version:/ && p != k { print $2 }' \
        "$repo"/apt/dists/*/main/binary-amd64/Packages 2>/dev/null | sort -u)
}

# new_names: every file name this release adds, relative to the tree.
new_names() {
    local build release dir name
    for build in "${builds[@]}"; do
        (. "$build/facts.sh" && printf '%s\n' "$deb" "$rpm" "$tgz" && if in_a_dist "$package"; then echo "apt/pool/$deb"; fi)
    done
    for release in $releases; do printf '%s\n' "$(keyring_name "$version" "$release")" "apt/pool/$(keyring_name "$version" "$release")"; done
    printf '%s\n' "$(release_name "$version")" "$(source_name "$version")" "$(record_name "$version")" "$(provenance_name "$version")"
    for dir in "$repo"/rpm/*/; do
        for name in "$(release_name "$version")" "${rpms[@]}"; do echo "${dir#"$repo"/}$name"; done
    done
}

check_names_free() {
    local name
    while IFS= read -r name; do
        [ ! -e "$repo/$name" ] && [ ! -L "$repo/$name" ] ||
            die "$name is published in $repo already, and a published file is never replaced: give this build" \
                "a new version (changelog)"
    done < <(new_names)
}

# ---- The new tree ----

# carry [rebuilt]: the new tree, beside REPO, holding REPO's files as
# links, less those this release writes anew (with rebuilt, the -rebuilt
# dists and repositories and SHA256SUMS alone).
carry() {
    local release dist name dists=() repos=()
    for release in $releases; do [ -n "${1:-}" ] || dists+=("$release") && dists+=("$release-rebuilt"); done
    for name in $rhels; do [ -n "${1:-}" ] || repos+=("$name") && repos+=("$name-rebuilt"); done
    rm -rf "$parent/.$base".new.* "$parent/.$base".aside.*
    new=$(mktemp -d "$parent/.$base.new.XXXXXX") || die "cannot make the new tree in $parent"
    if [ ! -d "$repo" ]; then
        chmod 755 "$new"
        return
    fi
    cp -al "$repo/." "$new/" || die "cannot link the files of $repo into the new tree (is $parent on another file system?)"
    chmod --reference="$repo" "$new"
    rm -f "$new"/SHA256SUMS{,.asc}
    [ -n "${1:-}" ] || rm -f "$new"/{FINGERPRINT,libcwork.gpg,libcwork.asc,"$(release_alias)"}
    for release in $releases; do [ -n "${1:-}" ] || rm -f "$new/$(keyring_alias "$release")"; done
    for release in "${dists[@]}"; do
        dist=$new/apt/dists/$release
        [ -d "$dist" ] || continue
        # The by-hash indices that the Release being replaced names stay, for
        # clients that read it before the switch; older ones go.
        release_sha256 "$dist/Release" | cut -d' ' -f1 >"$work/keep"
        for name in "$dist"/*/*/by-hash/SHA256/*; do
            [ ! -f "$name" ] || grep -qxF "${name##*/}" "$work/keep" || rm "$name"
        done
        find "$dist" -type f ! -path '*/by-hash/*' -delete
    done
    for name in "${repos[@]}"; do rm -rf "$new/rpm/$name/repodata"; done
}

# in_a_dist PACKAGE: a dist of a release in the table offers PACKAGE (with
# a third generation, the oldest may be offered by none: it is published at
# the top alone).
in_a_dist() {
    local release offered
    for release in $releases; do
        offered=offered_$release
        [[ " ${!offered} " != *" $1 "* ]] || return 0
    done
    return 1
}

# put FILE DEST: a new file, readable by all, and never one carried over.
put() {
    [ ! -e "$2" ] || die "would write over $2 (a fault of the release)"
    install -m 644 "$1" "$2"
}

# place_rpm FILE [PACKAGE]: FILE, signed on a copy, in every repository
# that offers PACKAGE (every one, without). An .rpm carries one signature:
# the key's, not the next's.
place_rpm() {
    local name=${1##*/} el offered
    mkdir -p "$new/.signing"
    put "$1" "$new/.signing/$name"
    rpmsign --define "__gpg /usr/bin/gpg" --define "_gpg_name $rpm_part!" --addsign "$new/.signing/$name" 2>&1 >/dev/null |
        { grep -v 'Could not set GPG_TTY' >&2 || true; }
    for el in $rhels; do
        offered=offered_$el
        [ -z "${2:-}" ] || [[ " ${!offered} " == *" $2 "* ]] || continue
        mkdir -p "$new/rpm/$el"
        ln "$new/.signing/$name" "$new/rpm/$el/$name"
    done
    rm -r "$new/.signing"
}

add_packages() {
    local build release keyring made=${LIBCWORK_PACKAGES:-}
    mkdir -p "$new/apt/pool"
    for build in "${builds[@]}"; do
        (. "$build/facts.sh" && packages_dir=${LIBCWORK_PACKAGES:-$packages_dir} &&
            put "$packages_dir/$deb" "$new/$deb" && { ! in_a_dist "$package" || ln "$new/$deb" "$new/apt/pool/$deb"; } &&
            put "$packages_dir/$rpm" "$new/$rpm" && put "$packages_dir/$tgz" "$new/$tgz" &&
            place_rpm "$packages_dir/$rpm" "$package") || exit 1
    done
    # The keys and the source, packaged for apt and dnf: a keyring .deb per
    # Debian release, in its dist alone, and one release .rpm in every rpm
    # repository; at the top, also under names without a version, for the
    # first install. Those built in the root must bring this release's keys.
    if [ -f "$made/$(release_name "$version")" ]; then
        [ "$(field Keys "$made/$(record_name "$version")") $(field Repository "$made/$(record_name "$version")")" = \
            "$(hash_of sha256 "$new/libcwork.asc") libcwork.asc $url" ] ||
            die "the keyring and release packages in $made bring other keys, or another repository, than this release's"
    else
        made=$work/keys
        "$here/package.sh" keys "${builds[0]}" "$made" "$url" "$new/libcwork.gpg" "$new/libcwork.asc" ||
            die "could not make the keyring and release packages"
    fi
    for release in $releases; do
        keyring=$(keyring_name "$version" "$release")
        put "$made/$keyring" "$new/$keyring"
        ln "$new/$keyring" "$new/apt/pool/$keyring"
        ln "$new/$keyring" "$new/$(keyring_alias "$release")"
    done
    put "$made/$(release_name "$version")" "$new/$(release_name "$version")"
    ln "$new/$(release_name "$version")" "$new/$(release_alias)"
    place_rpm "$new/$(release_name "$version")"
    add_provenance
    add_rebuilds
}

# add_rebuilds: the attestations that rebuilders made (make rebuild
# ATTEST=KEY) in LIBCWORK_REBUILDS, each with its key, under rebuilds/;
# the new tree's verification checks each before it is published.
add_rebuilds() {
    local file name fpr
    [ -n "${LIBCWORK_REBUILDS:-}" ] || return 0
    mkdir -p "$new/rebuilds"
    for file in "$LIBCWORK_REBUILDS"/*.intoto.json; do
        [ -f "$file" ] || die "$LIBCWORK_REBUILDS holds no attestation: make rebuild ATTEST=KEY writes them"
        name=${file##*/} fpr=${file##*-by-} && fpr=${fpr%.intoto.json}
        [ -f "$LIBCWORK_REBUILDS/$fpr.asc" ] || die "$name is signed by $fpr, and $fpr.asc is not beside it"
        if [ -e "$new/rebuilds/$name" ]; then
            cmp -s "$file" "$new/rebuilds/$name" || die "rebuilds/$name is published already, with other bytes"
            continue
        fi
        put "$file" "$new/rebuilds/$name"
        [ -e "$new/rebuilds/$fpr.asc" ] || put "$LIBCWORK_REBUILDS/$fpr.asc" "$new/rebuilds/$fpr.asc"
    done
}

# trial_record: for packages built outside a clean root (make repo's trial,
# a test's release), the source archive of the tree as it is and a build
# record that says so, in $work/trial.
trial_record() {
    local archive f
    archive=$work/trial/$(source_name "$version")
    mkdir -p "$work/trial"
    "$source_dir/scripts/dist.sh" --working-tree "$archive" >/dev/null || die "could not make the source archive of $source_dir"
    {
        printf '%s\n' "Format: 1.0" "Source: libcwork" "Version: $version" \
            "Source-Archive: $(hash_of sha256 "$archive") ${archive##*/}" \
            "Commit: $({ gzip -dc "$archive" || true; } | git get-tar-commit-id || echo none)" \
            "Build-Root: none (a trial, built outside a clean root)" \
            "Source-Date-Epoch: $epoch" "Checksums-Sha256:"
        for f in "${files[@]}"; do echo " $(hash_of sha256 "$f") ${f##*/}"; done
    } >"$work/trial/$(record_name "$version")"
}

# add_provenance: what every release publishes of how it was made: its
# source archive, its build record (with each .rpm's sha256 once signed,
# too), and the provenance of every file of this version, an in-toto
# statement in a DSSE envelope signed by each key.
add_provenance() {
    local record statement=$work/statement.json key n=0 sigs=() made=${LIBCWORK_PACKAGES:-$work/trial} rpm
    record=$(record_name "$version")
    put "$made/$(source_name "$version")" "$new/$(source_name "$version")"
    { cat "$made/$record" && echo "Checksums-Sha256-Signed:" &&
        for rpm in "$new"/rpm/*/*"$version".*.rpm; do echo " $(hash_of sha256 "$rpm") ${rpm#"$new"/}"; done
    } >"$work/$record"
    put "$work/$record" "$new/$record"
    /usr/bin/python3 "$here/dsse.py" statement "$new" "$version" "$new/$record" "${homepage%/}" >"$statement" &&
        /usr/bin/python3 "$here/dsse.py" pae "$statement" >"$work/pae" || die "could not write the provenance"
    for key in "${keys[@]}"; do
        gpg --batch "${signers[@]:2*n:2}" --detach-sign -o "$work/sig.$n" "$work/pae" ||
            die "gpg could not sign the provenance"
        sigs+=("$key=$work/sig.$n")
        n=$((n + 1))
    done
    /usr/bin/python3 "$here/dsse.py" envelope "$statement" "${sigs[@]}" >"$work/envelope" &&
        put "$work/envelope" "$new/$(provenance_name "$version")" || die "could not write the provenance"
}

# write_keys: the keys, and once a rotation ends, the key it ends, kept
# with those retired before for the .rpm files they signed (an .rpm
# carries one signature).
write_keys() {
    local k retired=()
    gpg --batch --export "${keys[@]}" >"$new/libcwork.gpg"
    gpg --batch --armor --export "${keys[@]}" >"$new/libcwork.asc"
    printf '%s\n' "${keys[@]}" >"$new/FINGERPRINT"
    for k in $old_keys; do [[ " ${keys[*]} " == *" $k "* ]] || retired+=("$k"); done
    [ ${#retired[@]} != 0 ] || return 0
    mkdir -m 700 "$work/old-keys"
    gpg --homedir "$work/old-keys" --batch --quiet --import "$repo/libcwork.gpg" 2>/dev/null
    if [ -f "$repo/libcwork-retired.asc" ]; then
        gpg --homedir "$work/old-keys" --batch --quiet --import "$repo/libcwork-retired.asc" 2>/dev/null
        mapfile -t -O ${#retired[@]} retired < <(key_fingerprints --show-keys "$repo/libcwork-retired.asc")
    fi
    rm -f "$new/libcwork-retired.asc"
    gpg --homedir "$work/old-keys" --batch --armor --export "${retired[@]}" >"$new/libcwork-retired.asc"
    gpgconf --homedir "$work/old-keys" --kill all
}

# sign MODE FILE OUT: FILE signed by every key, MODE --clearsign or --detach-sign.
sign() {
    rm -f "$3"
    gpg --batch "${signers[@]}" "$1" --armor -o "$3" "$2" || die "gpg could not sign $2"
}

# index_apt: each dist of a release in the table lists every .deb in the
# pool of a package that it offers, every version of it, and its own
# keyring package; the others stay as they were, signed anew only when
# the keys change.
index_apt() {
    local release dist name offered
    (cd "$new/apt" && apt-ftparchive packages pool) >"$work/pool.Packages" || die "apt-ftparchive failed on the pool"
    for release in $releases; do
        offered=offered_$release
        awk -v RS= -v ORS='\n\n' -v offered=" ${!offered} " -v keyring="$keyring_package" -v release="$release" '
            { p = $0; sub(/^Package: /, "", p); sub(/\n.*/, "", p); v = $0; sub(/.*\nVersion: /, "", v); sub(/\n.*/, "", v) }
            p == keyring ? v ~ ("\\+" release "$") : index(offered, " " p " ")' "$work/pool.Packages" |
            index_dist "$release" "$release"
    done
    for dist in "$new"/apt/dists/*/; do
        dist=${dist%/} && name=${dist##*/}
        [[ " $releases " != *" ${name%-rebuilt} "* ]] || continue
        [ "$old_keys" != "${keys[*]}" ] || continue
        sign --clearsign "$dist/Release" "$dist/InRelease"
        sign --detach-sign "$dist/Release" "$dist/Release.gpg"
    done
}

# index_dist RELEASE DIST [WHICH] <PACKAGES: the dist DIST of the Debian
# release RELEASE, listing PACKAGES, signed; WHICH says what it holds.
index_dist() {
    local dist=$new/apt/dists/$2 glibc=glibc_$1 f sum
    local bin=$dist/main/binary-amd64
    mkdir -p "$bin/by-hash/SHA256"
    cat >"$bin/Packages"
    gzip -9nc "$bin/Packages" >"$bin/Packages.gz"
    for f in Packages Packages.gz; do
        sum=$(hash_of sha256 "$bin/$f")
        [ -e "$bin/by-hash/SHA256/$sum" ] || ln "$bin/$f" "$bin/by-hash/SHA256/$sum"
    done
    # SHA256 alone, as in Debian's archive: apt fetches by-hash/ under the
    # strongest hash the Release lists.
    (cd "$dist" && apt-ftparchive -o APT::FTPArchive::MD5=false -o APT::FTPArchive::SHA1=false \
        -o APT::FTPArchive::SHA512=false -o APT::FTPArchive::Release::Origin=libcwork \
        -o APT::FTPArchive::Release::Label=libcwork -o APT::FTPArchive::Release::Suite="$2" \
        -o APT::FTPArchive::Release::Codename="$2" -o APT::FTPArchive::Release::Architectures=amd64 \
        -o APT::FTPArchive::Release::Components=main -o APT::FTPArchive::Release::Acquire-By-Hash=yes \
        -o APT::FTPArchive::Release::Description="libcwork for Debian $1 (glibc ${!glibc})${3:+, $3}" \
        release . >"$work/Release") && put "$work/Release" "$dist/Release"
    sign --clearsign "$dist/Release" "$dist/InRelease"
    sign --detach-sign "$dist/Release" "$dist/Release.gpg"
}

# index_rpm: each rpm repository of a release in the table, over every
# version it holds (its -rebuilt one comes after); the others signed anew
# only when the keys change.
index_rpm() {
    local dir name
    for dir in "$new"/rpm/*/; do
        dir=${dir%/} && name=${dir##*/}
        if [[ " $rhels " == *" $name "* ]]; then
            createrepo_c --quiet "$dir" || die "createrepo_c failed on $name"
        elif [[ " $rhels " == *" ${name%-rebuilt} "* ]] || [ "$old_keys" = "${keys[*]}" ]; then
            continue
        fi
        sign --detach-sign "$dir/repodata/repomd.xml" "$dir/repodata/repomd.xml.asc"
    done
}

# index_rebuilt: beside each dist and rpm repository of a release in the
# table, its -rebuilt one: the same entries, of those versions alone that
# the rebuilders the tree vouches for have matched (none, where it names
# none), as make verify counts them in the new tree with these set aside.
index_rebuilt() {
    local release el aside promoted
    aside=$(mktemp -d "$parent/.$base.aside.XXXXXX") || die "cannot make a directory in $parent"
    for release in $releases; do [ ! -d "$new/apt/dists/$release-rebuilt" ] || mv "$new/apt/dists/$release-rebuilt" "$aside/$release"; done
    for el in $rhels; do [ ! -d "$new/rpm/$el-rebuilt" ] || mv "$new/rpm/$el-rebuilt" "$aside/$el"; done
    write_sums
    new_tree_verifies --summary "$work/new.summary"
    rm "$new"/SHA256SUMS{,.asc}
    promoted=" $(awk '$1 == "promoted" { print $2 }' "$work/new.summary" | xargs) "
    for release in $releases; do
        [ ! -d "$aside/$release" ] || mv "$aside/$release" "$new/apt/dists/$release-rebuilt"
        awk -v RS= -v ORS='\n\n' -v promoted="$promoted" -v release="$release" '
            { v = $0; sub(/.*\nVersion: /, "", v); sub(/\n.*/, "", v); sub("\\+" release "$", "", v) }
            index(promoted, " " v " ")' "$new/apt/dists/$release/main/binary-amd64/Packages" |
            index_dist "$release" "$release-rebuilt" "the versions that rebuilders have matched"
    done
    for el in $rhels; do
        [ ! -d "$aside/$el" ] || mv "$aside/$el" "$new/rpm/$el-rebuilt"
        mkdir -p "$new/rpm/$el-rebuilt"
        awk -v promoted="$promoted" -v el="rpm/$el/" '$1 == "file" && index(promoted, " " $2 " ") && index($4, el) == 1 {
            sub(/.*\//, "", $4); print $4 }' "$work/new.summary" | sort -u >"$work/$el.promoted"
        createrepo_c --quiet --pkglist "$work/$el.promoted" --location-prefix "../$el/" -o "$new/rpm/$el-rebuilt" \
            "$new/rpm/$el" || die "createrepo_c failed on $el-rebuilt"
        sign --detach-sign "$new/rpm/$el-rebuilt/repodata/repomd.xml" "$new/rpm/$el-rebuilt/repodata/repomd.xml.asc"
    done
    rmdir "$aside"
    rebuilt=$(xargs <<<"$promoted")
}

# write_policy: with LIBCWORK_REBUILDERS (a keyring), the rebuilders the
# project vouches for and how many of them (LIBCWORK_THRESHOLD, by default
# all) must match a version, in REBUILDERS, each key under rebuilds/;
# without, what REPO names stays.
write_policy() {
    local rebuilders=() k f own
    [ -n "${LIBCWORK_REBUILDERS:-}" ] || return 0
    mapfile -t rebuilders < <(key_fingerprints --show-keys "$LIBCWORK_REBUILDERS")
    k=${LIBCWORK_THRESHOLD:-${#rebuilders[@]}}
    [ ${#rebuilders[@]} -gt 0 ] || die "REBUILDERS=$LIBCWORK_REBUILDERS holds no keys"
    [[ $k =~ ^[0-9]+$ ]] && [ "$k" -ge 1 ] && [ "$k" -le ${#rebuilders[@]} ] ||
        die "THRESHOLD=$k: at least 1 of the ${#rebuilders[@]} rebuilders must match a version, and no more than there are"
    # Every release key: current, next, carried, and retired (a file only
    # once a rotation has ended).
    own=" ${keys[*]} $old_keys $(key_fingerprints --show-keys "$repo/libcwork-retired.asc" | xargs || true) "
    for f in "${rebuilders[@]}"; do
        [[ $own != *" $f "* ]] ||
            die "REBUILDERS names $f, a release key: one who signs the release vouches for nothing more by rebuilding it"
    done
    mkdir -p "$new/rebuilds" && mkdir -m 700 "$work/rebuilders" &&
        gpg --homedir "$work/rebuilders" --batch --quiet --import "$LIBCWORK_REBUILDERS" 2>/dev/null ||
        die "could not read the keys of REBUILDERS=$LIBCWORK_REBUILDERS"
    for f in "${rebuilders[@]}"; do
        gpg --homedir "$work/rebuilders" --batch --armor --export "$f" >"$work/$f.asc" &&
            rm -f "$new/rebuilds/$f.asc" && put "$work/$f.asc" "$new/rebuilds/$f.asc"
    done
    gpgconf --homedir "$work/rebuilders" --kill all
    printf 'Threshold: %s\nRebuilders: %s\n' "$k" "${rebuilders[*]}" >"$work/REBUILDERS"
    rm -f "$new/REBUILDERS" && put "$work/REBUILDERS" "$new/REBUILDERS"
}

# promote: at the version REPO has published already, the attestations
# and rebuilders given added, and the -rebuilt dists and repositories made
# again; nothing else changes.
promote() {
    [ "$old_keys" = "${keys[*]}" ] || die "version $version is in $repo already: adding rebuilds to it changes no key" \
        "(a rotation comes with a new version)"
    carry rebuilt
    write_policy
    add_rebuilds
    if diff -rq --exclude='SHA256SUMS*' --exclude='*-rebuilt' "$repo" "$new" >/dev/null; then
        echo "release: version $version is in $repo already, with the same rebuilds and rebuilders: nothing to do"
        exit 0
    fi
    publish "in $repo: rebuilds added"
    exit 0
}

# publish WHAT: the -rebuilt indices and SHA256SUMS written, the new tree
# checked (a fault of the release, where it does not verify) and switched
# in for REPO; then what was done.
publish() {
    index_rebuilt
    write_sums
    new_tree_verifies
    set_modes_and_switch
    echo "release: version $version $1; the -rebuilt dists and repositories hold ${rebuilt:-no version}"
}

new_tree_verifies() {
    verify_unrecorded "$new" "${keys[*]}" "$@" ||
        die "the new tree does not verify, a fault of this release; $repo is as it was:"$'\n'"$(cat "$work/verify.log")"
}

# write_sums: SHA256SUMS over every file of the tree a release writes, with
# each file's size.
write_sums() {
    /usr/bin/python3 "$here/verify.py" --sums "$new" >"$work/SHA256SUMS" || die "could not write SHA256SUMS"
    put "$work/SHA256SUMS" "$new/SHA256SUMS"
    sign --detach-sign "$new/SHA256SUMS" "$new/SHA256SUMS.asc"
}

# set_modes and switch, through libc: every directory and file the release
# made 0755 and 0644, whatever the umask, and what it carried (a file of
# REPO's, or a directory that REPO has) as it was; then renameat2 with
# RENAME_EXCHANGE swaps the two trees in one step, where REPO exists.
set_modes_and_switch() {
    /usr/bin/python3 - "$new" "$repo" <<'SWITCH' || die "could not switch $repo to the new release; it is as it was"
import ctypes, os, sys
new, repo = sys.argv[1:]
carried = set()
for base, dirs, names in os.walk(repo):
    carried.update(os.lstat(os.path.join(base, n)).st_ino for n in names)
    carried.update(os.path.relpath(os.path.join(base, n), repo) for n in dirs)
for base, dirs, names in os.walk(new):
    for n in dirs:
        if os.path.relpath(os.path.join(base, n), new) not in carried:
            os.chmod(os.path.join(base, n), 0o755)
    for n in names:
        path = os.path.join(base, n)
        if os.path.isfile(path) and not os.path.islink(path) and os.lstat(path).st_ino not in carried:
            os.chmod(path, 0o644)
if not os.path.exists(repo):
    os.rename(new, repo)
    sys.exit()
libc = ctypes.CDLL(None, use_errno=True)
AT_FDCWD, RENAME_EXCHANGE = -100, 2
if libc.renameat2(AT_FDCWD, os.fsencode(new), AT_FDCWD, os.fsencode(repo), RENAME_EXCHANGE):
    sys.exit("cannot exchange %s and %s: %s" % (new, repo, os.strerror(ctypes.get_errno())))
SWITCH
}

main() {
    local tool build
    [ $# -ge 2 ] || die "usage: release.sh REPO BUILD_DIR..."
    repo=$(realpath -m -- "$1")
    shift
    builds=("$@")
    . "${builds[0]}/facts.sh"
    url=${LIBCWORK_URL:-${homepage%/}}
    for tool in apt-ftparchive createrepo_c rpmbuild rpmsign rpmkeys gpg gpgv /usr/bin/python3 flock; do needs $tool; done
    # make repo's trial may publish what is not committed yet; a release not.
    if [ "${LIBCWORK_TRIAL:-}" != true ] && git -C "$source_dir" rev-parse --git-dir >/dev/null 2>&1 &&
        ! git -C "$source_dir" diff --quiet HEAD --; then
        die "the tree has uncommitted changes, which the packages would hold unrecorded: commit or stash them first"
    fi
    work=$(mktemp -d)
    new=""
    trap 'rm -rf "$work" ${new:+"$new"}' EXIT
    # From a terminal, gpg's pinentry can ask there for a passphrase.
    if [ -t 0 ]; then export GPG_TTY=$(tty); fi
    read_keys
    # At a version published already, rebuilds to add: nothing is built.
    if [ -n "${LIBCWORK_REBUILDS:-}${LIBCWORK_REBUILDERS:-}" ] && [ "$(published_newest)" = "$version" ]; then
        take_lock "$version"
        check_tree
        [ "$(published_newest)" != "$version" ] || promote
    fi
    # make release: every package, the keys' too, built from the source
    # archive in a clean root (scripts/rootbuild.sh).
    if [ -n "${LIBCWORK_SOURCE:-}" ]; then
        gpg --batch --armor --export "${keys[@]}" >"$work/keys.asc" &&
            "$here/rootbuild.sh" "${builds[0]}" "$LIBCWORK_SOURCE" "$work/built" "$work/keys.asc" "$url" ||
            die "could not build the release in the root"
        export LIBCWORK_PACKAGES=$work/built
    fi
    files=() rpms=()
    for build in "${builds[@]}"; do
        mapfile -t -O ${#files[@]} files < <(. "$build/facts.sh" && packages_dir=${LIBCWORK_PACKAGES:-$packages_dir} &&
            printf '%s\n' "$packages_dir/$deb" "$packages_dir/$rpm" "$packages_dir/$tgz")
        rpms+=("${files[-2]##*/}")
    done
    for file in "${files[@]}"; do [ -f "$file" ] || die "$file is missing: make package"; done
    [ -n "${LIBCWORK_PACKAGES:-}" ] || trial_record

    take_lock "$version"
    check_tree
    check_version
    check_names_free
    carry
    write_keys
    write_policy
    add_packages
    index_apt
    index_rpm
    publish "published in $repo, signed by ${keys[*]}"
}

main "$@"
