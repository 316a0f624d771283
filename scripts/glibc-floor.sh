#!/usr/bin/env bash
# glibc-floor.sh EXECUTABLE...: print the oldest glibc that can start all the
# EXECUTABLEs, that is the newest GLIBC_x.y symbol version any of them needs.
set -euo pipefail

floor=""
for exe in "$@"; do
    # readelf's own failure (no such file, not ELF) is said as it is, not
    # taken for an executable that needs no symbol versions.
    listing=$(readelf -V --wide "$exe" 2>&1) || { echo "glibc-floor: readelf cannot read $exe: $listing" >&2; exit 1; }
    versions=$(grep -o 'Name: GLIBC_[0-9.]*' <<<"$listing" | sed 's/.*GLIBC_//') || true
    [ -n "$versions" ] || { echo "glibc-floor: $exe needs no glibc symbol versions" >&2; exit 1; }
    floor=$(printf '%s\n' $versions $floor | sort -V | tail -n 1)
done
echo "$floor"
