#!/usr/bin/env bash
# package.sh programs BUILD_DIR [OUT [FORMAT...]]
# package.sh keys BUILD_DIR OUT URL KEYS.gpg KEYS.asc
# package.sh rpm OUT ROOT
#
# The one packager (docs/packages.md): a build's .deb, .rpm and .tar.gz
# (into OUT, by default the packages directory); the keyring and release
# packages that bring KEYS and the repository at URL to a system; or the
# .rpm of ROOT, as the caller's pkg_ variables describe it.
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

# What describes a package, each as pkg_NAME, and what else the templates in
# packaging/ fill in, as @NAME@: nothing else may be named there.
#   name version release     the package; the .rpm's version and release
#   deb_version release_tag  the .deb's version; what ends each .rpm
#                            changelog entry's version (.glibc2.34)
#   arch rpmarch multiarch   amd64 or all; noarch or empty; foreign or empty
#   maintainer homepage      the changelog's maintainer; the project's page
#   summary description      packaging/*.description's first line; the rest
#   license license_file     its name as rpm gives it; the file itself
#   group provides conflicts autoprov files changelog
#                            the .rpm's Group, what it provides and conflicts
#                            with, whether rpm says what it provides, its
#                            %files (empty: every file), the Debian changelog
#   url codename dist fingerprints date copyright license_text
#                            the repository, the Debian release; a key
#                            package's changelog; the copyright file's
pkg_variables="name version release deb_version release_tag arch rpmarch multiarch maintainer homepage summary
    description license license_file group provides conflicts autoprov files changelog url codename dist
    fingerprints date copyright license_text"

# fill TEMPLATE [comments]: packaging/TEMPLATE, each @NAME@ replaced by
# $pkg_NAME, a field or tag left empty dropped, and its comments left out
# unless asked. It fails, naming the template and the name, on a NAME
# that is not one of pkg_variables or that is not set.
fill() {
    local template=$here/../packaging/$1 name var values=()
    for name in $(grep -v '^#' "$template" | grep -o '@[a-z_]*@' | tr -d @ | sort -u); do
        var=pkg_$name
        [[ " ${pkg_variables//$'\n'/ } " == *" $name "* ]] || die "packaging/$1 names @$name@, which is not a package's variable"
        [ -n "${!var+set}" ] || die "packaging/$1 names @$name@, and pkg_$name is not set"
        values+=("$var=${!var}")
    done
    env "${values[@]}" awk -v comments="${2:-}" '/^#/ && comments == "" { next }
        { out = ""
          while (match($0, /@[a-z_]+@/)) {
              out = out substr($0, 1, RSTART - 1) ENVIRON["pkg_" substr($0, RSTART + 1, RLENGTH - 2)]
              $0 = substr($0, RSTART + RLENGTH)
          }
          $0 = out $0 }
        !/^[A-Za-z-]+: *$/' "$template"
}

# described NAME: pkg_summary and pkg_description, packaging/NAME.description filled in.
described() {
    local text
    text=$(fill "$1.description") || exit 1
    pkg_summary=${text%%$'\n'*} pkg_description=${text#*$'\n'}
}

# settle TREE: the modes and times the package gives its files, whatever the
# umask and the clock: directories and executables 0755, the rest 0644, and
# every timestamp SOURCE_DATE_EPOCH.
settle() {
    chmod -R u=rwX,go=rX "$1"
    find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

# deb_of TREE OUT: the .deb of TREE, with its copyright file, the changelog
# by the name a Debian revision gives it, and its lintian overrides: every
# package's, and packaging/NAME.lintian-overrides where it has its own.
deb_of() {
    local tree=$1 doc=$1/usr/share/doc/$pkg_name src=$work/src-$pkg_name exes
    mkdir -p "$doc" "$tree/usr/share/lintian/overrides" "$src/debian" "$tree/DEBIAN"
    # Debian's copyright format: the line after the licence's title, and
    # its text after the copyright line, a blank line as ".".
    pkg_copyright=$(sed -n 's/^Copyright (c) //p' "$pkg_license_file") \
        pkg_license_text=$(awk 'NR > 4 { print ($0 == "" ? " ." : " " $0) }' "$pkg_license_file" | sed '${/^ \.$/d}') \
        fill copyright.in >"$doc/copyright"
    gzip -9nc "$pkg_changelog" >"$doc/changelog.Debian.gz"
    { fill lintian-overrides.in comments && cat "$here/../packaging/$pkg_name.lintian-overrides" 2>/dev/null || true; } \
        >"$tree/usr/share/lintian/overrides/$pkg_name"
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

# rpm_of TREE OUT: the .rpm of TREE, with the licence where rpm marks it
# %license, and the RPM changelog written from the Debian one.
rpm_of() {
    local top=$work/rpm-$pkg_name
    mkdir -p "$top"
    [ -z "$pkg_license_file" ] ||
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
    [ -n "$pkg_changelog" ] || return 0
    dpkg-parsechangelog -l "$pkg_changelog" --all --format rfc822 | awk -v tag="$pkg_release_tag" '
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

# project PACKAGE: what every package of the project shares, and nothing
# that one package would need to set otherwise.
project() {
    export SOURCE_DATE_EPOCH=$epoch
    pkg_name=$1 pkg_maintainer=$maintainer pkg_homepage=$homepage pkg_license_file=$source_dir/LICENSE pkg_license=MIT
    pkg_multiarch="" pkg_provides="" pkg_conflicts="" pkg_files="" pkg_autoprov="" pkg_release_tag=""
}

# programs BUILD_DIR [OUT [FORMAT...]]
programs() {
    local build=$1 stage=$work/stage formats=("${@:3}") format exe page out
    [ ${#formats[@]} -gt 0 ] || formats=(deb rpm tgz)
    . "$build/facts.sh"
    out=${2:-$packages_dir}
    project "$package"
    pkg_arch=amd64 pkg_deb_version=$version pkg_version=${version%-*} pkg_release=${version##*-}.glibc$floor
    pkg_release_tag=.glibc$floor pkg_summary=$summary pkg_description=$description pkg_changelog=$source_dir/changelog
    pkg_conflicts=$conflicts pkg_group=Applications/System pkg_autoprov=no
    # Every generation answers to the name libcwork: where a repository
    # holds only another generation's package, that one provides it.
    [ "$package" = libcwork ] || pkg_provides="libcwork (= $version)"
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
    local out=$2 codename tree
    . "$1/facts.sh"
    project ""
    pkg_url=${3%/} pkg_arch=all pkg_fingerprints=$(key_fingerprints --show-keys "$4" | sed 's/^/    /') pkg_codename=""
    pkg_date=$(date -u -R -d "@$epoch") pkg_version=$version
    mkdir -p "$out"
    for codename in $releases; do
        tree=$work/keyring-$codename
        mkdir -p "$tree/usr/share/keyrings" "$tree/etc/apt/sources.list.d"
        cp "$4" "$tree/usr/share/keyrings/libcwork-archive-keyring.gpg"
        pkg_codename=$codename
        fill libcwork.sources.in >"$tree/etc/apt/sources.list.d/libcwork.sources"
        pkg_version=$version+$codename pkg_dist=$codename fill keys.changelog.in >"$work/changelog"
        described "$keyring_package"
        pkg_name=$keyring_package pkg_deb_version=$version+$codename pkg_multiarch=foreign pkg_changelog=$work/changelog \
            deb_of "$tree" "$out/$(keyring_name "$version" "$codename")"
    done
    tree=$work/release
    mkdir -p "$tree/etc/yum.repos.d" "$tree/etc/pki/rpm-gpg"
    fill libcwork.repo.in >"$tree/etc/yum.repos.d/libcwork.repo"
    cp "$5" "$tree/etc/pki/rpm-gpg/RPM-GPG-KEY-libcwork"
    pkg_dist=unstable fill keys.changelog.in >"$work/changelog"
    described "$release_package"
    pkg_name=$release_package pkg_version=${version%-*} pkg_release=${version##*-} pkg_group="System Environment/Base" \
        pkg_changelog=$work/changelog rpm_of "$tree" "$out/"
}

main() {
    case ${1:-} in
    programs) shift && programs "$@" ;;
    keys) shift && keys "$@" ;;
    rpm) mkdir -p "$2" "$work/tree" && cp -a "$3/." "$work/tree" && rpm_of "$work/tree" "$2/" ;;
    *) die "usage: package.sh programs BUILD_DIR [OUT [FORMAT...]] | keys BUILD_DIR OUT URL KEYS.gpg KEYS.asc | rpm OUT ROOT" ;;
    esac
}
main "$@"
