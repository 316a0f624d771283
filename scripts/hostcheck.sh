#!/usr/bin/env bash
# hostcheck.sh: refuse, before anything is built, a build machine whose
# tools are too old, in one line each that names what is needed and what
# was found. The numbers are the real floors:
#   CMake 3.25  CMakePresets.json is of schema version 6, which 3.25 brought
#   g++ 8       the oldest with every flag of cmake/flags.cmake
#               (-ffile-prefix-map, -fstack-clash-protection, -fcf-protection)
set -u
status=0

# need NAME WANT FOUND: FOUND (a version, or empty if missing) is WANT or later.
need() {
    [ -n "$3" ] && [ "$(printf '%s\n' "$2" "$3" | sort -V | head -n 1)" = "$2" ] && return
    echo "libcwork needs $1 $2 or later, and this machine has ${3:+$1 }${3:-none}" >&2
    status=1
}

need CMake 3.25 "$(cmake --version 2>/dev/null | awk 'NR == 1 { print $3 }')"
need g++ 8 "$(g++ -dumpfullversion 2>/dev/null)"
exit $status
