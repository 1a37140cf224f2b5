#!/usr/bin/env bash
# A bounded fuzzing session: each libFuzzer harness of a FUZZ=ON build runs
# for the given seconds from its seed corpus (the build's
# tests/fuzz/targets.txt names both), two at a time. New inputs go to
# <build>/fuzz-corpus, crashing ones to <build>/fuzz-findings; any finding
# fails the run. Usage: tests/fuzz/run_fuzzers.sh <build folder> <seconds per harness>
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$1
seconds=$2
mapfile -t targets <"$build/tests/fuzz/targets.txt"
parallel=2

run_one() {
    local target=${1%%:*} corpus=${1#*:}
    local log=$build/fuzz-logs/$target.log
    mkdir -p "$build/fuzz-corpus/$target" "$build/fuzz-findings/$target"
    if "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -close_fd_mask=3 -print_final_stats=1 \
        -artifact_prefix="$build/fuzz-findings/$target/" \
        "$build/fuzz-corpus/$target" "tests/fuzz/corpus/$corpus" >"$log" 2>&1; then
        echo "fuzz_$target: $(grep -m1 '^Done ' "$log")"
    else
        echo "fuzz_$target: FINDING, see $log and $build/fuzz-findings/$target/"
        grep -m5 -E 'ERROR|SUMMARY|runtime error' "$log" || true
        return 1
    fi
}

rm -rf "$build/fuzz-logs"
mkdir -p "$build/fuzz-logs"
start=$SECONDS
pids=() failed=0
for target in "${targets[@]}"; do
    run_one "$target" &
    pids+=($!)
    if [ ${#pids[@]} -ge $parallel ]; then
        wait "${pids[0]}" || failed=1
        pids=("${pids[@]:1}")
    fi
done
for pid in "${pids[@]}"; do
    wait "$pid" || failed=1
done
echo "fuzzing took $((SECONDS - start)) s"
exit $failed
