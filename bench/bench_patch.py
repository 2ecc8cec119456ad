#!/usr/bin/env python3
"""Patches and resumed downloads of a big archive: the launcher against zsync and against the
whole-file download, bytes over the wire and time.

    bench_patch.py --build-dir B --env-dir E --port P [--smoke] [--rounds R] [--keep] [--sweep]

B is a test build whose update base address is https://localhost:P, E a test environment
brought up by tests/harness/testenv.sh (Wine prefix with the test CA). nginx serves one folder
written by zarvo-studio publish over HTTPS (P + 5, for the launcher) and plain HTTP (P + 6,
for zsync, which speaks no TLS), with the .zsync file from zsyncmake beside the archive. Every
transfer goes through bench/relay.py, which counts the bytes each way: the launcher's on P (its
build's address), zsync's on P + 7. Each case runs unlimited and with the relay limited to
100 Mbit/s; the launcher and zsync take R turns each (default 3, --smoke 1), one after the
other, and each keeps its best time: on this shared virtual machine one run of the same
program can take half as long again as the next.

Cases, on an archive of 256 MiB (--smoke: 16 MiB):
  changed 1%    20 scattered spans overwritten, together 1% of the file
  inserted      100 bytes inserted near the start
  resumed       no old copy; the relay stops when it has carried exactly half of the file,
                the contender is killed (losing what it had received and not yet written),
                the relay breaks the connection, and the contender starts again. A kill on a
                count looked up every 10 ms landed 0 to 3 MiB past half at full speed; and
                under Wine a killed process's sockets stay open until the wineserver has
                cleaned up after it, so a link still running pushed about 0.8 MiB more into
                the killed launcher's, 16 KiB into a killed zsync's

Contenders: the launcher (bench_run.exe, its own update code, "seconds" being its run from the
manifest request to the final status), zsync 0.6.2 (-i old copy; a killed zsync leaves its
.part file, which the next run uses), and the whole-file download (the launcher with the block
indexes hidden; after a kill it starts again from byte 0, as launchers without resume did).

--memory-4g patches a 4 GiB archive (1% changed in 20 places) once, unlimited, and reports the
peak working set of the run: the index, one read buffer and a byte per block, whatever the
size. It needs about 13 GiB of disk for a few minutes.

--worst-index patches a file of about 1 GiB under the largest index the launcher takes (16 MiB:
2 million blocks of 512 bytes) three times, unlimited, and reports each run's peak working set:
an honest patch with the tool's own index (1% changed in 20 places), the same with the largest
index, and the worst that index allows: an old copy made of every other block of the new
version in a shuffled order, so that the build finds a million runs one block long all over the
old file and leaves a million gaps to the server. Target: the worst within 64 MiB of the honest
patch with the same index. It needs about 5 GiB of disk for a few minutes.

--sweep also tabulates, for the changed-1% case, what other block sizes would have cost (index
plus blocks touched by the changed spans, computed from the spans).
"""
import hashlib
import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, ".."))
from benchlib import STUDIO  # noqa: E402
from benchlib import (BenchError, Checks, Nginx, Wine, bench_main, file_md5, read_result,  # noqa: E402
                      unix_pid_of, vm_hwm_kib, wait_port)
from zarvo_studio import blockindex as zarvo_blockindex  # noqa: E402

ARCHIVE = "data/archive.pak"
LIMIT_MBIT = 100
TARGETS = "bytes <= zsync; patches <= 5% of the file; resumed <= 1.1x; time at 100 Mbit/s <= zsync"

def log(text):
    print(text, flush=True)


class CountingRelay:
    """bench/relay.py from listen to target, optionally paced; counts bytes both ways."""

    def __init__(self, work, listen, target, rate_mbit, hold_at=None, delay_ms=0,
                 conn_rate_mbit=0, profile=None):
        self.stats = os.path.join(work, f"relay-{listen}.txt")
        if os.path.exists(self.stats):
            os.remove(self.stats)
        args = [sys.executable, os.path.join(HERE, "relay.py"), "--listen", str(listen),
                "--target", f"127.0.0.1:{target}", "--stats", self.stats]
        if rate_mbit:
            args += ["--rate-mbit", str(rate_mbit)]
        if hold_at:
            args += ["--hold-at", str(hold_at)]
        if delay_ms:
            args += ["--delay-ms", str(delay_ms)]
        if conn_rate_mbit:
            args += ["--conn-rate-mbit", str(conn_rate_mbit)]
        if profile:
            args += ["--profile", profile]
        if wait_port(listen, 0.2):
            raise BenchError(f"port {listen} is already taken")
        with open(os.path.join(work, "relay.out"), "ab") as out:
            self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=out, stderr=out)
        if not wait_port(listen):
            self.proc.kill()
            raise BenchError("the relay did not start")

    def cut(self):
        """Breaks the open connections, as the end of the killed contender does."""
        self.proc.send_signal(signal.SIGUSR2)
        time.sleep(0.01)

    def down_so_far(self):
        """Bytes relayed to the client so far (the relay writes its counts on SIGUSR1)."""
        self.proc.send_signal(signal.SIGUSR1)
        time.sleep(0.01)
        return int(read_result(self.stats).get("down", 0))

    def stop(self):
        """(up, down) bytes."""
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        values = read_result(self.stats)
        return int(values.get("up", 0)), int(values.get("down", 0))


def edited_copies(old, rng):
    """(changed 1% in 20 spans, spans), (100 bytes inserted near the start)."""
    size = len(old)
    span = size // 100 // 20
    starts = sorted(rng.sample(range(0, size - span, span * 2), 20))
    changed = bytearray(old)
    for s in starts:
        changed[s:s + span] = os.urandom(span)
    inserted = old[:4321] + os.urandom(100) + old[4321:]
    return bytes(changed), [(s, span) for s in starts], inserted


class PatchBench(Checks):
    def __init__(self, args):
        super().__init__()
        self.args = args
        self.size = (16 if args.smoke else 256) << 20
        self.rounds = args.rounds or (1 if args.smoke else 3)
        self.build = os.path.abspath(args.build_dir)
        self.work = os.path.join(self.build, "benchwork-patch")
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.wine = Wine(os.path.abspath(args.env_dir), self.work)
        self.certdir = os.path.join(os.path.abspath(args.env_dir), "certs")
        self.port = args.port
        self.rows = []
        self.peaks = []
        self.www = os.path.join(self.work, "www")
        self.nginx = Nginx(os.path.join(self.work, "nginx"), self.port + 5, self.www, self.certdir,
                           http_port=self.port + 6)

    # ---- the published folder -------------------------------------------------------------

    def publish(self, content):
        """The archive published with the tool (index included) and its .zsync beside it."""
        game = os.path.join(self.work, "build_dir")
        shutil.rmtree(game, ignore_errors=True)
        os.makedirs(os.path.join(game, "data"))
        with open(os.path.join(game, "Zarvo Vestra.exe"), "wb") as f:
            f.write(b"MZ stand-in launcher")
        with open(os.path.join(game, ARCHIVE), "wb") as f:
            f.write(content)
        subprocess.run([*STUDIO, "publish", game, self.www, "--prune"], check=True,
                       stdout=subprocess.DEVNULL)
        served = os.path.join(self.www, "update", ARCHIVE)
        subprocess.run(["zsyncmake", "-u", "archive.pak", "-o", served + ".zsync", served],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.md5 = hashlib.md5(content).hexdigest()
        index = os.path.join(self.www, "blocks", ARCHIVE + ".zbi")
        self.index_bytes = os.path.getsize(index)
        self.zsync_bytes = os.path.getsize(served + ".zsync")

    def hide_indexes(self, hidden):
        blocks, off = os.path.join(self.www, "blocks"), os.path.join(self.www, "blocks.off")
        if hidden and os.path.isdir(blocks):
            os.rename(blocks, off)
        if not hidden and os.path.isdir(off):
            os.rename(off, blocks)

    # ---- contenders -----------------------------------------------------------------------

    def game_folder(self, old):
        game = os.path.join(self.work, "game")
        shutil.rmtree(game, ignore_errors=True)
        os.makedirs(os.path.join(game, "data"))
        shutil.copy(os.path.join(self.build, "bench_run.exe"), game)
        if old is not None:
            copy = os.path.join(game, ARCHIVE)
            with open(copy, "wb") as f:
                f.write(old)
            # A player's copy of the old version predates the new one's publication.
            published = os.path.getmtime(os.path.join(self.www, "update", ARCHIVE))
            os.utime(copy, (published - 86400, published - 86400))
        return game

    def launcher_run(self, game, kill_at=None, relay=None):
        """One run of bench_run.exe; with kill_at, killed once the relay has carried that many
        bytes to it. Returns its result values (empty when killed)."""
        result = os.path.join(self.work, "run.txt")
        if os.path.exists(result):
            os.remove(result)
        url = f"https://localhost:{self.port}/manifest_full.json"
        exe = os.path.join(game, "bench_run.exe")
        proc = self.wine.start(exe, ["run", url, "FULL", self.wine.path(result)], game)
        tmp = os.path.join(game, ARCHIVE + ".tmp")
        end = time.time() + 1800
        peak, pid, looked = 0, None, 0.0
        while proc.poll() is None and time.time() < end:
            if not pid and time.time() - looked > 0.2:
                pid, looked = unix_pid_of(self.wine, exe), time.time()
            if pid:
                peak = max(peak, vm_hwm_kib(pid) or 0)
            if kill_at and pid and os.path.exists(tmp) and relay.down_so_far() >= kill_at:
                os.kill(pid, signal.SIGKILL)  # the launcher's own process, as a user would
                relay.cut()
                proc.wait()
                time.sleep(1)
                return {}
            time.sleep(0.01)
        if proc.poll() is None:
            proc.kill()
            raise BenchError("bench_run.exe did not end")
        values = read_result(result)
        if "seconds" not in values:
            raise BenchError("bench_run.exe wrote no result")
        values["seconds"] = float(values["seconds"])
        values["vmhwm_kib"] = peak
        return values

    def file_ok(self, path):
        return file_md5(path) == self.md5

    def launcher(self, name, old, rate, whole=False, kill=False):
        self.hide_indexes(whole)
        game = self.game_folder(old)
        mark = self.nginx.mark()
        relay = CountingRelay(self.work, self.port, self.port + 5, rate,
                              hold_at=self.size // 2 if kill else None)
        seconds = 0.0
        try:
            if kill:
                self.launcher_run(game, kill_at=self.size // 2, relay=relay)
                if whole:  # a launcher without resume starts again from byte 0
                    os.remove(os.path.join(game, ARCHIVE + ".tmp"))
            values = self.launcher_run(game)
            seconds = values["seconds"]
            if not whole and not kill:
                self.peaks.append((name, values.get("peak_after"), values.get("vmhwm_kib")))
        finally:
            up, down = relay.stop()
            self.hide_indexes(False)
        self.check(values.get("status") == "Archivos OK!",
                   f"{name}: the launcher ended with '{values.get('status')}'")
        self.check(self.file_ok(os.path.join(game, ARCHIVE)), f"{name}: the launcher's file is wrong")
        return up + down, seconds, self.nginx.http_bytes_since(mark)

    def zsync(self, name, old, rate, kill=False):
        folder = os.path.join(self.work, "zsync")
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        out = os.path.join(folder, "archive.pak")
        command = ["zsync", "-q", "-o", out]
        if old is not None:
            seed = os.path.join(folder, "old.pak")
            with open(seed, "wb") as f:
                f.write(old)
            command += ["-i", seed]
        command.append(f"http://localhost:{self.port + 7}/update/{ARCHIVE}.zsync")
        mark = self.nginx.mark()
        relay = CountingRelay(self.work, self.port + 7, self.port + 6, rate,
                              hold_at=self.size // 2 if kill else None)
        try:
            if kill:
                proc = subprocess.Popen(command, cwd=folder, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
                end = time.time() + 600
                while proc.poll() is None and time.time() < end:
                    if relay.down_so_far() >= self.size // 2:
                        proc.kill()
                        relay.cut()
                        break
                    time.sleep(0.01)
                proc.wait()
            start = time.perf_counter()
            done = subprocess.run(command, cwd=folder, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE, text=True, timeout=1800)
            seconds = time.perf_counter() - start
        finally:
            up, down = relay.stop()
        self.check(done.returncode == 0, f"{name}: zsync failed: {done.stderr.strip()[:200]}")
        self.check(self.file_ok(out), f"{name}: zsync's file is wrong")
        return up + down, seconds, self.nginx.http_bytes_since(mark)

    # ---- cases ----------------------------------------------------------------------------

    def case(self, name, old, kill=False):
        for rate in (0, LIMIT_MBIT):
            link = f"{rate} Mbit/s" if rate else "unlimited"
            log(f"{name}, {link}")
            # The launcher and zsync take turns, so a slow spell of the machine falls on both;
            # each keeps its best time. The whole-file download is there for its bytes.
            runs = {"launcher": [], "zsync": []}
            for _ in range(self.rounds):
                runs["launcher"].append(self.launcher(f"{name} ({link})", old, rate, kill=kill))
                runs["zsync"].append(self.zsync(f"{name} ({link})", old, rate, kill=kill))
            figures = {who: min(r, key=lambda f: f[1]) for who, r in runs.items()}
            figures["whole"] = self.launcher(f"{name} ({link}) whole", old, rate, whole=True,
                                             kill=kill)
            figures["times"] = {who: sorted(f[1] for f in r) for who, r in runs.items()}
            self.rows.append((name, link, figures))
            ours, theirs = figures["launcher"], figures["zsync"]
            limit = 1.1 if kill else 0.05
            # Bytes on the wire; the launcher's carry TLS (about 0.2% of a transfer, plus the
            # handshakes), zsync's do not: it speaks plain HTTP only.
            self.check(ours[0] <= theirs[0], f"{name} ({link}): more bytes than zsync")
            self.check(ours[0] <= limit * self.size,
                       f"{name} ({link}): {ours[0] / self.size:.3f} of the file, target {limit}")
            if rate:
                self.check(ours[1] <= theirs[1], f"{name} ({link}): slower than zsync")

    def sweep(self, spans):
        lines = ["Block size sweep for the changed-1% case (index + blocks the 20 spans touch):"]
        chosen = zarvo_blockindex.block_size_for(self.size)
        for block in sorted({1024, 2048, 4096, 8192, chosen, 16384, 32768, 65536}):
            strong = zarvo_blockindex.strong_bytes_for(self.size, block)
            index = 36 + -(-self.size // block) * (4 + strong)
            touched = set()
            for s, n in spans:
                touched.update(range(s // block, (s + n - 1) // block + 1))
            fetched = len(touched) * block
            mark = "  <- the tool's choice" if block == chosen else ""
            lines.append(f"  {block:6} B: index {index / 1024:7.0f} KiB + blocks "
                         f"{fetched / 1024:6.0f} KiB = {(index + fetched) / 1024:6.0f} KiB{mark}")
        return lines

    def memory_4g(self):
        """A 4 GiB patch: the files are written in pieces, never held whole here either."""
        size = 4 << 30
        game_src = os.path.join(self.work, "build_dir")
        shutil.rmtree(game_src, ignore_errors=True)
        os.makedirs(os.path.join(game_src, "data"))
        with open(os.path.join(game_src, "Zarvo Vestra.exe"), "wb") as f:
            f.write(b"MZ stand-in launcher")
        game = self.game_folder(None)
        old_path, new_path = os.path.join(game, ARCHIVE), os.path.join(game_src, ARCHIVE)
        log("memory: writing a 4 GiB archive and its new version")
        with open(old_path, "wb") as f:
            for _ in range(size >> 26):
                f.write(os.urandom(1 << 26))
        shutil.copyfile(old_path, new_path)
        rng = random.Random(4)
        span = size // 100 // 20
        digest = hashlib.md5()
        with open(new_path, "r+b") as f:
            for start in sorted(rng.sample(range(0, size - span, span * 2), 20)):
                f.seek(start)
                f.write(os.urandom(span))
            f.seek(0)
            for block in iter(lambda: f.read(1 << 24), b""):
                digest.update(block)
        self.md5 = digest.hexdigest()
        subprocess.run([*STUDIO, "publish", game_src, self.www, "--prune", "--hardlink"],
                       check=True, stdout=subprocess.DEVNULL)
        relay = CountingRelay(self.work, self.port, self.port + 5, 0)
        try:
            values = self.launcher_run(game)
        finally:
            up, down = relay.stop()
        self.check(values.get("status") == "Archivos OK!", "4 GiB patch: " + str(values.get("status")))
        self.check(self.file_ok(os.path.join(game, ARCHIVE)), "4 GiB patch: the file is wrong")
        peak = int(values.get("peak_after", 0))
        self.check(peak < 64 << 20, f"4 GiB patch: peak working set {peak >> 20} MiB")
        line = (f"Memory of a 4 GiB patch: peak working set {peak / 2 ** 20:.1f} MiB in process "
                f"({int(values.get('peak_before', 0)) / 2 ** 20:.1f} MiB before the run), Wine "
                f"process VmHWM {values['vmhwm_kib'] / 1024:.1f} MiB; {(up + down) / 2 ** 20:.1f}"
                f" MiB over the wire, {values['seconds']:.1f} s")
        shutil.rmtree(game, ignore_errors=True)
        shutil.rmtree(game_src, ignore_errors=True)
        shutil.rmtree(os.path.join(self.www, "update", "data"), ignore_errors=True)
        return line

    def worst_index(self):
        """Peak memory of a patch under the worst index the bounds allow, beside honest ones."""
        block, strong = 512, 4
        blocks = ((16 << 20) - zarvo_blockindex.HEADER.size) // (4 + strong)
        size = blocks * block
        game_src = os.path.join(self.work, "build_dir")
        shutil.rmtree(game_src, ignore_errors=True)
        os.makedirs(os.path.join(game_src, "data"))
        with open(os.path.join(game_src, "Zarvo Vestra.exe"), "wb") as f:
            f.write(b"MZ stand-in launcher")
        log(f"worst index: a {size / 2 ** 20:.0f} MiB archive, {blocks} blocks of {block} B")
        new = os.urandom(size)
        with open(os.path.join(game_src, ARCHIVE), "wb") as f:
            f.write(new)
        self.md5 = hashlib.md5(new).hexdigest()
        subprocess.run([*STUDIO, "publish", game_src, self.www, "--prune", "--hardlink",
                        "--no-compress"], check=True, stdout=subprocess.DEVNULL)
        index_path = os.path.join(self.www, "blocks", ARCHIVE + ".zbi")
        tool_index = os.path.getsize(index_path)
        out = [zarvo_blockindex.HEADER.pack(zarvo_blockindex.MAGIC, zarvo_blockindex.FORMAT,
                                            strong, 0, block, size, bytes.fromhex(self.md5))]
        view = memoryview(new)
        for at in range(0, size, block):
            piece = view[at:at + block]
            out.append(struct.pack("<I", zlib.adler32(piece)))
            out.append(hashlib.md5(piece).digest()[:strong])
        largest = b"".join(out)
        rng = random.Random(16)
        changed = bytearray(new)
        span = size // 100 // 20
        for start in sorted(rng.sample(range(0, size - span, span * 2), 20)):
            changed[start:start + span] = os.urandom(span)
        evens = list(range(0, blocks, 2))
        rng.shuffle(evens)
        scattered = b"".join(view[b * block:(b + 1) * block] for b in evens)
        lines = [f"Peak memory of a {size / 2 ** 20:.0f} MiB patch, by index and old copy "
                 f"(nproc {os.cpu_count()}, load {os.getloadavg()[0]:.2f}):"]
        peaks = {}
        for name, index, old in (("honest, the tool's index", None, bytes(changed)),
                                 ("honest, the largest index", largest, bytes(changed)),
                                 ("worst, the largest index", largest, scattered)):
            if index is not None:
                with open(index_path, "wb") as f:
                    f.write(index)
            log(f"worst index: {name}")
            game = self.game_folder(old)
            relay = CountingRelay(self.work, self.port, self.port + 5, 0)
            try:
                values = self.launcher_run(game)
            finally:
                up, down = relay.stop()
            self.check(values.get("status") == "Archivos OK!", f"{name}: {values.get('status')}")
            self.check(self.file_ok(os.path.join(game, ARCHIVE)), f"{name}: the file is wrong")
            peaks[name] = int(values.get("peak_after", 0))
            lines.append(f"  {name:27} peak working set {peaks[name] / 2 ** 20:6.1f} MiB in "
                         f"process, Wine VmHWM {values['vmhwm_kib'] / 1024:6.1f} MiB; "
                         f"{(up + down) / 2 ** 20:7.1f} MiB over the wire, "
                         f"{values['seconds']:6.1f} s")
            shutil.rmtree(game, ignore_errors=True)
        worst = peaks["worst, the largest index"]
        above = worst - peaks["honest, the largest index"]
        above_tool = worst - peaks["honest, the tool's index"]
        lines.append(f"  worst above honest with the same index: {above / 2 ** 20:.1f} MiB "
                     f"(target <= 64); above the tool's own: {above_tool / 2 ** 20:.1f} MiB "
                     f"(the tool's index: {tool_index / 1024:.0f} KiB)")
        self.check(above <= 64 << 20, f"worst index: {above >> 20} MiB above an honest patch")
        shutil.rmtree(game_src, ignore_errors=True)
        shutil.rmtree(os.path.join(self.www, "update", "data"), ignore_errors=True)
        return "\n".join(lines)

    def report(self, sweep_lines):
        mib = self.size / 2 ** 20
        lines = ["", f"Patch and resume of a {mib:.0f} MiB archive: MiB over the wire (both "
                 "directions at the relay; the launcher's include TLS), MiB of HTTP (requests and "
                 "answers as nginx logs them) and time; index "
                 f"{self.index_bytes / 1024:.0f} KiB (block "
                 f"{zarvo_blockindex.block_size_for(self.size)} B), .zsync "
                 f"{self.zsync_bytes / 1024:.0f} KiB", f"Targets: {TARGETS}", "",
                 f"  {'case':11} {'link':10} {'launcher wire/HTTP/time':>27} "
                 f"{'zsync wire/HTTP/time':>27} {'whole file wire/time':>20} {'HTTP L/Z':>8}"
                 f" {'time L/Z':>8} {'L/file':>6}"]
        for name, link, f in self.rows:
            cells = []
            for who in ("launcher", "zsync"):
                b, s, h = f[who]
                cells.append(f"{b / 2 ** 20:7.2f} {h / 2 ** 20:7.2f} {s:7.2f} s")
            b, s, _ = f["whole"]
            cells.append(f"{b / 2 ** 20:7.2f} {s:7.2f} s")
            lines.append(f"  {name:11} {link:10} {cells[0]:>27} {cells[1]:>27} {cells[2]:>20}"
                         f" {f['launcher'][2] / f['zsync'][2]:8.2f} "
                         f"{f['launcher'][1] / f['zsync'][1]:8.2f} "
                         f"{f['launcher'][0] / self.size:6.3f}")
        lines.append("")
        lines.append(f"  Times are the best of {self.rounds} turns each; every turn, in seconds:")
        for name, link, f in self.rows:
            turns = "  ".join(f"{who} " + " ".join(f"{t:.2f}" for t in f["times"][who])
                              for who in ("launcher", "zsync"))
            lines.append(f"    {name:11} {link:10} {turns}")
        lines.append("")
        lines.append("  (HTTP: nginx's $request_length + $bytes_sent; for a killed transfer it "
                     "counts what it had handed to the kernel, so there it exceeds the wire.)")
        highest = {}
        for name, peak, hwm in self.peaks:  # the highest of a case's turns
            was = highest.get(name, (0, 0))
            highest[name] = (max(was[0], int(peak or 0)), max(was[1], hwm or 0))
        for name, (peak, hwm) in highest.items():
            lines.append(f"  memory, {name}: peak working set {int(peak or 0) / 2 ** 20:.1f} MiB "
                         f"in process, Wine process VmHWM {hwm / 1024:.1f} MiB")
        lines += sweep_lines
        log("\n".join(lines))

    def run(self):
        try:
            if self.args.memory_4g:
                log(self.memory_4g())
                return 1 if self.failures else 0
            if self.args.worst_index:
                log(self.worst_index())
                return 1 if self.failures else 0
            rng = random.Random(15)
            log(f"writing a {self.size >> 20} MiB archive and its edited versions")
            old = os.urandom(self.size)
            changed, spans, inserted = edited_copies(old, rng)
            self.publish(changed)
            self.case("changed 1%", old)
            self.publish(inserted)
            self.case("inserted", old)
            self.case("resumed", None, kill=True)
            self.report(self.sweep(spans) if self.args.sweep else [])
        finally:
            self.nginx.stop()
            if not self.args.keep:
                shutil.rmtree(self.work, ignore_errors=True)
        return self.exit_status()


def main():
    return bench_main(PatchBench, __doc__, "bench_patch", 3,
                      (("--sweep",), {"action": "store_true"}),
                      (("--memory-4g",), {"action": "store_true"}),
                      (("--worst-index",), {"action": "store_true"}))


if __name__ == "__main__":
    sys.exit(main())
