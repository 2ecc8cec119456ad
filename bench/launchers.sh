#!/usr/bin/env bash
# The launcher's own executable at four commits of this repository, for bench_delta_wire.py's
# player three releases behind: a real PE file rebuilt three times.
#
#   bench/launchers.sh OUT [COMMIT1 COMMIT2 COMMIT3 COMMIT4]
#
# Writes OUT/launcher-1.exe ... launcher-4.exe, each from a `git archive` of its commit in
# OUT/src, built with ccache when it is there. PRESET (default release) and CMAKE_ARGS choose
# the build: the preset and options of a build made before let ccache give most of the objects.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
out="$(mkdir -p "$1" && cd "$1" && pwd)"
shift
commits=("$@")
[ ${#commits[@]} -eq 4 ] || commits=(ceb2a83 d03b31f a525de0 e8d6f83)
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
for n in 1 2 3 4; do
    [ -f "$out/launcher-$n.exe" ] && continue
    src="$out/src"
    rm -rf "$src" && mkdir -p "$src"
    git -C "$repo" archive "${commits[$((n - 1))]}" | tar -x -C "$src"
    # shellcheck disable=SC2086
    (cd "$src" && cmake --preset "${PRESET:-release}" "${launcher[@]}" ${CMAKE_ARGS:-} >/dev/null &&
        CCACHE_BASEDIR="$src" cmake --build --preset "${PRESET:-release}" --target ZarvoLauncher >/dev/null)
    cp "$src/build/${PRESET:-release}/ZarvoLauncher.exe" "$out/launcher-$n.exe"
    rm -rf "$src"
done
ls -l "$out"/launcher-*.exe
