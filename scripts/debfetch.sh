#!/usr/bin/env bash
# debfetch.sh SUITE DEST PACKAGE...: the Debian packages of SUITE (for
#   example bullseye) unpacked into DEST
# debfetch.sh --system SUITE DEST.tar PACKAGE...: a minimal Debian system of
#   SUITE with the packages installed, made by mmdebstrap, as a tarball
# A DEST already complete is left as it is. Environment: DEBIAN_MIRROR,
# DEBIAN_KEYRING (docs/building.md, "What is fetched, and why it is trusted").
set -euo pipefail
me=debfetch
here=$(dirname "$0")
. "$here/lib.sh"
. "$here/cache.sh"

# A system is made into DEST afresh each time, from the cache.
system=false again=""
[ "${1:-}" != --system ] || { system=true again=again; shift; }
[ $# -ge 3 ] || { echo "usage: $0 [--system] SUITE DEST PACKAGE..." >&2; exit 2; }
suite=$1
keyring=$(realpath -m "${DEBIAN_KEYRING:-/usr/share/keyrings/debian-archive-keyring.gpg}")
complete_or "$(realpath -m "$2")" "$suite ${*:3}" "$again"
shift 2

command -v apt-get >/dev/null || die "apt-get not found; this step needs a Debian-based build machine"
for tool in dpkg-deb gpgv; do needs $tool; done
[ -r "$keyring" ] || die "$keyring is missing: install the package debian-archive-keyring"

cache_init "$(dirname "$dest")/cache"
state=$cache/debian/$suite
mkdir -p "$state/lists/partial" "$state/archives/partial" "$state/cache" "$state/parts"
# Two builds may want the same suite at once; the second waits for the first.
claim "$state.lock" "$again"
# Earlier builds kept lists and .deb files in build/debian; none is trusted.
rm -rf "$(dirname "$dest")/$suite.apt" "$(dirname "$dest")/$suite.apt.lock" "$dest.apt"

# The mirror, and what to say when it cannot be reached. Of the archives
# the system's apt is configured with (not their -security or -updates
# suites), the first whose Release file says "Origin: Debian". Before apt
# has fetched any lists, no origin is known, and the first is tried. apt
# reads all of the system's lists for that, a second's work: not where
# DEBIAN_MIRROR makes it moot.
if [ -n "${DEBIAN_MIRROR:-}" ]; then
    mirror=$DEBIAN_MIRROR
    unreachable="DEBIAN_MIRROR=$mirror cannot be reached: correct it, or unset it to use the Debian archive that apt uses"
elif origins=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(ORIGIN)' 2>/dev/null |
    awk '$2 !~ /-/ && NF == 3' | sort -u) && [ -n "$origins" ]; then
    mirror=$(awk '$3 == "Debian" { print $1; exit }' <<<"$origins")
    unreachable="$mirror, the Debian archive that apt uses, cannot be reached: connect, or set DEBIAN_MIRROR to a Debian mirror that can be"
else
    mirror=$(apt-get indextargets --no-release-info --format '$(REPO_URI) $(RELEASE)' 2>/dev/null |
        awk '$2 !~ /-/ && $1 !~ /security/ { print $1; exit }') || true
    unreachable="$mirror, the first archive that apt uses, cannot be reached: connect, or set DEBIAN_MIRROR to a Debian mirror"
fi
[ -n "$mirror" ] ||
    die "apt points at no Debian archive: set DEBIAN_MIRROR to a Debian mirror, and install debian-archive-keyring"
mirror=${mirror%/}
source="deb [signed-by=$keyring] $mirror $suite main"

# why_failed LOG WHAT: the real cause of a failed fetch, from what apt
# wrote: a signature, an expired Release, a hash, a missing file, or only
# then the connection.
why_failed() {
    local log=$1 what=$2 line
    if line=$(grep -m1 -E 'NO_PUBKEY|BADSIG|EXPKEYSIG|REVKEYSIG|signatures (were|couldn.t be) |is not signed|signed by a key' "$log"); then
        echo "$what from $mirror fail their signature check against $keyring: ${line#*: }"
    elif line=$(grep -m1 -o 'is expired (invalid since [^)]*)' "$log"); then
        echo "the Release of Debian $suite from $mirror has expired: apt says it ${line}; apt refuses an expired Release (Acquire::Check-Valid-Until): use a mirror that is up to date"
    elif line=$(grep -m1 -E 'Hash Sum mismatch|unexpected size|Hashes of expected file' "$log"); then
        echo "$what from $mirror do not match the hashes their signed InRelease gives (${line#*: })"
    elif line=$(grep -m1 -E 'Unable to locate package|has no installation candidate' "$log"); then
        echo "Debian $suite from $mirror lacks a package asked for: ${line#E: }"
    elif grep -q -E 'does not have a Release file|InRelease.*(404|File not found|No such file)' "$log"; then
        echo "$mirror has no Debian $suite (no dists/$suite/InRelease there): is it a Debian mirror, and does it still carry $suite?"
    elif grep -q -E 'Could not (connect|resolve)|Temporary failure|Connection (failed|timed out|refused)|Network is unreachable|No route|timed out' "$log"; then
        echo "$unreachable ($(grep -m1 -o -E '(Could not|Temporary failure|Connection|Network|No route|[^ ]* *timed out).*' "$log" | cut -c1-200))"
    else
        echo "$what from $mirror: apt failed: $(grep -E '^(E|W|Err):' "$log" | head -n 3 | xargs)"
    fi
}

# ---- A whole system ----
# mmdebstrap checks what it fetches with apt, against the same keyring; the
# tarball it makes is kept by its hash and checked at each use.
if $system; then
    # The index: which tarball is the system of this suite with these packages.
    index=$cache/debian/$suite-system.$(echo "$want" | sha256sum | cut -c1-16)
    if ! { [ -f "$index" ] && cache_take sha256 "$(cat "$index")" "$tmp/system.tar"; }; then
        needs mmdebstrap
        # A user makes it in a user namespace, mapped to the user's
        # subordinate ids: the files' owners are then the system's own.
        mode=root
        if [ "$(id -u)" != 0 ]; then
            mode=unshare && needs newuidmap
            grep -qE "^($(id -un)|$(id -u)):" /etc/subuid 2>/dev/null ||
                die "as a user, mmdebstrap needs subordinate ids, and /etc/subuid gives $(id -un) none: usermod --add-subuids and --add-subgids give them"
        fi
        echo "debfetch: a Debian $suite system with $* (from $mirror)" >&2
        # The lists apt verified must name SUITE: apt itself only warns.
        mmdebstrap --quiet --mode="$mode" --variant=apt --format=tar --include="$(IFS=,; echo "$*")" \
            --customize-hook='for r in "$1"/var/lib/apt/lists/*_InRelease; do
                grep -qxE "(Codename|Suite): '"$suite"'" "$r" || { echo "E: another release: $r"; exit 1; }; done' \
            "$suite" "$tmp/new.tar" "$source" >"$tmp/log" 2>&1 || {
            grep -q '^E: another release' "$tmp/log" &&
                die "the signed lists served as Debian $suite by $mirror are another release's"
            die "could not make a Debian $suite system: $(why_failed "$tmp/log" "the package lists of Debian $suite")"
        }
        hash=$(hash_of sha256 "$tmp/new.tar")
        cache_put sha256 "$hash" "$tmp/new.tar"
        echo "$hash" >"$tmp/index" && mv -f "$tmp/index" "$index"
        cache_take sha256 "$hash" "$tmp/system.tar" || die "the system tarball just made is not in the cache"
    fi
    # The verified tarball becomes DEST. A DEST kept from an earlier run may
    # be a link to the very same entry, which mv would refuse to move onto.
    finish "$tmp/system.tar" "sha256 $(cat "$index")"
    exit 0
fi

# ---- The package lists ----

echo "$source" >"$state/sources.list"
: >"$state/status"
# The system's hooks on apt-get update (PackageKit, AppStream) are for its
# own lists, not these.
printf '#clear APT::Update::%s;\n' Pre-Invoke Post-Invoke Post-Invoke-Success >"$state/hooks.conf"
apt_opts=(-c "$state/hooks.conf"
    -o "Dir::Etc::SourceList=$state/sources.list" -o "Dir::Etc::SourceParts=$state/parts"
    -o "Dir::Etc::Preferences=$state/parts/none" -o "Dir::Etc::PreferencesParts=$state/parts"
    -o "Dir::State=$state" -o "Dir::State::Lists=$state/lists" -o "Dir::State::status=$state/status"
    -o "Dir::Cache=$state/cache" -o "Dir::Cache::Archives=$state/archives"
    -o APT::Architecture=amd64 -o APT::Architectures=amd64 -o Acquire::Languages=none -o Acquire::GzipIndexes=false
    -o Acquire::IndexTargets::deb::Contents-deb::DefaultEnabled=false -o APT::Sandbox::User=root -o Debug::NoLocking=1)

updated=false
update() {
    updated=true
    echo "debfetch: Debian $suite's package lists (from $mirror)" >&2
    rm -rf "$state/lists" && mkdir -p "$state/lists/partial"
    apt-get "${apt_opts[@]}" -q --error-on=any update >"$tmp/log" 2>&1 || {
        rm -rf "$state/lists"
        die "could not fetch the package lists of Debian $suite: $(why_failed "$tmp/log" "the package lists of Debian $suite")"
    }
}

# verify_lists: copies the suite's InRelease and Packages into $tmp and
# checks them there: the signature, the release it names, the hash of
# Packages. False, with $why, if they are missing or fail.
verify_lists() {
    local inrelease packages release expected found
    inrelease=$(find "$state/lists" -maxdepth 1 -name "*_dists_${suite}_InRelease")
    packages=$(find "$state/lists" -maxdepth 1 -name "*_dists_${suite}_main_binary-amd64_Packages")
    [ -n "$inrelease" ] && [ -n "$packages" ] && [[ $inrelease$packages != *$'\n'* ]] &&
        cp "$inrelease" "$tmp/InRelease" && cp "$packages" "$tmp/Packages" ||
        { why="no package lists of Debian $suite at hand"; return 1; }
    gpgv --keyring "$keyring" --output "$tmp/Release" "$tmp/InRelease" >"$tmp/gpgv" 2>&1 ||
        { why="the InRelease of Debian $suite from $mirror fails its signature check against $keyring: $(grep -m1 -E 'BAD|NO_PUBKEY|Can.t check|not a detached|no signature|no valid' "$tmp/gpgv" || tail -n 1 "$tmp/gpgv")"; return 1; }
    grep -qx -E "(Codename|Suite): $suite" "$tmp/Release" || {
        release=$(awk -F': ' '$1 == "Codename" || $1 == "Suite" { printf "%s%s %s", sep, $1, $2; sep = ", " }' "$tmp/Release")
        why="the signed lists served as Debian $suite by $mirror are another release's: their InRelease says ${release:-neither Codename nor Suite}"
        return 1
    }
    expected=$(release_sha256 "$tmp/Release" | awk '$3 == "main/binary-amd64/Packages" { print $1 }')
    found=$(hash_of sha256 "$tmp/Packages")
    [ "$found" = "$expected" ] ||
        { why="the Packages file of Debian $suite is not the one its signed InRelease names: its sha256 is $found, the InRelease says ${expected:-nothing for main/binary-amd64/Packages}"; return 1; }
    lists_date=$(awk -F': ' '$1 == "Date" { print $2; exit }' "$tmp/Release")
}

# Lists fetched before serve, if they still verify; a later step that finds
# them stale fetches them again.
lists() {
    verify_lists && return
    $updated || [ "$why" = "no package lists of Debian $suite at hand" ] ||
        echo "debfetch: the lists kept from before are refused: $why; fetching them again" >&2
    # Lists fetched by this very run are not fetched again: they are refused.
    { ! $updated && update && verify_lists; } || { rm -rf "$state/lists"; die "$why"; }
}
lists

# ---- The packages ----

# entry PACKAGE: "SHA256 SIZE FILENAME" of the package in the verified
# Packages, its newest version if it has more than one.
entry() {
    local found
    found=$(awk -v pkg="$1" 'function out() { if (p == pkg && f != "" && h != "" && n != "") print v, h, n, f; p = v = f = h = n = "" }
        /^$/ { out() } /^Package: / { p = $2 } /^Version: / { v = $2 } /^Filename: / { f = $2 } /^SHA256: / { h = $2 }
        /^Size: / { n = $2 } END { out() }' "$tmp/Packages")
    [ -n "$found" ] || return 1
    # shellcheck disable=SC2046 # versions hold no blanks
    awk -v v="$(newest_version $(cut -d' ' -f1 <<<"$found"))" '$1 == v { print $2, $3, $4; exit }' <<<"$found"
}

# download HASH SIZE FILENAME: the file from the mirror into the cache, no
# more than SIZE bytes of it and only if it has that hash; a file that does
# not is deleted and fetched once more. Exit status 2 if the mirror does
# not have it, 3 if it cannot be reached.
download() {
    local hash=$1 size=$2 file=$3 try why status
    for try in 1 2; do
        status=0
        bounded_fetch "$mirror/$file" "$tmp/deb" "$size" 2>"$tmp/log" || status=$?
        case $status in
        0) why="its sha256 is $(hash_of sha256 "$tmp/deb"), the lists say $hash"
            # cache_put takes only the bytes the lists name; others are deleted.
            cache_put sha256 "$hash" "$tmp/deb" && return 0 ;;
        2) return 2 ;;
        3) why=$(cat "$tmp/log") ;;
        *) echo "debfetch: $(cat "$tmp/log")" >&2 && return 3 ;;
        esac
        [ $try = 2 ] || echo "debfetch: $file from $mirror is not the file the signed lists name" \
            "($why); it is deleted and fetched once more" >&2
    done
    die "$file from $mirror is not the file that the signed lists of Debian $suite name: $why; it was fetched twice and deleted"
}

# take PACKAGE: its verified .deb as $tmp/PACKAGE.deb, from the cache or
# else from the mirror.
take() {
    local pkg=$1 e status=0
    if e=$(entry "$pkg"); then
        cache_take sha256 "${e%% *}" "$tmp/$pkg.deb" && return
        # shellcheck disable=SC2086 # HASH SIZE FILENAME, with no blanks
        download $e || status=$?
        case $status in
        0) cache_take sha256 "${e%% *}" "$tmp/$pkg.deb" && return; die "${e##* } vanished from the cache" ;;
        2) why="$mirror has no ${e##* }, which the lists of Debian $suite of $lists_date name" ;;
        *) die "could not fetch ${e##* }: $unreachable" ;;
        esac
    else
        why="Debian $suite has no package $pkg (lists of $lists_date from $mirror)"
    fi
    # Lists older than the mirror name what it no longer has, or lack what
    # it has now: they are fetched again, once.
    $updated && die "$why"
    update && lists && take "$pkg"
}

hashes=()
mkdir "$tmp/tree"
for pkg in "$@"; do
    take "$pkg"
    hashes+=("sha256 $(hash_of sha256 "$tmp/$pkg.deb") $pkg")
    dpkg-deb -x "$tmp/$pkg.deb" "$tmp/tree"
done
echo "debfetch: $suite: $* (verified against the lists of $lists_date)" >&2

# The packages carry absolute symlinks (lib64/ld-linux-x86-64.so.2,
# usr/lib/x86_64-linux-gnu/libm.so, ...). Left so, they lead the linker and
# the loader to the build machine's own files; point them inside the tree.
find "$tmp/tree" -type l -lname '/*' | while read -r link; do
    ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$tmp/tree$(readlink "$link")")" "$link"
done

finish "$tmp/tree" "${hashes[@]}"
