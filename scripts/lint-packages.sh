#!/usr/bin/env bash
# lint-packages.sh BUILD_DIR...: each build's packages checked by lintian,
# rpmlint (its settings in scripts/rpmlint.toml) and hardening-check, as
# docs/testing.md says.
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
