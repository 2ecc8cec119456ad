#!/usr/bin/env python3
"""Object storage for the tests and benches: an S3 server, the bucket's read front and an edge
cache, each on 127.0.0.1, each a process of its own that stop() ends.

    s3_ctl.py install NODE_DIR                       # npm's @20minutes/s3rver into NODE_DIR
    s3_ctl.py up WORK NODE_DIR PORT [CERTDIR]        # all three; returns once they listen
    s3_ctl.py down WORK                              # ends what up started

  S3Server  @20minutes/s3rver on PORT, bucket BUCKET, credentials S3RVER/S3RVER (SigV4).
  Origin    Debian's nginx on PORT + 1 reading the bucket at PREFIX as a CDN reads a bucket
            (GET and HEAD only), answering as S3 does where s3rver does not: a request for
            several ranges gets 200 and the whole object (s3rver sends a 206 with the whole
            body), a suffix range "-N" the last N bytes (s3rver sends the first ones).
  Edge      tools/nginx/zarvo-edge.conf on PORT + 2 in front of the origin, its marked lines
            replaced (each must match once): HTTPS with CERTDIR's server.pem/server.key when
            given, else plain HTTP. Its access log has one JSON object per request with the
            cache status ("cache": HIT, MISS, ...).

With CERTDIR the origin serves HTTPS (a launcher talks HTTPS only) and the edge reads it over
plain HTTP on PORT + 3. Configurations
name only paths relative to WORK, so the checkout's path never goes through nginx's syntax.
"""
import json
import os
import pwd
import re
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
EDGE_EXAMPLE = os.path.join(HERE, "..", "..", "tools", "nginx", "zarvo-edge.conf")
NGINX = "/usr/sbin/nginx"
S3RVER = "@20minutes/s3rver"
S3RVER_VERSION = "4.0.4"
BUCKET = "zarvo"
PREFIX = "live"
ACCESS_KEY = SECRET_KEY = "S3RVER"
READY_TIMEOUT = 15.0
STOP_TIMEOUT = 5.0


def module_dir(node_dir):
    return os.path.join(os.path.abspath(node_dir), "node_modules", *S3RVER.split("/"))


def install(node_dir):
    """Installs s3rver into node_dir unless that version is there; returns its folder."""
    where = module_dir(node_dir)
    try:
        with open(os.path.join(where, "package.json")) as f:
            if json.load(f).get("version") == S3RVER_VERSION:
                return where
    except (OSError, ValueError):
        pass
    os.makedirs(node_dir, exist_ok=True)
    subprocess.run(["npm", "install", "--no-audit", "--no-fund", "--prefix",
                    os.path.abspath(node_dir), f"{S3RVER}@{S3RVER_VERSION}"],
                   check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, timeout=300)
    return where


from nginx_ctl import listening, read as _read  # noqa: E402


class Process:
    """A server started in a session of its own, its pid kept in WORK/NAME.pid."""

    def __init__(self, work, name):
        self.work = os.path.abspath(work)
        self.name = name
        self.proc = None

    def start(self, cmd, port, env=None):
        stop_pidfile(self.work, self.name)
        if listening(port):
            raise RuntimeError(f"s3_ctl: port {port} is already in use")
        with open(os.path.join(self.work, f"{self.name}.out"), "wb") as out:
            self.proc = subprocess.Popen(cmd, cwd=self.work, env=env, stdin=subprocess.DEVNULL,
                                         stdout=out, stderr=out, start_new_session=True)
        with open(os.path.join(self.work, f"{self.name}.pid"), "w") as f:
            f.write(f"{self.proc.pid}\n")
        deadline = time.monotonic() + READY_TIMEOUT
        while time.monotonic() < deadline and self.proc.poll() is None:
            if listening(port):
                return
            time.sleep(0.05)
        self.stop()
        raise RuntimeError(f"s3_ctl: {self.name} did not come up on {port}:\n"
                           + _read(os.path.join(self.work, f"{self.name}.out"))
                           + _read(os.path.join(self.work, self.name, "error.log")))

    def stop(self):
        stop_pidfile(self.work, self.name)
        if self.proc:
            try:
                self.proc.wait(timeout=STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                pass
            self.proc = None


def _alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    try:
        waited, _ = os.waitpid(pid, os.WNOHANG)  # a zombie of ours counts as gone
        return waited == 0
    except ChildProcessError:
        return True


def stop_pidfile(work, name):
    pidfile = os.path.join(work, f"{name}.pid")
    try:
        with open(pidfile) as f:
            pid = int(f.read().strip())
    except (OSError, ValueError):
        return
    # SIGQUIT is nginx's graceful stop (node ends on it too); its workers go with the master.
    for sig in (signal.SIGQUIT, signal.SIGTERM):
        if not _alive(pid):
            break
        os.kill(pid, sig)
        deadline = time.monotonic() + STOP_TIMEOUT
        while _alive(pid) and time.monotonic() < deadline:
            time.sleep(0.05)
    try:
        os.killpg(pid, signal.SIGKILL)  # whatever is left of its session
    except OSError:
        pass
    os.unlink(pidfile)


# ---- the S3 server ---------------------------------------------------------------------------

S3RVER_SCRIPT = """\
const S3rver = require(%s);
new S3rver({address: '127.0.0.1', port: %d, directory: %s, silent: true,
            configureBuckets: [{name: %s}]}).run().catch((e) => { console.error(e); process.exit(1); });
"""


class S3Server(Process):
    def __init__(self, work, port, node_dir, bucket=BUCKET):
        super().__init__(work, "s3rver")
        os.makedirs(self.work, exist_ok=True)
        self.port, self.bucket = port, bucket
        self.directory = os.path.join(self.work, "s3rver-data")
        os.makedirs(self.directory, exist_ok=True)
        script = os.path.join(self.work, "s3rver.js")
        with open(script, "w") as f:
            f.write(S3RVER_SCRIPT % (json.dumps(module_dir(node_dir)), port,
                                     json.dumps(self.directory), json.dumps(bucket)))
        env = dict(os.environ)
        # Without it every listing past its first page fails with 500 (its signing of
        # continuation tokens needs a cipher newer OpenSSL keeps in the legacy provider).
        env["NODE_OPTIONS"] = (env.get("NODE_OPTIONS", "") + " --openssl-legacy-provider").strip()
        self.start(["node", script], port, env)

    @property
    def endpoint(self):
        return f"http://127.0.0.1:{self.port}"

    def object_file(self, key):
        """Where s3rver keeps the bytes of key; its date is the object's LastModified."""
        parts = key.split("/")
        return os.path.join(self.directory, self.bucket, *parts[:-1], f"{parts[-1]}._S3rver_object")

    def age(self, key, seconds):
        """Dates the object seconds back, as if it had been stored then."""
        path = self.object_file(key)
        when = time.time() - seconds
        os.utime(path, (when, when))

    def stored_bytes(self):
        """Bytes of every object s3rver holds (its own metadata files left out)."""
        total = 0
        for folder, _, names in os.walk(self.directory):
            for n in names:
                if n.endswith("._S3rver_object"):
                    total += os.path.getsize(os.path.join(folder, n))
        return total


def s3_environment(env=None):
    """The AWS variables a client needs for the test server."""
    env = dict(os.environ if env is None else env)
    env.update(AWS_ACCESS_KEY_ID=ACCESS_KEY, AWS_SECRET_ACCESS_KEY=SECRET_KEY,
               AWS_DEFAULT_REGION="us-east-1")
    for name in ("AWS_PROFILE", "AWS_SESSION_TOKEN"):
        env.pop(name, None)
    return env


# ---- nginx in front of it --------------------------------------------------------------------

MAIN_CONF = """\
daemon off;
master_process on;
worker_processes 1;
pid nginx.pid;
error_log error.log info;
{user}
events {{ worker_connections 256; }}

http {{
    include /etc/nginx/mime.types;
    default_type application/octet-stream;
    log_format zarvo escape=json '{{"method": "$request_method", "uri": "$request_uri", '
        '"status": $status, "bytes": $body_bytes_sent, "range": "$http_range", '
        '"cache": "$upstream_cache_status", "upstream": "$upstream_addr"}}';
    access_log access.log zarvo;
    client_body_temp_path tmp/body;
    proxy_temp_path tmp/proxy;
    fastcgi_temp_path tmp/fastcgi;
    uwsgi_temp_path tmp/uwsgi;
    scgi_temp_path tmp/scgi;
    include site.conf;
}}
"""

# A bucket as a CDN reads it: path-style addresses of BUCKET/PREFIX with the request's raw
# path (a decoded %2B would turn into a space), ranges as S3 answers them.
ORIGIN_CONF = """\
map $http_range $s3_range {{
    default     $http_range;
    "~,"        "";
    "~^bytes=-" "";
}}
server {{
    {listen}
    server_name localhost;
    {tls}
    if ($request_method !~ ^(GET|HEAD)$) {{
        return 405;
    }}
    location / {{
        proxy_pass http://127.0.0.1:{s3_port}/{bucket}{prefix}$request_uri;
        proxy_http_version 1.1;
        proxy_set_header Connection "";
        proxy_set_header Range $s3_range;
        # What s3rver is not asked for, nginx cuts from the whole object: a suffix range; and
        # "several ranges" stays the whole object, as max_ranges 1 then ignores the header.
        proxy_force_ranges on;
        max_ranges 1;
        proxy_buffering off;
    }}
}}
"""


def _tls(certdir):
    return ("ssl_certificate certs/server.pem; ssl_certificate_key certs/server.key;"
            if certdir else "")


class Nginx(Process):
    def __init__(self, work, name, port, site, certdir=None):
        super().__init__(work, name)
        self.port = port
        self.dir = os.path.join(self.work, name)
        os.makedirs(os.path.join(self.dir, "tmp"), exist_ok=True)
        for n in ("access.log", "error.log"):
            open(os.path.join(self.dir, n), "w").close()
        if certdir:
            link = os.path.join(self.dir, "certs")
            if os.path.lexists(link):
                os.unlink(link)
            os.symlink(os.path.abspath(certdir), link)
        with open(os.path.join(self.dir, "site.conf"), "w") as f:
            f.write(site)
        # Workers of a master started as root run as the invoking user.
        user = f"user {pwd.getpwuid(os.geteuid()).pw_name};" if os.geteuid() == 0 else ""
        conf = os.path.join(self.dir, "nginx.conf")
        with open(conf, "w") as f:
            f.write(MAIN_CONF.format(user=user))
        cmd = [NGINX, "-p", self.dir + "/", "-c", conf, "-e", os.path.join(self.dir, "error.log")]
        check = subprocess.run(cmd + ["-t"], capture_output=True, text=True, timeout=30)
        if check.returncode != 0:
            raise RuntimeError(f"s3_ctl: the {name} configuration does not load:\n{check.stderr}")
        self.start(cmd, port)

    def log_mark(self):
        return os.path.getsize(os.path.join(self.dir, "access.log"))

    def log_since(self, mark):
        """The access log's entries after mark (log_mark()), as dicts."""
        time.sleep(0.05)  # nginx writes the entry after the answer's last byte
        with open(os.path.join(self.dir, "access.log"), "rb") as f:
            f.seek(mark)
            return [json.loads(line) for line in f.read().decode("utf-8", "replace").splitlines()
                    if line.strip()]


class Origin(Nginx):
    """prefix: the bucket's folder served at the root ("" for the bucket's root)."""

    def __init__(self, work, port, s3_port, bucket=BUCKET, prefix=PREFIX, certdir=None, name="origin",
                 plain_port=None):
        listen = f"listen 127.0.0.1:{port}{' ssl' if certdir else ''};"
        if plain_port:
            listen += f" listen 127.0.0.1:{plain_port};"
        site = ORIGIN_CONF.format(listen=listen, tls=_tls(certdir), s3_port=s3_port,
                                  bucket=bucket, prefix=f"/{prefix}" if prefix else "")
        super().__init__(work, name, port, site, certdir)


def _substitute(text, pattern, value, what, expected=1):
    new, count = re.subn(pattern, lambda m: m.group(1) + value, text, flags=re.MULTILINE)
    if count != expected:
        raise RuntimeError(f"s3_ctl: the edge example has {count} '{what}' lines, expected {expected}")
    return new


def edge_site(port, origin_port, certdir):
    """tools/nginx/zarvo-edge.conf with the test's address, cache folder and origin."""
    with open(EDGE_EXAMPLE) as f:
        text = f.read()
    text = _substitute(text, r"^(\s*)proxy_cache_path\s+\S+", "proxy_cache_path cache",
                       "proxy_cache_path")
    text = _substitute(text, r"^(\s*)server\s+[^;]+:443[^;]*;.*$",
                       f"server 127.0.0.1:{origin_port};", "upstream server")
    text = _substitute(text, r"^(\s*)listen\s+443\s+ssl;.*$",
                       f"listen 127.0.0.1:{port}{' ssl' if certdir else ''};", "listen 443 ssl")
    text = _substitute(text, r"^()\s*listen\s+\[::\]:443\s+ssl;.*\n", "", "listen [::]:443 ssl")
    text = _substitute(text, r"^(\s*)server_name\s+[^;]+;.*$", "server_name localhost;",
                       "server_name")
    cert = "ssl_certificate certs/server.pem;" if certdir else ""
    key = "ssl_certificate_key certs/server.key;" if certdir else ""
    text = _substitute(text, r"^(\s*)ssl_certificate\s+[^;]+;.*$", cert, "ssl_certificate")
    text = _substitute(text, r"^(\s*)ssl_certificate_key\s+[^;]+;.*$", key, "ssl_certificate_key")
    if not certdir:
        text = _substitute(text, r"^(\s*)ssl_protocols\s+[^;]+;.*$", "", "ssl_protocols")
    text = _substitute(text, r"^(\s*)set\s+\$zarvo_origin_host\s+[^;]+;.*$",
                       "set $zarvo_origin_host localhost;", "set $zarvo_origin_host")
    text = _substitute(text, r"^(\s*)set\s+\$zarvo_origin_prefix\s+[^;]*;.*$",
                       'set $zarvo_origin_prefix "";', "set $zarvo_origin_prefix")
    text = _substitute(text, r"^(\s*)proxy_pass\s+https://zarvo_origin", "proxy_pass http://zarvo_origin",
                       "proxy_pass https://zarvo_origin", 3)
    text = _substitute(text, r"^(\s*)proxy_ssl_server_name\s+on;.*$", "", "proxy_ssl_server_name")
    return text


class Edge(Nginx):
    def __init__(self, work, port, origin_port, certdir=None):
        super().__init__(work, "edge", port, edge_site(port, origin_port, certdir), certdir)
        self.cache = os.path.join(self.dir, "cache")

    def clear(self):
        """Empties the cache (a restart would also do; this keeps the process)."""
        for entry in os.listdir(self.cache) if os.path.isdir(self.cache) else []:
            shutil.rmtree(os.path.join(self.cache, entry), ignore_errors=True)


class Stack:
    """S3 server, origin and edge on port, port + 1 and port + 2 (with certdir the edge reads
    the origin over plain HTTP on port + 3)."""

    def __init__(self, work, node_dir, port, certdir=None):
        self.s3 = self.origin = self.edge = None
        try:
            self.s3 = S3Server(work, port, node_dir)
            self.origin = Origin(work, port + 1, port, certdir=certdir,
                                 plain_port=port + 3 if certdir else None)
            self.edge = Edge(work, port + 2, port + 3 if certdir else port + 1, certdir)
        except BaseException:
            self.stop()
            raise

    def stop(self):
        for server in (self.edge, self.origin, self.s3):
            if server:
                server.stop()


def down(work):
    for name in ("edge", "origin", "s3rver"):
        stop_pidfile(os.path.abspath(work), name)


def main(argv):
    if len(argv) == 3 and argv[1] == "install":
        print(install(argv[2]))
        return 0
    if len(argv) in (5, 6) and argv[1] == "up":
        os.makedirs(argv[2], exist_ok=True)
        install(argv[3])
        stack = Stack(argv[2], argv[3], int(argv[4]), argv[5] if len(argv) == 6 else None)
        print(f"s3_ctl: s3rver {stack.s3.endpoint} (bucket {BUCKET}), origin on {stack.origin.port}"
              f" (prefix {PREFIX}), edge on {stack.edge.port}")
        # The processes live on in their own sessions; down ends them by their pid files.
        for server in (stack.s3, stack.origin, stack.edge):
            server.proc = None
        return 0
    if len(argv) == 3 and argv[1] == "down":
        down(argv[2])
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
