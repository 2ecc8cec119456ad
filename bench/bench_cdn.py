#!/usr/bin/env python3
"""Object storage and caches: uploads of the sample publication to an S3 server, against
rclone, and what a release with one file changed costs the upload.

    bench_cdn.py --build-dir B --env-dir E --port P [--smoke] [--rounds R] [--keep] [--jobs J]

The sample game is bench_packed.py's (about 350 MiB, --smoke about 30 MiB, B's executables
among it), published by zarvo-studio publish with its defaults (compressed copies, block
indexes, objects/ as hard links). npm's @20minutes/s3rver (tests/publish/s3_ctl.py, installed
into B/node) runs on P + 10; bench/relay.py on P + 11 counts the bytes each way.

Scenarios:
  whole upload   the publication into an empty prefix with `zarvo-studio upload --jobs J`
                 and with `rclone sync --checksum --transfers J --checkers J` (default J 4),
                 R turns each in alternation (default 2, --smoke 1), best time each. rclone
                 copies the folder as it lies, so it sends objects/ as well; the upload sends
                 each content once and copies the classic files on the server.
  one file       release 1 uploaded, one texture changed, published again into the same
  changed        folder and uploaded through the relay: bytes the server received against
                 the new objects and the manifests.
Launcher scenarios (players through the edge cache, patches from a server without multi-range)
go in launcher_scenarios(); E (the test environment) is for them.
"""
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "publish"))
from benchlib import BenchError, Checks, bench_main  # noqa: E402
from bench_packed import bmp, make_game  # noqa: E402
from bench_patch import CountingRelay  # noqa: E402
import s3_ctl  # noqa: E402

from benchlib import STUDIO  # noqa: E402
MIB = 1 << 20
CHANGED = "textures/tex_000.bmp"


def log(text):
    print(text, flush=True)


def objects_of(publication):
    folder = os.path.join(publication, "objects")
    return {n: os.path.getsize(os.path.join(folder, n)) for n in os.listdir(folder)}


def load():
    return "%.2f %.2f %.2f" % os.getloadavg()


def cpu_of(pid):
    """CPU seconds (user + system) a process has used."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def children_cpu():
    t = os.times()
    return t.children_user + t.children_system


class CdnBench(Checks):
    def __init__(self, args):
        super().__init__()
        self.args = args
        self.rounds = args.rounds or (1 if args.smoke else 2)
        self.jobs = args.jobs
        self.build = os.path.abspath(args.build_dir)
        self.work = os.path.join(self.build, "benchwork-cdn")
        if not args.keep:
            shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work, exist_ok=True)
        self.port = args.port
        self.s3 = None
        self.env = s3_ctl.s3_environment()
        self.results = []  # (scenario, measured, reference, ratio, target, ok)

    # ---- contenders ---------------------------------------------------------------------------

    def tool_upload(self, publication, prefix, endpoint=None):
        start = time.monotonic()
        run = subprocess.run([*STUDIO, "upload", publication,
                              f"s3://{s3_ctl.BUCKET}/{prefix}", "--endpoint-url",
                              endpoint or self.s3.endpoint, "--jobs", str(self.jobs)],
                             env=self.env, capture_output=True, text=True, timeout=1800)
        seconds = time.monotonic() - start
        if run.returncode != 0:
            raise BenchError(f"the upload failed:\n{run.stderr[-2000:]}")
        return seconds, run.stdout.strip().splitlines()[-1]

    def rclone_sync(self, publication, prefix):
        env = dict(self.env, RCLONE_CONFIG_BENCH_TYPE="s3", RCLONE_CONFIG_BENCH_PROVIDER="Other",
                   RCLONE_CONFIG_BENCH_ACCESS_KEY_ID=s3_ctl.ACCESS_KEY,
                   RCLONE_CONFIG_BENCH_SECRET_ACCESS_KEY=s3_ctl.SECRET_KEY,
                   RCLONE_CONFIG_BENCH_ENDPOINT=self.s3.endpoint,
                   RCLONE_CONFIG_BENCH_REGION="us-east-1", RCLONE_CONFIG="/dev/null")
        env.pop("AWS_CA_BUNDLE", None)  # rclone 1.60 does not start while it is set
        start = time.monotonic()
        run = subprocess.run(["rclone", "sync", "--checksum", "--transfers", str(self.jobs),
                              "--checkers", str(self.jobs), publication,
                              f"bench:{s3_ctl.BUCKET}/{prefix}"],
                             env=env, capture_output=True, text=True, timeout=1800)
        seconds = time.monotonic() - start
        if run.returncode != 0:
            raise BenchError(f"rclone failed:\n{run.stderr[-2000:]}")
        return seconds

    def forget(self, prefix):
        """Empties a prefix on the server's disk (s3rver reads its folder at each request)."""
        shutil.rmtree(os.path.join(self.s3.directory, s3_ctl.BUCKET, prefix), ignore_errors=True)

    def record(self, scenario, measured, reference, ratio, target):
        self.results.append((scenario, measured, reference, ratio, target))
        if not self.args.smoke:  # small sizes say nothing of the ratios
            self.check(ratio <= target, f"{scenario}: {ratio:.3f} above {target}")

    # ---- scenarios ----------------------------------------------------------------------------

    def whole_upload(self, publication, size):
        turns = {"upload": [], "rclone": []}
        for turn in range(self.rounds):
            for who in ("upload", "rclone"):
                prefix = f"{who}-{turn}"
                server, client = cpu_of(self.s3.proc.pid), children_cpu()
                if who == "upload":
                    seconds, summary = self.tool_upload(publication, prefix)
                else:
                    seconds = self.rclone_sync(publication, prefix)
                server, client = cpu_of(self.s3.proc.pid) - server, children_cpu() - client
                stored = s3_ctl.S3Server.stored_bytes(self.s3)
                turns[who].append(seconds)
                log(f"  {who:7} {seconds:6.2f} s  cpu: client {client:5.1f} s, s3rver {server:5.1f} s; "
                    f"server holds {stored / MIB:7.1f} MiB  (load {load()})")
                self.forget(prefix)
        best_tool, best_rclone = min(turns["upload"]), min(turns["rclone"])
        self.record(f"upload of the whole sample publication ({size / MIB:.0f} MiB, --jobs {self.jobs})",
                    f"{best_tool:.2f} s", f"rclone sync {best_rclone:.2f} s", best_tool / best_rclone, 1.1)

    def one_file_changed(self, game, publication):
        self.tool_upload(publication, "live")
        before = objects_of(publication)
        changed = os.path.join(game, *CHANGED.split("/"))
        import random
        data = bmp(random.Random(99), 1024, 1024)
        os.unlink(changed)  # the publication may hold a link to it
        with open(changed, "wb") as f:
            f.write(data)
        subprocess.run([*STUDIO, "publish", game, publication], check=True, stdout=subprocess.DEVNULL)
        after = objects_of(publication)
        new = {n: s for n, s in after.items() if n not in before}
        manifests = sum(os.path.getsize(os.path.join(publication, m))
                        for m in ("manifest_full.json", "manifest_light.json"))
        relay = CountingRelay(self.work, self.port + 11, self.port + 10, 0)
        try:
            seconds, summary = self.tool_upload(publication, "live", f"http://127.0.0.1:{self.port + 11}")
        finally:
            up, down = relay.stop()
        reference = sum(new.values()) + manifests
        log(f"  {len(new)} new objects {sum(new.values()) / MIB:.2f} MiB + manifests {manifests / 1024:.0f} KiB; "
            f"the server received {up / MIB:.2f} MiB, sent {down / MIB:.2f} MiB, in {seconds:.2f} s")
        log(f"  {summary}")
        self.record(f"a release with one file changed ({CHANGED}), uploaded",
                    f"{up / MIB:.2f} MiB received", f"new objects + manifests {reference / MIB:.2f} MiB",
                    up / reference, 1.1)

    def launcher_scenarios(self, publication):
        """Players through the edge cache (origin bytes of three installs against one) and a
        patch from a server without multi-range against the same from nginx: they need a
        launcher built with LAUNCHER_CACHEABLE_CONTENT and the test environment (args.env_dir);
        s3_ctl.Stack gives the S3 server, its read front and the edge on three ports."""
        return []

    # ---- the run ------------------------------------------------------------------------------

    def run(self):
        try:
            log(f"nproc {os.cpu_count()}, load {load()}")
            node = s3_ctl.install(os.path.join(self.build, "node"))
            log(f"s3rver {s3_ctl.S3RVER_VERSION} in {node}; rclone "
                + subprocess.run(["rclone", "version"], capture_output=True, text=True,
                                 env={k: v for k, v in os.environ.items() if k != "AWS_CA_BUNDLE"}
                                 ).stdout.split("\n")[0])
            game = os.path.join(self.work, "game")
            if not os.path.isdir(game):
                log("making the sample game")
                make_game(game, self.build, self.args.smoke)
            publication = os.path.join(self.work, "published")
            shutil.rmtree(publication, ignore_errors=True)
            subprocess.run([*STUDIO, "publish", game, publication], check=True, stdout=subprocess.DEVNULL)
            size = sum(os.path.getsize(os.path.join(d, n)) for d, _, ns in os.walk(publication)
                       for n in ns if "/objects" not in d)
            log(f"publication: {size / MIB:.1f} MiB without objects/, which repeats it as hard links")
            self.s3 = s3_ctl.S3Server(os.path.join(self.work, "servers"), self.port + 10,
                                      os.path.join(self.build, "node"))
            log("whole upload, the tool and rclone in turn")
            self.whole_upload(publication, size)
            log("one file changed")
            self.one_file_changed(game, publication)
            for row in self.launcher_scenarios(publication):
                self.record(*row)
            self.report()
        finally:
            if self.s3:
                self.s3.stop()
            if not self.args.keep:
                shutil.rmtree(self.work, ignore_errors=True)
        return self.exit_status()

    def report(self):
        log("")
        log(f"nproc {os.cpu_count()}, load average {load()} at the end")
        log("| scenario | measured | reference | ratio | target |")
        log("|---|---|---|---|---|")
        for scenario, measured, reference, ratio, target in self.results:
            log(f"| {scenario} | {measured} | {reference} | {ratio:.3f} | <= {target} |")


def main():
    return bench_main(CdnBench, __doc__, "bench_cdn", 2,
                      (("--jobs",), {"type": int, "default": 4,
                                     "help": "transfers at once, for both contenders (default 4)"}))


if __name__ == "__main__":
    sys.exit(main())
