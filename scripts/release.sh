#!/usr/bin/env bash
# release.sh REPO BUILD_DIR...: publish the builds' packages into REPO, the
# repository tree that a web server serves, keeping every version published
# there before. Its layout is make repo's:
#
#   apt/pool/           every .deb ever published
#   apt/dists/CODENAME/ per Debian release in generations.txt: Packages
#                       lists every version of every generation whose floor
#                       that release's glibc meets; InRelease, Release.gpg
#   rpm/<name>/         every .rpm, signed, that that RHEL release can run,
#                       and repodata/repomd.xml, signed as repomd.xml.asc
#   libcwork.gpg        the public key, binary, for apt's signed-by
#   libcwork.asc        the same, armored, for rpm and dnf's gpgkey
#   FINGERPRINT         the repository key's fingerprint, for users to compare
#                       (during a rotation, the next key's on a second line,
#                       and both keys in libcwork.gpg and libcwork.asc)
#   the package files themselves, SHA256SUMS over them and SHA256SUMS.asc
#
# and in them, made with the keys by scripts/keypackages.sh, the packages
# that bring the keys and the source to a system: libcwork-archive-keyring
# (a .deb per Debian release, in its dist; at the top also as
# libcwork-archive-keyring-CODENAME.deb) and libcwork-release (a .rpm, in
# every rpm repository; at the top also as libcwork-release.noarch.rpm).
# Their sources point at LIBCWORK_URL, by default https://libcwork.example.org.
#
# It signs with LIBCWORK_SIGNING_KEY, from the user's GnuPG keyring. The
# first release into a missing or empty REPO makes that key the
# repository's; each later one must be signed by it. LIBCWORK_NEXT_KEY as
# well starts a rotation: the release is signed by both, so that clients
# holding either accept it, and a later release signed by the next key
# alone ends it.
#
# Refused, with REPO left as it was: no key, or no secret key; another key
# than the repository's; a key expired or expiring within 30 days (apt
# refuses signatures by an expired key); a version older than the newest
# published; the same version with other bytes (a published version is never
# replaced: clients hold its checksums); a tree with uncommitted changes. The
# same version with the same bytes changes nothing and says so.
#
# The new tree is written beside REPO and exchanged with it by one rename,
# so that a run killed at any point leaves REPO as it was or complete. Files
# carried over are hard links: nothing in REPO is written to.
set -euo pipefail
repo=$(realpath -m "$1")
shift
. "$1/facts.sh"

fail() {
    echo "release: $*" >&2
    exit 1
}
# The URL the repository is published at, which the keyring and release
# packages point their sources at.
url=${LIBCWORK_URL:-https://libcwork.example.org}
for tool in apt-ftparchive createrepo_c rpmbuild rpmsign gpg perl; do
    command -v $tool >/dev/null || fail "$tool is not installed (apt-get install $(awk -v c=$tool '$1 == c { print $2 }' "$source_dir/scripts/tools.txt"))"
done

glibc_of() {
    local var=glibc_${1//-/_}
    echo "${!var}"
}
version_le() { [ "$(printf '%s\n' "$1" "$2" | sort -V | head -n 1)" = "$1" ]; }

# ---- What may be published ----

if git -C "$source_dir" rev-parse --git-dir >/dev/null 2>&1 && ! git -C "$source_dir" diff --quiet HEAD --; then
    fail "the tree has uncommitted changes, which the packages would hold unrecorded: commit or stash them first"
fi

keyring="your GnuPG keyring (${GNUPGHOME:-~/.gnupg})"
now=$(date +%s)
soon=$((now + 30 * 86400))
when() { date -u -d "@$1" +%F; }

# signing_key VARIABLE: the fingerprint of the key that VARIABLE names, a
# secret key that can sign for 30 days more. Anything else ends the release.
signing_key() {
    local name=$1 key=${!1} listing fpr validity expires signs
    [ "$(gpg --batch --with-colons --list-secret-keys -- "$key" 2>/dev/null | grep -c '^sec:')" = 1 ] ||
        fail "$name=$key is not one secret key in $keyring"
    listing=$(gpg --batch --with-colons --fixed-list-mode --list-keys -- "$key" 2>/dev/null)
    fpr=$(awk -F: '$1 == "fpr" { print $10; exit }' <<<"$listing")
    # Its own expiry, and that of the newest part of it that can sign.
    read -r validity expires < <(awk -F: '$1 == "pub" { print ($2 == "" ? "-" : $2), ($7 == "" ? "never" : $7) }' <<<"$listing")
    case $validity in
    e) fail "the key $fpr expired on $(when "$expires"): extend its expiry (docs/releasing.md)" ;;
    r) fail "the key $fpr is revoked: a new key must take its place (docs/releasing.md)" ;;
    esac
    [ "$expires" = never ] || [ "$expires" -gt "$soon" ] ||
        fail "the key $fpr expires on $(when "$expires"), within 30 days: extend its expiry first (docs/releasing.md)"
    signs=$(awk -F: '($1 == "pub" || $1 == "sub") && $12 ~ /s/ && $2 !~ /[erd]/ { print ($7 == "" ? "never" : $7) }' <<<"$listing" |
        sort | tail -n 1)
    [ -n "$signs" ] || fail "the key $fpr has no part that can sign and has not expired"
    [ "$signs" = never ] || [ "$signs" -gt "$soon" ] ||
        fail "the signing subkey of $fpr expires on $(when "$signs"), within 30 days: extend its expiry first (docs/releasing.md)"
    echo "$fpr"
}

[ -n "${LIBCWORK_SIGNING_KEY:-}" ] || fail "no LIBCWORK_SIGNING_KEY: set it to the repository key's fingerprint," \
    "a secret key in $keyring (make repo tries the repositories with a throwaway key)"
fpr=$(signing_key LIBCWORK_SIGNING_KEY) || exit 1
next=""
if [ -n "${LIBCWORK_NEXT_KEY:-}" ]; then
    next=$(signing_key LIBCWORK_NEXT_KEY) || exit 1
fi
[ "$next" != "$fpr" ] || fail "LIBCWORK_NEXT_KEY is LIBCWORK_SIGNING_KEY: a rotation is to another key"

# The repository's keys, in FINGERPRINT: its key, and while a rotation is
# under way the next one after it. A release is signed by the key alone; to
# start or go on with a rotation by the key and the next; to end it by the
# next alone, which then becomes the key.
if [ -n "$(ls -A "$repo" 2>/dev/null)" ]; then
    [ -f "$repo/FINGERPRINT" ] || fail "$repo is not empty and is not a libcwork repository (it has no FINGERPRINT)"
    { read -r own; read -r announced || true; } <"$repo/FINGERPRINT"
    if [ -z "$next" ] && [ "$fpr" = "${announced:-}" ]; then
        :
    elif [ "$fpr" != "$own" ]; then
        fail "$repo is signed by the key $own${announced:+ (and $announced, its next)}, and LIBCWORK_SIGNING_KEY is $fpr:" \
            "release with the repository's key (a new key comes in by a rotation: docs/releasing.md)"
    elif [ -n "${announced:-}" ] && [ "$next" != "$announced" ]; then
        fail "a rotation from $own to $announced is under way in $repo: sign with" \
            "LIBCWORK_SIGNING_KEY=$own LIBCWORK_NEXT_KEY=$announced, or end it with LIBCWORK_SIGNING_KEY=$announced alone"
    fi
elif [ -n "$next" ]; then
    fail "$repo has no release yet: its first is signed by one key, LIBCWORK_SIGNING_KEY alone"
fi
keys=("$fpr" ${next:+"$next"})

# The version: newer than every one published, or the very same bytes.
mapfile -t files < <(for build in "$@"; do
    (. "$build/facts.sh" && printf '%s\n' "$packages_dir/$deb" "$packages_dir/$rpm" "$packages_dir/$tgz")
done)
for file in "${files[@]}"; do
    [ -f "$file" ] || fail "$file is missing: make package"
done
version=$(dpkg-deb -f "${files[0]}" Version)
newest=$(for deb in "$repo"/*.deb; do
    [ ! -f "$deb" ] || [[ ${deb##*/} == libcwork-archive-keyring* ]] || dpkg-deb -f "$deb" Version
done |
    sort -V | tail -n 1)
if [ -n "$newest" ] && dpkg --compare-versions "$version" lt "$newest"; then
    fail "version $version is older than $newest, the newest in $repo: a release adds a newer version (changelog)"
fi
if [ "$version" = "$newest" ]; then
    for file in "${files[@]}"; do
        cmp -s "$file" "$repo/${file##*/}" ||
            fail "version $version is in $repo already, and ${file##*/} there has other bytes:" \
                "a published version is never replaced; give this build a new version (changelog)"
    done
    echo "release: version $version is in $repo already, with the same bytes: nothing to do"
    exit 0
fi

# ---- The new tree, beside REPO ----

parent=$(dirname "$repo")
base=$(basename "$repo")
mkdir -p "$parent"
# One release at a time (what a killed one started may still be ending);
# what a killed one left beside REPO goes.
exec 9<"$parent"
flock -w 60 9 || fail "another release into $parent has been running for a minute"
rm -rf "$parent/.$base".new.*
new=$(mktemp -d "$parent/.$base.new.XXXXXX")
trap 'rm -rf "$new"' EXIT

# link_all DIR DEST: the package files of DIR, hard-linked into DEST.
link_all() {
    local f
    mkdir -p "$2"
    for f in "$1"/*.deb "$1"/*.rpm "$1"/*.tar.gz; do
        [ ! -f "$f" ] || ln "$f" "$2/"
    done
}
link_all "$repo" "$new"
link_all "$repo/apt/pool" "$new/apt/pool"
for dir in "$repo"/rpm/*/; do
    [ ! -d "$dir" ] || link_all "$dir" "$new/rpm/$(basename "$dir")"
done

signing=(--batch --yes)
for k in "${keys[@]}"; do signing+=(--local-user "$k"); done
gpg --batch --export "${keys[@]}" >"$new/libcwork.gpg"
gpg --batch --armor --export "${keys[@]}" >"$new/libcwork.asc"
printf '%s\n' "${keys[@]}" >"$new/FINGERPRINT"

# place_rpm FILE GLIBC: FILE, signed on a copy, in every repository whose
# release's glibc is GLIBC or later. An .rpm carries one signature: the
# key's, not the next's.
place_rpm() {
    local name=${1##*/}
    cp "$1" "$new/$name.signed"
    rpmsign --define "__gpg /usr/bin/gpg" --define "_gpg_name $fpr" --addsign "$new/$name.signed" 2>&1 >/dev/null |
        { grep -v 'Could not set GPG_TTY' >&2 || true; }
    for el in $rhels; do
        ! version_le "$2" "$(glibc_of "$el")" || { mkdir -p "$new/rpm/$el" && ln "$new/$name.signed" "$new/rpm/$el/$name"; }
    done
    rm "$new/$name.signed"
}
cp "${files[@]}" "$new/"
for build in "$@"; do
    . "$build/facts.sh"
    cp "$packages_dir/$deb" "$new/apt/pool/"
    place_rpm "$packages_dir/$rpm" "$floor"
done

# The keys and the source, packaged for apt and dnf: a keyring .deb per
# Debian release, in its dist alone, and one release .rpm in every rpm
# repository; at the top, also under names without a version, for the
# first install.
"$source_dir/scripts/keypackages.sh" "$new/keys" "${files[0]}" "$epoch" "$url" "$homepage" \
    "$new/libcwork.gpg" "$new/libcwork.asc" $releases || fail "could not make the keyring and release packages"
for release in $releases; do
    keyring=libcwork-archive-keyring_$version+${release}_all.deb
    cp "$new/keys/$keyring" "$new/apt/pool/"
    ln "$new/apt/pool/$keyring" "$new/$keyring"
    ln -f "$new/$keyring" "$new/libcwork-archive-keyring-$release.deb"
done
place_rpm "$new/keys/libcwork-release-$version.noarch.rpm" 0
ln "$new/keys/libcwork-release-$version.noarch.rpm" "$new/"
ln -f "$new/keys/libcwork-release-$version.noarch.rpm" "$new/libcwork-release.noarch.rpm"
rm -r "$new/keys"

# apt: each dist lists every .deb in the pool whose glibc floor its
# release's glibc meets, every version of it.
for release in $releases; do
    dist=$new/apt/dists/$release
    mkdir -p "$dist/main/binary-amd64"
    for deb in "$new"/apt/pool/*.deb; do
        case ${deb##*/} in
        libcwork-archive-keyring_*+${release}_all.deb) ;;
        libcwork-archive-keyring_*) continue ;;
        *) needs=$(dpkg-deb -f "$deb" Pre-Depends | sed -n 's/.*libc6 (>= \([0-9.]*\)).*/\1/p')
            version_le "$needs" "$(glibc_of "$release")" || continue ;;
        esac
        (cd "$new/apt" && apt-ftparchive packages "pool/${deb##*/}")
    done >"$dist/main/binary-amd64/Packages"
    gzip -9nk "$dist/main/binary-amd64/Packages"
    (cd "$dist" && apt-ftparchive -o APT::FTPArchive::Release::Origin=libcwork \
        -o APT::FTPArchive::Release::Label=libcwork -o APT::FTPArchive::Release::Suite="$release" \
        -o APT::FTPArchive::Release::Codename="$release" -o APT::FTPArchive::Release::Architectures=amd64 \
        -o APT::FTPArchive::Release::Components=main \
        -o APT::FTPArchive::Release::Description="libcwork for Debian $release (glibc $(glibc_of "$release"))" \
        release . >"$new/Release.tmp") && mv "$new/Release.tmp" "$dist/Release"
    gpg "${signing[@]}" --clearsign -o "$dist/InRelease" "$dist/Release"
    gpg "${signing[@]}" --armor --detach-sign -o "$dist/Release.gpg" "$dist/Release"
done

# rpm: each repository's metadata, over every version it holds.
for dir in "$new"/rpm/*/; do
    createrepo_c --quiet "$dir"
    gpg "${signing[@]}" --armor --detach-sign "$dir/repodata/repomd.xml"
done

(cd "$new" && sha256sum -- *.deb *.rpm *.tar.gz >SHA256SUMS)
gpg "${signing[@]}" --armor --detach-sign "$new/SHA256SUMS"
# Readable by all, whatever the umask; what is carried over has its modes already.
find "$new" \( -type d -exec chmod 755 {} + \) -o \( -type f ! -perm 644 -exec chmod 644 {} + \)

# ---- The switch ----
# renameat2(RENAME_EXCHANGE) swaps the two trees in one step; a REPO that
# does not exist yet is a plain rename.
if [ -e "$repo" ]; then
    perl -e 'syscall(316, -100, $ARGV[0], -100, $ARGV[1], 2) == 0 or die "cannot exchange $ARGV[0] and $ARGV[1]: $!\n"' \
        "$new" "$repo" || fail "could not switch $repo to the new release; it is as it was"
else
    mv -T "$new" "$repo"
fi
echo "release: version $version published in $repo, signed by ${keys[*]}"
