#!/usr/bin/env bash
# lint-packages.sh BUILD_DIR...: check each build's packages as the
# distributions do. lintian (Debian's own checker) and rpmlint must report
# no error and no warning; rpmlint's settings and filters, each with its
# reason, are in scripts/rpmlint.toml. hardening-check must pass on every
# packaged executable, but for the two protections these programs go without:
# fortify, which would replace printf and memcpy with their _chk forms, and
# the IBT and SHSTK mark, which the linker drops because Debian's glibc
# start files (Scrt1.o, crti.o, crtn.o, 11 to 13) do not carry it, though
# our code is built with -fcf-protection (the hardening rows check both).
#
# Debian 13's hardening-check adds "Branch Protection", which looks for
# AArch64's BTI and PAC mark on every executable: on x86-64 it cannot be
# there, so it is left out where the tool has it.
set -euo pipefail
here=$(dirname "$0")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

branch=""
[[ "$(hardening-check --help 2>&1 || true)" != *--nobranchprotection* ]] || branch=--nobranchprotection

# Each checker once over every build's package: each takes seconds to start.
debs=() rpms=()
for build in "$@"; do
    . "$build/facts.sh"
    debs+=("$packages_dir/$deb") rpms+=("$packages_dir/$rpm")
    dpkg-deb -x "$packages_dir/$deb" "$work/$generation"
    hardening-check --quiet --nofortify --nocfprotection $branch "$work/$generation"/usr/bin/*
done
lintian --fail-on error,warning "${debs[@]}"
rpmlint --strict -c "$here/rpmlint.toml" "${rpms[@]}"
