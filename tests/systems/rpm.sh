#!/usr/bin/env bash
# rpm.sh RUNTIME: an rpm root of that glibc runtime, its loader and libc
# packaged by rpmbuild and installed with dnf, where libcwork is installed
# by dnf from the repositories, every signature check on.
. "$(dirname "$0")/lib.sh"
runtime=$1 root=$work/rpm-$1 pm=rpm refused="" dnf_repo=""
glibc=$(glibc_of "$runtime")
# It reads the repository of the newest RHEL release whose glibc its own meets.
el=rhel_for_${runtime//-/_} && el=${!el}
expect=$(expected "$el") where="rpm root, glibc $glibc ($runtime)"
needs_tool dnf rpmbuild

# glibc_rpm: the loader and libc of the glibc runtime as the rpm glibc
# $glibc, in $work/rpmbuild.
glibc_rpm() {
    local tree=$debian_dir/$runtime-runtime payload=$work/payload file dest
    # The loader and libc, with the links that lead to them, laid out under
    # /usr as on RHEL, where /lib and /lib64 lead into /usr.
    while IFS= read -r -d '' file; do
        dest=$payload/usr/${file#./}
        dest=${dest/\/usr\/usr\///usr/}
        mkdir -p "$(dirname "$dest")" && cp -a "$tree/$file" "$dest"
    done < <(cd "$tree" && find . \( -name 'ld-*.so*' -o -name libc.so.6 -o -name 'libc-*.so' \) \( -type f -o -type l \) -print0)
    mkdir -p "$payload/usr/bin" "$payload/usr/share/man/man1" "$payload/usr/share/licenses" \
        "$payload/etc/pki/rpm-gpg" "$payload/etc/yum.repos.d" &&
        ln -s usr/lib "$payload/lib" && ln -s usr/lib64 "$payload/lib64"
    # rpm's generator provides the libraries and their symbol versions;
    # rtld(GNU_HASH) it cannot see, and every RHEL and Fedora glibc states it.
    SOURCE_DATE_EPOCH=$epoch pkg_name=glibc pkg_version=$glibc pkg_release=0.${runtime//-/_} pkg_arch=amd64 \
        pkg_summary="The loader and C library of glibc $glibc, for a test root" pkg_license=LGPL-2.1-or-later \
        pkg_provides="rtld(GNU_HASH)" pkg_autoprov=yes pkg_files=$'/etc\n/lib\n/lib64\n/usr' pkg_group="" \
        pkg_homepage="" pkg_maintainer="" pkg_conflicts="" pkg_changelog="" pkg_release_tag="" pkg_license_file="" \
        pkg_description="The loader and C library of the $runtime glibc runtime, and the
directories the packages installed beside them need." \
        "$source_dir/scripts/package.sh" rpm "$work/rpmbuild" "$payload"
}

# dnf_el ARG...: dnf, from the repository of the root's RHEL release;
# dnf_to VERSION ARG...: that takes $expect to VERSION.
dnf_el() { must "dnf $*" dnf_in "$root" "$el" "$@"; }
dnf_to() { dnf_el "${@:2}" && is_at "$1"; }

# From a repository that offers a generation this glibc cannot run, dnf
# refuses libcwork, naming the glibc version it needs; from its own, it
# installs what that offers, which runs.
from_repository() {
    local name build
    for name in $rhels; do
        for build in "${builds[@]}"; do
            . "$build/facts.sh"
            offers "$name" "$package" && ! fits "$runtime" "$package" || continue
            refuses "dnf install libcwork from rpm/$name on glibc $glibc" "libc.so.6(GLIBC_$floor)(64bit)" \
                dnf_in "$root" "$name" install libcwork
            refused="; from rpm/$name, dnf refuses $package: it needs libc.so.6(GLIBC_$floor)(64bit)"
            break 2
        done
    done
    dnf_el install libcwork
    installs "dnf install libcwork"
    programs_run /usr/bin
    say "from rpm/$el, dnf installs $expect, which runs$refused"
    purged
}

# The published tree over two releases: dnf lists every version, upgrades
# from the first to the second, and goes back.
from_published() {
    dnf_repo=$work/published-second
    dnf_el --showduplicates list "$expect"
    [ "$(grep -c "^$expect\.x86_64 " "$out")" = 3 ] || fail "dnf does not list the three versions of $expect:"$'\n'"$(cat "$out")"
    dnf_to "${first%-*}" install "$expect-${first%-*}"
    dnf_to "${second%-*}" upgrade
    dnf_to "${first%-*}" downgrade "$expect"
    programs_run /usr/bin
    dnf_repo=
    say "from the published rpm/$el, dnf lists every version of $expect, upgrades to ${second%-*} and downgrades to ${first%-*}"
    purged
}

# release_dnf TREE REPO ARG...: dnf ARG..., by the .repo and key the
# release package installed, its repository REPO read from TREE. (dnf
# --installroot reads file: URLs on this machine, not in the root: baseurl
# and gpgkey are pointed at where those are here.)
release_dnf() {
    local number=number_$el
    unshare -n dnf --installroot="$root" --releasever="${!number}" --noplugins --assumeyes \
        --setopt=reposdir="$root/etc/yum.repos.d" --setopt=skip_if_unavailable=False \
        --setopt="$2.baseurl=file://$work/$1/rpm/$el${2#libcwork}/" \
        --setopt="$2.gpgkey=file://$root/etc/pki/rpm-gpg/RPM-GPG-KEY-libcwork" "${@:3}"
}
# through_release_package VERSION TREE ACTION: dnf ACTION libcwork from
# TREE, through the release package, takes $expect to VERSION.
through_release_package() {
    must "dnf $3 libcwork through the release package, from $2" release_dnf "$2" libcwork "$3" libcwork
    is_at "$1"
}

# The release package of the rotation's first release, installed from its
# file: its .repo and keys bring libcwork from that release, and after the
# switch dnf upgrades from the release signed by the next key alone.
release_package() {
    must "dnf install of the release package" dnf_in "$root" "" install "$work/published-rotating/$(release_alias)"
    grep -qx 'baseurl=file:/srv/libcwork/rpm/el$releasever/' "$root/etc/yum.repos.d/libcwork.repo" &&
        grep -qx 'gpgkey=file:///etc/pki/rpm-gpg/RPM-GPG-KEY-libcwork' "$root/etc/yum.repos.d/libcwork.repo" ||
        fail "libcwork.repo names another place:"$'\n'"$(cat "$root/etc/yum.repos.d/libcwork.repo")"
    through_release_package "${third%-*}" published-rotating install
    through_release_package "${fourth%-*}" published-fourth upgrade
    # Its -rebuilt repository, switched on as docs/packages.md says (by
    # enabled= in the .repo, libcwork's off): dnf reads that, signed. The
    # .repo is put back after, as rpm keeps one a user changed (.rpmsave).
    cp -p "$root/etc/yum.repos.d/libcwork.repo" "$work/libcwork.repo"
    sed -i -e '/^\[libcwork\]$/a enabled=0' -e '/^\[libcwork-rebuilt\]$/,$s/^enabled=0$/enabled=1/' "$root/etc/yum.repos.d/libcwork.repo"
    grep -qx 'baseurl=file:/srv/libcwork/rpm/el$releasever-rebuilt/' "$root/etc/yum.repos.d/libcwork.repo" &&
        [ "$(grep -c '^enabled=' "$root/etc/yum.repos.d/libcwork.repo")" = 2 ] ||
        fail "libcwork.repo, switched:"$'\n'"$(cat "$root/etc/yum.repos.d/libcwork.repo")"
    must "dnf makecache from the -rebuilt repository, through the release package" \
        release_dnf published-fourth libcwork-rebuilt makecache
    must "dnf repolist" release_dnf published-fourth libcwork-rebuilt repolist
    grep -q "^libcwork-rebuilt " "$out" && ! grep -q "^libcwork " "$out" ||
        fail "dnf does not have the -rebuilt repository alone:"$'\n'"$(cat "$out")"
    mv "$work/libcwork.repo" "$root/etc/yum.repos.d/libcwork.repo"
    say "the release package of the rotation brings $expect ${third%-*}" \
        "and, after the switch to the next key, dnf upgrade ${fourth%-*}; switched to $el-rebuilt, as the docs say, dnf reads that"
    purged
}

[ -d "$debian_dir/$runtime-runtime" ] || fail "no glibc runtime in $debian_dir/$runtime-runtime: make check fetches it"
for tree in repo published-second published-rotating published-fourth; do kept "$tree" "$work/$tree"; done
must "rpmbuild of glibc $glibc" glibc_rpm
mkdir -p "$root/proc" "$root/dev"
must "dnf install glibc $glibc" dnf_in "$root" "" install "$work/rpmbuild"/glibc-*.rpm
glibc_is "/$(cd "$root" && find usr -name libc.so.6 | head -n 1)"
system_files >"$root.before"
from_repository
from_published
release_package
