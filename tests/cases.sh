#!/usr/bin/env bash
# cases.sh CASE PROGRAM [ARG]: one check of one built program. Each case is
# a function below; tests/CMakeLists.txt says which program gets which.
. "${0%/*}/lib.sh"

# The whole output, also with arguments, which it ignores, and with stdin
# closed.
case_output() {
    run; expect_output
    as "with arguments"; run one --help -v '' "two words"; expect_output
    as "with stdin closed"; "$prog" <&- >"$out" 2>"$err"; status=$?; expect_output
}
case_calls() { traced; expect_output; expect_calls; }

# Output that cannot be written changes nothing else: every call is still
# made and nothing goes to stderr. The exit status stays 0, unless the
# kernel's signal for the fault ends the process at its exit, as it would
# any command: SIGPIPE for a pipe without a reader, SIGXFSZ past the
# file-size limit. Ignored, they leave exit status 0.
case_stdout_fails() {
    stdout_fails closed 0; stdout_fails full 0; stdout_fails full-pipe 0
    stdout_fails broken-pipe 0 --ignore-signal=PIPE; stdout_fails broken-pipe PIPE --default-signal=PIPE
    stdout_fails file-limit 0 --ignore-signal=XFSZ; stdout_fails file-limit XFSZ --default-signal=XFSZ
}

# stdout_fails HOW 0|SIGNAL [ENV_ARG...]
stdout_fails() {
    local how=$1 end=$2
    shift 2
    as "stdout $how${*:+, $*}"
    traced_command "$@"
    broken 1 "$how" "${cmd[@]}"
    expect_status "$end"
    expect_quiet_stderr
    expect_calls
    # What fit under the limit is the start of the output, uncorrupted.
    [ "$how" != file-limit ] || expect_same "the file does not end in the first $kept bytes of the output" \
        <(head -c "$kept" "$expected_out") <(tail -c "$kept" "$work/file")
}

# Each run writes its whole output in one write(2), also into a pipe: at
# most PIPE_BUF bytes, so runs that share a pipe never interleave.
case_pipe_one_write() {
    needs_tool strace
    strace -qq -e trace=write -o "$log" "$prog" </dev/null 2>"$err" | cat >"$out"
    status=${PIPESTATUS[0]}
    expect_output
    [ "$(grep -c '^write(1,' "$log")" = 1 ] || fail "not one write(2):"$'\n'"$(cat "$log")"
}

# The program's 40-byte malloc fails: nothing is touched or listed, and the
# failure is reported as one; with stderr broken too, the report is lost
# but the exit status still tells.
case_out_of_memory() { local how && for how in "" closed full broken-pipe; do out_of_memory_with_stderr "$how"; done; }

out_of_memory_with_stderr() {
    as "stderr ${1:-as it is}"
    traced_command --ignore-signal=PIPE CALLTRACE_FAIL_MALLOC=40
    broken 2 "$1" "${cmd[@]}"
    expect_status 1
    expect_no_output
    [ -n "$1" ] || expect_same "stderr is not $name/expected.err, which the man page quotes" "$expected_err" "$err"
    expect_same "calls after the failed malloc" <(echo "malloc 40 NULL") <(traced_calls)
}

# Real allocation failure: under a data-segment limit lowered a page at a
# time, with no preload and no malloc tunables, on the glibc the build links
# against, every run ends in one of three ways: the whole output; the
# out-of-memory report alone; or, lowest, the loader giving up before main
# with nothing on stdout. The walk starts at the first limit, doubling from
# a page, that gives the whole output, and ends where the loader gives up.
case_data_limit() {
    local page limit cmd=("$prog") reports=0 outcome lowest_full=""
    if [[ " $runtimes " == *" $sysroot "* ]]; then
        runtime "$sysroot"
        cmd=("$loader" --library-path "$libdir" "$prog")
    fi
    page=$(getconf PAGESIZE)
    # The limit is set by the shell that becomes the program, with an
    # empty environment: no other command runs under it, and none is
    # started for it (a walk runs the program dozens of times).
    run_limited() {
        (ulimit -d $(($1 / 1024)) && exec -c "${cmd[@]}") </dev/null >"$out" 2>"$err"
        status=$? outcome=other
        case $status in
        0) [ ! -s "$err" ] && cmp -s "$expected_out" "$out" && outcome=output ;;
        1) [ ! -s "$out" ] && cmp -s "$expected_err" "$err" && outcome=report ;;
        127) [ ! -s "$out" ] && [ -s "$err" ] && ! grep -q 'out of memory' "$err" && outcome=loader ;;
        esac
    }
    for ((limit = page; ; limit *= 2)); do
        run_limited $limit
        [ $outcome = output ] && break
        [ $limit -lt $((1 << 30)) ] || fail "never ran in full under a data limit"
    done
    for (( ; ; limit -= page)); do
        run_limited $limit
        case $outcome in
        output) lowest_full=$limit ;;
        report) reports=$((reports + 1)) ;;
        loader) break ;;
        other) fail "under a data limit of $limit bytes: exit status $status," \
            "stdout: $(head -c 200 "$out" | cat -A), stderr: $(cat "$err")" ;;
        esac
    done
    [ "$reports" -gt 0 ] || fail "no data limit gave the out-of-memory report"
    echo "whole output down to $((lowest_full / 1024)) KiB; out-of-memory report for" \
        "$reports pages below; the loader gives up at $((limit / 1024)) KiB"
}

case_needed() {
    needed=$(readelf -d "$prog" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    [ "$needed" = "libc.so.6" ] || fail "NEEDED is not libc.so.6 alone:"$'\n'"$needed"
}

case_hardening() {
    readelf -h "$prog" | grep -q 'Type:.*DYN' || fail "not a position-independent executable"
    readelf -d "$prog" | grep -q 'FLAGS_1.*PIE' || fail "no PIE flag"
    readelf -d "$prog" | grep -q 'BIND_NOW' || fail "not linked with -z now"
    readelf -lW "$prog" | grep -q 'GNU_RELRO' || fail "no RELRO segment"
    readelf -lW "$prog" | grep 'GNU_STACK' | grep -q 'RW ' || fail "stack is executable"
    readelf --dyn-syms -W "$prog" | grep -q '__stack_chk_fail' || fail "no stack protector"
    ! readelf --dyn-syms -W "$prog" | grep -q '_chk@' || fail "fortified calls replace the plain ones"
    # Control-flow protection: main is entered through endbr64. (The IBT
    # and SHSTK property follows glibc's start files, which on Debian 11 to
    # 13 carry none: see docs/building.md.)
    objdump -d --no-show-raw-insn "$prog" | awk '/^[0-9a-f]+ <main>:/ { getline; print; exit }' |
        grep -q endbr64 || fail "main does not begin with endbr64: built without -fcf-protection"
}

case_memcheck() {
    needs_tool valgrind
    runs valgrind -q --error-exitcode=99 --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all "$prog"
    expect_output
}

case_printhello() {
    # printhello() is a global routine of its own: not static, not in an
    # anonymous namespace, and not folded into main.
    local symbol=_Z10printhellov
    nm "$prog" | grep -q " T $symbol\$" ||
        fail "printhello is not a global routine of its own: $(nm -C "$prog" | grep printhello)"
    objdump -d --no-show-raw-insn "$prog" | awk -v s="<$symbol>" '/^[0-9a-f]+ <main>:/ { m = 1; next } /^$/ { m = 0 }
        m && /call/ && index($0, s) { n++ } END { exit !n }' || fail "main does not call printhello"
    # At run time, every puts returns into printhello: it writes every line.
    traced CALLTRACE_CALLERS=1
    expect_output
    expect_same "not every line is written by printhello" <(sed "s/\$/ $symbol/" "$expected_calls") \
        <(while read -r call _ at; do echo "$call $(routine_at "$at")"; done <"$log")
}

# routine_at ADDRESS: the routine of the program that ADDRESS lies in, by nm.
routine_at() {
    local addr type symbol found=none
    while read -r addr type symbol; do
        [ $((16#$addr)) -le $(($1)) ] || break
        case $type in [tTwW]) found=$symbol ;; esac
    done < <(nm -n --defined-only "$prog")
    echo "$found"
}

# What is listed is read from the heap copy: when memcpy delivers other
# values than the source's, the lines show those values.
case_heap_copy() {
    traced CALLTRACE_MEMCPY_ADD=100
    expected_out=$work/plus100
    awk -F= '{ print $1 "=" $2 + 100 }' "$source_dir/$name/expected.out" >"$expected_out"
    expect_output
    expect_calls
}

# Storing and listing alternate: at the k-th line, exactly the first k
# elements hold their values, and the block's poison is still in the rest.
case_store_then_list() {
    traced CALLTRACE_POISON=1
    expect_output
    # Line k of the log: "printf", the values of the first k lines, then
    # "-" for each element not yet stored.
    expect_same "the block at each line is not as stored so far" <(cut -d= -f2 "$expected_out" | awk '
        { v[NR] = $1 } END { for (k = 1; k <= NR; k++) {
            line = "printf"
            for (i = 1; i <= NR; i++) line = line " " (i <= k ? v[i] : "-")
            print line
        } }') <(grep '^printf' "$log")
}

# The newest glibc symbol version it needs is within its generation's bound.
case_glibc_newest() {
    floor=$("$source_dir/scripts/glibc-floor.sh" "$prog") || fail "could not read its symbol versions"
    version_at_most "$floor" "$newest" ||
        fail "needs GLIBC_$floor; the $generation generation may need nothing newer than GLIBC_$newest"
    echo "$generation/$name runs on glibc $floor and later"
}

# The page renders without warnings and lists what the program really prints.
case_manual() {
    needs_tool man
    LC_ALL=C.UTF-8 MANWIDTH=80 runs man --warnings -E UTF-8 -l "$build_dir/man/$name.1"
    expect_status 0
    [ ! -s "$err" ] || fail "man page warnings:"$'\n'"$(cat "$err")"
    # The listing: after "to standard output:" and a blank line, up to the
    # next blank line.
    expect_same "the page's listing is not the output" <(awk '/to standard output:$/ { at = 1; next }
        at == 1 && /^$/ { at = 2; next } at == 2 && /^$/ { exit } at == 2 { sub(/^ +/, ""); print }' "$out") <("$prog")
}

case_install() {
    DESTDIR=$work/root cmake --install "$build_dir" --prefix /opt/x >/dev/null 2>"$err" ||
        fail "cmake --install failed: $(cat "$err")"
    [ -f "$work/root/opt/x/share/man/man1/$name.1" ] || fail "man page not installed"
    prog=$work/root/opt/x/bin/$name
    run
    expect_output
    # Uninstalled, nothing it put there is left, and what lies elsewhere is
    # neither touched nor struck from the record.
    (cd "$work/root" && find "$PWD/opt" -type f) >"$work/installed"
    echo "$work/elsewhere" | tee -a "$work/installed" >"$work/elsewhere"
    "$source_dir/scripts/uninstall.sh" "$work/installed" "$work/root/opt/x/" >/dev/null ||
        fail "uninstall.sh failed"
    [ -z "$(find "$work/root" -type f)" ] || fail "uninstalled, and still there: $(find "$work/root" -type f)"
    [ -f "$work/elsewhere" ] && [ "$(cat "$work/installed")" = "$work/elsewhere" ] ||
        fail "uninstall touched what lies elsewhere"
}

# On a glibc older than the one it needs, the loader must refuse it, naming
# that version; elsewhere it runs exactly as at home.
case_glibc() {
    local release=$1
    runtime "$release"
    runs "$loader" --library-path "$libdir" "$prog" one --two
    if fits "$release" "$package"; then
        expect_output
    else
        [ "$status" != 0 ] || fail "glibc of $release started it, and the table says $package does not run there"
        grep -q "version \`GLIBC_[0-9.]*' not found" "$err" || fail "refused for another reason: $(cat "$err")"
        expect_no_output
        echo "refused on $release, as it must be: $(cat "$err")"
    fi
}

# The program the case is about, and its expected facts.
prog=$2 name=${2##*/}
expected_out=$source_dir/$name/expected.out expected_calls=$source_dir/$name/expected.calls
expected_err=$source_dir/$name/expected.err
run_case "$1" "${@:3}"
