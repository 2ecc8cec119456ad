#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need (as root, on Debian 12).
# The S3 test server comes from npm into the build tree (tests/publish/s3_ctl.py install).
set -euo pipefail

packages=(
    cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-tools googletest
    wine64 xvfb xauth x11-apps imagemagick fonts-liberation
    python3 openssl nginx curl ccache
    libz-mingw-w64-dev zstd zopfli
    python3-boto3 rclone nodejs
    libdivsufsort-dev bsdiff xdelta3
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "install_deps: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi
