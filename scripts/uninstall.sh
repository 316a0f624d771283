#!/usr/bin/env bash
# uninstall.sh MANIFEST ROOT: remove the files that make install put under
# ROOT (its DESTDIR and PREFIX together), as MANIFEST lists them, one a line,
# and strike them from it; files installed elsewhere stay listed. MANIFEST is
# build/installed.txt, which make clean keeps. Directories stay: the install
# may have found them there.
set -euo pipefail
me=uninstall
. "$(dirname "$0")/lib.sh"
manifest=$1
root=$(realpath -ms "$2")
[ -s "$manifest" ] || die "no install from this checkout is recorded in $manifest"
removed=0
kept=$(mktemp "$manifest.XXXXXX")
while IFS= read -r file || [ -n "$file" ]; do
    case $(realpath -ms "$file") in
    "$root"/*)
        rm -f -- "$file"
        echo "removed $file"
        removed=$((removed + 1))
        ;;
    *) echo "$file" >>"$kept" ;;
    esac
done <"$manifest"
mv "$kept" "$manifest"
[ "$removed" -gt 0 ] || die "nothing recorded as installed under $root"
