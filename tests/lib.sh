# shellcheck shell=bash
# Helpers for the test cases, sourced by cases.sh, package.sh, fetch.sh,
# hosts.sh and the system tests. Each expect_* helper asserts one thing and
# fails the test with a message if it does not hold.
#
# Environment, set by tests/CMakeLists.txt: LIBCWORK_FACTS (this build's
# facts.sh), TEST_NAME, and CALLTRACE_LIB (the call-logging preload library).
set -u
# shellcheck source=/dev/null # written by the build
. "${LIBCWORK_FACTS:?}"
: "${TEST_NAME:?}"
# die, needs, skip and version_at_most, shared with the scripts.
me="FAIL $TEST_NAME"
. "$source_dir/scripts/lib.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
out=$work/out err=$work/err log=$work/log
# What make verify remembers of the trees it accepted stays with the test.
export XDG_STATE_HOME=$work/state

# fail MESSAGE...: end the test, naming it (a script may change TEST_NAME
# as it goes from one system to the next).
fail() { me="FAIL $TEST_NAME" && die "$@"; }
# as WHAT: the checks that follow are of WHAT, which a failure names.
case_name=$TEST_NAME
as() { TEST_NAME="$case_name ($*)"; }

# A helper missing by mistake fails the test rather than pass it silently.
# (bash runs this in a subshell of its own, so it ends the test by signal.)
command_not_found_handle() { echo "$me: no command $1" >&2 && kill -TERM $$; }

# run_case CASE ARG...: the test is the function case_CASE, given ARG...;
# it fails by fail, and otherwise passes, whatever its last command returns.
run_case() {
    declare -F "case_${1//-/_}" >/dev/null || fail "no such case"
    "case_${1//-/_}" "${@:2}"
    exit 0
}

# needs_tool COMMAND...: skip the test where an optional tool is missing,
# naming the Debian package that brings it; under CI, fail.
needs_tool() { local tool && for tool; do needs "$tool" skip; done; }

# glibc_of SYSTEM, fits_of SYSTEM and offered_of SYSTEM: the glibc the
# table gives for a release or runtime; the packages a release, runtime or
# RHEL release runs, and those its repository offers, oldest floor first.
glibc_of() { local var=glibc_${1//-/_} && echo "${!var}"; }
fits_of() { local var=fits_${1//-/_} && echo "${!var}"; }
offered_of() { local var=offered_${1//-/_} && echo "${!var}"; }
# fits SYSTEM PACKAGE, offers SYSTEM PACKAGE: whether the table has
# PACKAGE run on SYSTEM, or SYSTEM's repository offer it.
fits() { [[ " $(fits_of "$1") " == *" $2 "* ]]; }
offers() { [[ " $(offered_of "$1") " == *" $2 "* ]]; }

# runs COMMAND...: run COMMAND with stdin empty, stdout and stderr to $out
# and $err, its exit status in $status. run runs the program so.
runs() { "$@" </dev/null >"$out" 2>"$err"; status=$?; }
run() { runs "$prog" "$@"; }

# traced [ENV_ARG...]: run the program through env(1), which takes options
# such as --ignore-signal=PIPE and NAME=VALUE pairs, with its library calls
# logged to $log. Only the program is traced, not env. traced_command sets
# $cmd to that command instead, for broken.
traced_command() {
    # LD_PRELOAD splits at spaces, and the build's path may hold some.
    [ -f "$work/calltrace.so" ] || cp "${CALLTRACE_LIB:?}" "$work/calltrace.so"
    rm -f "$log"
    cmd=(env "$@" CALLTRACE_LOG="$log" LD_PRELOAD="$work/calltrace.so" "$prog")
}
traced() { traced_command "$@"; runs "${cmd[@]}"; }

# broken FD HOW COMMAND...: run the external COMMAND, stdin empty, with
# file descriptor FD (1 or 2) failing as HOW says, by real faults of the
# kernel, and the other of stdout and stderr to $out or $err; its exit
# status in $status. HOW is one of
#   (empty)      nothing fails: FD goes to its file as well
#   closed       not open at all
#   full         /dev/full, where every write fails with ENOSPC
#   broken-pipe  a pipe whose reader has gone: SIGPIPE, or EPIPE if ignored
#   full-pipe    a non-blocking pipe that is already full: EAGAIN
#   file-limit   a file that reaches the file-size limit halfway through the
#                expected output, so $kept bytes fit: SIGXFSZ, or EFBIG
broken() {
    local fd=$1 how=$2 limit=65536 files=([1]='>"$out"' [2]='2>"$err"')
    shift 2
    kept=$(($(wc -c <"$expected_out") / 2))
    # The shell's own note of a signal that ended the command goes nowhere.
    (
        set -e
        exec </dev/null
        eval "exec ${files[3 - fd]}"
        case $how in
        '') eval "exec ${files[fd]}" ;;
        closed) eval "exec $fd>&-" ;;
        full) eval "exec $fd>/dev/full" ;;
        *-pipe)
            # Opened both ways first, so that opening it to write does not
            # wait. A broken pipe's only reader is then closed; a full one's
            # reads but never does, and perl makes the writing end
            # non-blocking (the flag stays with it) and fills the pipe.
            rm -f "$work/pipe" && mkfifo "$work/pipe"
            exec 3<>"$work/pipe" 4>"$work/pipe"
            [ "$how" = full-pipe ] || exec 3<&-
            [ "$how" = broken-pipe ] || perl -MFcntl -e 'open(my $w, ">&=", 4) or die;
                fcntl($w, F_SETFL, fcntl($w, F_GETFL, 0) | O_NONBLOCK) or die;
                1 while syswrite($w, "x" x 4096); 1 while syswrite($w, "x");
                $!{EAGAIN} or die "$!"'
            eval "exec $fd>&4 4>&-"
            ;;
        file-limit)
            # The file already holds all but $kept bytes of the limit, so the
            # output crosses it while the call log, a file of its own written
            # from its start, stays well under it.
            head -c $((limit - kept)) /dev/zero >"$work/file"
            eval "exec $fd>>\"\$work/file\""
            ulimit -f $((limit / 1024)) -c 0
            ;;
        esac
        exec "$@"
    ) 2>/dev/null
    status=$?
}

# expect_status N|SIGNAL: the exit status was N, or SIGNAL (PIPE, XFSZ)
# ended the process.
expect_status() {
    local got=$status want=$1
    [ "$status" -le 128 ] || got=$(kill -l "$status" 2>/dev/null)
    [[ $want == [0-9]* ]] || want="to be ended by SIG$1"
    [ "$got" = "$1" ] || fail "exit status $status, expected $want; stderr: $(cat "$err")"
}

expect_quiet_stderr() { [ ! -s "$err" ] || fail "wrote to stderr: $(cat "$err")"; }
expect_no_output() { [ ! -s "$out" ] || fail "wrote to stdout: $(head -c 200 "$out")"; }

# expect_same WHAT EXPECTED GOT: the two files hold the same bytes, or the
# test fails saying WHAT, and how they differ. Either may be a pipe (<(...)):
# each is read once.
expect_same() { local how && how=$(diff "$2" "$3") || fail "$1:"$'\n'"$(cat -A <<<"$how")"; }

# expect_output: exit 0, nothing on stderr and exactly the expected bytes.
expect_output() {
    expect_status 0
    expect_quiet_stderr
    expect_same "stdout differs from $name/expected.out" "$expected_out" "$out"
}

# The logged calls, with each address replaced by A, B, ... in order of
# appearance.
traced_calls() {
    awk '{ for (i = 1; i <= NF; i++)
        if ($i ~ /^0x[0-9a-f]+$/) $i = ($i in id) ? id[$i] : (id[$i] = sprintf("%c", 65 + n++)) } 1' "$log"
}

expect_calls() { expect_same "library calls differ" "$expected_calls" <(traced_calls); }

# runtime NAME: set loader and libdir to the glibc runtime of that release
# or runtime row, fetched by the fetch-NAME test, after making sure it is
# the glibc the table gives for it.
runtime() {
    local release=$1 root=$debian_dir/$1-runtime version banner
    version=$(glibc_of "$release")
    # A runtime that is not a release's comes from npm: where its fetch was
    # skipped (no npm, or its registry out of reach), so is this.
    if [ ! -d "$root" ] && [[ " $releases " != *" $release "* ]]; then
        needs_tool npm
        [ ! -f "$root.unreachable" ] || skip "$(cat "$root.unreachable")"
    fi
    loader=$(find "$root" -name ld-linux-x86-64.so.2 -print -quit)
    libdir=$(find "$root" -name libc.so.6 -printf '%h\n' -quit)
    [ -x "$loader" ] && [ -f "$libdir/libc.so.6" ] || fail "no glibc runtime in $root"
    banner=$("$loader" --library-path "$libdir" "$libdir/libc.so.6" | head -n 1)
    [[ $banner == *"release version $version"[.,]* ]] || fail "$root is not glibc $version: $banner"
}

# host_root RELEASE DIR: a Debian system of RELEASE as a build machine,
# with only what make run, make check, make lint and make rebuild use (by
# the packages that scripts/tools.txt gives for them, of those the release
# has, by its verified lists in the download cache) and the keyring that
# the fetches verify the archive against: made once by mmdebstrap, and
# unpacked into DIR.
host_root() {
    local tools lists
    tools=$(awk -v used="g++ cmake make readelf valgrind strace man dpkg-shlibdeps gpg gpgv /usr/bin/time clang-format
        clang-tidy cppcheck rpmbuild rpmlint lintian hardening-check cpio debian-archive-keyring prlimit npm shellcheck git" \
        '{ package[$1] = $2 } END { n = split(used, c); for (i = 1; i <= n; i++) print (c[i] in package ? package[c[i]] : c[i]) }' \
        "$source_dir/scripts/tools.txt" | xargs)
    lists=$(find "${XDG_CACHE_HOME:-$HOME/.cache}/libcwork/debian/$1/lists" -name '*_main_binary-amd64_Packages' 2>/dev/null | head -n 1)
    [ -z "$lists" ] || tools=$(for tool in $tools; do ! grep -qx "Package: $tool" "$lists" || echo "$tool"; done | xargs)
    "$source_dir/scripts/debfetch.sh" --system "$1" "$debian_dir/$1-host.tar" $tools || fail "could not make the $1 root"
    mkdir "$2" && tar -xf "$debian_dir/$1-host.tar" -C "$2" || fail "could not unpack the $1 root"
}

# cache_for UID DIR: DIR/cache/libcwork, the download cache of the user
# UID, holding what ours does: the entries linked (each is checked again
# at its every use), the package lists copied, and all but the entries the
# user's.
cache_for() {
    local ours=${XDG_CACHE_HOME:-$HOME/.cache}/libcwork mine=$2/cache/libcwork
    mkdir -p "$mine" && cp -rl "$ours"/sha* "$mine/" &&
        find "$ours" -mindepth 1 -maxdepth 1 ! -name 'sha*' -exec cp -r -t "$mine" {} + &&
        find "$2/cache" -path "$mine/sha*" -type f -prune -o -exec chown "$1:$1" {} +
}
