#!/usr/bin/env bash
# Installs what is needed, builds the launcher and the tests for the local test server, and
# runs every test (under Wine, on a virtual display of its own). Exit status 0 only when all pass.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install_deps.sh
cmake --preset test
cmake --build --preset test
ctest --preset test --timeout 900
