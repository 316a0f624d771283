#!/usr/bin/env bash
# glibc-floor.sh EXECUTABLE: print the oldest glibc version that can start
# EXECUTABLE, i.e. the newest GLIBC_x.y symbol version it needs.
set -euo pipefail
versions=$(readelf -V --wide "$1" | grep -o 'Name: GLIBC_[0-9.]*' | sed 's/.*GLIBC_//')
[ -n "$versions" ] || { echo "glibc-floor: $1 needs no glibc symbol versions" >&2; exit 1; }
printf '%s\n' "$versions" | sort -V | tail -n 1
