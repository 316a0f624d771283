#!/usr/bin/env bash
# rootbuild.sh BUILD_DIR SOURCE.tar.gz OUT: every generation's packages,
# built from the source archive (scripts/dist.sh) in a clean root of the
# build release (generations.txt), into OUT, which holds them alone.
#
# The root is made by mmdebstrap from the signed mirror with only what the
# build needs, and kept in the download cache by its hash (scripts/debfetch.sh);
# each build unpacks it afresh. Nothing of the caller reaches the build: it
# runs offline, as a user of its own, in /build, under umask 022, with a PATH,
# locale and time zone of its own and no other environment. The sysroots
# come in already fetched and verified, from BUILD_DIR's build tree. So the
# same source gives the same bytes on any maintainer's machine.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
me=rootbuild
[ $# = 3 ] || die "usage: rootbuild.sh BUILD_DIR SOURCE.tar.gz OUT"
. "$1/facts.sh"
source=$(realpath -e -- "$2") || die "no source archive $2: make dist makes it"
out=$(realpath -m -- "$3")
[ "$(id -u)" = 0 ] || die "the build root needs root, for chroot: run it as root"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root

# What the build runs, and no more: the compiler and make, CMake, strip,
# and the packagers' own tools.
"$here/debfetch.sh" --system "$build_release" "$debian_dir/$build_release-build.tar" \
    g++ cmake make binutils dpkg-dev rpm || die "could not make the build root of Debian $build_release"
# record: what went into the build and what came out, in deb822, in the
# manner of Debian's .buildinfo: enough to make the same root again and
# build the same source in it.
record() {
    local f
    printf '%s\n' "Format: 1.0" "Source: libcwork" "Version: $version" \
        "Source-Archive: $(sha256sum <"$source" | cut -d' ' -f1) libcwork-$version-source.tar.gz" \
        "Commit: $(gzip -dc "$source" | git get-tar-commit-id)" "Build-Release: $build_release" \
        "Build-Root: $(sha256sum <"$debian_dir/$build_release-build.tar" | cut -d' ' -f1)" \
        "Build-Root-Packages: $(cut -d' ' -f2- "$debian_dir/$build_release-build.tar.complete")" \
        "Installed-Build-Depends:"
    chroot "$root" dpkg-query -W -f ' ${Package} (= ${Version}),\n' | sort | sed '$s/,$//'
    echo "Sysroot-Debs:"
    for f in "$debian_dir"/*-sysroot.complete; do
        awk -v r="${f##*/}" '$1 == "sha256" { sub(/-sysroot.complete$/, "", r); print " " $2, r "/" $3 }' "$f"
    done
    printf '%s\n' "Source-Date-Epoch: $epoch" "Build-Environment:" " PATH=/usr/bin:/bin" " HOME=/build" \
        " LC_ALL=C.UTF-8" " TZ=UTC" " umask 022" " user 1000:1000" " offline" "Checksums-Sha256:"
    (cd "$root/build/out" && sha256sum -- * | awk '{ print " " $1, $2 }')
}

mkdir "$root"
tar -xf "$debian_dir/$build_release-build.tar" -C "$root"
mkdir -p "$root/build/src" "$root/build/debian" "$root/build/out"
tar -xzf "$source" -C "$root/build/src" --strip-components=1
for sysroot in "$debian_dir"/*-sysroot; do
    [ -f "$sysroot.complete" ] || die "$sysroot is not complete: make builds it"
    cp -a "$sysroot" "$sysroot.complete" "$root/build/debian/"
done
chown -R 1000:1000 "$root/build"

env -i unshare -n -m --propagation private sh -c 'mount -t proc proc "$0/proc" && exec chroot "$0" "$@"' "$root" \
    setpriv --reuid=1000 --regid=1000 --clear-groups \
    env -i PATH=/usr/bin:/bin HOME=/build LC_ALL=C.UTF-8 TZ=UTC \
    sh -c 'umask 022 && cd /build/src && for g in $1; do
        cmake --preset "$g" -DBUILD_TESTING=OFF -DLIBCWORK_DEBIAN_DIR=/build/debian >/dev/null &&
        cmake --build --preset "$g" >/dev/null && scripts/package.sh programs "build/$g" /build/out || exit; done' \
    - "$generations" >"$work/log" 2>&1 || die "the build in the Debian $build_release root failed:"$'\n'"$(tail -n 30 "$work/log")"
rm -rf "$out" && mkdir -p "$out"
cp "$root"/build/out/* "$out/"
cp "$source" "$out/libcwork-$version-source.tar.gz"
record >"$out/libcwork-$version.buildinfo"
echo "rootbuild: built in a clean Debian $build_release root: $(cd "$out" && ls | xargs)"
