#!/usr/bin/env bash
# reproducible.sh BUILD_DIR...: this tree built again from its source
# archive under the variations docs/packages.md lists; every executable and
# package, and the source archive, must be the same bytes.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/libcwork-reproducible.XXXXXX)
chmod 755 "$work" # for user_group
mounts=()
cleanup() {
    for m in ${mounts[@]+"${mounts[@]}"}; do fusermount -u "$m" 2>/dev/null || fusermount3 -u "$m"; done
    rm -rf "$work"
}
trap cleanup EXIT
. "$top/scripts/lib.sh"
me=reproducible

git -C "$top" rev-parse --git-dir >/dev/null 2>&1 ||
    die "needs a git checkout: it builds again from the tracked files, and $top is not a checkout"

# Either locale will do, as long as it is not the one we were built in.
other_locale=C.UTF-8
[ "$(locale charmap 2>/dev/null)" != UTF-8 ] || other_locale=C

variations=(build_path umask locales timezone home)
left_out() {
    [ "${CI:-}" != true ] || die "$1, and CI must vary everything"
    echo "reproducible: not varied: $1"
}
if command -v faketime >/dev/null; then variations+=(time); else left_out "time: $(install_hint faketime)"; fi
if ! command -v disorderfs >/dev/null; then left_out "fileordering: $(install_hint disorderfs)"
elif [ -w /dev/fuse ]; then variations+=(fileordering)
else left_out "fileordering: /dev/fuse cannot be opened"; fi
if [ "$(id -u)" = 0 ]; then variations+=(user_group); else left_out "user_group: needs root"; fi

builds=("$@")
. "$1/facts.sh"

# under VARIATION... -- COMMAND...: run COMMAND with these variations'
# environment, umask, clock and user (not path or file order).
under() {
    local env=(env) wrap=() mask=022
    while [ "$1" != -- ]; do
        case $1 in
        umask) mask=002 ;;
        locales) env+=(LANG="$other_locale" LC_ALL="$other_locale") ;;
        timezone) env+=(TZ=Pacific/Kiritimati) ;;
        home) env+=(HOME="$home") ;;
        time) wrap+=(faketime '+397 days') ;;
        user_group) wrap=(setpriv --reuid=65534 --regid=65534 --clear-groups ${wrap[@]+"${wrap[@]}"}) ;;
        esac
        shift
    done
    shift
    (umask $mask && ${wrap[@]+"${wrap[@]}"} "${env[@]}" "$@")
}

# build_copy NAME VARIATION...: unpack the source archive and build every
# generation's executables and packages there; $copy is where.
build_copy() {
    local dir=$work/$1 v
    shift
    copy=$dir/plain/libcwork
    home=$dir/home
    for v in "$@"; do [ "$v" != build_path ] || copy="$dir/my dir/libcwörk"; done
    mkdir -p "$copy" "$home"
    tar -xzf "$work/source.tar.gz" -C "$copy" --strip-components=1
    for v in "$@"; do
        [ "$v" = user_group ] && chown -R 65534:65534 "$dir"
        if [ "$v" = fileordering ]; then
            mv "$copy" "$copy.disk"
            mkdir "$copy"
            disorderfs --quiet --shuffle-dirents=yes --multi-user=yes "$copy.disk" "$copy" >/dev/null
            mounts+=("$copy")
        fi
    done
    for build in "${builds[@]}"; do
        . "$build/facts.sh"
        # What is fetched from Debian is shared: fetching it again proves nothing.
        (cd "$copy" &&
            under "$@" -- cmake --preset "$generation" -DLIBCWORK_DEBIAN_DIR="$work/debian" -DBUILD_TESTING=OFF &&
            under "$@" -- cmake --build --preset "$generation" &&
            under "$@" -- scripts/package.sh programs "build/$generation") >"$dir/log" 2>&1 ||
            die "the build under $* failed:"$'\n'"$(tail -n 20 "$dir/log")"
    done
}

# same_bytes [-q]: compare what the BUILD_DIRs hold with what $copy holds.
same_bytes() {
    local quiet=${1:-} status=0 build exe file
    for build in "${builds[@]}"; do
        . "$build/facts.sh"
        for exe in "$build"/bin/*; do same "$exe" "$copy/build/$generation/bin/${exe##*/}" || status=1; done
        for file in "$deb" "$rpm" "$tgz"; do
            [ ! -f "$packages_dir/$file" ] || same "$packages_dir/$file" "$(. "$copy/build/$generation/facts.sh" &&
                echo "$packages_dir")/$file" || status=1
        done
    done
    return $status
}

# same OURS THEIRS: the bytes agree; said unless same_bytes was asked -q.
same() {
    cmp -s "$1" "$2" && { [ -n "$quiet" ] || echo "same bytes: ${1#"$top"/}"; return 0; }
    [ -n "$quiet" ] || echo "DIFFERS: ${1#"$top"/}" >&2
    return 1
}

# The sysroots the builds linked against, where the other user can read
# them: the checkout may sit under a folder that only its owner can enter.
mkdir "$work/debian"
for sysroot in "$debian_dir"/*-sysroot; do
    [ -d "$sysroot" ] || continue
    cp -a "$sysroot" "$sysroot.complete" "$work/debian/" ||
        die "could not copy the sysroot $sysroot for the builds under other conditions"
done
chmod -R a+rX "$work/debian"

"$top/scripts/dist.sh" --working-tree "$work/source.tar.gz" >/dev/null
home=$work/dist-home
mkdir -p "$home"
# Not as another user, whose checkout this is not: git refuses to work in it.
under "${variations[@]/user_group/}" -- "$top/scripts/dist.sh" --working-tree "$work/again.tar.gz" >/dev/null
cmp -s "$work/source.tar.gz" "$work/again.tar.gz" || die "the source archive differs when made again"
echo "same bytes: the source archive, made twice"

build_copy all "${variations[@]}"
same_bytes && { echo "reproducible under: ${variations[*]}"; exit 0; }
echo "reproducible: something differs; trying each variation alone" >&2
for v in "${variations[@]}"; do
    build_copy "$v" "$v"
    same_bytes -q || echo "reproducible: $v changes the bytes" >&2
done
exit 1
