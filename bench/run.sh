#!/usr/bin/env bash
# Benchmarks of the launcher against md5sum, curl and a minimal Win32 window, of its patches
# against zsync and of its downloads over several connections against aria2c, on this machine
# under Wine, served by Debian's nginx on localhost.
#
#   bench/run.sh [--smoke] [--rounds N] [--keep]
#
# Builds a test build of its own in build/bench (update base address https://localhost:PORT,
# PORT from BENCH_PORT, default 18543), brings up a test environment there (Wine prefix with
# the test CA, wineserver, Xvfb), starts nginx on PORT with its configuration and prefix under
# build/bench/benchwork, runs bench/bench.py and ends all of it again. --smoke: small sizes,
# one round each, checks only that every scenario completes with correct files.
set -euo pipefail
cd "$(dirname "$0")/.."

port=${BENCH_PORT:-18543}
build=build/bench
env_dir=$PWD/$build/testenv

tools/install_deps.sh
# The contenders only the bench runs.
for tool in aria2c:aria2 zsync:zsync rclone:rclone; do
    command -v "${tool%%:*}" >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${tool##*:}" >/dev/null
done
cmake --preset test -B "$build" -DLAUNCHER_UPDATE_BASE_URL="https://localhost:$port" \
      -DLAUNCHER_TEST_AREAS="bench;delta" >/dev/null
cmake --build "$build" --target ZarvoLauncher trust_ca bench_run bench_run_remember bench_run_cacheable bench_run_head bench_watch minimal_window platform_window floor_read floor_http \
    zarvo_delta_host delta_apply_bench

trap 'tests/harness/testenv.sh down "$env_dir" >/dev/null 2>&1 || true' EXIT
# The environment's own test server goes two ports up; nginx takes the build's port.
tests/harness/testenv.sh up "$env_dir" "$PWD" "$build/trust_ca.exe" $((port + 2)) $((port + 3))
python3 bench/bench.py --build-dir "$build" --env-dir "$env_dir" --server nginx --port "$port" "$@"
# Remembered verification (LAUNCHER_REMEMBER_VERIFIED) beside the default build.
python3 bench/bench_remember.py --build-dir "$build" --env-dir "$env_dir" --server nginx --port "$port" "$@"
python3 bench/bench_sign.py --build-dir "$build" --env-dir "$env_dir" "$@"
# Patches and resumed downloads against zsync; its nginx and relays take ports 5 to 7 up.
python3 bench/bench_patch.py --build-dir "$build" --env-dir "$env_dir" --port "$port" "$@"
# A game through a link that limits each connection, against aria2c; nginx and relays on the
# build's port and 5 and 7 up.
python3 bench/bench_split.py --build-dir "$build" --env-dir "$env_dir" --port "$port" "$@"
# A fresh install through compressed copies against the raw one, gzip -9 and zstd -19.
python3 bench/bench_packed.py --build-dir "$build" --env-dir "$env_dir" --port "$port" "$@"
# Uploads to an S3 server (npm's s3rver on 10 up, a counting relay on 11 up) against rclone.
python3 bench/bench_cdn.py --build-dir "$build" --env-dir "$env_dir" --port "$port" "$@"
# A signed, compressed and indexed publish of a 2 GiB game against MD5 + SHA-256 + zlib alone.
/usr/bin/python3 bench/bench_publish.py "$@"
# Three players through a caching proxy (nginx on the build's port, its origin on 5 and 6 up)
# with the cacheable addresses and the default ones; a patch from nginx with max_ranges 1.
python3 bench/bench_cache.py --build-dir "$build" --env-dir "$env_dir" --port "$port" "$@"
# Moved, repacked and duplicated content against zsync with every old file as a seed; nginx and
# relays on the build's port and 5 to 7 up. (--base-build-dir adds the no-move row against
# another build.)
python3 bench/bench_seeds.py --build-dir "$build" --env-dir "$env_dir" --port "$port" "$@"
# Binary deltas against bsdiff, zstd --patch-from and xdelta3 on the real rebuilt pairs, and
# their decoder under Wine (bench_delta.py --webkit DIR adds the 92 MB pair).
python3 bench/bench_delta.py --build-dir "$build" --env-dir "$env_dir" "$@"

# A rebuilt library's bytes on the wire through a delta, against bsdiff, zstd --patch-from,
# xdelta3 and the block patches; nginx on the build's port.
python3 bench/bench_delta_wire.py --build-dir "$build" --env-dir "$env_dir" --port "$port" \
    --delta-tool "$build/delta-host/zarvo-delta" "$@"

# Release heads: 50,000 files with nothing new and one changed, 1,000 starts through the edge
# (nginx on the build's port, plain HTTP on 6 up for the edge on 5 up), a 503, a rollout.
python3 bench/bench_head.py --build-dir "$build" --env-dir "$env_dir" --port "$port" "$@"
