#!/usr/bin/env python3
"""Release heads (LAUNCHER_RELEASE_HEAD) on release day: what a start costs the origin, a
crowd through the caching edge, an overloaded origin, a staged rollout.

    bench_head.py --build-dir B --env-dir E --port P [--smoke] [--rounds R] [--keep]

B is a test build with the bench area (bench_run_head.exe: heads, cacheable content and
remembered verification built in; bench_run_remember.exe: the classic documents with
remembered verification), E a test environment whose own server is not on P. Debian's nginx
serves the publication on P (heads with "Cache-Control: public, max-age=60" and, while the
file "busy" stands in the publication, 503 with "Retry-After: 30"), in plain HTTP on P + 6
for the edge of tools/nginx/zarvo-edge.conf on P + 5 (tests/publish/s3_ctl.Edge).

The game: 50,000 files of 1 KiB (--smoke 500), all in the light check, published by the
studio tool (`zarvo_studio publish`, which writes the head), installed by a
copy, proven once by each build so that remembered verification vouches for every file.

  nothing new      one start of each build: bytes from the origin (requests and answers as
                   nginx logs them) and the run's time; target head build <= 64 KiB, time no
                   more than the classic build's
  one changed      one file changed and published again (release 2): bytes of the head
                   build's start against gzip -9 of the plain light manifest; target <= 1.1 x
                   that + 64 KiB
  1,000 starts     1,000 simulated starts within a minute through the edge, each a fetch of
                   the head and, for an install still on release 1, of the light manifest's
                   object it names (what the launcher fetches; Python http.client, 16
                   threads); target: the origin sees <= 1 head request per 60 s of the run
                   and the manifest's object once
  503              the origin answers the head 503 with Retry-After: 30 (and is back after
                   10 s): target, the launcher's second request >= 30 s after its first, and
                   the run ends "Archivos OK!"
  rollout          a head at rollout 10 over 1,000 new installs (bench_run_head.exe rollout:
                   the launcher's own install numbers and choice); target 10 % +- 3 %, and
                   every install decides the same on a second pass
"""
import gzip
import http.client
import json
import os
import shutil
import ssl
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "publish"))
import benchlib  # noqa: E402
from benchlib import BenchError, Checks, Nginx, Wine, bench_main, read_result  # noqa: E402

ROOT = os.path.join(HERE, "..")
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, (ROOT, os.environ.get("PYTHONPATH"))))
STUDIO = [sys.executable, "-m", "zarvo_studio"]
KIB = 1024

# Heads: a minute in any cache; 503 with Retry-After while "busy" stands beside them.
HEADS_LOCATION = """\
        location ^~ /heads/ {{
            if (-f {root}/busy) {{
                add_header Retry-After 30 always;
                return 503;
            }}
            add_header Cache-Control "public, max-age=60" always;
            try_files $uri =404;
        }}
        location ^~ /objects/ {{
            add_header Cache-Control "public, max-age=31536000, immutable" always;
            try_files $uri =404;
        }}
        location / {{ try_files $uri =404; }}"""


def log(text):
    print(text, flush=True)


class HeadBench(Checks):
    def __init__(self, args):
        super().__init__()
        self.args = args
        self.smoke = args.smoke
        self.rounds = args.rounds or (1 if args.smoke else 3)
        self.count = 500 if args.smoke else 50000
        self.build = os.path.abspath(args.build_dir)
        self.env_dir = os.path.abspath(args.env_dir)
        self.work = os.path.join(self.build, "benchwork-head")
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.wine = Wine(self.env_dir, self.work)
        self.certdir = os.path.join(self.env_dir, "certs")
        self.port = args.port
        self.pub = os.path.join(self.work, "pub")
        self.game = os.path.join(self.work, "game")
        self.install = os.path.join(self.work, "install")
        self.lines = []
        conf = benchlib.NGINX_CONF.replace("        location / {{ try_files $uri =404; }}",
                                           HEADS_LOCATION)
        self.saved_conf, benchlib.NGINX_CONF = benchlib.NGINX_CONF, conf
        os.makedirs(self.pub)
        self.nginx = Nginx(os.path.join(self.work, "nginx"), self.port, self.pub, self.certdir,
                           http_port=self.port + 6)
        self.base = f"https://localhost:{self.port}"

    def exe(self, name, folder):
        source = os.path.join(self.build, name)
        if not os.path.exists(source):
            raise BenchError(f"{source} is missing: build the bench area")
        target = os.path.join(folder, name)
        shutil.copy(source, target)
        return target

    # ---- the publication ----

    def publish(self, release):
        t = time.monotonic()
        # The studio's publish writes the release's head and its manifests' objects itself.
        subprocess.run([*STUDIO, "publish", self.game, self.pub, "--light", "**",
                        "--no-block-index"], check=True, stdout=subprocess.DEVNULL, timeout=1800)
        head = self.head()
        self.check(head.get("release") == release, f"the tool wrote release {head.get('release')}")
        log(f"  release {release} published with its head in {time.monotonic() - t:.1f} s")
        return head

    def head(self):
        with open(os.path.join(self.pub, "heads", "live.json"), encoding="utf-8") as f:
            return json.loads(f.read())

    def make_game(self):
        log(f"writing {self.count:,} files of 1 KiB")
        os.makedirs(self.game)
        with open(os.path.join(self.game, "Zarvo Vestra.exe"), "wb") as f:
            f.write(b"MZ stand-in launcher\n")
        for i in range(self.count):
            path = os.path.join(self.game, f"d{i // 500:03d}", f"f{i:05d}.bin")
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(os.urandom(KIB))

    # ---- one start ----

    def start(self, program, url, label):
        exe = os.path.join(self.install, program)
        result = os.path.join(self.work, "run.txt")
        if os.path.exists(result):
            os.remove(result)
        mark = self.nginx.mark()
        self.wine.run(exe, ["run", url, "LIGHT", self.wine.path(result)], self.install, 1800)
        values = read_result(result)
        self.check(values.get("status") == "Archivos OK!",
                   f"{label}: the run ended with '{values.get('status')}'")
        return (float(values.get("seconds", "nan")), self.nginx.http_bytes_since(mark),
                self.nginx.paths_since(mark), values)

    def nothing_new(self):
        classic_url = f"{self.base}/manifest_light.json"
        for program in ("bench_run_remember.exe", "bench_run_head.exe"):
            self.exe(program, self.install)
            self.start(program, classic_url, f"{program}, proving run")  # writes the record
        best = {}
        for _ in range(self.rounds):
            for program in ("bench_run_remember.exe", "bench_run_head.exe"):
                seconds, sent, paths, _ = self.start(program, classic_url, program)
                old = best.get(program)
                if old is None or seconds < old[0]:
                    best[program] = (seconds, sent, paths)
        classic, head = best["bench_run_remember.exe"], best["bench_run_head.exe"]
        self.check(len(head[2]) == 1 and head[2][0].startswith("/heads/live.json"),
                   f"nothing new: the head build asked for {head[2]}")
        self.lines.append(
            f"| {self.count:,} files, nothing new: classic remembered build | {classic[1]:,} B in "
            f"{len(classic[2])} requests | {classic[0]:.2f} s | |")
        self.lines.append(
            f"| the same, head build | {head[1]:,} B in {len(head[2])} request(s) | "
            f"{head[0]:.2f} s ({head[0] / classic[0]:.2f} x) | <= 64 KiB: "
            f"{'met' if head[1] <= 64 * KIB else 'NOT met'}; time <= classic: "
            f"{'met' if head[0] <= classic[0] * 1.05 else 'NOT met'} |")

    def one_changed(self):
        changed = os.path.join(self.game, "d000", "f00007.bin")
        with open(changed + ".new", "wb") as f:
            f.write(os.urandom(KIB))
        os.replace(changed + ".new", changed)
        self.publish(2)
        with open(os.path.join(self.pub, "manifest_light.json"), "rb") as f:
            plain = f.read()
        gz = len(gzip.compress(plain, 9))
        seconds, sent, paths, _ = self.start("bench_run_head.exe", f"{self.base}/manifest_light.json",
                                             "one changed")
        with open(os.path.join(self.install, os.path.relpath(changed, self.game)), "rb") as f:
            self.check(f.read() == open(changed, "rb").read(), "one changed: the file is not in place")
        target = 1.1 * gz + 64 * KIB
        self.lines.append(
            f"| one file changed, head build | {sent:,} B in {len(paths)} requests (plain manifest "
            f"{len(plain):,} B, gzip -9 {gz:,} B) | {seconds:.2f} s | <= 1.1 x gzip -9 + 64 KiB "
            f"= {target:,.0f} B: {'met' if sent <= target else 'NOT met'} ({sent / gz:.2f} x gzip -9) |")

    # ---- the crowd through the edge ----

    def crowd(self):
        import s3_ctl  # noqa: E402 (the edge of tools/nginx/zarvo-edge.conf)
        edge = s3_ctl.Edge(os.path.join(self.work, "edge"), self.port + 5, self.port + 6,
                           self.certdir)
        try:
            context = ssl.create_default_context(cafile=os.path.join(self.certdir, "ca.pem"))
            starts, threads, span = 1000, 16, 40.0 if not self.smoke else 10.0
            head_now = self.head()
            mark = self.nginx.mark()
            errors, fetched = [], [0]
            lock = threading.Lock()

            def player(index):
                conn = http.client.HTTPSConnection("localhost", self.port + 5, context=context,
                                                   timeout=30)
                for n in range(index, starts, threads):
                    time.sleep(max(0.0, began + span * n / starts - time.monotonic()))
                    conn.request("GET", "/heads/live.json", headers={"User-Agent": "ZarvoLauncher/1.0"})
                    answer = conn.getresponse()
                    body = answer.read()
                    if answer.status != 200:
                        errors.append(answer.status)
                        continue
                    light = json.loads(body)["light"]
                    # Half the installs still hold release 1: they fetch the manifest it names.
                    if n % 2 == 0:
                        conn.request("GET", f"/objects/{light}.zman")
                        answer = conn.getresponse()
                        data = answer.read()
                        with lock:
                            fetched[0] += 1
                        if answer.status != 200 or len(data) != head_now["light_zsize"]:
                            errors.append(answer.status)
                conn.close()

            began = time.monotonic()
            pool = [threading.Thread(target=player, args=(i,)) for i in range(threads)]
            for t in pool:
                t.start()
            for t in pool:
                t.join()
            took = time.monotonic() - began
            time.sleep(0.2)
            # The edge asks for objects in 1 MiB slices (zarvo-edge.conf): each slice of the
            # manifest's object once is the object once.
            origin = []
            with open(self.nginx.access_log, "rb") as f:
                f.seek(mark)
                origin = [line.decode().split() for line in f if line.strip()]
            heads = sum(1 for parts in origin if parts[0].startswith("/heads/"))
            slices = [(parts[0], parts[-1]) for parts in origin if parts[0].endswith(".zman")]
            manifests = len(slices)
            once = len(set(slices)) == len(slices) and len({p for p, _ in slices}) == 1
            self.check(not errors, f"crowd: {len(errors)} failed answers {errors[:5]}")
            lifetimes = max(1, -(-int(took) // 60))
            self.lines.append(
                f"| {starts:,} starts in {took:.0f} s through the edge ({fetched[0]} fetch the "
                f"new manifest) | origin: {heads} head request(s), the manifest's object in "
                f"{manifests} slice request(s) of 1 MiB, each once: {once} | | <= 1 head per "
                f"60 s ({lifetimes} lifetime(s)) and the manifest once: "
                f"{'met' if heads <= lifetimes and once else 'NOT met'} |")
        finally:
            edge.stop()

    # ---- an overloaded origin ----

    def busy(self):
        busy = os.path.join(self.pub, "busy")
        open(busy, "w").close()
        threading.Timer(10.0, lambda: os.remove(busy)).start()
        mark = self.nginx.mark()
        seconds, _, paths, _ = self.start("bench_run_head.exe", f"{self.base}/manifest_light.json",
                                          "503")
        times = []
        with open(self.nginx.access_log, "rb") as f:
            f.seek(mark)
            for line in f:
                parts = line.decode().split()
                if parts and parts[0].startswith("/heads/"):
                    times.append((parts[1], float(parts[5]) - float(parts[6])))
        gap = times[1][1] - times[0][1] if len(times) >= 2 else 0.0
        self.check(len(times) == 2 and times[0][0] == "503", f"503: the head requests {times}")
        self.lines.append(
            f"| origin answers 503, Retry-After: 30 (back after 10 s) | {len(times)} head "
            f"requests, the second {gap:.1f} s after the first | run {seconds:.1f} s | "
            f">= 30 s and done: {'met' if gap >= 30 else 'NOT met'} |")

    # ---- staged rollout ----

    def rollout(self):
        # Release 2 handed to 10 % of installs, the rest kept on release 1, written as the
        # studio tool writes a head (its rollout command works on a folder already in a rollout).
        sys.path.insert(0, ROOT)
        from zarvo_studio import heads
        head = dict(self.head())
        head.update({"prev_" + key: value for key, value in self.head1.items()
                     if "prev_" + key in heads.KEYS})
        head.update({"rollout": 10, "previous": self.head1["release"]})
        head_file = os.path.join(self.work, "rollout_head.json")
        with open(head_file, "w") as f:
            f.write(heads.head_text(head))
        folder = os.path.join(self.work, "rollout")
        os.makedirs(folder)
        exe = self.exe("bench_run_head.exe", folder)
        result = os.path.join(self.work, "rollout.txt")
        self.wine.run(exe, ["rollout", self.wine.path(head_file),
                            "1000", self.wine.path(result)], folder, 600)
        values = read_result(result)
        took, same = int(values.get("took", -1)), int(values.get("same", -1))
        self.check(same == 1000, f"rollout: {same} of 1000 decided the same")
        self.lines.append(
            f"| rollout 10 % over 1,000 new installs | {took} took the release, {same} decided "
            f"the same on a second pass | | 10 % +- 3 %, all the same: "
            f"{'met' if 70 <= took <= 130 and same == 1000 else 'NOT met'} |")

    def run(self):
        try:
            self.make_game()
            self.head1 = self.publish(1)
            log("installing by a copy")
            shutil.copytree(self.game, self.install)
            time.sleep(0.5)  # a file changed within the record's settling time is not remembered
            self.nothing_new()
            self.one_changed()
            self.crowd()
            self.busy()
            self.rollout()
        finally:
            self.nginx.stop()
            benchlib.NGINX_CONF = self.saved_conf
            if not self.args.keep:
                shutil.rmtree(self.work, ignore_errors=True)
        log("\n".join(["", f"Release heads{' (smoke sizes)' if self.smoke else ''}: nproc "
                       f"{os.cpu_count()}, load {os.getloadavg()[0]:.1f}, best of {self.rounds}", "",
                       "| Scenario | Origin | Time | Target |", "|---|---|---|---|"] + self.lines))
        return self.exit_status()


if __name__ == "__main__":
    sys.exit(bench_main(HeadBench, __doc__, "bench_head", 3))
