#!/usr/bin/env bash
# The whole road of the product on this machine: a sample game published with the studio's
# command (python3 -m zarvo_studio publish) and served over HTTPS on localhost, and the
# launcher, built for that address, started under Wine from a fresh download folder: it
# installs itself, offers the game, downloads all of it, restarts, checks the light manifest
# and starts the game.
#
#   tools/demo.sh [--change-one] [--headless]
#
# On a display ($DISPLAY reachable) you watch and click. Without one (or with --headless) the
# demo runs on a virtual display of its own, clicks by itself and saves a screenshot of each
# stage. --change-one then changes one file of the game, publishes again and starts the
# installed launcher, whose light update fetches only that file (after a first full road when
# nothing is installed yet). Everything lives under build/demo (ZARVO_DEMO_DIR); the server
# listens on localhost:8443, the release build's default (ZARVO_DEMO_PORT for another port).
# Every process the demo starts ends with it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
case $root in *';'*)
    echo "demo: the checkout's path '$root' holds a ';', which CMake takes for a list separator" \
         "wherever it names a path; clone it elsewhere" >&2
    exit 1 ;;
esac

usage() { sed -n '2,16s/^# \{0,1\}//p' "$0"; }
change_one=0 headless=0
for arg in "$@"; do
    case $arg in
    --change-one) change_one=1 ;;
    --headless) headless=1 ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
    esac
done

demo=${ZARVO_DEMO_DIR:-$root/build/demo}
port=${ZARVO_DEMO_PORT:-8443}
base=https://localhost:$port
shots=$demo/screenshots
log=$demo/requests.log
launcher_class="Zarvo Vestra Launcher"
game_class="Zarvo Vestra Game"

say() { printf '\ndemo: %s\n' "$*"; }
die() { printf '\ndemo: %s\n' "$*" >&2; exit 1; }
# shellcheck source=../tests/harness/winpath.sh
source tests/harness/winpath.sh

tools/install_deps.sh
mkdir -p "$demo"
# Wine converts paths and arguments with the locale's character set (see tools/run_tests.sh).
if [ "$(locale charmap 2>/dev/null)" != UTF-8 ]; then export LC_ALL=C.UTF-8; fi

run_logged() { # run_logged LOG COMMAND...: quiet unless it fails
    local out=$1
    shift
    if ! "$@" >"$out" 2>&1; then
        tail -n 30 "$out" >&2
        die "failed: $* (whole output in $out)"
    fi
}

say "building the launcher for $base (release preset) and the demo's helpers"
run_logged "$demo/build.log" cmake --preset release -B "$demo/launcher" \
    -DLAUNCHER_UPDATE_BASE_URL="$base" -DLAUNCHER_WEBSITE_URL="$base/site"
run_logged "$demo/build.log" cmake --build "$demo/launcher"
run_logged "$demo/tools.log" cmake -S tools/demo -B "$demo/tools" -G Ninja \
    --toolchain "$root/cmake/mingw-w64-x86_64.cmake"
run_logged "$demo/tools.log" cmake --build "$demo/tools"
launcher_exe=$demo/launcher/ZarvoLauncher.exe
driver_exe=$demo/tools/demo_driver.exe

# --- everything started from here on ends in cleanup --------------------------------------
export WINEPREFIX=$demo/prefix WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d
export HOME=$demo/home
xvfb_pid="" wineserver_up=0 server_up=0
cleanup() {
    set +e
    [ $wineserver_up = 1 ] && timeout 20 wineserver -k >/dev/null 2>&1
    [ $server_up = 1 ] && python3 tests/server/server_ctl.py stop --pidfile "$demo/server.pid" >/dev/null 2>&1
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null
        wait "$xvfb_pid" 2>/dev/null
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

interactive=0
if [ $headless = 0 ] && [ -n "${DISPLAY:-}" ] && timeout 5 xwd -root -silent >/dev/null 2>&1; then
    interactive=1
    say "using your display $DISPLAY: watch the launcher and click it"
else
    rm -f "$demo/xvfb.display"
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$demo/xvfb.display" \
        >"$demo/xvfb.log" 2>&1 </dev/null &
    xvfb_pid=$!
    for _ in $(seq 100); do [ -s "$demo/xvfb.display" ] && break; sleep 0.1; done
    [ -s "$demo/xvfb.display" ] || die "Xvfb did not start (see $demo/xvfb.log)"
    export DISPLAY=:$(head -n 1 "$demo/xvfb.display")
    say "no display: running on a virtual one ($DISPLAY), clicking by itself"
fi

mkdir -p "$HOME" "$shots"
if [ ! -f "$WINEPREFIX/.zarvo_demo_ready" ]; then
    say "creating the demo's Wine prefix (once, about a minute)"
    # wineboot reports a failure for the missing 32-bit half of Wine; the prefix is fine.
    timeout 300 wineboot -i >"$demo/wineboot.log" 2>&1 </dev/null || true
    [ -d "$WINEPREFIX/drive_c/windows" ] || die "no Wine prefix (see $demo/wineboot.log)"
    timeout 60 wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v Arial /t REG_SZ \
        /d 'Liberation Sans' /f </dev/null >/dev/null 2>&1
    timeout 60 wineserver -w || true
    touch "$WINEPREFIX/.zarvo_demo_ready"
fi
link_env_drive "$demo"
timeout 20 wineserver -p
wineserver_up=1
wine_run() { # wine_run SECONDS PROGRAM ARGS...: console output without Windows line ends
    # Through a file, not a pipe: programs it starts would hold a pipe open after it ends.
    local limit=$1 status=0
    shift
    timeout "$limit" wine "$@" </dev/null >"$demo/wine.out" 2>>"$demo/wine.log" || status=$?
    tr -d '\r' <"$demo/wine.out"
    return $status
}
driver() { wine_run 90 "$driver_exe" "$@"; }
driver_long() { wine_run 4000 "$driver_exe" "$@"; }

# Wine gives every process SystemDrive=C:, so the launcher installs itself into the C: drive
# of the demo's own prefix.
installed="$WINEPREFIX/drive_c/Zarvo Vestra"
fresh=1
if [ $change_one = 1 ] && [ -f "$installed/Log/inst_done" ]; then fresh=0; fi

# The HTTPS server with a throwaway CA that only this prefix trusts.
python3 tests/server/make_certs.py "$demo/certs" >/dev/null
wine_run 60 "$demo/tools/trust_ca.exe" "$(winpath "$demo" "$demo/certs/ca.der")" >/dev/null ||
    die "could not trust the demo CA in $WINEPREFIX"
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    die "port $port is taken; stop what listens there or set ZARVO_DEMO_PORT"
fi
www=$demo/www
mkdir -p "$www/news"
cat >"$www/news/index.html" <<'EOF'
<!doctype html><meta charset="utf-8"><title>Zarvo Vestra</title>
<body style="background:#182030;color:#e0e6ee;font-family:Arial"><h1>Noticias</h1>
<p>La pagina que el servidor nombra en displayinfo.json.</p></body>
EOF
echo '{}' >"$demo/control.json"
: >"$log"
python3 tests/server/server_ctl.py start --root "$www" --https-port "$port" --certdir "$demo/certs" \
    --control "$demo/control.json" --log "$log" --pidfile "$demo/server.pid" \
    --errlog "$demo/server.err" >/dev/null
server_up=1

publish() {
    python3 -m zarvo_studio publish "$demo/game" "$www" --light '*.exe' 'config/**' \
        --display-url "$base/news/index.html" | sed 's/^/  /'
}

wait_file() { # wait_file PATH SECONDS
    for _ in $(seq $(($2 * 10))); do [ -e "$1" ] && return 0; sleep 0.1; done
    return 1
}
wait_request() { # wait_request FROM_LINE PATH_PREFIX SECONDS: the server was asked for it
    for _ in $(seq $(($3 * 10))); do
        tail -n +$(($1 + 1)) "$log" | grep -q "\"path\": *\"$2" && return 0
        sleep 0.1
    done
    return 1
}
lines() { wc -l <"$log"; }
shot() {
    [ $interactive = 1 ] && return 0
    # The grab of the root window failed once with an X error (BadMatch) just as the game's
    # window appeared: a picture is worth a second try, not the end of the demo.
    local _
    for _ in 1 2 3; do
        if xwd -root -silent 2>/dev/null | convert xwd:- "$shots/$1.png" 2>/dev/null; then
            echo "  screenshot $shots/$1.png"
            return 0
        fi
        sleep 0.5
    done
    echo "  no screenshot $1: the display could not be read"
}
play() { # presses the action button until the game's window is there
    for _ in 1 2 3 4 5 6; do
        driver click "$launcher_class" 690 515 >/dev/null || true
        if title=$(driver wait "$game_class" 5); then
            echo "  game window: $title"
            return 0
        fi
    done
    die "the game did not start"
}
requests_since() { # the server's log lines for /update/ since line $1
    tail -n +$(($1 + 1)) "$log" | python3 -c '
import json, sys, urllib.parse
for line in sys.stdin:
    r = json.loads(line)
    if r["path"].startswith("/update/"):
        print("  " + r["method"] + " " + urllib.parse.unquote(r["path"]))'
}

# --- the road from a downloaded launcher to a running game -----------------------------------
if [ $fresh = 1 ]; then
    say "making the sample game and publishing it into $www"
    python3 tools/demo/sample_game.py "$demo/game" "$launcher_exe" "$demo/tools/rovezuzav.exe" | sed 's/^/  /'
    rm -rf "$www/update"
    publish
    # The biggest file comes slowly, so the download can be seen on its way.
    python3 tests/server/server_ctl.py faults "$demo/control.json" \
        '{"/update/data/pak0.pak": {"trickle_bytes": 65536, "trickle_ms": 40}}'

    rm -rf "$installed" "$demo/downloads" "$shots"/*.png
    find "$HOME" "$WINEPREFIX/drive_c/users" -name 'Zarvo Vestra.lnk' -delete 2>/dev/null || true
    mkdir -p "$demo/downloads"
    cp "$launcher_exe" "$demo/downloads/ZarvoLauncher.exe"
    start_line=$(lines)

    say "starting the downloaded launcher: $demo/downloads/ZarvoLauncher.exe"
    driver start "$(winpath "$demo" "$demo/downloads")" \
        "$(winpath "$demo" "$demo/downloads/ZarvoLauncher.exe")" \
        >/dev/null || die "could not start the launcher"
    wait_file "$installed/Zarvo Vestra.exe" 60 || die "the launcher did not install itself"
    echo "  first start: it copied itself to C:\\Zarvo Vestra\\Zarvo Vestra.exe ($installed)"
    link=$(find "$HOME" "$WINEPREFIX/drive_c/users" -name 'Zarvo Vestra.lnk' 2>/dev/null | head -n 1)
    [ -n "$link" ] && echo "  desktop link: $link"
    driver wait "$launcher_class" 60 >/dev/null || die "no launcher window"

    if [ $interactive = 1 ]; then
        say "press the orange button to download the game; the launcher restarts, checks the
      files, and its button then starts the game. Close the game's window to end the demo."
        driver_long quiet 6 3600 "$launcher_class" "$game_class" || true
    else
        sleep 2
        say "the installed copy runs: the game is not installed yet"
        shot 1-not-installed
        driver click "$launcher_class" 690 515 >/dev/null
        wait_request "$start_line" /update/data/pak0.pak 30 || die "the download did not start"
        sleep 1
        say "the whole game is downloading"
        shot 2-downloading
        wait_file "$installed/Log/inst_done" 120 || die "the download did not finish"
        wait_request "$start_line" /manifest_light.json 60 || die "no restart after the download"
        driver wait "$launcher_class" 30 >/dev/null || die "no launcher window after the restart"
        sleep 2
        say "restarted: the light update found every file current"
        shot 3-light-update
        play
        sleep 1
        shot 4-game-started
        driver close "$game_class"
        driver quiet 2 30 "$launcher_class" "$game_class" || true
    fi
    say "files the server sent for the whole-game download:"
    requests_since "$start_line"
fi

# --- one changed file, one file fetched -------------------------------------------------------
if [ $change_one = 1 ]; then
    say "changing one file of the game and publishing again"
    python3 tools/demo/sample_game.py "$demo/game" "$launcher_exe" "$demo/tools/rovezuzav.exe" --change-one | sed 's/^/  /'
    echo '{}' >"$demo/control.json"
    publish
    start_line=$(lines)
    say "starting the installed launcher (as its desktop link does)"
    driver start 'C:\Zarvo Vestra' 'C:\Zarvo Vestra\Zarvo Vestra.exe' >/dev/null ||
        die "could not start the installed launcher"
    driver wait "$launcher_class" 60 >/dev/null || die "no launcher window"
    if [ $interactive = 1 ]; then
        say "the light update fetches the changed file; press the button to start the game"
        driver_long quiet 6 3600 "$launcher_class" "$game_class" || true
    else
        wait_request "$start_line" /update/config/version.txt 30 || die "the changed file was not fetched"
        sleep 2
        say "the light update fetched the changed file"
        shot 5-light-update-one-file
        play
        sleep 1
        shot 6-game-started-again
        driver close "$game_class"
        driver quiet 2 30 "$launcher_class" "$game_class" || true
    fi
    say "files the server sent for the light update (one expected):"
    requests_since "$start_line"
fi

if [ $interactive = 0 ]; then
    say "screenshots of each stage are in $shots/"
fi
say "done; the server's request log is $log"
