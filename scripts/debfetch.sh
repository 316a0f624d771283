#!/usr/bin/env bash
# debfetch.sh SUITE DEST PACKAGE...
# debfetch.sh --system SUITE DEST.tar PACKAGE...
#
# Unpacks the named Debian packages of SUITE (for example bullseye) into DEST,
# fetched with apt through a private configuration: its own sources list,
# lists and package cache, so the system's apt setup is never touched. With --system, makes instead a whole minimal Debian system of
# SUITE with the PACKAGEs installed, with mmdebstrap, as the tarball DEST.tar.
#
# The archive's signatures are checked against the system's
# debian-archive-keyring. A DEST that is already complete is left as it is,
# so a second run downloads nothing. The package lists and the .deb files
# are kept once per SUITE, in SUITE.apt beside DEST, and shared by every
# DEST of that suite (a sysroot and a runtime need the same libc6).
#
# The mirror is the Debian archive that the system's own apt uses (its
# Release file must say "Origin: Debian"); DEBIAN_MIRROR overrides it.
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
state="$(dirname "$dest")/$suite.apt"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg

complete() {
    [ -e "$dest" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]
}
complete && exit 0

# Two builds may want the same suite at once; the second waits for the first.
mkdir -p "$state"
exec 9>"$state.lock"
flock 9
complete && exit 0

fail() {
    echo "debfetch: $*" >&2
    exit 1
}

command -v apt-get >/dev/null || fail "apt-get not found; this step needs a Debian-based build machine"
command -v dpkg-deb >/dev/null || fail "dpkg-deb not found"
[ -r "$keyring" ] || fail "$keyring is missing: install the package debian-archive-keyring"

# The mirror, and what to say when it cannot serve SUITE. Of the archives
# the system's apt is configured with (not their -security or -updates
# suites), the first whose Release file says "Origin: Debian". Before apt
# has fetched any lists, no origin is known, and the first is tried.
origins=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(ORIGIN)' 2>/dev/null |
    awk '$2 !~ /-/ && NF == 3' | sort -u) || true
if [ -n "${DEBIAN_MIRROR:-}" ]; then
    mirror=$DEBIAN_MIRROR
    cannot="DEBIAN_MIRROR=$mirror cannot be reached or is not a Debian mirror: correct it, or unset it to use the Debian archive that apt uses"
elif [ -n "$origins" ]; then
    mirror=$(awk '$3 == "Debian" { print $1; exit }' <<<"$origins")
    [ -n "$mirror" ] ||
        fail "apt points at no Debian archive: set DEBIAN_MIRROR to a Debian mirror, and install debian-archive-keyring"
    cannot="$mirror, the Debian archive that apt uses, cannot be reached (offline?): connect, or set DEBIAN_MIRROR to a Debian mirror that can be"
else
    mirror=$(apt-get indextargets --no-release-info --format '$(REPO_URI) $(RELEASE)' 2>/dev/null |
        awk '$2 !~ /-/ && $1 !~ /security/ { print $1; exit }') || true
    [ -n "$mirror" ] ||
        fail "apt points at no Debian archive: set DEBIAN_MIRROR to a Debian mirror, and install debian-archive-keyring"
    cannot="$mirror, the first archive that apt uses, gave no Debian $suite: offline, or not a Debian archive? Set DEBIAN_MIRROR to a Debian mirror"
fi
source="deb [signed-by=$keyring] $mirror $suite main"

if $system; then
    command -v mmdebstrap >/dev/null || fail "mmdebstrap not found"
    echo "debfetch: a Debian $suite system with $* (from $mirror)" >&2
    rm -f "$dest.tmp" "$stamp"
    mmdebstrap --quiet --variant=apt --format=tar --include="$(IFS=,; echo "$*")" \
        "$suite" "$dest.tmp" "$source" ||
        fail "could not make a Debian $suite system: $cannot"
    mv "$dest.tmp" "$dest"
    echo "$want" >"$stamp"
    exit 0
fi

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

updated=false
update() {
    updated=true
    echo "debfetch: Debian $suite's package lists (from $mirror)" >&2
    apt-get "${apt_opts[@]}" -qq --error-on=any update ||
        fail "could not fetch the package lists of Debian $suite: $cannot"
    touch "$state/updated"
}

# download: the .deb files of the PACKAGEs into the suite's cache, from the
# lists at hand; false if a package is not in them or cannot be downloaded.
# apt-get download writes into the current directory.
download() (
    cd "$state/archives"
    for pkg in "$@"; do
        file=$(apt-cache "${apt_opts[@]}" show --no-all-versions "$pkg" 2>/dev/null |
            awk '/^Filename:/ { sub(".*/", "", $2); print $2; exit }') || true
        [ -n "$file" ] || return 1
        [ -f "$file" ] || apt-get "${apt_opts[@]}" -qq download "$pkg" || return 1
    done
)

# Lists fetched before serve as long as the mirror still has what they name.
[ -f "$state/updated" ] || update
if ! download "$@"; then
    $updated || update
    download "$@" || fail "could not download $* from Debian $suite ($mirror)"
fi
echo "debfetch: $suite: $* (from the lists of $(date -r "$state/updated" +%F))" >&2

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
# Earlier builds kept lists and .deb files for each DEST; the suite's now serve.
rm -rf "$dest.apt"
