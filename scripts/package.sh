#!/usr/bin/env bash
# package.sh: the one packager. Every package the project makes is a tree
# laid out as it installs, described by pkg_* variables, and made by the
# distributions' own tools from the templates in packaging/: a .deb by
# dpkg-shlibdeps, dpkg-gencontrol and dpkg-deb from control.in, an .rpm by
# rpmbuild from libcwork.rpm.in, a .tar.gz by tar.
#
#   package.sh programs BUILD_DIR OUT [FORMAT...]
#       a build's .deb, .rpm and .tar.gz (or the FORMATs named: deb rpm tgz)
#   package.sh keys BUILD_DIR OUT URL KEYS.gpg KEYS.asc
#       the packages that bring the repository's keys and its source to a
#       system, as vendors publish theirs, so that a new key reaches users
#       with their ordinary upgrades: libcwork-archive-keyring_V+CODENAME_all.deb
#       for each Debian release (the keys in /usr/share/keyrings, a deb822
#       source of that release's dist of URL/apt, Signed-By them), and
#       libcwork-release-V.noarch.rpm (/etc/yum.repos.d/libcwork.repo, every
#       signature check on, and the keys in /etc/pki/rpm-gpg). V is the
#       build's version.
#   package.sh rpm OUT ROOT
#       the .rpm of ROOT as the caller's pkg_* variables describe it
#
# The same tree, description and SOURCE_DATE_EPOCH give the same bytes,
# whatever the umask, the locale, the time zone or the path.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
me=package.sh
umask 022
export LC_ALL=C TZ=UTC
# rpmbuild's own scripts cannot take a path with spaces: its work is done
# in a temporary directory whose path has none.
tmp=${TMPDIR:-/tmp}
[[ $tmp != *[^A-Za-z0-9/._+-]* ]] || tmp=/tmp
work=$(mktemp -d "$tmp/libcwork-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

# fill TEMPLATE: the template with each @name@ replaced by $pkg_name, its
# comments left out, and a field or tag that is left empty dropped.
fill() {
    awk '/^#/ { next }
        { out = ""
          while (match($0, /@[a-z_]+@/)) {
              out = out substr($0, 1, RSTART - 1) ENVIRON["pkg_" substr($0, RSTART + 1, RLENGTH - 2)]
              $0 = substr($0, RSTART + RLENGTH)
          }
          $0 = out $0 }
        !/^[A-Za-z-]+: *$/' "$here/../packaging/$1"
}

# settle TREE: the modes and times the package gives its files, whatever the
# umask and the clock: directories and executables 0755, the rest 0644, and
# every timestamp SOURCE_DATE_EPOCH.
settle() {
    chmod -R u=rwX,go=rX "$1"
    find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

# deb_of TREE OUT: the .deb of TREE, with the licence in Debian's
# machine-readable copyright format, the changelog by the name a Debian
# revision gives it, and the lintian override every package here needs.
deb_of() {
    local tree=$1 doc=$1/usr/share/doc/$pkg_name src=$work/src-$pkg_name exes
    mkdir -p "$doc" "$tree/usr/share/lintian/overrides" "$src/debian" "$tree/DEBIAN"
    copyright >"$doc/copyright"
    gzip -9nc "$pkg_changelog" >"$doc/changelog.Debian.gz"
    # lintian expects a first upload to Debian to close its ITP bug; these
    # packages are published by the project, not uploaded to Debian.
    printf '%s\n' "# Published by the project itself, not uploaded to Debian: no ITP bug to close." \
        "$pkg_name: initial-upload-closes-no-bugs [usr/share/doc/$pkg_name/changelog.Debian.gz:1]" \
        ${pkg_lintian:+"$pkg_lintian"} >"$tree/usr/share/lintian/overrides/$pkg_name"
    (cd "$tree" && find . -path './etc/*' -type f -printf '/%P\n' | sort) >"$tree/DEBIAN/conffiles"
    [ -s "$tree/DEBIAN/conffiles" ] || rm "$tree/DEBIAN/conffiles"
    settle "$tree"
    (cd "$tree" && find . -path ./DEBIAN -prune -o -type f -printf '%P\n' | sort | xargs md5sum) >"$tree/DEBIAN/md5sums"
    pkg_description=$(sed 's/^$/./; s/^/ /' <<<"$pkg_description") fill control.in >"$src/debian/control"
    cp "$pkg_changelog" "$src/debian/changelog"
    echo "shlibs:Pre-Depends=" >"$src/debian/substvars"
    mapfile -t exes < <(find "$tree/usr/bin" -type f 2>/dev/null)
    [ ${#exes[@]} = 0 ] || (cd "$src" && dpkg-shlibdeps -O -dPre-Depends "${exes[@]}") >"$src/debian/substvars"
    (cd "$src" && dpkg-gencontrol -p"$pkg_name" -v"$pkg_deb_version" -P"$tree" -Tdebian/substvars -fdebian/files)
    chmod 644 "$tree/DEBIAN"/*
    touch -d "@$SOURCE_DATE_EPOCH" "$tree/DEBIAN" "$tree/DEBIAN"/*
    dpkg-deb --root-owner-group -Zxz --build "$tree" "$2" >/dev/null
}

# copyright: $pkg_license_file in Debian's copyright format, as Expat.
copyright() {
    printf '%s\n' "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" \
        "Upstream-Name: libcwork" "" "Files: *" \
        "Copyright: $(sed -n 's/^Copyright (c) //p' "$pkg_license_file")" "License: Expat" "" "License: Expat"
    # The text after the title and the copyright line, with a blank line as ".".
    awk 'NR > 4 { print ($0 == "" ? " ." : " " $0) }' "$pkg_license_file" | sed '${/^ \.$/d}'
}

# rpm_of TREE OUT: the .rpm of TREE, with the licence where rpm marks it
# %license, and the RPM changelog written from the Debian one.
rpm_of() {
    local top=$work/rpm-$pkg_name
    mkdir -p "$top"
    [ -z "${pkg_license_file:-}" ] ||
        { mkdir -p "$1/usr/share/licenses/$pkg_name" && cp "$pkg_license_file" "$1/usr/share/licenses/$pkg_name/LICENSE"; }
    settle "$1"
    mv "$1" "$top/root"
    pkg_files=${pkg_files:-$(rpm_files "$top/root")} pkg_changelog=$(rpm_changelog) \
        pkg_rpmarch=$([ "$pkg_arch" != all ] || echo noarch) fill libcwork.rpm.in >"$top/$pkg_name.rpmbuild"
    rpmbuild -bb --quiet --target x86_64 --define "_topdir $top" "$top/$pkg_name.rpmbuild" >"$top/log" 2>&1 ||
        die "rpmbuild could not make $pkg_name:"$'\n'"$(cat "$top/log")"
    mv "$top"/RPMS/*/*.rpm "$2"
}

# rpm_files ROOT: the %files of ROOT: every file, the licence marked so and
# every file under /etc a configuration file that an upgrade leaves as the
# administrator changed it; of the directories, only the package's own.
rpm_files() {
    (cd "$1" && find . -mindepth 1 -type d -name "$pkg_name" -printf '/%P %%dir\n' -o ! -type d -printf '/%P\n') |
        sort | awk '$2 { print $2, $1; next }
            /^\/usr\/share\/licenses\// { print "%license", $1; next }
            /^\/etc\// { print "%config(noreplace)", $1; next } { print }'
}

# rpm_changelog: $pkg_changelog's entries in RPM's format, the release tag
# of this package on each version.
rpm_changelog() {
    [ -n "${pkg_changelog:-}" ] || return 0
    dpkg-parsechangelog -l "$pkg_changelog" --all --format rfc822 | awk -v tag="${pkg_release_tag:-}" '
        /^Version: / { version = $2 tag }
        /^Maintainer: / { sub(/^Maintainer: /, ""); who = $0 }
        /^Timestamp: / { date = "date -u -d @" $2 " +\"%a %b %d %Y\""; date | getline day; close(date) }
        /^Changes:/ { changes = 1; n = 0; next }
        changes && /^ / { if (++n > 2) { sub(/^   \* /, "- ") || sub(/^     /, "  "); lines = lines $0 "\n" } next }
        /^$/ && changes { printf "%s* %s %s - %s\n%s", sep, day, who, version, lines; sep = "\n"; changes = 0; lines = "" }
        END { if (changes) printf "%s* %s %s - %s\n%s", sep, day, who, version, lines }'
}

# tgz_of TREE OUT: the .tar.gz of TREE's /usr, under a directory of the
# archive's own name: entries by name, owned by root.
tgz_of() {
    local top=${2##*/}
    top=${top%.tar.gz}
    mkdir -p "$work/tgz/$top/share/doc/$pkg_name"
    cp -a "$1/usr/." "$work/tgz/$top/"
    cp "$pkg_license_file" "$work/tgz/$top/share/doc/$pkg_name/LICENSE"
    settle "$work/tgz"
    tar --create --directory "$work/tgz" --sort=name --format=gnu --owner=root:0 --group=root:0 \
        --mtime="@$SOURCE_DATE_EPOCH" -- "$top" | gzip -9n >"$2"
}

# programs BUILD_DIR OUT [FORMAT...]
programs() {
    local build=$1 out=$2 stage=$work/stage formats=("${@:3}") format exe page
    [ ${#formats[@]} -gt 0 ] || formats=(deb rpm tgz)
    . "$build/facts.sh"
    export SOURCE_DATE_EPOCH=$epoch pkg_maintainer=$maintainer pkg_homepage=$homepage pkg_name=$package pkg_arch=amd64 \
        pkg_deb_version=$version pkg_version=${version%-*} pkg_release=${version##*-}.glibc$floor \
        pkg_release_tag=.glibc$floor pkg_summary=$summary pkg_description=$description pkg_license_file=$source_dir/LICENSE \
        pkg_changelog=$source_dir/changelog pkg_conflicts=$conflicts pkg_group=Applications/System pkg_autoprov=no \
        pkg_license=MIT
    # Every generation answers to the name libcwork: where a repository
    # holds only another generation's package, that one provides it.
    [ "$package" = libcwork ] || export pkg_provides="libcwork (= $version)"
    DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null
    # As the distributions' tools do: executables stripped of their symbols,
    # .comment and .note (the build keeps them), man pages gzip -9n, so that
    # no name or time is in the header.
    for exe in "$stage"/usr/bin/*; do strip --remove-section=.comment --remove-section=.note "$exe"; done
    for page in "$stage"/usr/share/man/man*/*; do gzip -9n "$page"; done
    mkdir -p "$out"
    for format in "${formats[@]}"; do
        rm -rf "$work/tree" && cp -a "$stage" "$work/tree"
        case $format in
        deb) deb_of "$work/tree" "$out/$deb" ;;
        rpm) pkg_provides=${pkg_provides:+libcwork = $pkg_version-$pkg_release} rpm_of "$work/tree" "$out/$rpm" ;;
        tgz) tgz_of "$work/tree" "$out/$tgz" ;;
        *) die "no such format: $format" ;;
        esac
    done
}

# keys BUILD_DIR OUT URL KEYS.gpg KEYS.asc
keys() {
    local out=$2 url=${3%/} codename fingerprints tree
    . "$1/facts.sh"
    fingerprints=$(gpg --batch --show-keys --with-colons "$4" 2>/dev/null |
        awk -F: '$1 == "pub" { p = 1 } $1 == "fpr" && p { print "    " $10; p = 0 }')
    export SOURCE_DATE_EPOCH=$epoch pkg_maintainer=$maintainer pkg_homepage=$homepage pkg_license_file=$source_dir/LICENSE pkg_license=MIT pkg_arch=all
    mkdir -p "$out"
    for codename in $releases; do
        tree=$work/keyring-$codename
        mkdir -p "$tree/usr/share/keyrings" "$tree/etc/apt/sources.list.d"
        cp "$4" "$tree/usr/share/keyrings/libcwork-archive-keyring.gpg"
        printf '%s\n' "Types: deb" "URIs: $url/apt" "Suites: $codename" "Components: main" \
            "Signed-By: /usr/share/keyrings/libcwork-archive-keyring.gpg" >"$tree/etc/apt/sources.list.d/libcwork.sources"
        key_changelog "$version+$codename" "$codename" "$fingerprints"
        # lintian speaks for Debian's own archive, where a package may not add
        # apt sources; adding this repository's is what this package is for.
        pkg_name=libcwork-archive-keyring pkg_deb_version=$version+$codename pkg_multiarch=foreign \
            pkg_changelog=$work/changelog pkg_summary="keys and apt source of the libcwork repository" \
            pkg_lintian="# A vendor's keyring package: adding the vendor's apt source is its purpose."$'\n'"libcwork-archive-keyring: package-installs-apt-sources [etc/apt/sources.list.d/libcwork.sources]" \
            pkg_description="The OpenPGP keys that sign the libcwork package repository, and the apt
source that installs libcwork from its Debian $codename dist. Upgraded with
the repository's other packages, it brings a new key before the
repository is signed by it." deb_of "$tree" "$out/libcwork-archive-keyring_$version+${codename}_all.deb"
    done
    tree=$work/release
    mkdir -p "$tree/etc/yum.repos.d" "$tree/etc/pki/rpm-gpg"
    printf '%s\n' "[libcwork]" "name=libcwork" "baseurl=$url/rpm/el\$releasever/" "gpgcheck=1" "repo_gpgcheck=1" \
        "gpgkey=file:///etc/pki/rpm-gpg/RPM-GPG-KEY-libcwork" "metadata_expire=6h" >"$tree/etc/yum.repos.d/libcwork.repo"
    cp "$5" "$tree/etc/pki/rpm-gpg/RPM-GPG-KEY-libcwork"
    key_changelog "$version" unstable "$fingerprints"
    pkg_name=libcwork-release pkg_version=${version%-*} pkg_release=${version##*-} pkg_group="System Environment/Base" \
        pkg_changelog=$work/changelog pkg_summary="Keys and repository definition of the libcwork repository" \
        pkg_description="The OpenPGP keys that sign the libcwork package repository, and the
repository definition that installs libcwork from it. Upgraded with the
repository's other packages, it brings a new key before the repository is
signed by it." rpm_of "$tree" "$out/"
}

# key_changelog VERSION DIST FINGERPRINTS: the one entry of a key
# package's changelog, which names the keys it brings.
key_changelog() {
    printf '%s\n' "libcwork ($1) $2; urgency=medium" "" "  * The repository's keys:" "$3" "" \
        " -- $maintainer  $(date -u -R -d "@$epoch")" >"$work/changelog"
}

main() {
    case ${1:-} in
    programs) shift && programs "$@" ;;
    keys) shift && keys "$@" ;;
    rpm) mkdir -p "$2" "$work/tree" && cp -a "$3/." "$work/tree" && rpm_of "$work/tree" "$2/" ;;
    *) die "usage: package.sh programs BUILD_DIR OUT [FORMAT...] | keys BUILD_DIR OUT URL KEYS.gpg KEYS.asc | rpm OUT ROOT" ;;
    esac
}
main "$@"
