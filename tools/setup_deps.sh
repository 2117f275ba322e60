#!/usr/bin/env bash
# Installs the Debian packages that one use of the project needs and that are missing.
#
#   tools/setup_deps.sh [demo|test|check]      (default: test)
#
#   demo   what `make demo` runs: a plain build of the client and the relay server, the
#          SMTP and HTTP test peers it delivers to, curl for its API
#   test   what `make test`, `make test-i386` and `make bench` run: the whole build, every
#          test, the 32-bit client's build and tests (multilib GCC, GoogleTest's sources),
#          the benchmarks (cpp-httplib: the HTTP test's client)
#   check  what `make check` and `make fuzz` add: clang with its fuzzing runtime,
#          clang-format, clang-tidy, the man-page and package tools, systemd-analyze and the
#          kill(1) the relay unit reloads with
#
# FANOUT_SKIP_DEPS=1 skips this step (for machines set up by hand, or not Debian). On a
# machine without apt-get and dpkg-query it prints, in one line, the packages to look for
# and goes on.
set -euo pipefail

SET=${1:-test}
if [ "${FANOUT_SKIP_DEPS:-0}" = 1 ]; then
    exit 0
fi

demo=(cmake make g++ pkg-config python3 nlohmann-json3-dev libsqlite3-dev libtomlplusplus-dev
      libcurl4-openssl-dev libboost-dev libpq-dev libssl-dev libsystemd-dev python3-aiosmtpd
      curl)
test=("${demo[@]}" libgtest-dev googletest g++-multilib libcpp-httplib-dev libbenchmark-dev
      netcat-openbsd hyperfine procps time postgresql python3-selenium chromium chromium-driver
      fonts-noto-cjk prometheus flake8 faketime)
check=("${test[@]}" clang clang-format clang-tidy groff-base dpkg-dev gzip systemd procps)

case "$SET" in
    demo) wanted=("${demo[@]}") ;;
    test) wanted=("${test[@]}") ;;
    check) wanted=("${check[@]}") ;;
    *)
        echo "usage: tools/setup_deps.sh [demo|test|check]" >&2
        exit 2
        ;;
esac

if ! command -v apt-get >/dev/null || ! command -v dpkg-query >/dev/null; then
    echo "setup_deps: no apt-get/dpkg-query here, skipped; the $SET set needs (Debian names): ${wanted[*]}"
    exit 0
fi

have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# Installs the packages of "$@" that are missing.
install_missing() {
    local need=() pkg
    for pkg in "$@"; do
        have_pkg "$pkg" || need+=("$pkg")
    done
    [ ${#need[@]} -gt 0 ] || return 0
    echo "setup_deps: installing ${need[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}"
}

install_missing "${wanted[@]}"

# The fuzzing runtime (libFuzzer, the sanitizers) is packaged per clang major version.
if [ "$SET" = check ]; then
    major=$(clang -dumpversion | cut -d. -f1)
    install_missing "libclang-rt-$major-dev"
fi
