#!/usr/bin/env bash
# Builds the launcher for its default update server and runs it under Wine from a fresh game
# folder. Without a display it runs on a virtual one and saves a screenshot.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

tools/install_deps.sh
cmake --preset release
cmake --build --preset release

demo=$root/build/demo
mkdir -p "$demo"
export WINEPREFIX=$demo/prefix WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d HOME=$demo/home
mkdir -p "$HOME"
game=$demo/game
rm -rf "$game"
mkdir -p "$game"
cp build/release/ZarvoLauncher.exe "$game/"
: >"$game/rovezuzav.exe" # a game folder: the launcher runs in place

xvfb_pid=
if [ -z "${DISPLAY:-}" ]; then
    export DISPLAY=:63
    Xvfb $DISPLAY -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    sleep 1
fi
cleanup() {
    timeout 20 wineserver -k 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT

(cd "$game" && wine ZarvoLauncher.exe) &
launcher=$!
if [ -n "$xvfb_pid" ]; then
    sleep 10
    xwd -root -silent | convert xwd:- "$demo/screenshot.png"
    echo "demo: screenshot saved to $demo/screenshot.png"
    kill $launcher 2>/dev/null || true
else
    wait $launcher || true
fi
