# Helpers for the scripts, sourced after setting me, the name that their
# messages start with.

# die MESSAGE...: say why, and end the script.
die() {
    echo "${me:?}: $*" >&2
    exit 1
}

# install_hint COMMAND: "COMMAND is not installed (apt-get install PACKAGE)",
# the package that scripts/tools.txt gives for it.
install_hint() {
    echo "$1 is not installed (apt-get install $(awk -v c="$1" '$1 == c { p = $2 } END { print p ? p : c }' \
        "$(dirname "${BASH_SOURCE[0]}")/tools.txt"))"
}

# needs COMMAND [skip]: end the script, naming the Debian package to
# install, where COMMAND is missing; with skip, skip instead.
needs() { command -v "$1" >/dev/null || "${2:-die}" "$(install_hint "$1")"; }

# skipping WHY: says that what cannot be done here is skipped, and why. CI
# installs every tool and reaches every registry, so there it is a failure.
skipping() {
    [ "${CI:-}" != true ] || die "$*, and CI must run every test"
    echo "SKIP: $*"
}

# skip WHY: skipping, with exit status 77, which the tests count as skipped.
skip() { skipping "$@"; exit 77; }

# have WHAT COMMAND...: true where every COMMAND is installed; else WHAT
# is left out, saying what to install, and false.
have() {
    local c
    for c in "${@:2}"; do command -v "$c" >/dev/null || { skipping "$1: $(install_hint "$c")"; return 1; }; done
}

# version_at_most A B: true if version A is B or older, as dpkg compares
# versions (1.0.00-1 is 1.0.0-1, and rpm agrees for versions of digits and
# dots).
version_at_most() { dpkg --compare-versions "$1" le "$2"; }

# newest_version VERSION...: the newest, by version_at_most.
newest_version() {
    local v newest=""
    for v in "$@"; do [ -n "$newest" ] && version_at_most "$v" "$newest" || newest=$v; done
    echo "$newest"
}

# enter_root [--network] ROOT COMMAND...: COMMAND in the root file system
# ROOT, offline (with --network, on the caller's network), in namespaces of
# its own with a /proc of its own and the host's /dev; as a user, as root of
# a user namespace. It pivots into ROOT and detaches the host's tree, so
# that the kernel takes ROOT for the namespace's own root and lets user
# namespaces be made inside (it refuses them to a chrooted process). A
# machine that is itself a chroot cannot make its mounts private: there
# ROOT is entered by chroot, its /proc mounted from here, for the caller
# to unmount.
enter_root() {
    local options=(-n)
    [ "$1" != --network ] || { options=() && shift; }
    [ "$(id -u)" = 0 ] || options+=(-r)
    if ! unshare "${options[@]}" -m --propagation private true 2>/dev/null; then
        mountpoint -q "$1/proc" || mount -t proc proc "$1/proc"
        unshare "${options[@]}" chroot "$@"
        return
    fi
    unshare "${options[@]}" -m -p -f --propagation private /usr/bin/python3 -I -S -c 'import ctypes, os, sys, warnings
libc = ctypes.CDLL(None, use_errno=True)
root = os.fsencode(sys.argv[1])
def call(what, failed):
    if failed:
        sys.exit("enter_root: cannot %s %s: %s" % (what, sys.argv[1], os.strerror(ctypes.get_errno())))
MS_BIND, MS_REC, MNT_DETACH, SYS_pivot_root = 0x1000, 0x4000, 2, 155
call("bind", libc.mount(root, root, None, MS_BIND | MS_REC, None))
call("mount /proc in", libc.mount(b"proc", root + b"/proc", b"proc", 0, None))
call("bind /dev in", libc.mount(b"/dev", root + b"/dev", None, MS_BIND | MS_REC, None))
os.chdir(root)
call("pivot into", libc.syscall(SYS_pivot_root, b".", b"."))
call("detach the host from", libc.umount2(b".", MNT_DETACH))
os.chdir("/")
os.execvp(sys.argv[2], sys.argv[2:])' "$@"
}

# throwaway_key NAME ALGORITHM: the fingerprint of the one secret key in
# $GNUPGHOME, made there first (never expiring, no passphrase) if there is
# none. For trials and tests: a release never signs with such a key.
throwaway_key() {
    if ! gpg --batch --list-secret-keys 2>/dev/null | grep -q .; then
        mkdir -p -m 700 "$GNUPGHOME"
        gpg --batch --quiet --passphrase '' --quick-gen-key "$1" "$2" sign never 2>/dev/null ||
            die "gpg could not make a throwaway key in $GNUPGHOME"
    fi
    gpg --batch --with-colons --list-secret-keys 2>/dev/null | awk -F: '$1 == "fpr" { print $10; exit }'
}

# own_verify OPTION... TREE: make verify of TREE as the scripts check
# their own trees, by the tree's keys alone, with none of the user's
# rebuilders, threshold or attestations taken from the environment.
own_verify() { env -u REBUILDERS -u THRESHOLD -u ATTESTATIONS /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/verify.py" "$@"; }

# key_fingerprints GPG_OPTION...: the fingerprint of each key (not of
# its subkeys) that gpg lists with those options, a line each.
key_fingerprints() {
    gpg --batch --with-colons "$@" 2>/dev/null | awk -F: '$1 == "pub" || $1 == "sec" { p = 1 } $1 == "fpr" && p { print $10; p = 0 }'
}

# bounded_fetch URL DEST SIZE: URL into DEST, exactly SIZE bytes, read no
# further; exit status 2 where the server has no such file, 3 where it
# sends other than SIZE bytes, 1 where it cannot be reached, the reason on
# stderr.
bounded_fetch() { /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/fetch.py" "$@" exact; }

# hash_of ALGO FILE: the file's sha256 or sha512, in hex.
hash_of() { "${1}sum" <"$2" | cut -d' ' -f1; }

# field NAME FILE: the value of the one-line field NAME of the deb822
# record FILE (a build record).
field() { awk -v f="$1:" '$1 == f { sub(/^[^:]*: */, ""); print }' "$2"; }

# release_sha256 RELEASE: what a dist's Release file names by sha256, a
# line each: HASH SIZE PATH.
release_sha256() {
    awk '/^[^ ]/ { s = ($1 == "SHA256:") } s && /^ / { print $1, $2, $3 }' "$1"
}
