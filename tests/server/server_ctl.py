#!/usr/bin/env python3
"""Start, stop and steer zarvo_server.py from Python tests, shell tests and the demo.

Python:
    import server_ctl
    proc = server_ctl.start(root, https_port, http_port, certdir, control, log)
    server_ctl.set_faults(control, {"/manifest_light.json": {"status": 500}})
    entries = server_ctl.read_log(log)
    server_ctl.stop(proc)

Shell:
    server_ctl.py start --root DIR --https-port P [--http-port Q] --certdir DIR
                        [--control FILE] [--log FILE] --pidfile FILE [--errlog FILE]
    server_ctl.py faults CONTROL 'JSON-OBJECT' [--root DIR]
    server_ctl.py stop --pidfile FILE
"""
import argparse
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import make_certs  # noqa: E402

SERVER = os.path.join(HERE, "zarvo_server.py")
READY_TIMEOUT = 10.0
STOP_TIMEOUT = 5.0


def free_port():
    """A currently unused TCP port on 127.0.0.1 (for tests that need no fixed port)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start(root, https_port, http_port=0, certdir=None, control=None, log=None,
          pidfile=None, errlog=None, detach=False):
    """Start the server (creating the certificates in `certdir` if missing) and wait
    until it listens. Returns the Popen; raises RuntimeError if it is not ready in time.
    The server's error messages go to `errlog` (appended) or else to our stderr;
    `detach` puts it in a session of its own, to outlive the caller."""
    make_certs.ensure_certs(certdir)
    ready = os.path.join(tempfile.mkdtemp(prefix="zarvo_server_"), "ready")
    cmd = [sys.executable, SERVER, "--root", root, "--https-port", str(https_port),
           "--http-port", str(http_port or 0),
           "--cert", os.path.join(certdir, "server.pem"),
           "--key", os.path.join(certdir, "server.key"), "--ready-file", ready]
    for flag, value in (("--control", control), ("--log", log), ("--pidfile", pidfile)):
        if value:
            cmd += [flag, value]
    out = open(errlog, "ab") if errlog else None
    try:
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                start_new_session=detach)
    finally:
        if out:
            out.close()
    try:
        deadline = time.monotonic() + READY_TIMEOUT
        while not os.path.exists(ready):
            if proc.poll() is not None:
                raise RuntimeError("zarvo_server exited with %d before it was ready"
                                   % proc.returncode)
            if time.monotonic() > deadline:
                stop(proc)
                raise RuntimeError("zarvo_server not ready after %.0f s" % READY_TIMEOUT)
            time.sleep(0.02)
        os.remove(ready)
    finally:
        if os.path.exists(ready):
            os.remove(ready)
        os.rmdir(os.path.dirname(ready))
    return proc


def stop(proc, timeout=STOP_TIMEOUT):
    """SIGTERM, then SIGKILL after `timeout` seconds. Returns the exit code."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout)
    return proc.returncode


def set_faults(control_path, faults, root=None):
    """Replace the control file atomically; the server picks it up at its next request."""
    config = {"faults": faults}
    if root is not None:
        config["root"] = os.path.abspath(root)
    tmp = "%s.%d.tmp" % (control_path, os.getpid())
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(config, f)
    os.replace(tmp, control_path)


def read_log(log_path):
    """All complete request-log entries so far, oldest first ([] without a log)."""
    try:
        with open(log_path, encoding="utf-8") as f:
            lines = f.read().split("\n")
    except FileNotFoundError:
        return []
    return [json.loads(line) for line in lines[:-1] if line]


def _stop_pidfile(pidfile, timeout=STOP_TIMEOUT):
    try:
        with open(pidfile) as f:
            pid = int(f.read().strip())
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            if b"zarvo_server.py" not in f.read():
                return 0  # a stale pidfile naming another process
        os.kill(pid, signal.SIGTERM)
    except (OSError, ValueError):
        return 0  # not running
    deadline = time.monotonic() + timeout
    while os.path.exists("/proc/%d" % pid) and time.monotonic() < deadline:
        time.sleep(0.05)
    if os.path.exists("/proc/%d" % pid):
        os.kill(pid, signal.SIGKILL)
        return 1
    return 0


def main(argv=None):
    p = argparse.ArgumentParser(description="Control the local HTTPS test server")
    sub = p.add_subparsers(dest="cmd", required=True)
    s = sub.add_parser("start", help="start in the background, return once it listens")
    s.add_argument("--root", required=True)
    s.add_argument("--https-port", type=int, required=True)
    s.add_argument("--http-port", type=int, default=0)
    s.add_argument("--certdir", required=True)
    s.add_argument("--control")
    s.add_argument("--log")
    s.add_argument("--pidfile", required=True)
    s.add_argument("--errlog", help="server's error messages (default: PIDFILE.stderr)")
    f = sub.add_parser("faults", help="write the control file")
    f.add_argument("control")
    f.add_argument("faults", help="JSON object: path -> fault")
    f.add_argument("--root")
    t = sub.add_parser("stop", help="stop the server named by a pidfile")
    t.add_argument("--pidfile", required=True)
    args = p.parse_args(argv)

    if args.cmd == "start":
        try:
            proc = start(args.root, args.https_port, args.http_port, args.certdir,
                         args.control, args.log, args.pidfile,
                         args.errlog or args.pidfile + ".stderr", detach=True)
        except (RuntimeError, OSError) as e:
            sys.exit("server_ctl: %s" % e)
        print(proc.pid)
        return 0
    if args.cmd == "faults":
        set_faults(args.control, json.loads(args.faults), args.root)
        return 0
    return _stop_pidfile(args.pidfile)


if __name__ == "__main__":
    sys.exit(main())
