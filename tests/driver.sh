#!/usr/bin/env bash
# driver.sh CASE PROGRAM: one check of one built program.
#
# Environment, set by the test list: SOURCE_DIR, BUILD_DIR, GENERATION
# (current or legacy), CALLTRACE_LIB (the call-logging preload library) and
# GLIBC_CACHE_DIR (fetched glibc runtimes).
set -u
: "${SOURCE_DIR:?}" "${BUILD_DIR:?}" "${GENERATION:?}" "${CALLTRACE_LIB:?}" "${GLIBC_CACHE_DIR:?}"
expected=$SOURCE_DIR/tests/expected
case=$1 prog=$2
name=$(basename "$prog")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
out=$work/out err=$work/err log=$work/log

fail() {
    echo "FAIL $GENERATION/$name $case: $*" >&2
    exit 1
}

# run [ARG...]: run the program with stdin empty, stdout and stderr to files.
run() {
    "$prog" "$@" </dev/null >"$out" 2>"$err"
    status=$?
}

expect_status() {
    [ "$status" = "$1" ] || fail "exit status $status, expected $1; stderr: $(cat "$err")"
}

expect_quiet_stderr() {
    [ ! -s "$err" ] || fail "wrote to stderr: $(cat "$err")"
}

expect_exact_output() {
    expect_status 0
    expect_quiet_stderr
    cmp -s "$expected/$name.out" "$out" ||
        fail "stdout differs from $name.out:"$'\n'"$(diff "$expected/$name.out" "$out" | cat -A)"
}

# The calls the program must make, in order; addresses become A, B, ...
expected_calls() {
    case $name in
    bufcopy) echo "malloc 40 A" && echo "memcpy A 40" && yes printf | head -n 10 && echo "free A" ;;
    buffill) echo "malloc 40 A" && yes printf | head -n 10 && echo "free A" ;;
    greetloop) yes puts | head -n 4 ;;
    esac
}

traced_calls() {
    awk '{
        for (i = 1; i <= NF; i++)
            if ($i ~ /^0x[0-9a-f]+$/) {
                if (!($i in id)) id[$i] = sprintf("%c", 65 + n++)
                $i = id[$i]
            }
        print
    }' "$log"
}

expect_calls() {
    [ "$(traced_calls)" = "$(expected_calls)" ] ||
        fail "library calls differ:"$'\n'"$(diff <(expected_calls) <(traced_calls))"
}

# run_on_glibc VERSION: run the program through the loader of a fetched
# glibc runtime, after making sure that runtime is the version named.
run_on_glibc() {
    local version=$1 root=$GLIBC_CACHE_DIR/runtime-$1 loader libdir banner
    loader=$(find "$root" -name 'ld-linux-x86-64.so.2' | head -n 1)
    libdir=$(dirname "$(find "$root" -name libc.so.6 | head -n 1)")
    [ -x "$loader" ] && [ -f "$libdir/libc.so.6" ] || fail "no glibc runtime in $root"
    banner=$("$loader" --library-path "$libdir" "$libdir/libc.so.6" | head -n 1)
    case $banner in
    *"release version $version".*) ;;
    *) fail "$root is not glibc $version: $banner" ;;
    esac
    "$loader" --library-path "$libdir" "$prog" one --two </dev/null >"$out" 2>"$err"
    status=$?
}

case $case in
output)
    run
    expect_exact_output
    ;;
arguments)
    run one --help -v '' "two words"
    expect_exact_output
    ;;
stdin-closed)
    "$prog" <&- >"$out" 2>"$err"
    status=$?
    expect_exact_output
    ;;
stdout-closed | stdout-full)
    # Output that cannot be written changes nothing else: every call is
    # still made, nothing goes to stderr, and the exit status stays 0.
    if [ "$case" = stdout-closed ]; then
        CALLTRACE_LOG=$log LD_PRELOAD=$CALLTRACE_LIB "$prog" </dev/null >&- 2>"$err"
    else
        CALLTRACE_LOG=$log LD_PRELOAD=$CALLTRACE_LIB "$prog" </dev/null >/dev/full 2>"$err"
    fi
    status=$?
    expect_status 0
    expect_quiet_stderr
    expect_calls
    ;;
calls)
    CALLTRACE_LOG=$log LD_PRELOAD=$CALLTRACE_LIB run
    expect_exact_output
    expect_calls
    ;;
out-of-memory)
    CALLTRACE_LOG=$log CALLTRACE_FAIL_MALLOC=40 LD_PRELOAD=$CALLTRACE_LIB run
    expect_status 1
    [ ! -s "$out" ] || fail "wrote to stdout without a buffer: $(cat "$out")"
    [ "$(cat "$err")" = "$name: out of memory" ] || fail "stderr: $(cat "$err")"
    [ "$(traced_calls)" = "malloc 40 NULL" ] ||
        fail "calls after the failed malloc:"$'\n'"$(traced_calls)"
    ;;
needed)
    needed=$(readelf -d "$prog" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    [ "$needed" = "libc.so.6" ] || fail "NEEDED is not libc.so.6 alone:"$'\n'"$needed"
    ;;
hardening)
    readelf -h "$prog" | grep -q 'Type:.*DYN' || fail "not a position-independent executable"
    readelf -d "$prog" | grep -q 'FLAGS_1.*PIE' || fail "no PIE flag"
    readelf -d "$prog" | grep -q 'BIND_NOW' || fail "not linked with -z now"
    readelf -lW "$prog" | grep -q 'GNU_RELRO' || fail "no RELRO segment"
    readelf -lW "$prog" | grep 'GNU_STACK' | grep -q 'RW ' || fail "stack is executable"
    # Only functions with arrays on the stack get a guard: bufcopy's main.
    if [ "$name" = bufcopy ]; then
        readelf --dyn-syms -W "$prog" | grep -q '__stack_chk_fail' || fail "no stack protector"
    fi
    ! readelf --dyn-syms -W "$prog" | grep -q '_chk@' || fail "fortified calls replace the plain ones"
    ;;
memcheck)
    valgrind -q --error-exitcode=99 --leak-check=full --show-leak-kinds=all \
        --errors-for-leak-kinds=all "$prog" </dev/null >"$out" 2>"$err"
    status=$?
    expect_exact_output
    ;;
printhello)
    nm "$prog" | grep -q ' T _Z10printhellov$' || fail "printhello is not a routine with external linkage"
    calls=$(objdump -d --no-show-raw-insn "$prog" |
        awk '/^[0-9a-f]+ <main>:/ { m = 1; next } /^$/ { m = 0 } m && /call.*<_Z10printhellov>/' | wc -l)
    [ "$calls" -ge 1 ] || fail "main does not call printhello"
    ;;
glibc-floor)
    floor=$("$SOURCE_DIR/scripts/glibc-floor.sh" --check "$GENERATION" "$prog" 2>"$err") ||
        fail "$(cat "$err")"
    echo "$GENERATION/$name runs on glibc $floor and later"
    ;;
manual)
    page=$SOURCE_DIR/man/$name.1
    LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" >"$out" 2>"$err"
    status=$?
    expect_status 0
    [ ! -s "$err" ] || fail "man page warnings:"$'\n'"$(cat "$err")"
    floor=$("$SOURCE_DIR/scripts/glibc-floor.sh" "$prog") || fail "could not read its symbol versions"
    tr -s ' \n' ' ' <"$out" | grep -q "needs glibc $floor or later" ||
        fail "the man page does not say this build needs glibc $floor or later"
    ;;
install)
    DESTDIR=$work/root cmake --install "$BUILD_DIR" --prefix /opt/x >/dev/null 2>"$err" ||
        fail "cmake --install failed: $(cat "$err")"
    [ -f "$work/root/opt/x/share/man/man1/$name.1" ] || fail "man page not installed"
    prog=$work/root/opt/x/bin/$name
    run
    expect_exact_output
    ;;
glibc-2.31 | glibc-2.36 | glibc-2.41)
    version=${case#glibc-}
    run_on_glibc "$version"
    if [ "$GENERATION" = current ] && [ "$version" = 2.31 ]; then
        [ "$status" != 0 ] || fail "glibc 2.31 started a program that needs 2.34"
        grep -q "version \`GLIBC_2.34' not found" "$err" ||
            fail "glibc 2.31 refused it for another reason: $(cat "$err")"
        [ ! -s "$out" ] || fail "wrote output on a glibc it cannot run on"
        echo "refused by glibc 2.31, as it must be: $(cat "$err")"
    else
        expect_exact_output
    fi
    ;;
*)
    fail "unknown case"
    ;;
esac
exit 0
