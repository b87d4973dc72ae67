#!/usr/bin/env bash
# Fuzzes the control interface and Tolvane's readers and selection with libFuzzer.
#
#   ./fuzz.sh SECONDS [TARGET...]
#
# Builds the fuzz preset (clang, AddressSanitizer, UndefinedBehaviorSanitizer), then runs each
# target (control, tolvane_readers, tolvane_select; all by default) for SECONDS on one core,
# one after the other, starting from the seed corpus in tests/fuzz/corpus/TARGET and the
# inputs kept from earlier runs in build/fuzz/corpus/TARGET. Prints, per target, the executions,
# the executions per second and the findings (crash, timeout and out-of-memory inputs, kept in
# build/fuzz/findings/TARGET with the run's log beside them). Exits 1 when there is a finding.
# FUZZ_SEED fixes libFuzzer's random seed (0, the default, lets it choose one).
set -euo pipefail
cd "$(dirname "$0")"

if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]]; then
    echo "usage: $0 SECONDS [control|tolvane_readers|tolvane_select ...]" >&2
    exit 2
fi
seconds=$1
shift
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(control tolvane_readers tolvane_select)
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

total_findings=0
printf '%-16s %12s %10s %9s\n' target executions exec/s findings
for target in "${targets[@]}"; do
    binary=build/fuzz/tests/fuzz/fuzz_$target
    seeds=tests/fuzz/corpus/$target
    corpus=build/fuzz/corpus/$target
    findings=build/fuzz/findings/$target
    log=build/fuzz/findings/$target.log
    if [ ! -x "$binary" ] || [ ! -d "$seeds" ]; then
        echo "no fuzz target named $target" >&2
        exit 2
    fi
    mkdir -p "$corpus" "$findings"
    # Leak detection stays off: the driver allocates nothing, and the harness keeps one
    # machine for the whole run, which libFuzzer would take for a leak and run every such
    # input twice. Short inputs keep one execution to a handful of requests.
    status=0
    "$binary" "$corpus" "$seeds" -max_total_time="$seconds" -max_len=256 -timeout=20 \
        -seed="${FUZZ_SEED:-0}" \
        -rss_limit_mb=2048 -detect_leaks=0 -print_final_stats=1 \
        -artifact_prefix="$findings/" >"$log" 2>&1 || status=$?
    executions=$(awk '/stat::number_of_executed_units/ {print $2}' "$log")
    rate=$(awk '/stat::average_exec_per_sec/ {print $2}' "$log")
    found=$(find "$findings" -maxdepth 1 -type f \
        \( -name 'crash-*' -o -name 'timeout-*' -o -name 'oom-*' -o -name 'leak-*' \) | wc -l)
    if [ "$status" -ne 0 ] && [ "$found" -eq 0 ]; then
        # libFuzzer stopped without leaving an input: report the run itself as the finding.
        found=1
        tail -n 30 "$log" >&2
    fi
    printf '%-16s %12s %10s %9s\n' "$target" "${executions:-?}" "${rate:-?}" "$found"
    total_findings=$((total_findings + found))
done

if [ "$total_findings" -ne 0 ]; then
    echo "findings: see build/fuzz/findings/" >&2
    exit 1
fi
