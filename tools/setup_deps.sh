#!/usr/bin/env bash
# Installs the build and test dependencies that are missing (Debian packages only).
set -euo pipefail

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
for pkg in cmake make g++ clang libgtest-dev libbenchmark-dev nlohmann-json3-dev \
           netcat-openbsd hyperfine python3 procps groff-base dpkg-dev gzip \
           clang-format clang-tidy libclang-rt-14-dev \
           libsqlite3-dev libtomlplusplus-dev libcurl4-openssl-dev libcpp-httplib-dev \
           libpq-dev libssl-dev postgresql python3-aiosmtpd python3-selenium \
           chromium chromium-driver fonts-noto-cjk prometheus time flake8; do
    have_pkg "$pkg" || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
    echo "installing: ${need[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
fi
