#!/usr/bin/env bash
# debfetch.sh SUITE DEST PACKAGE...
# debfetch.sh --system SUITE DEST.tar PACKAGE...
#
# Unpacks the named Debian packages of SUITE (for example bullseye) into DEST,
# fetched with apt through a private configuration kept in DEST.apt: its own
# sources list, lists and package cache, so the system's apt setup is never
# touched. With --system, makes instead a whole minimal Debian system of
# SUITE with the PACKAGEs installed, with mmdebstrap, as the tarball DEST.tar.
#
# The archive's signatures are checked against the system's
# debian-archive-keyring. A DEST that is already complete is left as it is,
# so a second run downloads nothing.
#
# The mirror is the one the system's own apt uses for Debian; DEBIAN_MIRROR
# overrides it.
set -euo pipefail

system=false
if [ "${1:-}" = --system ]; then
    system=true
    shift
fi
if [ $# -lt 3 ]; then
    echo "usage: $0 [--system] SUITE DEST PACKAGE..." >&2
    exit 2
fi
suite=$1
dest=$(realpath -m "$2")
shift 2
want="$suite $*"
stamp="$dest.complete"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg

complete() {
    [ -e "$dest" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]
}
complete && exit 0

# Two builds may want the same tree at once; the second waits for the first.
mkdir -p "$(dirname "$dest")"
exec 9>"$dest.lock"
flock 9
complete && exit 0

fail() {
    echo "debfetch: $*" >&2
    exit 1
}

command -v apt-get >/dev/null || fail "apt-get not found; this step needs a Debian-based build machine"
command -v dpkg-deb >/dev/null || fail "dpkg-deb not found"
[ -r "$keyring" ] || fail "$keyring is missing: install the package debian-archive-keyring"

mirror=${DEBIAN_MIRROR:-}
if [ -z "$mirror" ]; then
    # The first Debian archive (not its security archive) that the system's
    # apt is configured with.
    mirror=$(apt-get indextargets --no-release-info --format '$(REPO_URI) $(RELEASE)' 2>/dev/null |
        awk '$2 !~ /-/ && $1 !~ /security/ { print $1; exit }')
fi
[ -n "$mirror" ] || fail "no Debian mirror configured for apt; set DEBIAN_MIRROR"
source="deb [signed-by=$keyring] $mirror $suite main"

if $system; then
    command -v mmdebstrap >/dev/null || fail "mmdebstrap not found"
    echo "debfetch: a Debian $suite system with $* (from $mirror)" >&2
    rm -f "$dest.tmp" "$stamp"
    mmdebstrap --quiet --variant=apt --format=tar --include="$(IFS=,; echo "$*")" \
        "$suite" "$dest.tmp" "$source" ||
        fail "could not make a Debian $suite system from $mirror (offline? set DEBIAN_MIRROR)"
    mv "$dest.tmp" "$dest"
    echo "$want" >"$stamp"
    exit 0
fi

state="$dest.apt"
mkdir -p "$state/lists/partial" "$state/archives/partial" "$state/cache" "$state/parts"
: >"$state/status"
echo "$source" >"$state/sources.list"

apt_opts=(
    -o "Dir::Etc::SourceList=$state/sources.list"
    -o "Dir::Etc::SourceParts=$state/parts"
    -o "Dir::Etc::Preferences=$state/parts/none"
    -o "Dir::Etc::PreferencesParts=$state/parts"
    -o "Dir::State=$state"
    -o "Dir::State::Lists=$state/lists"
    -o "Dir::State::status=$state/status"
    -o "Dir::Cache=$state/cache"
    -o "Dir::Cache::Archives=$state/archives"
    -o "APT::Architecture=amd64"
    -o "APT::Architectures=amd64"
    -o "Acquire::Languages=none"
    -o "APT::Sandbox::User=root"
    -o "Debug::NoLocking=1"
)

echo "debfetch: $suite: $* (from $mirror)" >&2
apt-get "${apt_opts[@]}" -qq --error-on=any update ||
    fail "could not fetch the package lists of Debian $suite from $mirror (offline? set DEBIAN_MIRROR)"

# apt-get download writes into the current directory; keep the .deb files in
# the private cache so that rebuilding DEST needs no network.
(
    cd "$state/archives"
    for pkg in "$@"; do
        file=$(apt-cache "${apt_opts[@]}" show --no-all-versions "$pkg" |
            awk '/^Filename:/ { sub(".*/", "", $2); print $2; exit }') || true
        [ -n "$file" ] || fail "package $pkg not found in Debian $suite"
        [ -f "$file" ] || apt-get "${apt_opts[@]}" -qq download "$pkg" ||
            fail "could not download $pkg from Debian $suite"
    done
)

tmp="$dest.tmp"
rm -rf "$tmp" "$dest"
mkdir -p "$tmp"
for pkg in "$@"; do
    deb=$(ls "$state/archives/${pkg}_"*.deb | sort -V | tail -n 1)
    dpkg-deb -x "$deb" "$tmp"
done

# The packages carry absolute symlinks (lib64/ld-linux-x86-64.so.2,
# usr/lib/x86_64-linux-gnu/libm.so, ...). Left so, they lead the linker and
# the loader to the build machine's own files; point them inside the tree.
find "$tmp" -type l | while read -r link; do
    target=$(readlink "$link")
    case $target in
    /*)
        rel=$(realpath -m --relative-to="$(dirname "$link")" "$tmp$target")
        ln -sfn "$rel" "$link"
        ;;
    esac
done

mv "$tmp" "$dest"
echo "$want" >"$stamp"
