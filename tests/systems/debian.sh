#!/usr/bin/env bash
# debian.sh RELEASE: a real Debian system of RELEASE, made once by
# mmdebstrap and unpacked afresh, where each build's .deb, .tar.gz and the
# repositories are installed and run, as users would.
. "$(dirname "$0")/lib.sh"
release=$1 where=$1 root=$work/$1 pm=apt installed=""
glibc=$(glibc_of "$release") expect=$(expected "$release")
[ -f "$debian_dir/$release-system.tar" ] || needs_tool mmdebstrap

# apt_to VERSION ARG...: apt-get ARG... takes $expect to VERSION.
apt_to() { must "apt-get ${*:2}" apt_get "${@:2}" && is_at "$1"; }
# apt_update [PARTS]: apt-get update of our source alone (or of the .sources
# files in the system's directory PARTS), as the system's own sources
# cannot be reached offline.
apt_update() {
    local sources=(-o Dir::Etc::SourceParts=- -o Dir::Etc::SourceList=/etc/apt/sources.list.d/libcwork.list)
    [ $# = 0 ] || sources=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$1")
    in_system apt-get update -q --error-on=any "${sources[@]}"
}
# serve TREE [KEY [URL]]: TREE, and the throwaway keys, as /srv/libcwork in
# the system; with KEY, apt's source is its apt tree (or URL), verified
# with KEY.gpg.
serve() {
    rm -rf "$root/srv/libcwork" && cp -r "$1" "$root/srv/libcwork" && cp "$systems"/*.gpg "$root/srv/libcwork/" &&
        { [ $# = 1 ] || apt_source "${@:2}"; }
}
apt_source() {
    echo "deb [signed-by=/srv/libcwork/$1.gpg] ${2:-file:/srv/libcwork/apt} $release main" \
        >"$root/etc/apt/sources.list.d/libcwork.list"
}
# clean WHAT COMMAND...: as must, and apt warns of nothing.
clean() { must "$@" && ! grep -q '^W:' "$out" || fail "$1, with a warning:"$'\n'"$(cat "$out")"; }

# Every generation from its file, the older first, so that each install
# switches from one to the next: one the system runs installs over the one
# before, and runs, and its pages render without a warning; any other is
# refused by apt and dpkg, and what was installed still runs.
from_files() {
    local build p
    for build in "${builds[@]}"; do
        . "$build/facts.sh"
        must "could not copy $deb and $tgz into the system" cp "$packages_dir/$deb" "$packages_dir/$tgz" "$root/tmp/"
        if fits "$release" "$package"; then
            must "apt-get install $deb" apt_get install "./tmp/$deb"
            programs_run /usr/bin
            for p in $programs; do
                in_system man --warnings "$p" >"$out" 2>"$err" || fail "man $p failed: $(cat "$err")"
                [ ! -s "$err" ] || fail "man $p warns:"$'\n'"$(cat "$err")"
                grep -q "$p" "$out" || fail "man $p shows no page"
            done
            say "$package installs${installed:+ over $installed} and runs"
            installed=$package
        else
            refuses "apt-get install $deb on glibc $glibc" "libc6 (>= $floor)" apt_get install "./tmp/$deb"
            refuses "dpkg -i $deb on glibc $glibc" "libc6 (>= $floor)" in_system dpkg -i "/tmp/$deb"
            [ -z "$installed" ] || in_system dpkg-query -W -f '${Status}' "$installed" | grep -qx 'install ok installed' ||
                fail "refusing $package broke $installed"
            [ -z "$installed" ] || programs_run /usr/bin
            say "$package refused by apt and dpkg${installed:+, $installed still runs}"
        fi
    done
    purged
}

# From the repository: apt refuses it when it must be verified with
# another key, and takes it with the project's.
from_repository() {
    serve "$work/repo" other
    refuses "apt-get update from the repository, verified with another key" "is not signed" apt_update
    say "the repository, verified with another key: refused by apt"
    apt_source libcwork
    must "apt-get update from the repository" apt_update
    must "apt-get install libcwork from the repository" apt_get install libcwork
    installs "apt-get install libcwork"
    programs_run /usr/bin
    say "apt-get install libcwork, from the repository, installs $expect, which runs"
    purged
}

# The published tree over two releases: lists fetched before the second
# still install what they name; then upgrade, and back.
from_published() {
    serve "$work/published-first" libcwork
    must "apt-get update from the first release" apt_update
    serve "$work/published-second" libcwork
    apt_to "$first" install libcwork
    must "apt-get update" apt_update
    apt_to "$second" upgrade
    apt_to "$first" install --allow-downgrades "$expect=$first"
    programs_run /usr/bin
    say "from the published tree, lists older than its second release install $expect $first;" \
        "apt-get upgrade takes it to $second, and back"
    purged
}

# A client, over http, that reads the InRelease before a release's switch
# and the rest after it still gets the Packages its InRelease names (by
# hash), and installs what they name.
across_switch() {
    cp -r "$work/published-second" "$work/across"
    cp "$work/published-bump/apt/dists/$release/InRelease" "$work/across/apt/dists/$release/"
    serve "$work/published-second" libcwork http://127.0.0.1:8080/apt
    must "apt across the switch" served_in_system "$work/across" sh -c 'apt-get update -q --error-on=any \
        -o Dir::Etc::SourceParts=- -o Dir::Etc::SourceList=/etc/apt/sources.list.d/libcwork.list &&
        apt-get install -y -q -o Dpkg::Use-Pty=0 libcwork'
    is_at "$bump"
    say "over http, an InRelease read before a release's switch and the rest after it: apt installs $expect $bump"
}

# A rotation: holding the old key alone or the next alone, apt takes the
# release signed by both, with no warning; then the next alone takes the
# release that ends it, and the old alone no longer does.
apt_rotation() {
    serve "$work/published-rotating" old
    clean "apt-get update, holding the old key alone, of published-rotating" apt_update
    apt_source next
    clean "apt-get update, holding the next key alone, of published-rotating" apt_update
    serve "$work/published-fourth" old
    refuses "apt-get update, holding the old key alone, of the release signed by the next alone" "" apt_update
    apt_source next
    clean "apt-get update, holding the next key alone, of the fourth" apt_update
    apt_to "$fourth" upgrade
    say "a rotation: the release signed by both keys is taken with either alone, without a warning;" \
        "the next alone takes the one that ends it, and upgrades to $fourth"
    purged
}

# The keyring package, installed from its file: its source and key alone
# bring libcwork; purged, it leaves nothing.
keyring_package() {
    serve "$work/published-fourth"
    must "apt-get install of the keyring package" apt_get install "/srv/libcwork/$(keyring_alias "$release")"
    mkdir "$root/tmp/parts"
    cp "$root/etc/apt/sources.list.d/libcwork.sources" "$root/tmp/parts/"
    clean "apt-get update from the keyring package's source" apt_update /tmp/parts
    apt_to "$fourth" install libcwork
    # Its -rebuilt source, switched on as docs/packages.md says.
    in_system sed -i -e 's/^Enabled: no$/Enabled: yes/;t' -e '/^Suites: [a-z]*$/a Enabled: no' /tmp/parts/libcwork.sources
    grep -qx "Suites: $release-rebuilt" "$root/tmp/parts/libcwork.sources" && [ "$(grep -c '^Enabled: ' "$root/tmp/parts/libcwork.sources")" = 2 ] ||
        fail "the keyring package's sources, switched:"$'\n'"$(cat "$root/tmp/parts/libcwork.sources")"
    clean "apt-get update from the keyring package's -rebuilt source" apt_update /tmp/parts
    say "the keyring package's source and key bring $expect $fourth; switched to $release-rebuilt, as the docs say, apt reads that"
    rm -r "$root/tmp/parts"
    purged
}

# A version two rebuilders matched, and a newer one in which one found
# other bytes: from the -rebuilt dist apt installs the one they matched.
from_rebuilt() {
    serve "$work/rebuilt" libcwork && sed -i "s/ $release main$/ $release-rebuilt main/" "$root/etc/apt/sources.list.d/libcwork.list"
    must "apt-get update from $release-rebuilt" apt_update
    apt_to "$first" install libcwork
    say "from $release-rebuilt, apt installs $expect $first, which two rebuilders matched, and not $bump, which one did not"
    purged
}

# A .tar.gz the system runs runs unpacked under /opt.
tarballs_run() {
    local build
    for build in "${builds[@]}"; do
        . "$build/facts.sh"
        fits "$release" "$package" || continue
        must "could not unpack $tgz" tar -xzf "$root/tmp/$tgz" -C "$root/opt"
        programs_run "/opt/${tgz%.tar.gz}/bin"
        say "$tgz runs from /opt"
    done
}

must "could not make the system" "$source_dir/scripts/debfetch.sh" --system "$release" \
    "$debian_dir/$release-system.tar" man-db
mkdir "$root"
must "could not unpack the system" tar -xf "$debian_dir/$release-system.tar" -C "$root"
for tree in repo published-first published-bump published-second published-rotating published-fourth; do
    kept "$tree" "$work/$tree"
done
[ "$release" != "$build_release" ] || kept rebuilt "$work/rebuilt"
glibc_is /lib/x86_64-linux-gnu/libc.so.6
system_files >"$root.before"
from_files
from_repository
from_published
across_switch
apt_rotation
keyring_package
[ "$release" != "$build_release" ] || from_rebuilt
tarballs_run
