#!/usr/bin/env bash
# Runs one test executable under Wine in the shared environment, from a fresh folder of its
# own (which is then the program's "launcher folder"), with a time bound.
#
#   run_in_wine.sh NAME TIMEOUT EXE [--file PATH]... [--] [ARGS...]
#
# Needs ZARVO_ENV_DIR (the folder testenv.sh brought up) and ZARVO_LAUNCHER_UNIX (the built
# ZarvoLauncher.exe) in the environment; CTest sets both.
set -euo pipefail

name=${1:?test name}
limit=${2:?time limit in seconds}
exe=${3:?test executable}
shift 3

files=()
while [ $# -gt 0 ]; do
    case $1 in
    --file) files+=("$2"); shift 2 ;;
    --) shift; break ;;
    *) break ;;
    esac
done

envdir=${ZARVO_ENV_DIR:?ZARVO_ENV_DIR is not set}
if [ ! -f "$envdir/env.sh" ]; then
    echo "run_in_wine: the test environment is not up ($envdir/env.sh missing)" >&2
    exit 1
fi
# shellcheck disable=SC1091
source "$envdir/env.sh"

# shellcheck source=winpath.sh
source "$(dirname "$0")/winpath.sh"

rundir=$envdir/runs/$name
rm -rf "$rundir"
mkdir -p "$rundir/tmp"
cp "$exe" "$rundir/"
for f in "${files[@]}"; do cp -r "$f" "$rundir/"; done

export ZARVO_TEST_TMP=$(winpath "$envdir" "$rundir/tmp")
export ZARVO_TEST_TMP_UNIX=$rundir/tmp
export ZARVO_LAUNCHER_EXE=$(winpath "$envdir" "${ZARVO_LAUNCHER_UNIX:?ZARVO_LAUNCHER_UNIX is not set}")

cd "$rundir"
# Output goes through a file: Wine's helper processes (explorer, services) outlive the test
# and would keep a pipe to CTest open.
set +e
timeout --kill-after=10 "$limit" wine "./$(basename "$exe")" "$@" >"$rundir/output.log" 2>&1 </dev/null
status=$?
set -e
cat "$rundir/output.log"
if [ $status -eq 124 ] || [ $status -eq 137 ]; then
    echo "run_in_wine: $name exceeded its time limit of ${limit}s" >&2
fi
exit $status
