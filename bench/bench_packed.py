#!/usr/bin/env python3
"""Compressed copies: a fresh install of a sample game, bytes over the wire and time, against
the raw download and against gzip -9 and zstd -19 of each file alone.

    bench_packed.py --build-dir B --env-dir E --port P [--smoke] [--rounds R] [--keep]

B is a test build whose update base address is https://localhost:P, E a test environment
brought up by tests/harness/testenv.sh (Wine prefix with the test CA) on other ports. nginx
serves the game published twice by zarvo-studio publish, with compressed copies (the
default) and with --no-compress, on P + 5; bench/relay.py on P counts the bytes each way and,
for the link case, paces them to 100 Mbit/s. The launcher (bench_run.exe, its own update code,
"seconds" being its run from the manifest request to the final status) installs the game into
an empty folder R times per case (default 2, --smoke 1) and keeps its best time.

The sample game (about 300 MiB, --smoke about 30 MiB), made here from a fixed seed:
  bin/        the build's own executables, four versions of each with a few bytes changed
  scripts/    Lua-like scripts, config/ INI files, data/ JSON: text from a vocabulary of
              a few thousand words, in files of 1 KiB to 400 KiB
  textures/   uncompressed 24-bit BMP pictures 1024x1024: gradients with a little noise
  sound/      16-bit PCM WAV: tones with noise
  archives/   already-compressed archives: random bytes
"""
import hashlib
import json
import os
import random
import shutil
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, ".."))
from benchlib import (BenchError, Checks, Nginx, Wine, bench_main, file_md5,  # noqa: E402
                      read_result)
from bench_patch import CountingRelay  # noqa: E402
from zarvo_studio import packed as zarvo_packed  # noqa: E402

LIMIT_MBIT = 100
from benchlib import STUDIO  # noqa: E402
MIB = 1 << 20


def log(text):
    print(text, flush=True)


# ---- the sample game ------------------------------------------------------------------------

def words(rng, count):
    letters = "abcdefghijklmnopqrstuvwxyz_"
    return ["".join(rng.choice(letters) for _ in range(rng.randint(3, 12))) for _ in range(count)]


def text_file(rng, vocab, size, kind):
    out, length = [], 0
    while length < size:
        if kind == "json":
            line = '  {"id": %d, "name": "%s", "value": %0.3f, "tags": ["%s", "%s"]},\n' % (
                rng.randint(0, 99999), rng.choice(vocab), rng.random() * 1000,
                rng.choice(vocab), rng.choice(vocab))
        elif kind == "ini":
            line = "%s_%s = %d\n" % (rng.choice(vocab), rng.choice(vocab), rng.randint(0, 4096))
        else:
            indent = "    " * rng.randint(0, 3)
            line = "%slocal %s = %s(%s, %d)\n" % (indent, rng.choice(vocab), rng.choice(vocab),
                                                  rng.choice(vocab), rng.randint(0, 999))
        out.append(line)
        length += len(line)
    return "".join(out).encode()[:size]


def bmp(rng, width, height):
    row_pad = (4 - width * 3 % 4) % 4
    head = b"BM" + struct.pack("<IHHI", 54 + (width * 3 + row_pad) * height, 0, 0, 54)
    head += struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, 0, 2835, 2835, 0, 0)
    a, b, c = rng.random() * 3, rng.random() * 3, rng.random() * 3
    noise = bytes(rng.randrange(4) for _ in range(4096))
    rows = []
    for y in range(height):
        base = bytearray()
        for x in range(0, width):
            base += bytes(((int(a * x + y) & 0xFF), (int(b * y + x // 2) & 0xFF),
                           (int(c * (x + y)) & 0xFF)))
        start = rng.randrange(4096 - 3 * width % 4096 if 3 * width < 4096 else 1)
        jitter = (noise * (3 * width // 4096 + 2))[start:start + 3 * width]
        rows.append(bytes((v + j) & 0xFF for v, j in zip(base, jitter)) + b"\0" * row_pad)
    return head + b"".join(rows)


def wav(rng, seconds):
    rate = 44100
    import math
    f1, f2 = 110 + rng.random() * 880, 220 + rng.random() * 1760
    samples = bytearray()
    period = [int(8000 * math.sin(2 * math.pi * f1 * t / rate) + 4000 * math.sin(2 * math.pi * f2 * t / rate))
              for t in range(rate)]
    for t in range(rate * seconds):
        v = period[t % rate] + rng.randint(-300, 300)
        samples += struct.pack("<hh", v, -v // 2)
    data = bytes(samples)
    head = b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt "
    head += struct.pack("<IHHIIHH", 16, 1, 2, rate, rate * 4, 4, 16) + b"data" + struct.pack("<I", len(data))
    return head + data


def make_game(folder, build, smoke):
    """Writes the sample game (docs/benchmarks.md describes it); returns {path: bytes written}."""
    rng = random.Random(2424)
    scale = 10 if smoke else 1
    made = {}

    def put(path, data):
        full = os.path.join(folder, *path.split("/"))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)
        made[path] = len(data)

    with open(os.path.join(build, "ZarvoLauncher.exe"), "rb") as f:
        put("Zarvo Vestra.exe", f.read())
    exes = sorted(n for n in os.listdir(build) if n.endswith(".exe"))
    for name in exes:
        with open(os.path.join(build, name), "rb") as f:
            image = bytearray(f.read())
        for version in range(4 if not smoke else 1):
            for _ in range(32):
                at = rng.randrange(len(image) - 8)
                image[at:at + 8] = rng.randbytes(8)
            put(f"bin/v{version}/{name}", bytes(image))
    vocab = words(rng, 3000)
    text_bytes, index = 40 * MIB // scale, 0
    while text_bytes > 0:
        kind = ("lua", "ini", "json")[index % 3]
        size = min(text_bytes, int(rng.lognormvariate(9.5, 1.2)) % (400 << 10) + 1024)
        folder_name = {"lua": "scripts", "ini": "config", "json": "data"}[kind]
        put(f"{folder_name}/{index // 50:03d}/{kind}_{index:05d}.{kind}", text_file(rng, vocab, size, kind))
        text_bytes -= size
        index += 1
    for i in range(max(1, 20 // scale)):
        put(f"textures/tex_{i:03d}.bmp", bmp(rng, 1024, 1024))
    for i in range(max(1, 10 // scale)):
        put(f"sound/track_{i:02d}.wav", wav(rng, 30))
    for i in range(max(1, 5 // scale)):
        put(f"archives/pack_{i}.pak", rng.randbytes(28 * MIB))
    return made


def compressed_size(command, path):
    with open(path, "rb") as f:
        out = subprocess.run(command, stdin=f, stdout=subprocess.PIPE, check=True).stdout
    return len(out)


def references(folder, made, zstd=True):
    """{path: (raw, gzip -9, zstd -19)} of every file alone (zstd: 0 when left out)."""
    sizes = {}
    for path, raw in made.items():
        full = os.path.join(folder, *path.split("/"))
        sizes[path] = (raw, compressed_size(["gzip", "-9", "-c"], full),
                       compressed_size(["zstd", "-19", "-q", "-c"], full) if zstd else 0)
    return sizes


def zopfli_note(folder, made):
    """zopfli against zlib level 9 on the biggest text and executable files."""
    picks = [max((p for p in made if p.startswith(d)), key=made.get) for d in ("scripts/", "bin/")]
    lines = []
    for path in picks:
        full = os.path.join(folder, *path.split("/"))
        start = time.time()
        with open(os.path.join(os.path.dirname(folder), "level9.tmp"), "wb") as out:
            level9 = zarvo_packed.write_copy(full, made[path], "0" * 32, out)
        t9 = time.time() - start
        start = time.time()
        zop = len(subprocess.run(["zopfli", "--i5", "-c", full], stdout=subprocess.PIPE,
                                 check=True).stdout)
        tz = time.time() - start
        lines.append(f"  {path}: {made[path]} bytes; zlib -9 in members {level9} ({t9:.2f} s), "
                     f"zopfli --i5 {zop} ({tz:.1f} s): {100 * (1 - zop / level9):.1f}% smaller, "
                     f"{tz / max(t9, 1e-3):.0f}x the time")
    return lines


# ---- the bench ------------------------------------------------------------------------------

class PackedBench(Checks):
    def __init__(self, args):
        super().__init__()
        self.args = args
        self.rounds = args.rounds or (1 if args.smoke else 2)
        self.build = os.path.abspath(args.build_dir)
        self.work = os.path.join(self.build, "benchwork-packed")
        if not args.keep:
            shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work, exist_ok=True)
        self.wine = Wine(os.path.abspath(args.env_dir), self.work)
        self.certdir = os.path.join(os.path.abspath(args.env_dir), "certs")
        self.port = args.port
        self.www = os.path.join(self.work, "www")
        self.nginx = None

    def serve(self, which):
        if os.path.islink(self.www):
            os.unlink(self.www)
        os.symlink(os.path.join(self.work, which), self.www)

    def publish(self, game):
        times = {}
        for which, extra in (("packed", []), ("raw", ["--no-compress"])):
            start = time.time()
            subprocess.run([*STUDIO, "publish", game, os.path.join(self.work, which), "--prune"] + extra,
                           check=True, stdout=subprocess.DEVNULL)
            times[which] = time.time() - start
        return times

    def install(self, which, rate, made, md5s):
        """One install into an empty folder: (seconds, bytes both ways at the relay)."""
        self.serve(which)
        game = os.path.join(self.work, "install")
        shutil.rmtree(game, ignore_errors=True)
        os.makedirs(game)
        shutil.copy(os.path.join(self.build, "bench_run.exe"), game)
        result = os.path.join(self.work, "run.txt")
        if os.path.exists(result):
            os.remove(result)
        relay = CountingRelay(self.work, self.port, self.port + 5, rate)
        try:
            code = self.wine.run(os.path.join(game, "bench_run.exe"),
                                 ["run", f"https://localhost:{self.port}/manifest_full.json", "FULL",
                                  self.wine.path(result)], game, timeout=1200)
        finally:
            up, down = relay.stop()
        values = read_result(result)
        where = f"{which} at {rate or 'unlimited'}"
        self.check(code == 0 and values.get("status") == "Archivos OK!",
                   f"{where}: the launcher ended with '{values.get('status')}'")
        wrong = [p for p in made if file_md5(os.path.join(game, *p.split("/"))) != md5s[p]]
        self.check(not wrong, f"{where}: wrong files {wrong[:3]}")
        seconds = float(values.get("seconds", "inf"))
        log(f"  {which:6} {('%d Mbit/s' % rate) if rate else 'unlimited':10} {seconds:7.2f} s "
            f"{(up + down) / MIB:8.2f} MiB")
        return seconds, up + down

    def run(self):
        try:
            game = os.path.join(self.work, "game")
            if not os.path.isdir(game):
                log("making the sample game")
                make_game(game, self.build, self.args.smoke)
            made = {}
            for root, _, names in os.walk(game):
                for n in names:
                    full = os.path.join(root, n)
                    made[os.path.relpath(full, game).replace(os.sep, "/")] = os.path.getsize(full)
            md5s = {p: file_md5(os.path.join(game, *p.split("/"))) for p in made}
            log(f"sample game: {len(made)} files, {sum(made.values()) / MIB:.1f} MiB")
            log("gzip -9 and zstd -19 of each file alone")
            cache = os.path.join(self.work, "references.json")
            if os.path.exists(cache):  # a kept game: the same files as last time
                with open(cache) as f:
                    refs = {p: tuple(v) for p, v in json.load(f).items()}
            else:
                refs = references(game, made, not self.args.no_zstd)
                with open(cache, "w") as f:
                    json.dump(refs, f)
            log("publishing, with and without compressed copies")
            publish_times = self.publish(game)
            copies = {}
            packed_root = os.path.join(self.work, "packed", "packed")
            for root, _, names in os.walk(packed_root):
                for n in names:
                    full = os.path.join(root, n)
                    copies[os.path.relpath(full, packed_root).replace(os.sep, "/")] = os.path.getsize(full)
            notes = [] if self.args.smoke else zopfli_note(game, made)

            self.nginx = Nginx(os.path.join(self.work, "nginx"), self.port + 5, self.www, self.certdir)
            # Turns taken in alternation, so that a busy moment of the machine falls on both.
            runs = {}
            for rate in (None, LIMIT_MBIT):
                for _ in range(self.rounds):
                    for which in ("packed", "raw"):
                        seconds, wire = self.install(which, rate, made, md5s)
                        best = runs.get((which, rate))
                        if best is None or seconds < best[0]:
                            runs[(which, rate)] = (seconds, wire)
            self.report(made, refs, copies, publish_times, runs, notes)
        finally:
            if self.nginx:
                self.nginx.stop()
            if not self.args.keep:
                shutil.rmtree(self.work, ignore_errors=True)
        return self.exit_status()

    def report(self, made, refs, copies, publish_times, runs, notes):
        raw_total = sum(made.values())
        gzip_min = sum(min(r, g) for r, g, _ in refs.values())
        zstd_min = sum(min(r, z) if z else r for r, _, z in refs.values())
        offered = sum(copies.values())
        payload = sum(copies.get(p, s) for p, s in made.items())
        compressible = sum(s for p, s in made.items() if p in copies)
        rate_bytes = LIMIT_MBIT * 1e6 / 8
        packed_link, packed_wire_link = runs[("packed", LIMIT_MBIT)]
        packed_free, packed_wire = runs[("packed", None)]
        raw_free, raw_wire = runs[("raw", None)]
        raw_link, raw_wire_link = runs[("raw", LIMIT_MBIT)]
        ideal = packed_wire_link / rate_bytes
        log("")
        log(f"sample game: {len(made)} files, {raw_total / MIB:.2f} MiB; compressed copies for "
            f"{len(copies)} files holding {compressible / MIB:.2f} MiB; nproc {os.cpu_count()}")
        log(f"per file alone: sum of min(raw, gzip -9) {gzip_min / MIB:.2f} MiB, "
            f"of min(raw, zstd -19) {zstd_min / MIB:.2f} MiB; the launcher's payload "
            f"(copies where offered, raw files else) {payload / MIB:.2f} MiB")
        log("")
        log("| scenario | measured | reference | ratio | target |")
        log("|---|---|---|---|---|")
        log(f"| bytes on the wire, fresh install | {packed_wire / MIB:.2f} MiB | sum min(raw, gzip -9) "
            f"{gzip_min / MIB:.2f} MiB | {packed_wire / gzip_min:.3f} | <= 1.02 |")
        log(f"| fresh install at {LIMIT_MBIT} Mbit/s | {packed_link:.2f} s | wire bytes / link rate "
            f"{ideal:.2f} s | {packed_link / ideal:.3f} | <= 1.05 |")
        log(f"| fresh install, loopback unlimited | {packed_free:.2f} s | raw download {raw_free:.2f} s "
            f"| {packed_free / raw_free:.3f} | <= 1.10 |")
        log(f"| storage the studio adds | {offered / MIB:.2f} MiB | publication {raw_total / MIB:.2f} MiB "
            f"| {offered / raw_total:.3f} | printed |")
        log("")
        log(f"raw download for scale: {raw_wire / MIB:.2f} MiB on the wire; at {LIMIT_MBIT} Mbit/s "
            f"{raw_link:.2f} s ({raw_wire_link / MIB:.2f} MiB)")
        log(f"publishing: {publish_times['packed']:.1f} s with copies, {publish_times['raw']:.1f} s "
            "without")
        for line in notes:
            log(line)
        if not self.args.smoke:
            self.check(packed_wire <= 1.02 * gzip_min, "bytes on the wire above 1.02x gzip -9")
            self.check(packed_link <= 1.05 * ideal, "the 100 Mbit/s install above 1.05x its bytes' time")
            self.check(packed_free <= 1.10 * raw_free, "the unlimited install more than 10% slower than raw")


def main():
    return bench_main(PackedBench, __doc__, "bench_packed", 2,
                      (("--no-zstd",), {"action": "store_true",
                                        "help": "leave zstd -19 out of the references (it takes minutes here)"}))


if __name__ == "__main__":
    sys.exit(main())
