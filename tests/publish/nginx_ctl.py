#!/usr/bin/env python3
"""A real nginx serving a published folder through tools/nginx/zarvo-updates.conf.

    nginx_ctl.py up WORKDIR PORT ROOT CERTDIR   # returns once nginx listens on 127.0.0.1:PORT
    nginx_ctl.py down WORKDIR                   # ends it

The example server block is used as it stands, with only its marked values replaced (address,
host name, certificate, key, root); each replacement must match exactly once, so an edit of
the example that the tests no longer cover fails here instead of passing unnoticed. It is
included from an http block that switches gzip on for every type, as Debian's nginx.conf does
for HTML, so the test also shows that the server block turns compression off.

nginx runs as a non-daemon master with its prefix, pid, logs and temporary folders in WORKDIR;
its access log (access.log) has one JSON object per request. The configuration names only paths
relative to WORKDIR (ROOT and CERTDIR are linked into it), so the checkout's path, whatever
spaces or other characters it holds, never goes through nginx's configuration syntax.
"""
import os
import pwd
import re
import signal
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLE = os.path.join(HERE, "..", "..", "tools", "nginx", "zarvo-updates.conf")
NGINX = "/usr/sbin/nginx"
READY_TIMEOUT = 10.0
STOP_TIMEOUT = 5.0

MAIN_CONF = """\
daemon off;
master_process on;
worker_processes 1;
pid nginx.pid;
error_log error.log info;
{user}
events {{ worker_connections 64; }}

http {{
    include /etc/nginx/mime.types;
    default_type application/octet-stream;
    log_format zarvo escape=json '{{"method": "$request_method", "uri": "$request_uri", '
        '"status": $status, "bytes": $body_bytes_sent, "length": "$sent_http_content_length", '
        '"encoding": "$sent_http_content_encoding", "location": "$sent_http_location", '
        '"agent": "$http_user_agent"}}';
    access_log access.log zarvo;
    client_body_temp_path tmp/body;
    proxy_temp_path tmp/proxy;
    fastcgi_temp_path tmp/fastcgi;
    uwsgi_temp_path tmp/uwsgi;
    scgi_temp_path tmp/scgi;
    gzip on;
    gzip_types *;
    gzip_min_length 1;
    include zarvo-updates.conf;
}}
"""


def substitute(text, pattern, value, what):
    """Replaces the one line matching pattern by its indentation and value."""
    new, count = re.subn(pattern, lambda m: m.group(1) + value, text, flags=re.MULTILINE)
    if count != 1:
        raise SystemExit(f"nginx_ctl: the example has {count} '{what}' lines, expected 1")
    return new


def server_block(port):
    """The example server block with the test's address, host, and the certificate and root
    linked into the working folder (the prefix, which relative paths start from)."""
    with open(EXAMPLE) as f:
        text = f.read()
    text = substitute(text, r"^(\s*)listen\s+443\s+ssl;.*$", f"listen 127.0.0.1:{port} ssl;",
                      "listen 443 ssl")
    text = substitute(text, r"^()\s*listen\s+\[::\]:443\s+ssl;.*\n", "", "listen [::]:443 ssl")
    text = substitute(text, r"^(\s*)server_name\s+[^;]+;.*$", "server_name localhost;",
                      "server_name")
    text = substitute(text, r"^(\s*)ssl_certificate\s+[^;]+;.*$",
                      "ssl_certificate certs/server.pem;", "ssl_certificate")
    text = substitute(text, r"^(\s*)ssl_certificate_key\s+[^;]+;.*$",
                      "ssl_certificate_key certs/server.key;", "ssl_certificate_key")
    text = substitute(text, r"^(\s*)root\s+[^;]+;.*$", "root published;", "root")
    return text


def link(target, name):
    if os.path.islink(name) or os.path.exists(name):
        os.unlink(name)
    os.symlink(os.path.abspath(target), name)


def listening(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


def read(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def up(work, port, root, certdir):
    work = os.path.abspath(work)
    down(work)
    os.makedirs(os.path.join(work, "tmp"), exist_ok=True)
    for name in ("access.log", "error.log"):
        open(os.path.join(work, name), "w").close()
    link(root, os.path.join(work, "published"))
    link(certdir, os.path.join(work, "certs"))
    with open(os.path.join(work, "zarvo-updates.conf"), "w") as f:
        f.write(server_block(port))
    # Workers of a master started as root run as the invoking user, who can read the build tree.
    user = f"user {pwd.getpwuid(os.geteuid()).pw_name};" if os.geteuid() == 0 else ""
    conf = os.path.join(work, "nginx.conf")
    with open(conf, "w") as f:
        f.write(MAIN_CONF.format(user=user))
    if listening(port):
        raise SystemExit(f"nginx_ctl: port {port} is already in use")

    cmd = [NGINX, "-p", work + "/", "-c", conf, "-e", os.path.join(work, "error.log")]
    check = subprocess.run(cmd + ["-t"], capture_output=True, text=True, timeout=30)
    if check.returncode != 0:
        raise SystemExit(f"nginx_ctl: the configuration does not load:\n{check.stderr}")
    with open(os.path.join(work, "nginx.out"), "wb") as out:
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                start_new_session=True)
    with open(os.path.join(work, "master.pid"), "w") as f:
        f.write(f"{proc.pid}\n")
    deadline = time.monotonic() + READY_TIMEOUT
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            break
        if listening(port):
            print(f"nginx_ctl: nginx {proc.pid} serves {root} on https://localhost:{port}")
            return 0
        time.sleep(0.1)
    down(work)
    raise SystemExit("nginx_ctl: nginx did not come up:\n" + read(os.path.join(work, "error.log"))
                     + read(os.path.join(work, "nginx.out")))


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    # A zombie of ours counts as gone.
    try:
        waited, _ = os.waitpid(pid, os.WNOHANG)
        return waited == 0
    except ChildProcessError:
        return True


def down(work):
    pidfile = os.path.join(os.path.abspath(work), "master.pid")
    try:
        with open(pidfile) as f:
            pid = int(f.read().strip())
    except (OSError, ValueError):
        return 0
    # SIGQUIT is nginx's graceful stop; its workers go with the master.
    for sig, wait in ((signal.SIGQUIT, STOP_TIMEOUT), (signal.SIGTERM, STOP_TIMEOUT)):
        if not alive(pid):
            break
        os.kill(pid, sig)
        deadline = time.monotonic() + wait
        while alive(pid) and time.monotonic() < deadline:
            time.sleep(0.05)
    try:
        os.killpg(pid, signal.SIGKILL)  # whatever is left of its session
    except OSError:
        pass
    os.unlink(pidfile)
    return 0


def main(argv):
    if len(argv) == 6 and argv[1] == "up":
        return up(argv[2], int(argv[3]), argv[4], argv[5])
    if len(argv) == 3 and argv[1] == "down":
        return down(argv[2])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
