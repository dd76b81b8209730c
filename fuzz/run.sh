#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs each fuzz target for a bounded time, starting from the examples and the test scripts as
# seeds and keeping what it learns in the build folder; prints the figures of the run. A crash
# stops the run with the failing input saved beside the logs (replay it: TARGET FILE).
# usage: fuzz/run.sh BUILD_DIR SECONDS_PER_TARGET
set -euo pipefail
build=$(cd "$1" && pwd)
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)
work=$build/fuzz

seeds=$work/seeds
rm -rf "$seeds"
mkdir -p "$seeds" "$work/artifacts"
for script in "$root"/examples/*.tovo "$root"/tests/scripts/*/*.tovo; do
    area=$(basename "$(dirname "$script")")
    cp "$script" "$seeds/${area}_$(basename "$script")"
done

for target in script storm; do
    corpus=$work/corpus/$target
    log=$work/$target.log
    mkdir -p "$corpus"
    dict=()
    [ -f "$root/fuzz/$target.dict" ] && dict=(-dict="$root/fuzz/$target.dict")
    if ! "$build/bin/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$work/artifacts/$target-" "${dict[@]}" \
        "$corpus" "$seeds" >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "fuzz $target: failed; the input is in $work/artifacts" >&2
        exit 1
    fi
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')
    echo "fuzz $target: $runs executions in ${seconds}s, corpus $(ls "$corpus" | wc -l) inputs"
    grep '^storm:' "$log" || true
done
