#!/usr/bin/env bash
# dist.sh [--working-tree | --commit COMMIT] [OUTPUT]: the source archive,
# build/libcwork-VERSION.tar.gz unless OUTPUT is given (docs/packages.md).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
. scripts/lib.sh
me=dist

tree=HEAD working_tree=false
case ${1:-} in
--working-tree) working_tree=true && shift ;;
--commit) tree=${2:?usage: dist.sh --commit COMMIT [OUTPUT]} && shift 2 ;;
esac

if [ "$(git rev-parse --show-toplevel 2>/dev/null)" != "$top" ]; then
    # A trial may publish a tree that is not a checkout: its files as they
    # are, but for the builds, in the order and with the owners that git
    # archive gives.
    $working_tree || die "needs a git checkout of libcwork: a source archive is made from a commit, and $top is not a checkout (a release tarball is one already)"
    version=$(dpkg-parsechangelog -l changelog -S Version) || die "changelog: dpkg-parsechangelog cannot read it"
    out=$(realpath -m "${1:-build/libcwork-${version%-*}.tar.gz}")
    mkdir -p "$(dirname "$out")"
    tar --create --sort=name --format=pax --owner=root:0 --group=root:0 --mode=go-w,a+rX \
        --mtime="@$(dpkg-parsechangelog -l changelog -S Timestamp)" --exclude=./build \
        --transform="s|^\.|libcwork-${version%-*}|" . | gzip -9n >"$out"
    echo "$out"
    exit 0
fi
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
elif [ "$tree" = HEAD ] && ! git diff --quiet HEAD --; then
    die "the tree has uncommitted changes, which the archive would leave out: commit or stash them first"
fi
git rev-parse -q --verify "$tree^{commit}" >/dev/null || die "this checkout has no commit $tree"
# The version is that of the commit's own changelog.
version=$(git show "$tree:changelog" | dpkg-parsechangelog -l - -S Version) ||
    die "the changelog of $tree: dpkg-parsechangelog cannot read it"
version=${version%-*}
out=$(realpath -m "${1:-build/libcwork-$version.tar.gz}")

mkdir -p "$(dirname "$out")"
git -c tar.umask=0022 archive --prefix="libcwork-$version/" -o "$out" "$tree"
echo "$out"
