#!/usr/bin/env bash
# repo.sh BUILD_DIR...: publish the builds' packages as users get software,
# signed, in build/repo:
#
#   apt/          a Debian repository (reprepro), one dist per Debian release
#                 in generations.txt, each holding every generation whose
#                 floor that release's glibc meets; InRelease and Release.gpg
#   rpm/<name>/   an rpm-md repository (createrepo_c) per RHEL release in
#                 the table, likewise, its .rpm files signed (rpmsign) and
#                 its repodata/repomd.xml signed as repomd.xml.asc
#   libcwork.gpg  the public key, binary, for apt's signed-by
#   libcwork.asc  the same, armored, for rpm and dnf's gpgkey
#   the package files themselves, SHA256SUMS over them and SHA256SUMS.asc
#
# The key is LIBCWORK_SIGNING_KEY, a key in the user's own GnuPG keyring.
# Without it, a throwaway key is made for this build and kept in
# build/signing: fine for trying the repositories, not for a release. The
# packages in build/packages are never touched: signing is done on copies.
set -euo pipefail
. "$1/facts.sh"
repo=$source_dir/build/repo

glibc_of() {
    local var=glibc_${1//-/_}
    echo "${!var}"
}

fail() {
    echo "repo: $*" >&2
    exit 1
}
for tool in reprepro createrepo_c rpmsign gpg; do
    command -v $tool >/dev/null || fail "$tool is not installed (apt-get install reprepro createrepo-c rpm gpg)"
done

if [ -n "${LIBCWORK_SIGNING_KEY:-}" ]; then
    key=$LIBCWORK_SIGNING_KEY
    gpg --batch --list-secret-keys "$key" >/dev/null 2>&1 ||
        fail "LIBCWORK_SIGNING_KEY=$key is not a secret key in your GnuPG keyring"
else
    export GNUPGHOME=$source_dir/build/signing
    trap 'gpgconf --kill gpg-agent' EXIT
    if ! gpg --batch --list-secret-keys 2>/dev/null | grep -q .; then
        mkdir -p -m 700 "$GNUPGHOME"
        gpg --batch --quiet --passphrase '' \
            --quick-gen-key "libcwork throwaway signing key <libcwork@example.org>" rsa3072 sign never 2>/dev/null
    fi
    key=$(gpg --batch --with-colons --list-secret-keys | awk -F: '$1 == "fpr" { print $10; exit }')
    echo "repo: no LIBCWORK_SIGNING_KEY, so signing with a throwaway key made for this build" \
        "($key, kept in $GNUPGHOME): not for a release"
fi

rm -rf "$repo"
mkdir -p "$repo/apt/conf" "$repo/rpm"
gpg --batch --export "$key" >"$repo/libcwork.gpg"
gpg --batch --armor --export "$key" >"$repo/libcwork.asc"

# The builds, each as "floor build_dir".
builds=$(for build in "$@"; do (. "$build/facts.sh" && echo "$floor $build"); done)

# fits GLIBC: the builds whose floor GLIBC meets.
fits() {
    while read -r floor build; do
        [ "$(printf '%s\n' "$floor" "$1" | sort -V | tail -n 1)" != "$1" ] || echo "$build"
    done <<<"$builds"
}

# apt: the dists are data, one stanza each; reprepro does the rest.
for release in $releases; do
    glibc=$(glibc_of "$release")
    printf '%s\n' "Origin: libcwork" "Label: libcwork" "Codename: $release" \
        "Architectures: amd64" "Components: main" \
        "Description: libcwork for Debian $release (glibc $glibc)" "SignWith: $key" ""
done >"$repo/apt/conf/distributions"
for release in $releases; do
    glibc=$(glibc_of "$release")
    for build in $(fits "$glibc"); do
        reprepro --silent -b "$repo/apt" includedeb "$release" "$(. "$build/facts.sh" && echo "$packages_dir/$deb")"
    done
done
rm -rf "$repo/apt/db" "$repo/apt/conf"

# rpm: each .rpm signed once, on a copy, and placed in every repository
# whose release can run it.
mkdir "$repo/signed"
for build in "$@"; do
    . "$build/facts.sh"
    cp "$packages_dir/$rpm" "$repo/signed/"
    # (rpmsign warns that it has no terminal to hand gpg: it needs none.)
    rpmsign --define "__gpg /usr/bin/gpg" --define "_gpg_name $key" \
        --addsign "$repo/signed/$rpm" 2>&1 >/dev/null | { grep -v 'Could not set GPG_TTY' >&2 || true; }
done
for name in $rhels; do
    glibc=$(glibc_of "$name")
    mkdir "$repo/rpm/$name"
    for build in $(fits "$glibc"); do
        cp "$repo/signed/$(. "$build/facts.sh" && echo "$rpm")" "$repo/rpm/$name/"
    done
    createrepo_c --quiet "$repo/rpm/$name"
    gpg --batch --yes --armor --local-user "$key" --detach-sign "$repo/rpm/$name/repodata/repomd.xml"
done
rm -rf "$repo/signed"

# The package files for those who want one file, and their checksums.
for build in "$@"; do
    . "$build/facts.sh"
    for file in "$deb" "$rpm" "$tgz"; do
        [ -f "$packages_dir/$file" ] && cp "$packages_dir/$file" "$repo/"
    done
done
(cd "$repo" && sha256sum -- *.deb *.rpm *.tar.gz >SHA256SUMS)
gpg --batch --yes --armor --local-user "$key" --detach-sign "$repo/SHA256SUMS"

# What is published is readable by all, whatever the umask.
find "$repo" \( -type d -exec chmod 755 {} + \) -o \( -type f -exec chmod 644 {} + \)
echo "repo: $repo"
