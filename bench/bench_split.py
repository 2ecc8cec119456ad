#!/usr/bin/env python3
"""A whole game through a link whose connections are each held to a fraction of it: the
launcher against aria2c and against the link's own time, and the same game on loopback.

    bench_split.py --build-dir B --env-dir E --port P [--base-build D] [--smoke] [--rounds R]
                   [--keep]

B is a test build whose update base address is https://localhost:P, E a test environment
brought up by tests/harness/testenv.sh (Wine prefix with the test CA). nginx serves one folder
written by zarvo-studio publish over HTTPS on P + 5; bench/relay.py carries the launcher's
connections from P and aria2c's from P + 7, 20 ms each way, 40 MB/s for the link and 4 MB/s for
each connection. On loopback nginx listens on P itself, no relay between. With --base-build,
D's bench_run.exe (a build of the code before this change) runs the loopback rows too.

The game: one archive of 256 MiB, two of 64 MiB and 1,000 files of 16 KiB (--smoke: a
sixteenth of each size, 100 small files). Each contender downloads it into an empty folder,
R turns (default 2), taking turns; every turn is reported.

  launcher   bench_run.exe run over manifest_full.json: "seconds" from the manifest request to
             "Archivos OK!" (verification of the empty folder included, a few ms)
  aria2c     Debian's aria2c -j16 -x16 -s16 -k1M over an input file of the same URLs
  link       bytes of the files / 40 MB/s

A third case kills the launcher when the relay has carried half of the 256 MiB archive (the
archive alone is published then) and starts it again: the bytes both runs moved over the
wire (both directions, TLS included) against the file's size, and the second run's seconds
against the link's time for the missing half.

A fourth publishes 8 files of 32 MiB (--smoke: 2 MiB) alone and fetches them on loopback,
the launcher against tests/bench/floor_http.exe "placed" on 16 threads: a request per file,
its .tmp, MD5 as it is written, flush and rename, the least a program must do for them.
"""
import hashlib
import os
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from benchlib import STUDIO  # noqa: E402
from benchlib import (BenchError, Checks, Nginx, Wine, bench_main, file_md5, read_result,  # noqa: E402
                      unix_pid_of)
from bench_patch import CountingRelay  # noqa: E402

DELAY_MS = 20
LINK_RATE = 40e6  # bytes per second
CONN_RATE = 4e6
TARGETS = ("limited link: launcher <= 1.15 x the link's time and <= aria2c; loopback: "
           "<= 1.05 x the code before; resumed: wire <= 1.05 x the file, the second run <= 1.2 x "
           "the link's time for the missing half; 8 files on loopback: <= 1.05 x the floor")


def log(text):
    print(text, flush=True)


def limited_relay(work, listen, target, hold_at=None, profile=None):
    """The relay with the delay and the limits per link and per connection."""
    return CountingRelay(work, listen, target, LINK_RATE * 8 / 1e6, hold_at=hold_at,
                         delay_ms=DELAY_MS, conn_rate_mbit=CONN_RATE * 8 / 1e6, profile=profile)


class SplitBench(Checks):
    def __init__(self, args):
        super().__init__()
        self.args = args
        scale = 16 if args.smoke else 1
        self.big = [("data/archive.pak", (256 << 20) // scale),
                    ("data/pack1.pak", (64 << 20) // scale),
                    ("data/pack2.pak", (64 << 20) // scale)]
        self.small = (100 if args.smoke else 1000, 16 << 10)
        self.rounds = args.rounds or 2
        self.build = os.path.abspath(args.build_dir)
        self.work = os.path.join(self.build, "benchwork-split")
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.wine = Wine(os.path.abspath(args.env_dir), self.work)
        self.certdir = os.path.join(os.path.abspath(args.env_dir), "certs")
        self.port = args.port
        self.www = os.path.join(self.work, "www")
        self.rows = []
        self.nginx = None

    # ---- the published game -----------------------------------------------------------------

    def publish(self, files, flags=()):
        game = os.path.join(self.work, "build_dir")
        shutil.rmtree(game, ignore_errors=True)
        os.makedirs(game)
        with open(os.path.join(game, "Zarvo Vestra.exe"), "wb") as f:
            f.write(b"MZ stand-in launcher")
        self.md5 = {}
        for name, size in files:
            path = os.path.join(game, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            digest = hashlib.md5()
            with open(path, "wb") as f:
                for at in range(0, size, 1 << 24):
                    block = os.urandom(min(1 << 24, size - at))
                    digest.update(block)
                    f.write(block)
            self.md5[name] = digest.hexdigest()
        shutil.rmtree(self.www, ignore_errors=True)
        subprocess.run([*STUDIO, "publish", game, self.www, *flags], check=True,
                       stdout=subprocess.DEVNULL)
        shutil.rmtree(game, ignore_errors=True)
        self.bytes = sum(size for _, size in files)

    def game_files(self, archive_only=False):
        if archive_only:
            return [self.big[0]]
        count, size = self.small
        return self.big + [(f"small/{i // 100:02}/file{i:04}.dat", size) for i in range(count)]

    def files_ok(self, folder):
        return all(file_md5(os.path.join(folder, name)) == md5 for name, md5 in self.md5.items())

    def serve(self, port):
        if self.nginx:
            self.nginx.stop()
        self.nginx = Nginx(os.path.join(self.work, f"nginx-{port}"), port, self.www, self.certdir)

    # ---- contenders ---------------------------------------------------------------------------

    def launcher(self, name, build, relay_port=None, kill=False):
        game = os.path.join(self.work, "game")
        shutil.rmtree(game, ignore_errors=True)
        os.makedirs(game)
        shutil.copy(os.path.join(build, "bench_run.exe"), game)
        result = os.path.join(self.work, "run.txt")
        relay = None
        if relay_port:
            relay = limited_relay(self.work, self.port, relay_port,
                                 hold_at=self.big[0][1] // 2 if kill else None)
        try:
            if kill:
                self.killed_run(game, relay)
            if os.path.exists(result):
                os.remove(result)
            url = f"https://localhost:{self.port}/manifest_full.json"
            self.wine.run(os.path.join(game, "bench_run.exe"), ["run", url, "FULL",
                                                                 self.wine.path(result)], game)
            values = read_result(result)
        finally:
            wire = sum(relay.stop()) if relay else 0
        self.check(values.get("status") == "Archivos OK!",
                   f"{name}: the launcher ended with '{values.get('status')}'")
        self.check(self.files_ok(game), f"{name}: a file of the launcher's is wrong")
        return float(values.get("seconds", 0)), wire

    def killed_run(self, game, relay):
        exe = os.path.join(game, "bench_run.exe")
        url = f"https://localhost:{self.port}/manifest_full.json"
        proc = self.wine.start(exe, ["run", url, "FULL", self.wine.path(os.path.join(self.work, "k.txt"))],
                               game)
        half = self.big[0][1] // 2
        end = time.time() + 600
        pid = None
        while proc.poll() is None and time.time() < end:
            pid = pid or unix_pid_of(self.wine, exe)
            if pid and relay.down_so_far() >= half:
                os.kill(pid, signal.SIGKILL)
                relay.cut()
                proc.wait()
                time.sleep(1)
                return
            time.sleep(0.01)
        raise BenchError("the launcher to be killed ended first")

    def aria2c(self, name, relay_port):
        folder = os.path.join(self.work, "aria2")
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        listing = os.path.join(self.work, "aria2-input.txt")
        with open(listing, "w") as f:
            for rel in self.md5:
                f.write(f"https://localhost:{self.port + 7}/update/{rel}\n  out={rel}\n")
        relay = limited_relay(self.work, self.port + 7, relay_port)
        try:
            start = time.perf_counter()
            done = subprocess.run(
                ["aria2c", "-j16", "-x16", "-s16", "-k1M", "-i", listing, "-d", folder,
                 f"--ca-certificate={self.certdir}/ca.pem", "--allow-overwrite=true",
                 "--auto-file-renaming=false", "--file-allocation=none", "-q"],
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, timeout=1200)
            seconds = time.perf_counter() - start
        finally:
            wire = sum(relay.stop())
        self.check(done.returncode == 0, f"{name}: aria2c failed: {done.stderr.strip()[:200]}")
        self.check(self.files_ok(folder), f"{name}: a file of aria2c's is wrong")
        return seconds, wire

    # ---- cases --------------------------------------------------------------------------------

    def first_request(self, relay_port):
        """Seconds of the manifest's first request and its parsing alone, through the relay:
        under Wine most of it is the process's first TLS handshake, which aria2c pays natively."""
        result = os.path.join(self.work, "manifest.txt")
        if os.path.exists(result):
            os.remove(result)
        relay = limited_relay(self.work, self.port, relay_port)
        try:
            exe = os.path.join(self.build, "bench_run.exe")
            self.wine.run(exe, ["manifest", f"https://localhost:{self.port}/manifest_full.json",
                                self.wine.path(result)], self.work)
        finally:
            relay.stop()
        return float(read_result(result).get("seconds", 0))

    def limited(self):
        self.serve(self.port + 5)
        turns = {"launcher": [], "aria2c": []}
        for _ in range(self.rounds):
            turns["launcher"].append(self.launcher("limited link", self.build, self.port + 5))
            turns["aria2c"].append(self.aria2c("limited link", self.port + 5))
        link = self.bytes / LINK_RATE
        best = {who: min(t[0] for t in runs) for who, runs in turns.items()}
        self.rows.append(("limited link", turns, link))
        self.manifest_seconds = self.first_request(self.port + 5)
        if self.args.smoke:
            return  # --smoke checks only that every case ends with the right files
        self.check(best["launcher"] <= 1.15 * link,
                   f"limited link: {best['launcher']:.1f} s, {best['launcher'] / link:.2f} x "
                   "the link's time, target 1.15")
        self.check(best["launcher"] <= best["aria2c"],
                   f"limited link: {best['launcher']:.1f} s against aria2c's {best['aria2c']:.1f} s")

    def loopback(self):
        self.serve(self.port)
        turns = {"launcher": []}
        base = os.path.abspath(self.args.base_build) if self.args.base_build else None
        if base:
            turns["before"] = []
        for _ in range(self.rounds):
            turns["launcher"].append(self.launcher("loopback", self.build))
            if base:
                turns["before"].append(self.launcher("loopback, before", base))
        self.rows.append(("loopback", turns, None))
        if base and not self.args.smoke:
            ours = min(t[0] for t in turns["launcher"])
            before = min(t[0] for t in turns["before"])
            self.check(ours <= 1.05 * before,
                       f"loopback: {ours:.2f} s against {before:.2f} s before the change")

    def resumed(self):
        self.publish(self.game_files(archive_only=True))
        self.serve(self.port + 5)
        size = self.big[0][1]
        turns = {"launcher": [self.launcher("resumed", self.build, self.port + 5, kill=True)
                              for _ in range(self.rounds)]}
        self.rows.append(("resumed", turns, None))
        least = min(t[1] for t in turns["launcher"])
        fastest = min(t[0] for t in turns["launcher"])
        if not self.args.smoke:
            self.check(least <= 1.05 * size,
                       f"resumed: {least / size:.3f} x the file on the wire")
            self.check(fastest <= 1.2 * self.half_link(),
                       f"resumed: {fastest:.2f} s, {fastest / self.half_link():.2f} x the link's "
                       "time for the missing half")

    def half_link(self):
        return (self.big[0][1] - self.big[0][1] // 2) / LINK_RATE

    def floor(self, port, threads=16):
        """Seconds of floor_http.exe placing every published file, straight from nginx."""
        out_dir = os.path.join(self.work, "floor")
        shutil.rmtree(out_dir, ignore_errors=True)
        listing = os.path.join(self.work, "floor-list.txt")
        with open(listing, "w", encoding="utf-8") as f:
            for rel in self.md5:
                os.makedirs(os.path.dirname(os.path.join(out_dir, rel)), exist_ok=True)
                f.write(rel + "\n")
        result = os.path.join(self.work, "floor.txt")
        if os.path.exists(result):
            os.remove(result)
        exe = os.path.join(self.build, "floor_http.exe")
        self.wine.run(exe, [self.wine.path(listing), f"https://localhost:{port}/update",
                            self.wine.path(out_dir), str(threads), self.wine.path(result),
                            "placed"], self.work)
        values = read_result(result)
        self.check(int(values.get("files", 0)) == len(self.md5) and self.files_ok(out_dir),
                   f"floor: {values.get('files')} files")
        return float(values.get("seconds", 0))

    def eight_files(self):
        size = (2 if self.args.smoke else 32) << 20
        self.publish([(f"data/part{i}.pak", size) for i in range(8)])
        self.serve(self.port)
        turns = {"launcher": [], "floor": []}
        for _ in range(self.rounds):
            turns["launcher"].append(self.launcher("8 files", self.build))
            turns["floor"].append((self.floor(self.port), 0))
        self.rows.append(("8 files", turns, None))
        if not self.args.smoke:
            ours = min(t[0] for t in turns["launcher"])
            floor = min(t[0] for t in turns["floor"])
            self.check(ours <= 1.05 * floor,
                       f"8 files: {ours:.2f} s against the floor's {floor:.2f} s")

    def report(self):
        lines = ["", f"A game of {self.bytes_game / 2 ** 20:.0f} MiB ({len(self.game_files())} "
                 f"files) through {DELAY_MS} ms each way, {LINK_RATE / 1e6:.0f} MB/s for the link, "
                 f"{CONN_RATE / 1e6:.0f} MB/s per connection; nproc {os.cpu_count()}",
                 f"Targets: {TARGETS}", ""]
        for case, turns, link in self.rows:
            for who, runs in turns.items():
                cells = "  ".join(f"{s:7.2f} s" + (f" ({w / 2 ** 20:.1f} MiB on the wire)" if w
                                                   else "") for s, w in runs)
                lines.append(f"  {case:13} {who:9} {cells}")
            if case == "resumed":
                ratios = ", ".join(f"{w / self.big[0][1]:.3f}" for _, w in turns["launcher"])
                lines.append(f"  {case:13} wire / file: {ratios} (both runs, TLS included)")
                fastest = min(s for s, _ in turns["launcher"])
                lines.append(f"  {case:13} the link's time for the missing half "
                             f"{self.half_link():.2f} s: second run / it {fastest / self.half_link():.2f}")
            if case == "8 files":
                best = {who: min(s for s, _ in runs) for who, runs in turns.items()}
                lines.append(f"  {case:13} launcher/floor {best['launcher'] / best['floor']:.2f}")
            if link:
                best = {who: min(s for s, _ in runs) for who, runs in turns.items()}
                lines.append(f"  {case:13} {'link':9} {link:7.2f} s   launcher/link "
                             f"{best['launcher'] / link:.2f}, launcher/aria2c "
                             f"{best['launcher'] / best['aria2c']:.2f}")
                first = self.manifest_seconds
                lines.append(f"  {case:13} the manifest's first request alone {first:.2f} s; "
                             f"without it launcher/aria2c "
                             f"{(best['launcher'] - first) / best['aria2c']:.2f}")
        log("\n".join(lines))

    def run(self):
        try:
            log("writing the game")
            self.publish(self.game_files())
            self.bytes_game = self.bytes
            log("limited link")
            self.limited()
            log("loopback")
            self.loopback()
            log("resumed")
            self.resumed()
            log("8 files on loopback")
            self.eight_files()
            self.report()
        finally:
            self.close()
        return self.exit_status()

    def close(self):
        """Stops nginx and, without --keep, removes the work folder."""
        if self.nginx:
            self.nginx.stop()
        if not self.args.keep:
            shutil.rmtree(self.work, ignore_errors=True)


def main():
    return bench_main(SplitBench, __doc__, "bench_split", 2,
                      (("--base-build",), {"help": "a build of the code before, for the loopback rows"}))


if __name__ == "__main__":
    sys.exit(main())
