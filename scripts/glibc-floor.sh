#!/usr/bin/env bash
# glibc-floor.sh EXECUTABLE...: print the oldest glibc that can start all the
# EXECUTABLEs, that is the newest GLIBC_x.y symbol version any of them needs.
set -euo pipefail

floor=""
for exe in "$@"; do
    versions=$(readelf -V --wide "$exe" | grep -o 'Name: GLIBC_[0-9.]*' | sed 's/.*GLIBC_//') || true
    [ -n "$versions" ] || { echo "glibc-floor: $exe needs no glibc symbol versions" >&2; exit 1; }
    floor=$(printf '%s\n' $versions $floor | sort -V | tail -n 1)
done
echo "$floor"
