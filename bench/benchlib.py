"""Pieces of the benchmarks (bench/bench.py): Windows programs under the test environment's
Wine, the two servers (Debian's nginx, the test server), game files and manifests, and the
memory of a Wine process."""
import argparse
import glob
import hashlib
import json
import os
import shlex
import signal
import socket
import subprocess
import sys
import time

# The studio's command from this checkout, for the benches and the programs they start.
STUDIO_ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, (STUDIO_ROOT, os.environ.get("PYTHONPATH"))))
STUDIO = [sys.executable, "-m", "zarvo_studio"]

RUN_TIMEOUT = 1800


class BenchError(Exception):
    pass


# ---- Wine ------------------------------------------------------------------------------

class Wine:
    """Runs Windows programs in the test environment's prefix, output through a file.

    The work folder is drive W: of the prefix (as the environment is T:, tests/harness/
    winpath.sh), so the programs a run starts there have short paths however long the
    checkout's path is: Wine starts no program from a path of more than 260 characters."""

    DRIVE = "W:"

    def __init__(self, env_dir, work):
        self.env = dict(os.environ)
        with open(os.path.join(env_dir, "env.sh")) as f:
            for line in f:
                line = line.strip()
                if not line.startswith("export ") or "=" not in line:
                    continue
                name, value = line[len("export "):].split("=", 1)
                self.env[name] = "".join(shlex.split(value))
        self.work = os.path.abspath(work)
        self.env_dir = os.path.abspath(env_dir)
        link = os.path.join(self.env["WINEPREFIX"], "dosdevices", self.DRIVE.lower())
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(self.work, link)

    def path(self, unix_path):
        """The Windows path of a Linux one: W: for the work folder, T: for the environment,
        Z: (the Linux root) for anything else."""
        path = os.path.abspath(unix_path)
        for folder, drive in ((self.work, self.DRIVE), (self.env_dir, "T:")):
            if path == folder or path.startswith(folder + os.sep):
                return drive + path[len(folder):].replace("/", "\\")
        return "Z:" + path.replace("/", "\\")

    def start(self, exe, args, cwd):
        with open(os.path.join(self.work, "wine.log"), "ab") as out:
            return subprocess.Popen(["wine", exe] + list(args), cwd=cwd, env=self.env,
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=out)

    def run(self, exe, args, cwd, timeout=RUN_TIMEOUT):
        proc = self.start(exe, args, cwd)
        try:
            return proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            raise BenchError(f"{os.path.basename(exe)} did not end within {timeout} s")


def bench_main(bench_class, doc, name, rounds_default, *extra):
    """The command line the network benches share (build, test environment, port, --smoke,
    --rounds, --keep) plus their own flags, each given as (flags, add_argument keywords); runs
    bench_class(args).run() and turns a BenchError into exit status 1."""
    parser = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--env-dir", required=True)
    parser.add_argument("--port", type=int, required=True, help="the build's port (P)")
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--rounds", type=int, default=0,
                        help=f"turns per contender (default {rounds_default})")
    parser.add_argument("--keep", action="store_true")
    for flags, keywords in extra:
        parser.add_argument(*flags, **keywords)
    args, _ = parser.parse_known_args()
    try:
        return bench_class(args).run()
    except BenchError as e:
        print(f"{name}: {e}", flush=True)
        return 1


def file_md5(path):
    """The file's MD5 in hex, read in pieces; None when it cannot be read."""
    digest = hashlib.md5()
    try:
        with open(path, "rb") as f:
            for block in iter(lambda: f.read(1 << 22), b""):
                digest.update(block)
    except OSError:
        return None
    return digest.hexdigest()


def read_result(path):
    values = {}
    if os.path.exists(path):
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                if "=" in line:
                    key, value = line.rstrip("\r\n").split("=", 1)
                    values[key] = value
    return values


# ---- servers ---------------------------------------------------------------------------

class Checks:
    """What a bench checks as it goes, and its exit status from them."""

    def __init__(self):
        self.failures = []

    def check(self, ok, what):
        if not ok:
            self.failures.append(what)
            print("  FAILED: " + what, flush=True)
        return ok

    def exit_status(self):
        """1 after listing the checks that failed, else 0."""
        if self.failures:
            print(f"\n{len(self.failures)} check(s) failed:\n  " + "\n  ".join(self.failures),
                  flush=True)
            return 1
        return 0


def wait_port(port, timeout=10.0):
    end = time.time() + timeout
    while time.time() < end:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.05)
    return False


NGINX_CONF = """\
daemon off;
master_process on;
worker_processes auto;
pid {work}/nginx.pid;
error_log {work}/error.log warn;
{user}
events {{ worker_connections 4096; }}

http {{
    default_type application/octet-stream;
    log_format bench '$request_uri $status $body_bytes_sent $request_length $bytes_sent $msec $request_time $http_range';
    access_log {work}/access.log bench;
    client_body_temp_path {work}/tmp/body;
    proxy_temp_path {work}/tmp/proxy;
    fastcgi_temp_path {work}/tmp/fastcgi;
    uwsgi_temp_path {work}/tmp/uwsgi;
    scgi_temp_path {work}/tmp/scgi;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 100000;
    # As the nginx example serves block indexes: 304 for a launcher's copy no older than one.
    if_modified_since before;

    server {{
        listen 127.0.0.1:{port} ssl;
{plain}        server_name localhost;
        ssl_certificate {certdir}/server.pem;
        ssl_certificate_key {certdir}/server.key;
        ssl_protocols TLSv1.2 TLSv1.3;
        root {root};
        location / {{ try_files $uri =404; }}
    }}
}}
"""


class Nginx:
    """Debian's nginx on 127.0.0.1:port, prefix and logs in its own folder; with http_port, the
    same files in plain HTTP there too."""

    def __init__(self, work, port, root, certdir, http_port=None):
        self.work, self.port = work, port
        self.access_log = os.path.join(work, "access.log")
        os.makedirs(os.path.join(work, "tmp"), exist_ok=True)
        user = "user root;" if os.geteuid() == 0 else ""
        plain = f"        listen 127.0.0.1:{http_port};\n" if http_port else ""
        conf = os.path.join(work, "nginx.conf")
        with open(conf, "w") as f:
            f.write(NGINX_CONF.format(work=work, port=port, root=root, certdir=certdir, user=user,
                                      plain=plain))
        ports = [port] + ([http_port] if http_port else [])
        for taken in ports:
            if wait_port(taken, 0.2):
                raise BenchError(f"port {taken} is already taken; pick another with --port")
        with open(os.path.join(work, "nginx.out"), "ab") as err:
            self.proc = subprocess.Popen(
                ["nginx", "-p", work, "-e", os.path.join(work, "error.log"), "-c", conf],
                stdin=subprocess.DEVNULL, stdout=err, stderr=err, start_new_session=True)
        if not all(wait_port(p) for p in ports):
            self.stop()
            raise BenchError("nginx did not start; see " + os.path.join(work, "error.log"))
        self.base = f"https://localhost:{port}"

    def version(self):
        out = subprocess.run(["nginx", "-v"], capture_output=True, text=True)
        return "nginx " + (out.stderr or out.stdout).strip().split("/")[-1]

    def mark(self):
        return os.path.getsize(self.access_log) if os.path.exists(self.access_log) else 0

    def paths_since(self, mark):
        if not os.path.exists(self.access_log):
            return []
        with open(self.access_log, "rb") as f:
            f.seek(mark)
            return [line.split(b" ")[0].decode("utf-8", "replace") for line in f if line.strip()]

    def http_bytes_since(self, mark):
        """Request and answer bytes (headers and bodies, without TLS) logged after mark."""
        total = 0
        if os.path.exists(self.access_log):
            with open(self.access_log, "rb") as f:
                f.seek(mark)
                for line in f:
                    parts = line.split(b" ")
                    if len(parts) >= 5 and parts[3].isdigit() and parts[4].strip().isdigit():
                        total += int(parts[3]) + int(parts[4])
        return total

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGQUIT)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()


class HarnessServer:
    """The test environment's own server (tests/server/zarvo_server.py), pointed at root."""

    def __init__(self, env_dir, root, port):
        self.control = os.path.join(env_dir, "control.json")
        self.request_log = os.path.join(env_dir, "requests.log")
        self._write({"root": root, "faults": {}})
        self.base = f"https://localhost:{port}"

    def _write(self, config):
        tmp = self.control + ".tmp"
        with open(tmp, "w") as f:
            json.dump(config, f)
        os.replace(tmp, self.control)

    def version(self):
        return "the test server (tests/server)"

    def mark(self):
        return os.path.getsize(self.request_log) if os.path.exists(self.request_log) else 0

    def paths_since(self, mark):
        with open(self.request_log, "rb") as f:
            f.seek(mark)
            out = []
            for line in f:
                try:
                    out.append(json.loads(line)["path"])
                except (ValueError, KeyError):
                    pass
            return out

    def stop(self):
        self._write({"faults": {}})


# ---- files -----------------------------------------------------------------------------

def make_files(folder, prefix, count, size):
    """count files of size random bytes under folder/prefix; returns [(path, md5, size)]."""
    entries = []
    os.makedirs(os.path.join(folder, prefix), exist_ok=True)
    width = len(str(count - 1))
    for i in range(count):
        rel = f"{prefix}/f{i:0{width}d}.bin"
        data = os.urandom(size)
        with open(os.path.join(folder, rel), "wb") as f:
            f.write(data)
        entries.append((rel, hashlib.md5(data).hexdigest(), size))
    return entries


def manifest_json(entries):
    rows = [json.dumps({"path": p, "hash": h, "size": s, "version": 1}) for p, h, s in entries]
    return '{"files": [\n' + ",\n".join(rows) + "\n]}\n"


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


def wrong_files(folder, entries):
    """Entries whose file under folder is missing or has another MD5."""
    wrong = []
    for rel, md5, _ in entries:
        try:
            with open(os.path.join(folder, rel), "rb") as f:
                digest = hashlib.md5(f.read()).hexdigest()
        except OSError:
            digest = None
        if digest != md5:
            wrong.append(rel)
    return wrong


def timed(command, **kwargs):
    """Wall time of one command and its result; a command over its timeout is an error."""
    start = time.perf_counter()
    try:
        result = subprocess.run(command, **kwargs)
    except subprocess.TimeoutExpired:
        raise BenchError(f"{command if isinstance(command, str) else command[0]} timed out")
    return time.perf_counter() - start, result


def unix_pid_of(wine, exe_unix_path):
    """The Linux process that runs the Windows program at that path (Wine names the process
    by the program's path in its command line)."""
    windows = wine.path(exe_unix_path).lower()
    for cmdline in glob.glob("/proc/[0-9]*/cmdline"):
        try:
            with open(cmdline, "rb") as f:
                text = f.read().replace(b"\0", b" ").decode("utf-8", "replace").lower()
        except OSError:
            continue
        if windows in text or exe_unix_path.lower() in text:
            if "bench_watch" in text or text.startswith("wine "):
                continue
            return int(cmdline.split("/")[2])
    return None


def vm_hwm_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


class Relay:
    """bench/relay.py on 127.0.0.1:port in front of target_port, with delay_ms each way."""

    def __init__(self, work, port, target_port, delay_ms):
        self.stats_file = os.path.join(work, f"relay-{port}.txt")
        if os.path.exists(self.stats_file):
            os.remove(self.stats_file)
        if wait_port(port, 0.2):
            raise BenchError(f"port {port} is already taken; the relay cannot listen there")
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "relay.py")
        with open(os.path.join(work, "relay.out"), "ab") as out:
            self.proc = subprocess.Popen(
                ["python3", script, "--listen", str(port), "--target",
                 f"127.0.0.1:{target_port}", "--delay-ms", str(delay_ms), "--stats",
                 self.stats_file], stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                start_new_session=True)
        if not wait_port(port):
            self.stop()
            raise BenchError("the relay did not start")

    def stop(self):
        """Ends the relay; returns its counts (up, down, connections), None if it wrote none."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        values = read_result(self.stats_file)
        if "down" not in values:
            return None
        return int(values["up"]), int(values["down"]), int(values["connections"])
