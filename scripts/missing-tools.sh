#!/usr/bin/env bash
# missing-tools.sh: the Debian packages that bring the tools in tools.txt
# that this machine lacks, one a line: what to apt-get install, and no more.
set -euo pipefail
cd "$(dirname "$0")"
while read -r command package; do
    case $command in '#'* | '') continue ;; esac
    command -v "$command" >/dev/null || echo "$package"
done <tools.txt | sort -u
[ -r /usr/share/keyrings/debian-archive-keyring.gpg ] || echo debian-archive-keyring
