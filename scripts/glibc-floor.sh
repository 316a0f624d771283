#!/usr/bin/env bash
# glibc-floor.sh [--check GENERATION] EXECUTABLE...: print the oldest glibc
# version that can start all the EXECUTABLEs, i.e. the newest GLIBC_x.y
# symbol version any of them needs.
#
# With --check, also fail unless that fits the generation: a current build
# needs exactly GLIBC_2.34, a legacy build nothing newer than GLIBC_2.33.
set -euo pipefail
generation=""
if [ "${1:-}" = --check ]; then
    generation=$2
    shift 2
fi

floor=""
for exe in "$@"; do
    versions=$(readelf -V --wide "$exe" | grep -o 'Name: GLIBC_[0-9.]*' | sed 's/.*GLIBC_//') || true
    [ -n "$versions" ] || { echo "glibc-floor: $exe needs no glibc symbol versions" >&2; exit 1; }
    floor=$(printf '%s\n' $versions $floor | sort -V | tail -n 1)
done
echo "$floor"

case $generation in
"") ;;
current) [ "$floor" = 2.34 ] || { echo "glibc-floor: needs GLIBC_$floor; a current build needs GLIBC_2.34" >&2; exit 1; } ;;
legacy) [ "$(printf '%s\n' "$floor" 2.33 | sort -V | tail -n 1)" = 2.33 ] ||
    { echo "glibc-floor: needs GLIBC_$floor; a legacy build must need nothing newer than GLIBC_2.33" >&2; exit 1; } ;;
*) echo "glibc-floor: unknown generation $generation" >&2; exit 2 ;;
esac
