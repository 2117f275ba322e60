#!/usr/bin/env bash
# Checks that the sources follow .clang-format and that the product code is clean under
# .clang-tidy, over the folders listed in tools/source_dirs.sh. Fails when a tool is
# missing or did not run, as well as on any finding.
#
#   tools/check_style.sh [BUILD_DIR]   (BUILD_DIR holds compile_commands.json; default build)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
# shellcheck source=tools/source_dirs.sh
source tools/source_dirs.sh

fail() {
    echo "check_style: $*" >&2
    exit 1
}

for tool in clang-format clang-tidy run-clang-tidy; do
    command -v "$tool" >/dev/null ||
        fail "$tool is not installed (bash tools/setup_deps.sh check installs it)"
done
[ -f "$BUILD/compile_commands.json" ] ||
    fail "no $BUILD/compile_commands.json: configure $BUILD first (make build)"

mapfile -t sources < <(fanout_sources "${FANOUT_PRODUCT_DIRS[@]}" "${FANOUT_TEST_DIRS[@]}")
[ ${#sources[@]} -gt 0 ] || fail "no source files found"
clang-format --dry-run --Werror "${sources[@]}" || fail "clang-format: run make format"
echo "clang-format: ${#sources[@]} files follow .clang-format"

# Each product file is passed as an exact pattern; generated tables are left out.
mapfile -t tidy_files < <(fanout_sources --no-generated "${FANOUT_PRODUCT_DIRS[@]}" |
    grep -E '\.(c|cpp)$' | sed 's/[.+]/\\&/g; s/$/$/')
dirs=$(IFS='|'; echo "${FANOUT_PRODUCT_DIRS[*]}")
log="$BUILD/clang-tidy.log"
status=0
run-clang-tidy -p "$BUILD" -quiet -j "$(nproc)" -header-filter "/($dirs)/" \
    "${tidy_files[@]}" >"$log" 2>&1 || status=$?
clean_log=$(sed 's/\x1b\[[0-9;]*m//g' "$log")
if grep -E '(warning|error): ' <<<"$clean_log"; then
    fail "clang-tidy: findings above (full log: $log)"
fi
if [ "$status" -ne 0 ]; then
    tail -n 20 "$log" >&2
    fail "clang-tidy did not run cleanly (status $status; full log: $log)"
fi
echo "clang-tidy: ${#tidy_files[@]} product files clean"
