#!/usr/bin/env bash
# bench.sh BUILD_DIR...: for each executable, the instructions it executes
# (callgrind: the same count on a busy machine as on an idle one) against
# those of the baseline, an empty main() built the same way; the write(2)
# calls for its whole output sent to a file; and its peak memory.
#
# Fails unless every program makes exactly one write(2) and costs no more
# than 15% over the baseline.
set -u
limit_percent=15
status=0

instructions() {
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$1" 2>&1 >/dev/null | sed -n 's/.*Collected : //p'
}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

printf '%-28s %12s %12s %10s %7s %7s %9s\n' executable instructions "baseline" "own cost" "over" writes "peak KiB"
for build in "$@"; do
    baseline=$(instructions "$build/bench/bench_baseline")
    for exe in "$build"/bin/*; do
        total=$(instructions "$exe")
        over=$(((total - baseline) * 1000 / baseline))
        strace -qq -e trace=write -o "$tmp/trace" "$exe" >"$tmp/out"
        nwrites=$(grep -c '^write(' "$tmp/trace")
        printf '%-28s %12s %12s %10s %5d.%d%% %7s %9s\n' "$exe" "$total" "$baseline" "$((total - baseline))" \
            $((over / 10)) $((over % 10)) "$nwrites" "$(/usr/bin/time -f %M "$exe" 2>&1 >/dev/null)"
        [ "$nwrites" = 1 ] || { echo "  $exe: $nwrites write(2) calls, expected 1" >&2; status=1; }
        [ "$over" -le $((limit_percent * 10)) ] ||
            { echo "  $exe: more than $limit_percent% over an empty program" >&2; status=1; }
    done
done
exit $status
