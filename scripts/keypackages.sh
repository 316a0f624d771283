#!/usr/bin/env bash
# keypackages.sh OUT DEB EPOCH URL HOMEPAGE KEYS.gpg KEYS.asc CODENAME...: the
# packages that bring the repository's keys and its source to a system, as
# vendors publish theirs, so that a new key reaches users with their
# ordinary upgrades:
#
#   libcwork-archive-keyring_VERSION+CODENAME_all.deb, one per Debian
#       release: the keys as /usr/share/keyrings/libcwork-archive-keyring.gpg
#       and the source /etc/apt/sources.list.d/libcwork.sources (deb822,
#       Signed-By that file, that release's dist of URL/apt);
#   libcwork-release-UPSTREAM-REVISION.noarch.rpm: /etc/yum.repos.d/libcwork.repo
#       (URL/rpm/el$releasever, every signature check on) and the keys as
#       /etc/pki/rpm-gpg/RPM-GPG-KEY-libcwork.
#
# DEB is the release's own libcwork .deb, whose version (UPSTREAM-REVISION)
# and copyright they take, and EPOCH the release's date: the same keys,
# release and URL give the same bytes.
set -euo pipefail
out=$1 deb=$2 epoch=$3 url=${4%/} homepage=$5 gpg=$6 asc=$7
shift 7
top=$(cd "$(dirname "$0")/.." && pwd)
export SOURCE_DATE_EPOCH=$epoch LC_ALL=C TZ=UTC
umask 022
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
version=$(dpkg-deb -f "$deb" Version)
dpkg-deb --fsys-tarfile "$deb" | tar -xO --wildcards './usr/share/doc/*/copyright' >"$work/copyright"
maintainer="The libcwork developers <libcwork@example.org>"
fingerprints=$(gpg --batch --show-keys --with-colons "$gpg" 2>/dev/null |
    awk -F: '$1 == "pub" { p = 1 } $1 == "fpr" && p { print $10; p = 0 }' | xargs)

# ---- The .deb, one per Debian release ----
for codename in "$@"; do
    package=libcwork-archive-keyring
    root=$work/$codename
    doc=$root/usr/share/doc/$package
    mkdir -p "$root/DEBIAN" "$root/usr/share/keyrings" "$root/etc/apt/sources.list.d" "$doc" \
        "$root/usr/share/lintian/overrides"
    cp "$gpg" "$root/usr/share/keyrings/$package.gpg"
    printf '%s\n' "Types: deb" "URIs: $url/apt" "Suites: $codename" "Components: main" \
        "Signed-By: /usr/share/keyrings/$package.gpg" >"$root/etc/apt/sources.list.d/libcwork.sources"
    cp "$work/copyright" "$doc/copyright"
    printf '%s\n' "$package ($version+$codename) $codename; urgency=medium" "" \
        "  * The repository's keys:" "$(printf '    %s\n' $fingerprints)" "" \
        " -- $maintainer  $(date -u -R -d "@$epoch")" | gzip -9n >"$doc/changelog.Debian.gz"
    # lintian speaks for Debian's own archive, where a package may not add
    # apt sources; adding this repository's is what this package is for.
    printf '%s\n' "# Published by the project itself, not uploaded to Debian: no ITP bug to close." \
        "$package: initial-upload-closes-no-bugs [usr/share/doc/$package/changelog.Debian.gz:1]" \
        "# A vendor's keyring package: adding the vendor's apt source is its purpose." \
        "$package: package-installs-apt-sources [etc/apt/sources.list.d/libcwork.sources]" \
        >"$root/usr/share/lintian/overrides/$package"
    echo "/etc/apt/sources.list.d/libcwork.sources" >"$root/DEBIAN/conffiles"
    printf '%s\n' "Package: $package" "Version: $version+$codename" "Architecture: all" \
        "Maintainer: $maintainer" "Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)" \
        "Section: misc" "Priority: optional" "Multi-Arch: foreign" "Homepage: $homepage" \
        "Description: keys and apt source of the libcwork repository" \
        " The OpenPGP keys that sign the libcwork package repository, and the apt" \
        " source that installs libcwork from its Debian $codename dist. Upgraded with" \
        " the repository's other packages, it brings a new key before the" \
        " repository is signed by it." >"$root/DEBIAN/control"
    (cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\n' | sort | xargs md5sum) >"$root/DEBIAN/md5sums"
    find "$root" -type d -exec chmod 755 {} + -o -type f -exec chmod 644 {} +
    dpkg-deb --root-owner-group -Zxz --build "$root" "$out/${package}_$version+${codename}_all.deb" >/dev/null
done

# ---- The .rpm ----
upstream=${version%-*} revision=${version##*-}
rpmdir=$work/rpm
mkdir -p "$rpmdir/files"
printf '%s\n' "[libcwork]" "name=libcwork" "baseurl=$url/rpm/el\$releasever/" "gpgcheck=1" "repo_gpgcheck=1" \
    "gpgkey=file:///etc/pki/rpm-gpg/RPM-GPG-KEY-libcwork" "metadata_expire=6h" >"$rpmdir/files/libcwork.repo"
cp "$asc" "$rpmdir/files/RPM-GPG-KEY-libcwork"
cp "$top/LICENSE" "$rpmdir/files/LICENSE"
cat >"$rpmdir/libcwork-release.rpmbuild" <<BUILD
%define use_source_date_epoch_as_buildtime 1
%define clamp_mtime_to_source_date_epoch 1
%define _buildhost reproducible
%define _build_id_links none
Name: libcwork-release
Version: $upstream
Release: $revision
Summary: Keys and repository definition of the libcwork repository
License: MIT
Group: System Environment/Base
URL: $homepage
BuildArch: noarch
Packager: $maintainer
%description
The OpenPGP keys that sign the libcwork package repository, and the
repository definition that installs libcwork from it. Upgraded with the
repository's other packages, it brings a new key before the repository is
signed by it.
%install
install -D -m 644 "$rpmdir/files/libcwork.repo" %{buildroot}/etc/yum.repos.d/libcwork.repo
install -D -m 644 "$rpmdir/files/RPM-GPG-KEY-libcwork" %{buildroot}/etc/pki/rpm-gpg/RPM-GPG-KEY-libcwork
install -D -m 644 "$rpmdir/files/LICENSE" %{buildroot}/usr/share/licenses/libcwork-release/LICENSE
%files
%config(noreplace) /etc/yum.repos.d/libcwork.repo
%config(noreplace) /etc/pki/rpm-gpg/RPM-GPG-KEY-libcwork
%dir /usr/share/licenses/libcwork-release
%license /usr/share/licenses/libcwork-release/LICENSE
%changelog
* $(date -u -d "@$epoch" '+%a %b %d %Y') $maintainer - $version
- The repository's keys: $fingerprints.
BUILD
rpmbuild -bb --quiet --define "_topdir $rpmdir/top" "$rpmdir/libcwork-release.rpmbuild" >"$work/rpmbuild.log" 2>&1 || {
    cat "$work/rpmbuild.log" >&2
    exit 1
}
cp "$rpmdir/top/RPMS/noarch/libcwork-release-$version.noarch.rpm" "$out/"
