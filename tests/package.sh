#!/usr/bin/env bash
# package.sh FORMAT: make this generation's package of one format (deb, rpm
# or tgz) and check its name, what it needs and what it holds.
. "$(dirname "$0")/lib.sh"
format=$1

case $format in
deb) needs_tool dpkg-deb dpkg-shlibdeps && file=$deb ;;
rpm) needs_tool rpmbuild cpio && file=$rpm ;;
tgz) file=$tgz ;;
*) fail "unknown format $format" ;;
esac

"$source_dir/scripts/package.sh" programs "$build_dir" "$work/out" "$format" >"$work/log" 2>&1 ||
    fail "the packager failed:"$'\n'"$(cat "$work/log")"
pkg=$work/out/$file
[ -f "$pkg" ] || fail "made $(ls "$work/out"), not $file"

# The floor its name carries is what its executables really need.
read -ra executables <<<"$programs"
measured=$("$source_dir/scripts/glibc-floor.sh" "${executables[@]/#/$build_dir/bin/}") ||
    fail "could not read the executables' symbol versions"
[ "$measured" = "$floor" ] || fail "named for glibc $floor, but its executables need $measured"
version_at_most "$floor" "$newest" || fail "needs glibc $floor, newer than its generation allows"

# What it needs and provides; then its listing, where the programs and their
# pages lie under $top as they do once installed, with the other files it
# must hold; and the tree unpacked into $work/root.
mkdir "$work/root"
case $format in
deb)
    control() { dpkg-deb -f "$pkg" "$1"; }
    [ "$(control Pre-Depends)" = "libc6 (>= $floor)" ] ||
        fail "Pre-Depends is '$(control Pre-Depends)', expected 'libc6 (>= $floor)'"
    [ -z "$(control Depends)" ] || fail "Depends repeats Pre-Depends"
    # Every generation answers to the name libcwork.
    [ "$package" = libcwork ] || [ "$(control Provides)" = "libcwork (= $(control Version))" ] ||
        fail "Provides is '$(control Provides)', not libcwork at its own version"
    top=./usr listing=$(dpkg-deb -c "$pkg" | awk '{ print $NF }')
    files=("$top/share/doc/$package/copyright" "$top/share/doc/$package/changelog.Debian.gz")
    dpkg-deb -x "$pkg" "$work/root"
    ;;
rpm)
    query() { rpm -qp "$@" "$pkg" 2>/dev/null; }
    requires=$(query --requires)
    needed=$(sed -n 's/^libc\.so\.6(GLIBC_\([0-9.]*\))(64bit).*/\1/p' <<<"$requires" | sort -V | tail -n 1)
    [ "$needed" = "$floor" ] || fail "Requires asks for GLIBC_$needed, not GLIBC_$floor:"$'\n'"$requires"
    [ "$(query --qf '%{PREFIXES}')" = "(none)" ] || fail "relocatable"
    query --provides | grep -qx "libcwork = $(query --qf '%{VERSION}-%{RELEASE}')" ||
        fail "does not provide libcwork at its own version"
    top=/usr listing=$(query -l)
    files=("$top/share/licenses/$package/LICENSE")
    grep -qx '/usr/share/man' <<<"$listing" && fail "owns /usr/share/man"
    (cd "$work/root" && rpm2cpio "$pkg" | cpio -idm --quiet) || fail "cannot unpack"
    ;;
tgz)
    top=${tgz%.tar.gz} listing=$(tar tzf "$pkg")
    files=("$top/share/doc/$package/LICENSE")
    tar xzf "$pkg" -C "$work/root"
    ;;
esac
for p in $programs; do files+=("$top/bin/$p" "$top/share/man/man1/$p.1.gz"); done
for path in "${files[@]}"; do grep -qx "$path" <<<"$listing" || fail "$path is missing from $file"; done
# Its executables have no symbols and no .comment.
for exe in "$work/root/$top/bin"/*; do
    ! readelf -SW "$exe" | grep -qE ' \.(symtab|comment) ' || fail "$(basename "$exe") in $file is not stripped"
done
# A template naming a variable the packager does not know, or one it
# leaves unset, fails it, naming the template and the name (once, in the
# generation built against this machine's glibc).
[ "$format" != deb ] || [ "$sysroot" != host ] || for typo in "maintaner@, which is not a package's variable" "fingerprints@, and pkg_fingerprints is not set"; do
    rm -rf "$work/typo" && mkdir "$work/typo" && cp -a "$source_dir/scripts" "$source_dir/packaging" "$work/typo/"
    echo "X-Typo: @${typo%%@*}@" >>"$work/typo/packaging/control.in"
    ! "$work/typo/scripts/package.sh" programs "$build_dir" "$work/typo/out" deb >"$work/log" 2>&1 &&
        grep -qF "packaging/control.in names @$typo" "$work/log" || fail "control.in naming @$typo was not refused:"$'\n'"$(cat "$work/log")"
done
echo "$file: needs glibc $floor"
exit 0
