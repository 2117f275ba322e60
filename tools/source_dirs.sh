# shellcheck shell=bash disable=SC2034
# The project's source folders, in one place for formatting and clang-tidy. Sourced by
# tools/check_style.sh and tools/format.sh; a folder that does not exist yet is skipped.
#
# Product code: formatted and clean under clang-tidy.
FANOUT_PRODUCT_DIRS=(base dev_tools fanout_client xconv relay_proto relay_net relay_proc relay_sim relayd)
# Tests, benchmarks and fuzz targets: formatted; left to the compiler's warnings.
FANOUT_TEST_DIRS=(tests bench fuzz)

# Prints the tracked C and C++ files of the given folders, one per line; with
# --no-generated, leaves out files whose first line says they are generated.
fanout_sources() {
    local generated=1
    if [ "${1:-}" = --no-generated ]; then
        generated=0
        shift
    fi
    local file
    git ls-files -- "${@/%//*.c}" "${@/%//*.h}" "${@/%//*.cpp}" | while IFS= read -r file; do
        if [ "$generated" = 1 ] || ! head -n 1 "$file" | grep -q 'Generated file'; then
            printf '%s\n' "$file"
        fi
    done
}
