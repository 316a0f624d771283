#!/usr/bin/env bash
# rootbuild.sh BUILD_DIR SOURCE.tar.gz OUT [KEYS.asc URL]: every
# generation's packages, built from the source archive in a clean root of
# the build release, into OUT; with the armored keys of a release and its
# repository's URL, the keyring and release packages too (docs/releasing.md).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
me=rootbuild
[ $# = 3 ] || [ $# = 5 ] || die "usage: rootbuild.sh BUILD_DIR SOURCE.tar.gz OUT [KEYS.asc URL]"
. "$1/facts.sh"
source=$(realpath -e -- "$2") || die "no source archive $2: make dist makes it"
out=$(realpath -m -- "$3")
work=$(mktemp -d)
# What the user unpacked it may not be able to remove until it can write there.
trap 'chmod -R u+w "$work" 2>/dev/null; rm -rf "$work"' EXIT
root=$work/root

# What the build runs, and no more: the compiler and make, CMake, strip,
# the packagers' own tools, and gpg, which names the keys a keyring package brings.
"$here/debfetch.sh" --system "$build_release" "$debian_dir/$build_release-build.tar" \
    g++ cmake make binutils dpkg-dev rpm gpg || die "could not make the build root of Debian $build_release"
# record: what went into the build and what came out, in deb822, in the
# manner of Debian's .buildinfo: enough to make the same root again and
# build the same source in it.
record() {
    local f
    printf '%s\n' "Format: 1.0" "Source: libcwork" "Version: $version" \
        "Source-Archive: $(hash_of sha256 "$source") $(source_name "$version")" \
        "Commit: $(gzip -dc "$source" | git get-tar-commit-id)" "Build-Release: $build_release" \
        "Build-Root: $(hash_of sha256 "$debian_dir/$build_release-build.tar")" \
        "Build-Root-Packages: $(cut -d' ' -f2- "$debian_dir/$build_release-build.tar.complete")" \
        "Installed-Build-Depends:"
    dpkg-query --admindir="$root/var/lib/dpkg" -W -f ' ${Package} (= ${Version}),\n' | sort | sed '$s/,$//'
    echo "Sysroot-Debs:"
    for f in "$debian_dir"/*-sysroot.complete; do
        awk -v r="${f##*/}" '$1 == "sha256" { sub(/-sysroot.complete$/, "", r); print " " $2, r "/" $3 }' "$f"
    done
    [ $# = 3 ] || printf '%s\n' "Keys: $(hash_of sha256 "$4") libcwork.asc" "Repository: $5"
    printf '%s\n' "Source-Date-Epoch: $epoch" "Build-Environment:" " PATH=/usr/bin:/bin" " HOME=/build" \
        " LC_ALL=C.UTF-8" " TZ=UTC" " umask 022" " user root of a user namespace" " offline" "Checksums-Sha256:"
    (cd "$root/build/out" && sha256sum -- * | awk '{ print " " $1, $2 }')
}

mkdir -p "$root/build/src" "$root/build/debian" "$root/build/out" "$root/build/keys"
if [ $# = 5 ]; then
    cp "$4" "$root/build/keys/libcwork.asc" && gpg --batch --dearmor <"$4" >"$root/build/keys/libcwork.gpg" ||
        die "$4 holds no armored keys"
fi
tar -xzf "$source" -C "$root/build/src" --strip-components=1
# The version and date are the source's: a rebuild may be of an earlier
# release than the checkout's.
version=$(dpkg-parsechangelog -l "$root/build/src/changelog" -S Version) &&
    epoch=$(dpkg-parsechangelog -l "$root/build/src/changelog" -S Timestamp) ||
    die "$2 holds no changelog that dpkg-parsechangelog can read"
for sysroot in "$debian_dir"/*-sysroot; do
    [ -f "$sysroot.complete" ] || die "$sysroot is not complete: make builds it"
    cp -a "$sysroot" "$sysroot.complete" "$root/build/debian/"
done
as_user=()
if [ "$(id -u)" = 0 ]; then
    chown -R 65534:65534 "$work"
    as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi

# The tarball is read from standard input, so that the caller's cache need
# not be the user's; its owners are the user's, root in the namespaces the
# build runs in, offline.
"${as_user[@]}" unshare -r tar -x -C "$root" --no-same-owner --exclude="./dev/*" <"$debian_dir/$build_release-build.tar" ||
    die "could not unpack the build root"
env -i "${as_user[@]}" bash -c "$(declare -f enter_root)"$'\n''enter_root "$@"' enter_root "$root" \
    env -i PATH=/usr/bin:/bin HOME=/build LC_ALL=C.UTF-8 TZ=UTC \
    sh -c 'umask 022 && cd /build/src && for g in $1; do
        cmake --preset "$g" -DBUILD_TESTING=OFF -DLIBCWORK_DEBIAN_DIR=/build/debian >/dev/null &&
        cmake --build --preset "$g" >/dev/null && scripts/package.sh programs "build/$g" /build/out || exit; done
        [ -z "$2" ] || scripts/package.sh keys "build/${1%% *}" /build/out "$2" /build/keys/libcwork.gpg /build/keys/libcwork.asc' \
    - "$generations" "${5:-}" >"$work/log" 2>&1 ||
    die "the build in the Debian $build_release root failed:"$'\n'"$(tail -n 30 "$work/log")"
rm -rf "$out" && mkdir -p "$out"
cp "$root"/build/out/* "$out/"
cp "$source" "$out/$(source_name "$version")"
record "$@" >"$out/$(record_name "$version")"
echo "rootbuild: built in a clean Debian $build_release root: $(cd "$out" && ls | xargs)"
