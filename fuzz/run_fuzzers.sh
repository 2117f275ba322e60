#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (AddressSanitizer and UndefinedBehaviorSanitizer
# on) and runs each for a while over a copy of its committed corpus, which stays unchanged.
#
#   bash fuzz/run_fuzzers.sh [SECONDS] [BUILD_DIR]
#
# SECONDS per target (default 20); BUILD_DIR (default build-fuzz) is configured when it has no
# CMake cache yet. FUZZ_TARGETS narrows the list; FUZZ_PARALLEL targets run at a time (default 2).
# Prints per target the executions, executions per second, coverage and findings; exits non-zero
# when any target crashed, leaked, broke a property or drew a sanitizer report. Inputs that did
# are kept in BUILD_DIR/fuzz-findings/TARGET/.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
SECONDS_PER_TARGET=${1:-20}
BUILD_DIR=${2:-build-fuzz}
case "$BUILD_DIR" in /*) ;; *) BUILD_DIR="$ROOT/$BUILD_DIR" ;; esac
PARALLEL=${FUZZ_PARALLEL:-2}
TARGETS=${FUZZ_TARGETS:-"fuzz_gbk2utf8 fuzz_utf82gbk fuzz_utf fuzz_path_utils fuzz_reply fuzz_sim_decode fuzz_intake fuzz_http"}

if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD_DIR" -DFANOUT_BUILD_FUZZERS=ON \
        -DFANOUT_SANITIZE=ON -DFANOUT_BUILD_TESTS=OFF -DFANOUT_BUILD_BENCH=OFF -DFANOUT_WERROR=ON
fi
# shellcheck disable=SC2086
cmake --build "$BUILD_DIR" -j 2 --target $TARGETS

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
for target in $TARGETS; do
    rm -rf "$BUILD_DIR/fuzz-findings/$target"
done

# Runs one target in WORK/TARGET and leaves its log there.
run_target() {
    local target=$1 dir="$WORK/$1"
    mkdir -p "$dir"
    cp -r "$ROOT/fuzz/corpus/$target" "$dir/corpus"
    local rc=0
    (cd "$dir" && "$BUILD_DIR/bin/$target" -max_total_time="$SECONDS_PER_TARGET" \
        -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 -artifact_prefix="$dir/" \
        corpus >"$dir/log" 2>&1) || rc=$?
    echo "$rc" >"$dir/rc"
}

# A statistic from libFuzzer's final report, or "?".
final_stat() {
    local value
    value=$(sed -n "s/^stat::$2: *//p" "$1" | tail -n 1)
    echo "${value:-?}"
}

running=0
for target in $TARGETS; do
    if [ "$running" -ge "$PARALLEL" ]; then
        wait -n || true
        running=$((running - 1))
    fi
    run_target "$target" &
    running=$((running + 1))
done
wait

status=0
printf '%-18s %12s %10s %8s  %s\n' target executions exec/s cov findings
for target in $TARGETS; do
    dir="$WORK/$target"
    log="$dir/log"
    execs=$(final_stat "$log" number_of_executed_units)
    rate=$(final_stat "$log" average_exec_per_sec)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
    reports=$(grep -cE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|property violated' "$log" || true)
    artifacts=$(find "$dir" -maxdepth 1 -name 'crash-*' -o -maxdepth 1 -name 'leak-*' \
        -o -maxdepth 1 -name 'timeout-*' -o -maxdepth 1 -name 'oom-*' | wc -l)
    rc=$(cat "$dir/rc")
    findings="none"
    if [ "$rc" != 0 ] || [ "$reports" != 0 ] || [ "$artifacts" != 0 ]; then
        status=1
        findings="exit $rc, $reports reports, $artifacts inputs kept"
        keep="$BUILD_DIR/fuzz-findings/$target"
        mkdir -p "$keep"
        find "$dir" -maxdepth 1 \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
            -o -name 'oom-*' \) -exec cp {} "$keep/" \;
        cp "$log" "$keep/log"
    fi
    printf '%-18s %12s %10s %8s  %s\n' "$target" "$execs" "$rate" "${cov:-?}" "$findings"
done
for target in $TARGETS; do
    if [ -f "$BUILD_DIR/fuzz-findings/$target/log" ]; then
        echo "--- $target (kept in $BUILD_DIR/fuzz-findings/$target):"
        grep -E -A 12 'ERROR:|runtime error:|property violated' "$BUILD_DIR/fuzz-findings/$target/log" | head -n 40
    fi
done
exit "$status"
