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

# field NAME FILE: the value of the one-line field NAME of the deb822
# record FILE (a build record).
field() { awk -v f="$1:" '$1 == f { sub(/^[^:]*: */, ""); print }' "$2"; }

# release_sha256 RELEASE: what a dist's Release file names by sha256, a
# line each: HASH SIZE PATH.
release_sha256() {
    awk '/^[^ ]/ { s = ($1 == "SHA256:") } s && /^ / { print $1, $2, $3 }' "$1"
}
