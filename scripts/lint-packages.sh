#!/usr/bin/env bash
# lint-packages.sh BUILD_DIR...: check each build's packages as the
# distributions do. lintian (Debian's own checker) and rpmlint must report
# no error and no warning; rpmlint's settings and filters, each with its
# reason, are in scripts/rpmlint.toml. hardening-check must pass on every
# packaged executable, but for the two protections these programs go without:
# fortify, which would replace printf and memcpy with their _chk forms, and
# control-flow protection, which the linker drops because Debian's glibc
# start files do not carry it.
set -euo pipefail
here=$(dirname "$0")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for build in "$@"; do
    . "$build/facts.sh"
    lintian --fail-on error,warning "$packages_dir/$deb"
    rpmlint --strict -c "$here/rpmlint.toml" "$packages_dir/$rpm"
    dpkg-deb -x "$packages_dir/$deb" "$work/$generation"
    hardening-check --quiet --nofortify --nocfprotection "$work/$generation"/usr/bin/*
done
