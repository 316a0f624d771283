#!/usr/bin/env bash
# fetch.sh CASE [DIR]: the fetch steps against hostile inputs, offline: a
# Debian mirror tree of our own, served from a file: URL and signed by a
# throwaway key, and npm tarballs on disk. Each hostile input must be
# refused with its own message and leave nothing behind that a later good
# run would use: that run, against the good mirror, must then give the
# good bytes. fetch.sh mirror DIR makes the key, the .debs and the good
# mirror in DIR; the other cases given DIR start from a copy of it.
. "${0%/*}/lib.sh"

# The release of the sysroot, and another one.
suite=$sysroot
for other in $releases; do [ "$other" != "$suite" ] && break; done
export XDG_CACHE_HOME=$work/cache DEBIAN_KEYRING=$work/key.gpg GNUPGHOME=$work/gnupg
trap 'gpgconf --kill gpg-agent 2>/dev/null; rm -rf "$work"' EXIT
dest=$work/debian/$suite-sysroot
marker=$dest/usr/lib/x86_64-linux-gnu/marker
pool=pool/main/g/glibc/libc6_2.31-13_amd64.deb

# hashes: $good_hash and $hostile_hash, the sha256 of the two .debs.
hashes() { good_hash=$(hash_of sha256 "$work/good.deb") hostile_hash=$(hash_of sha256 "$work/hostile.deb"); }

# make_deb CONTENT FILE: a libc6 .deb holding a marker file with CONTENT.
make_deb() {
    local tree=$work/deb-$1
    mkdir -p "$tree/DEBIAN" "$tree/usr/lib/x86_64-linux-gnu"
    printf '%s\n' "Package: libc6" "Version: 2.31-13" "Architecture: amd64" \
        "Maintainer: nobody <nobody@example.org>" "Description: a stand-in" >"$tree/DEBIAN/control"
    echo "$1" >"$tree/usr/lib/x86_64-linux-gnu/marker"
    dpkg-deb --root-owner-group -Zgzip --build "$tree" "$2" >/dev/null
}

# mirror DIR [CODENAME [VALID_UNTIL]]: a mirror of the suite, signed, whose
# lists name the good .deb and whose pool serves it, whose InRelease says
# CODENAME, and whose Release is valid until VALID_UNTIL; by default the
# suite, and no end.
mirror() {
    local dir=$1 dists=$1/dists/$suite packages=$1/dists/$suite/main/binary-amd64/Packages
    mkdir -p "${packages%/*}" "$dir/${pool%/*}"
    cp "$work/good.deb" "$dir/$pool"
    { dpkg-deb -f "$work/good.deb"
      printf '%s\n' "Filename: $pool" "Size: $(wc -c <"$work/good.deb")" "SHA256: $good_hash" ""; } >"$packages"
    printf '%s\n' "Origin: Debian" "Suite: oldstable" "Codename: ${2:-$suite}" \
        "Date: $(LC_ALL=C date -u -R -d '-2 days')" ${3:+"Valid-Until: $3"} "Architectures: amd64" \
        "Components: main" "SHA256:" " $(hash_of sha256 "$packages") $(wc -c <"$packages") main/binary-amd64/Packages" |
        gpg --batch --yes --clearsign -o "$dists/InRelease"
    export DEBIAN_MIRROR=file:$dir
}

# served [DEB]: the hostile mirror, a copy of the good one whose pool
# serves DEB in place of the good .deb.
served() {
    cp -r "$work/good" "$work/hostile"
    [ -z "${1:-}" ] || cp "$1" "$work/hostile/$pool"
    export DEBIAN_MIRROR=file:$work/hostile
}

# The key, the .debs and the good mirror, made once for all the rows on a
# mirror rather than again in each.
case_mirror() {
    throwaway_key "mirror <mirror@example.org>" ed25519 >/dev/null
    gpg --batch --export >"$DEBIAN_KEYRING"
    for what in good hostile; do make_deb "$what" "$work/$what.deb"; done
    # Of the good one's size, which the lists give: only its bytes betray it.
    truncate -s "$(stat -c %s "$work/good.deb")" "$work/hostile.deb"
    hashes
    mirror "$work/good"
    gpgconf --kill gpg-agent
    rm -rf "$fixture" "$work/deb-good" "$work/deb-hostile"
    cp -r "$work" "$fixture" || fail "could not keep the mirror in $fixture"
}

# debfetch_into [OPTION...]: debfetch of the sysroot (or of what $dest names), its stderr in $err.
debfetch_into() { "$source_dir/scripts/debfetch.sh" "$@" "$suite" "$dest" libc6 >"$out" 2>"$err"; }

# expect_refused MESSAGE: the fetch failed saying MESSAGE, left no
# sysroot, and no file anywhere holds the hostile bytes.
expect_refused() {
    ! debfetch_into || fail "the fetch succeeded; stderr: $(cat "$err")"
    grep -qF -- "$1" "$err" || fail "refused for another reason than '$1': $(cat "$err")"
    [ ! -e "$dest" ] && [ ! -e "$dest.complete" ] || fail "a sysroot was left behind"
    ! find "$work/cache" "$work/debian" -type f -exec sha256sum {} + 2>/dev/null | grep -q "^$hostile_hash " ||
        fail "the hostile .deb was kept"
}

# expect_good_run: against the good mirror, the fetch gives the good bytes.
expect_good_run() {
    export DEBIAN_MIRROR=file:$work/good
    debfetch_into || fail "the good fetch failed: $(cat "$err")"
    [ "$(cat "$marker")" = good ] || fail "the sysroot holds '$(cat "$marker")', not the good file"
}

# The .deb's bytes are not those its Packages entry gives; then the good
# bytes and more, of which no more is read than the lists give.
case_deb_altered() {
    served "$work/hostile.deb"
    expect_refused "is not the file that the signed lists of Debian $suite name: its sha256 is $hostile_hash, the lists say $good_hash"
    expect_good_run
    rm -rf "$work/hostile" "$dest" "$dest.complete" "$work/cache/libcwork/sha256/$good_hash"
    { cat "$work/good.deb" && head -c 1000 /dev/zero; } >"$work/longer.deb"
    hostile_hash=$(hash_of sha256 "$work/longer.deb")
    served "$work/longer.deb"
    expect_refused "sent more than the $(stat -c %s "$work/good.deb") bytes it should hold: stopped there"
    expect_good_run
}

# A stalled transfer: the mirror sends the start of a hostile .deb, and a
# partial file waits under the package's own name where apt keeps its
# downloads, and under the good hash in the cache.
case_deb_partial() {
    head -c 300 "$work/hostile.deb" >"$work/partial.deb"
    hostile_hash=$(hash_of sha256 "$work/partial.deb")
    served "$work/partial.deb"
    expect_refused "sent 300 bytes, and it should hold $(stat -c %s "$work/good.deb")"
    mkdir -p "$work/debian/$suite.apt/archives" "$work/cache/libcwork/sha256"
    tee "$work/debian/$suite.apt/archives/${pool##*/}" <"$work/partial.deb" >"$work/cache/libcwork/sha256/$good_hash"
    expect_good_run
    grep -qF "cache/libcwork/sha256/$good_hash is corrupt" "$err" || fail "the corrupt entry went unnoticed: $(cat "$err")"
    [ ! -e "$work/debian/$suite.apt" ] || fail "apt's old download folder was kept"
}

# Another release's validly signed lists, served as the suite's.
case_other_release() {
    mirror "$work/hostile" "$other"
    expect_refused "the signed lists served as Debian $suite by file:$work/hostile are another release's: their InRelease says Suite oldstable, Codename $other"
    expect_good_run
}

# An InRelease whose signed text was changed after signing.
case_bad_signature() {
    served
    sed -i 's/^Components: main$/Components: main contrib/' "$work/hostile/dists/$suite/InRelease"
    expect_refused "could not fetch the package lists of Debian $suite: the package lists of Debian $suite from file:$work/hostile fail their signature check"
    expect_good_run
}

# A Release past its Valid-Until: with apt's default, apt refuses it, and
# that is what is said; a system that turns the check off is followed.
case_expired_release() {
    mirror "$work/hostile" "$suite" "$(LC_ALL=C date -u -R -d yesterday)"
    # apt's own defaults, whatever this machine's apt.conf.d says.
    mkdir "$work/apt.conf.d"
    echo "Dir::Etc::Parts \"$work/apt.conf.d\";" >"$work/apt.conf"
    APT_CONFIG=$work/apt.conf expect_refused \
        "the Release of Debian $suite from file:$work/hostile has expired: apt says it is expired (invalid since"
    echo 'Acquire::Check-Valid-Until "false";' >"$work/apt.conf.d/valid"
    APT_CONFIG=$work/apt.conf debfetch_into || fail "with the check turned off, the fetch failed: $(cat "$err")"
}

# The kept lists are checked at each use, not only when fetched: Packages
# altered to name a hostile .deb that waits, well formed, in the cache;
# then the InRelease altered as well, to name that Packages.
case_kept_lists_altered() {
    local lists=$work/cache/libcwork/debian/$suite/lists how new
    local -A said=([Packages]="the Packages file of Debian $suite is not the one"
        [InRelease]="the InRelease of Debian $suite from file:$work/good fails its signature check")
    for how in Packages InRelease; do
        expect_good_run
        rm -rf "$dest" "$dest.complete"
        cp "$work/hostile.deb" "$work/cache/libcwork/sha256/$hostile_hash"
        sed -i "s/^SHA256: $good_hash/SHA256: $hostile_hash/" "$lists/"*_Packages
        new=$(hash_of sha256 "$lists/"*_Packages)
        [ $how = Packages ] || sed -i "s|^ [0-9a-f]\{64\}\( .* main/binary-amd64/Packages\)$| $new\1|" "$lists/"*_InRelease
        expect_good_run
        grep -qF "the lists kept from before are refused: ${said[$how]}" "$err" ||
            fail "the altered $how went unnoticed: $(cat "$err")"
    done
}

# A system tarball taken from the cache, then taken again where the first
# run left it (a link to the entry itself); and a corrupt entry is refused,
# so the fetch then makes a system, which here fails at once (mmdebstrap
# would take seconds to find that this mirror cannot make one).
case_system_kept() {
    local dest=$work/debian/$suite-system.tar entry hash
    export DEBIAN_MIRROR=file:$work/good
    mkdir -p "$work/cache/libcwork/sha256" "$work/cache/libcwork/debian" "$work/debian"
    tar -cf "$work/system.tar" -C "$work" good.deb
    hash=$(hash_of sha256 "$work/system.tar")
    entry=$work/cache/libcwork/sha256/$hash
    cp "$work/system.tar" "$entry"
    echo "$hash" >"$work/cache/libcwork/debian/$suite-system.$(echo "$suite libc6" | sha256sum | cut -c1-16)"
    for run in first second; do
        debfetch_into --system || fail "the $run fetch failed: $(cat "$err")"
        cmp -s "$dest" "$work/system.tar" || fail "after the $run fetch, $dest is not the cached tarball"
    done
    echo corrupt >>"$entry"
    mkdir "$work/bin" && printf '#!/bin/sh\nexit 1\n' >"$work/bin/mmdebstrap" && chmod +x "$work/bin/mmdebstrap"
    ! PATH=$work/bin:$PATH debfetch_into --system || fail "a corrupt cached system was taken"
    grep -qF "is corrupt" "$err" || fail "the corrupt entry went unnoticed: $(cat "$err")"
}

# npm: a tarball that fails the pin is refused, unpacked nowhere and kept
# nowhere; the good one, after it, is taken.
case_npm_pin() {
    local what pin
    needs_tool npm
    # npm_runtime good|hostile: npmfetch of that tarball, held to the good one's pin.
    npm_runtime() { "$source_dir/scripts/npmfetch.sh" "$work/$1.tgz" "$pin" "$work/debian/npm-runtime" >"$out" 2>"$err"; }
    for what in good hostile; do
        mkdir -p "$work/$what/package/lib"
        echo '{ "name": "runtime", "version": "1.0.0" }' >"$work/$what/package/package.json"
        echo "$what" | tee "$work/$what/package/lib/libc.so.6" >"$work/$what/package/lib/ld-linux-x86-64.so.2"
        tar -czf "$work/$what.tgz" -C "$work/$what" package
    done
    pin=sha512-$(printf "$(hash_of sha512 "$work/good.tgz" | sed 's/../\\x&/g')" | base64 -w0)
    hostile_hash=$(hash_of sha512 "$work/hostile.tgz")
    ! npm_runtime hostile || fail "npmfetch took the hostile tarball"
    grep -qF "are not the pinned ones: its sha512 is $hostile_hash" "$err" || fail "refused for another reason: $(cat "$err")"
    [ ! -e "$work/debian/npm-runtime" ] || fail "a runtime was left behind"
    ! find "$work" -type f -exec sha512sum {} + | grep -v "$work/hostile.tgz" | grep -q "^$hostile_hash " ||
        fail "the hostile tarball was kept"
    npm_runtime good || fail "the good tarball was refused: $(cat "$err")"
    [ "$(cat "$work/debian/npm-runtime/lib64/libc.so.6")" = good ] || fail "the runtime is not the good one"
}

fixture=${2:-}
[ -z "$fixture" ] || needs_tool gpg gpgv
if [ -n "$fixture" ] && [ "$1" != mirror ]; then
    cp -r "$fixture/." "$work/" || fail "no mirror in $fixture: the row hostile/mirror made none"
    hashes
fi
run_case "$1"
