#!/usr/bin/env bash
# package.sh FORMAT: make this generation's package of one format (deb, rpm
# or tgz) and check its name, what it needs and what it holds.
. "$(dirname "$0")/lib.sh"
format=$1

case $format in
deb) needs_tool dpkg-deb && needs_tool dpkg-shlibdeps && file=$deb ;;
rpm) needs_tool rpmbuild && needs_tool cpio && file=$rpm ;;
tgz) file=$tgz ;;
*) fail "unknown format $format" ;;
esac

"$source_dir/scripts/package.sh" programs "$build_dir" "$work/out" "$format" >"$work/log" 2>&1 ||
    fail "the packager failed:"$'\n'"$(cat "$work/log")"
pkg=$work/out/$file
[ -f "$pkg" ] || fail "made $(ls "$work/out"), not $file"

# The floor its name carries is what its executables really need.
executables=()
for p in $programs; do executables+=("$build_dir/bin/$p"); done
measured=$("$source_dir/scripts/glibc-floor.sh" "${executables[@]}") ||
    fail "could not read the executables' symbol versions"
[ "$measured" = "$floor" ] || fail "named for glibc $floor, but its executables need $measured"
version_at_most "$floor" "$newest" || fail "needs glibc $floor, newer than its generation allows"

# expect_files LISTING PATH...: each PATH is in the package's file list.
expect_files() {
    local listing=$1 path
    shift
    for path in "$@"; do
        grep -qx "$path" <<<"$listing" || fail "$path is missing from $file"
    done
}

# expect_stripped DIR: the executables under DIR have no symbols and no .comment.
expect_stripped() {
    local exe
    for exe in "$1"/*; do
        ! readelf -SW "$exe" | grep -qE ' \.(symtab|comment) ' ||
            fail "$(basename "$exe") in $file is not stripped"
    done
}

case $format in
deb)
    [ "$(dpkg-deb -f "$pkg" Pre-Depends)" = "libc6 (>= $floor)" ] ||
        fail "Pre-Depends is '$(dpkg-deb -f "$pkg" Pre-Depends)', expected 'libc6 (>= $floor)'"
    [ -z "$(dpkg-deb -f "$pkg" Depends)" ] || fail "Depends repeats Pre-Depends"
    # Every generation answers to the name libcwork.
    [ "$package" = libcwork ] || [ "$(dpkg-deb -f "$pkg" Provides)" = "libcwork (= $(dpkg-deb -f "$pkg" Version))" ] ||
        fail "Provides is '$(dpkg-deb -f "$pkg" Provides)', not libcwork at its own version"
    listing=$(dpkg-deb -c "$pkg" | awk '{ print $NF }')
    for p in $programs; do
        expect_files "$listing" "./usr/bin/$p" "./usr/share/man/man1/$p.1.gz"
    done
    expect_files "$listing" "./usr/share/doc/$package/copyright" "./usr/share/doc/$package/changelog.Debian.gz"
    dpkg-deb -x "$pkg" "$work/root"
    expect_stripped "$work/root/usr/bin"
    ;;
rpm)
    requires=$(rpm -qp --requires "$pkg" 2>/dev/null)
    needed=$(grep -o '^libc\.so\.6(GLIBC_[0-9.]*)(64bit)' <<<"$requires" | sed 's/.*GLIBC_\([0-9.]*\).*/\1/' |
        sort -V | tail -n 1)
    [ "$needed" = "$floor" ] || fail "Requires asks for GLIBC_$needed, not GLIBC_$floor:"$'\n'"$requires"
    [ "$(rpm -qp --qf '%{PREFIXES}' "$pkg" 2>/dev/null)" = "(none)" ] || fail "relocatable"
    rpm -qp --provides "$pkg" 2>/dev/null | grep -qx "libcwork = $(rpm -qp --qf '%{VERSION}-%{RELEASE}' "$pkg" 2>/dev/null)" ||
        fail "does not provide libcwork at its own version"
    listing=$(rpm -qlp "$pkg" 2>/dev/null)
    for p in $programs; do
        expect_files "$listing" "/usr/bin/$p" "/usr/share/man/man1/$p.1.gz"
    done
    expect_files "$listing" "/usr/share/licenses/$package/LICENSE"
    grep -qx '/usr/share/man' <<<"$listing" && fail "owns /usr/share/man"
    mkdir "$work/root"
    (cd "$work/root" && rpm2cpio "$pkg" | cpio -idm --quiet) || fail "cannot unpack"
    expect_stripped "$work/root/usr/bin"
    ;;
tgz)
    top=${tgz%.tar.gz}
    listing=$(tar tzf "$pkg")
    for p in $programs; do
        expect_files "$listing" "$top/bin/$p" "$top/share/man/man1/$p.1.gz"
    done
    expect_files "$listing" "$top/share/doc/$package/LICENSE"
    tar xzf "$pkg" -C "$work"
    expect_stripped "$work/$top/bin"
    ;;
esac
echo "$file: needs glibc $floor"
exit 0
