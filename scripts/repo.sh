#!/usr/bin/env bash
# repo.sh BUILD_DIR...: a trial of make release, into build/repo afresh,
# signed with LIBCWORK_SIGNING_KEY or else a throwaway key kept in
# build/signing (docs/packages.md).
set -euo pipefail
me=repo
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
. "$1/facts.sh"
repo=$source_dir/build/repo

if [ -z "${LIBCWORK_SIGNING_KEY:-}" ]; then
    export GNUPGHOME=$source_dir/build/signing
    trap 'gpgconf --kill gpg-agent' EXIT
    LIBCWORK_SIGNING_KEY=$(throwaway_key "libcwork throwaway signing key <libcwork@example.org>" rsa3072)
    echo "repo: a trial, signed with a throwaway key made for this build" \
        "($LIBCWORK_SIGNING_KEY, kept in $GNUPGHOME): not for a release"
fi
rm -rf "$repo"
LIBCWORK_SIGNING_KEY=$LIBCWORK_SIGNING_KEY LIBCWORK_TRIAL=true "$here/release.sh" "$repo" "$@"
