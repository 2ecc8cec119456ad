#!/usr/bin/env bash
# Installs what is needed, builds the launcher and the tests for the local test server, and
# runs every test (under Wine, on a virtual display of its own). Exit status 0 only when all pass.
#
#   tools/run_tests.sh                   # everything
#   tools/run_tests.sh --areas "a;b"     # only the tests of those folders under tests/
#
# Works from a checkout at any path (spaces, letters beyond ASCII, long ones) and from any
# current folder.
set -euo pipefail
cd "$(dirname "$0")/.."

areas=""
while [ $# -gt 0 ]; do
    case $1 in
    --areas) areas=${2:?--areas needs a list such as \"firstrun;publish\"}; shift 2 ;;
    *) sed -n '2,9s/^# \{0,1\}//p' "$0" >&2; exit 2 ;;
    esac
done

case $PWD in *';'*)
    echo "run_tests: the checkout's path '$PWD' holds a ';', which CMake takes for a list" \
         "separator wherever it names a path (its own compiler checks fail); clone it elsewhere" >&2
    exit 1 ;;
esac

tools/install_deps.sh

# Wine converts paths and arguments with the locale's character set: a folder name with letters
# beyond ASCII reaches the Windows programs intact only under UTF-8.
if [ "$(locale charmap 2>/dev/null)" != UTF-8 ]; then export LC_ALL=C.UTF-8; fi

# The compiler cache, with paths taken relative to the checkout, so that a clone elsewhere
# (another folder, another length) finds the same entries.
cache=()
if command -v ccache >/dev/null; then
    export CCACHE_BASEDIR=$PWD
    cache=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

cmake --preset test "${cache[@]}" -DLAUNCHER_TEST_AREAS="$areas"
cmake --build --preset test
ctest --preset test --timeout 900
