#!/bin/sh
# Replays each fuzz target's seed corpus, then fuzzes it for a fixed budget.
# Usage: fuzz/run.sh [build dir, default build/fuzz] [seconds per target, default 10]
# Fails when a target crashes, leaks, trips a sanitizer or hangs (one input over 60 s: a
# 3-byte MPSSE command clocks half a million TCKs, slow under ASan on a busy machine); the
# input that did it is kept in the work directory the script names.
set -u
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build/fuzz}
seconds=${2:-10}
# The targets write files at every input: memory-backed storage keeps them fast.
tmproot=${TMPDIR:-/tmp}
[ -d /dev/shm ] && [ -w /dev/shm ] && tmproot=/dev/shm
work=$(mktemp -d "$tmproot/dorvane-fuzz-run.XXXXXX")
status=0

# target and the longest input worth trying
for entry in address:256 kcf:4096 profile:4096 board:4096 mpsse:1024 receive:512 svf:4096; do
    target=${entry%%:*}
    maxlen=${entry#*:}
    bin=$build/fuzz/fuzz_$target
    seeds=$here/corpus/$target
    if [ ! -x "$bin" ]; then echo "fuzz: $bin not built" >&2; status=1; continue; fi
    mkdir -p "$work/$target/corpus" "$work/$target/tmp"
    cp "$seeds"/* "$work/$target/corpus/"
    log=$work/$target.log
    # The targets' scratch files go under the work directory.
    if ! TMPDIR=$work/$target/tmp "$bin" "$seeds"/* >"$log" 2>&1; then
        echo "fuzz: $target: a seed fails" >&2; tail -n 30 "$log" >&2; status=1; continue
    fi
    start=$(date +%s%N)
    TMPDIR=$work/$target/tmp "$bin" -max_total_time="$seconds" -max_len="$maxlen" -timeout=60 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/$target-" \
        "$work/$target/corpus" >>"$log" 2>&1
    rc=$?
    end=$(date +%s%N)
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    printf '%-8s %6.1f s  %10s execs  %s\n' "$target" "$(awk "BEGIN { print ($end - $start) / 1e9 }")" "${execs:-?}" \
        "$([ $rc -eq 0 ] && echo ok || echo FAILED)"
    if [ $rc -ne 0 ]; then tail -n 40 "$log" >&2; status=1; fi
done
if [ $status -eq 0 ]; then rm -rf "$work"; else echo "fuzz: logs and crashing inputs in $work" >&2; fi
exit $status
