#!/usr/bin/env bash
# Brings the shared test environment up or down: a Wine prefix inside the build tree, one
# persistent wineserver, an Xvfb display and the local HTTPS test server with its throwaway CA.
#
#   testenv.sh up   ENVDIR SRCDIR TRUST_CA_EXE [HTTPS_PORT HTTP_PORT]
#   testenv.sh down ENVDIR
#
# "up" writes ENVDIR/env.sh, which run_in_wine.sh sources. Everything it starts is recorded in
# ENVDIR/*.pid and ended by "down" (and by the next "up", should a run have died half-way).
set -euo pipefail

cmd=${1:?up or down}
envdir=${2:?environment folder}

HTTPS_PORT=${5:-18443}
HTTP_PORT=${6:-18444}

export WINEPREFIX=$envdir/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES=winemenubuilder.exe=d
export HOME=$envdir/home

log() { printf 'testenv: %s\n' "$*"; }
# shellcheck source=winpath.sh
source "$(dirname "$0")/winpath.sh"

kill_pidfile() {
    local file=$1
    [ -f "$file" ] || return 0
    local pid
    pid=$(cat "$file" 2>/dev/null || true)
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        kill "$pid" 2>/dev/null || true
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$pid" 2>/dev/null || true
    fi
    rm -f "$file"
}

down() {
    kill_pidfile "$envdir/server.pid"
    if [ -d "$WINEPREFIX" ]; then timeout 20 wineserver -k 2>/dev/null || true; fi
    kill_pidfile "$envdir/xvfb.pid"
}

start_xvfb() {
    local n
    for n in $(seq 90 130); do
        [ -e "/tmp/.X$n-lock" ] && continue
        [ -e "/tmp/.X11-unix/X$n" ] && continue
        setsid Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp -ac \
            >"$envdir/xvfb.log" 2>&1 </dev/null &
        echo $! >"$envdir/xvfb.pid"
        for _ in $(seq 100); do
            [ -e "/tmp/.X11-unix/X$n" ] && { DISPLAY=":$n"; return 0; }
            kill -0 "$(cat "$envdir/xvfb.pid")" 2>/dev/null || break
            sleep 0.1
        done
        kill_pidfile "$envdir/xvfb.pid"
    done
    log "no free X display for Xvfb"
    return 1
}

prepare_prefix() {
    if [ ! -f "$WINEPREFIX/.zarvo_prefix_ready" ]; then
        log "creating the Wine prefix (once per build tree)"
        # wineboot reports a failure for the missing 32-bit half of Wine; the prefix is fine.
        timeout 180 wineboot -i >"$envdir/wineboot.log" 2>&1 </dev/null || true
        [ -d "$WINEPREFIX/drive_c/windows" ] || { cat "$envdir/wineboot.log" >&2; return 1; }
        # The painter asks for Arial by name; Wine has none, Liberation Sans matches its metrics.
        timeout 60 wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v Arial /t REG_SZ \
            /d 'Liberation Sans' /f </dev/null >/dev/null 2>&1
        touch "$WINEPREFIX/.zarvo_prefix_ready"
    fi
}

start_server() {
    local src=$1
    python3 "$src/tests/server/make_certs.py" "$envdir/certs" >/dev/null
    : >"$envdir/requests.log"
    echo '{}' >"$envdir/control.json"
    rm -f "$envdir/server.ready"
    setsid python3 "$src/tests/server/zarvo_server.py" --root "$envdir/www" \
        --https-port $HTTPS_PORT --http-port $HTTP_PORT \
        --cert "$envdir/certs/server.pem" --key "$envdir/certs/server.key" \
        --control "$envdir/control.json" --log "$envdir/requests.log" \
        --pidfile "$envdir/server.pid" --ready-file "$envdir/server.ready" \
        >"$envdir/server.out" 2>&1 </dev/null &
    echo $! >"$envdir/server.pid"
    for _ in $(seq 100); do
        [ -f "$envdir/server.ready" ] && return 0
        sleep 0.1
    done
    log "the test server did not come up:"
    cat "$envdir/server.out" >&2 || true
    return 1
}

up() {
    local src=${3:?source folder} trust=${4:?trust_ca.exe}
    mkdir -p "$envdir"
    down
    mkdir -p "$HOME" "$envdir/www" "$envdir/runs"
    start_xvfb
    export DISPLAY
    prepare_prefix
    link_env_drive "$envdir"
    # The bench maps its work folder as W: (bench/benchlib.py). Wine's mount manager learns the
    # drives when the wineserver starts, and takes a drive that appears later for one it cannot
    # describe, so the letter is there from the start; the bench points it at its folder.
    [ -e "$WINEPREFIX/dosdevices/w:" ] || ln -sfn "$(cd "$envdir" && pwd)" "$WINEPREFIX/dosdevices/w:"
    # One persistent wineserver for the whole run, once the one that set the prefix up is gone.
    timeout 30 wineserver -w </dev/null >/dev/null 2>&1 || true
    timeout 20 wineserver -p </dev/null >/dev/null 2>&1
    start_server "$src"
    timeout 60 wine "$trust" "$(winpath "$envdir" "$envdir/certs/ca.der")" </dev/null >"$envdir/trust.log" 2>&1 \
        || { cat "$envdir/trust.log" >&2; return 1; }
    # Single-quoted for the shell (a quote in the checkout's path too).
    q() { printf "'%s'" "${1//\'/\'\\\'\'}"; }
    cat >"$envdir/env.sh" <<EOF
export WINEPREFIX=$(q "$WINEPREFIX")
export WINEDEBUG=-all
export WINEDLLOVERRIDES='winemenubuilder.exe=d'
export HOME=$(q "$HOME")
export DISPLAY='$DISPLAY'
export ZARVO_ENV_DIR=$(q "$envdir")
export ZARVO_SERVER_CONTROL=$(q "$(winpath "$envdir" "$envdir/control.json")")
export ZARVO_SERVER_LOG=$(q "$(winpath "$envdir" "$envdir/requests.log")")
export ZARVO_SERVER_ROOT=$(q "$(winpath "$envdir" "$envdir/www")")
export ZARVO_HTTPS_PORT=$HTTPS_PORT
export ZARVO_HTTP_PORT=$HTTP_PORT
EOF
    log "up: display $DISPLAY, server https://localhost:$HTTPS_PORT"
}

case $cmd in
up) up "$@" ;;
down) down ;;
*) echo "usage: testenv.sh up|down ENVDIR ..." >&2; exit 2 ;;
esac
