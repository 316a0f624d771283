#!/usr/bin/env bash
# dist.sh [--working-tree] [OUTPUT]: the source archive,
# build/libcwork-VERSION.tar.gz unless OUTPUT is given, of the commit checked
# out. Its files are 0644 and 0755, whatever the checkout's modes and the
# umask, and its bytes depend on the commit alone.
#
# It refuses a tree with uncommitted changes, which it would leave out.
# --working-tree archives the files as they are now instead, committed or
# not (but for those git ignores), for scripts/reproducible.sh.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
. scripts/lib.sh
me=dist

working_tree=false
[ "${1:-}" != --working-tree ] || { working_tree=true; shift; }

[ "$(git rev-parse --show-toplevel 2>/dev/null)" = "$top" ] ||
    die "needs a git checkout of libcwork: a source archive is made from a commit, and $top is not a checkout (a release tarball is one already)"

version=$(dpkg-parsechangelog -l changelog -S Version) || die "changelog: dpkg-parsechangelog cannot read it"
version=${version%-*}
out=$(realpath -m "${1:-build/libcwork-$version.tar.gz}")

tree=HEAD
if $working_tree; then
    # A commit of the files as they are (those git would add), made in an
    # index of its own, so the checkout's index and branch are not touched.
    # Its author and date are fixed: the same files give the same archive.
    index=$(mktemp)
    trap 'rm -f "$index"' EXIT
    date=$(git log -1 --format=%cI HEAD)
    export GIT_INDEX_FILE=$index GIT_AUTHOR_DATE=$date GIT_COMMITTER_DATE=$date GIT_AUTHOR_NAME=libcwork \
        GIT_AUTHOR_EMAIL=libcwork@example.org GIT_COMMITTER_NAME=libcwork GIT_COMMITTER_EMAIL=libcwork@example.org
    git read-tree HEAD
    git add --all
    tree=$(git commit-tree -p HEAD -m "the working tree" "$(git write-tree)")
elif ! git diff --quiet HEAD --; then
    die "the tree has uncommitted changes, which the archive would leave out: commit or stash them first"
fi

mkdir -p "$(dirname "$out")"
git -c tar.umask=0022 archive --prefix="libcwork-$version/" -o "$out" "$tree"
echo "$out"
