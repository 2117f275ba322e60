#!/usr/bin/env bash
# Rewrites the C and C++ sources of the folders in tools/source_dirs.sh with clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=tools/source_dirs.sh
source tools/source_dirs.sh
command -v clang-format >/dev/null || {
    echo "format: clang-format is not installed (bash tools/setup_deps.sh check installs it)" >&2
    exit 1
}
mapfile -t sources < <(fanout_sources "${FANOUT_PRODUCT_DIRS[@]}" "${FANOUT_TEST_DIRS[@]}")
clang-format -i "${sources[@]}"
echo "format: ${#sources[@]} files"
