#!/usr/bin/env bash
# Runs each fuzz target for a bounded time (seconds, default 60), growing a
# working corpus under build/fuzz/work from the checked-in one.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
for target in config command; do
    work=$top/build/fuzz/work/$target
    mkdir -p "$work"
    echo "== ${target}_fuzz for ${seconds} s"
    "$top/build/fuzz/tests/fuzz/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
        -max_len=4096 "$work" "$top/tests/fuzz/corpus/$target" 2>&1 |
        grep -E '^#[0-9]+[[:space:]]+DONE|^stat::number_of_executed_units|^stat::new_units_added|ERROR|SUMMARY' || true
done
