#!/usr/bin/env python3
"""What a signed, compressed and indexed publish costs against the work it cannot avoid.

    bench/bench_publish.py [--size MIB] [--files N] [--rounds R] [--work DIR] [--keep] [--smoke]

Makes a game of N files (default 20,000) and SIZE MiB (default 2048): a few archives of 8 to
64 MiB that hold most of the bytes, the rest in files of 1 to 256 KiB, half of them text that
deflate shrinks and half random bytes. Then, each round, with the game in the page cache:
  floor    MD5, SHA-256 and zlib level 9 in 1 MiB members of every byte, on one thread per core
           (the slowest steps a signed, compressed publish must take, and nothing else)
  publish  zarvo-studio publish GAME OUT --sign KEY into an empty OUT (block indexes,
           compressed copies, bundles, objects and signatures, as a studio runs it)
and prints the best of each, their ratio (target <= 1.1) and the bytes the publish read from
the game against the game's size (target 1.00: each byte read once), from its --json and from
the kernel's count of the bytes it read (/proc/self/io).
"""
import argparse
import hashlib
import io
import json
import os
import random
import shutil
import sys
import tempfile
import time
import zlib
from concurrent.futures import ThreadPoolExecutor

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, ROOT)
from zarvo_studio import cli  # noqa: E402

KEY = os.path.join(ROOT, "tests", "sign", "keys", "test_key_a.pem")
MIB = 1 << 20
WORDS = [b"texture=", b"0x3f80 ", b"player_", b"\n", b"return ", b"local ", b"end\n", b"mesh."]


def text_bytes(rng, size):
    out = bytearray()
    while len(out) < size:
        out += rng.choice(WORDS) + str(rng.randrange(1000)).encode()
    return bytes(out[:size])


def make_game(folder, total, count):
    rng = random.Random(2039)
    sizes = [int(1024 * 256 ** rng.random()) for _ in range(count - 1)]  # 1 KiB to 256 KiB
    rest = total - sum(sizes)
    big = []
    while rest > 0:
        size = min(rest, rng.randrange(8, 65) * MIB)
        big.append(size)
        rest -= size
    sizes = sizes[:count - 1 - len(big)] + big
    text_pool = text_bytes(rng, 8 * MIB)
    written = 0
    with open(os.path.join(folder, "Zarvo Vestra.exe"), "wb") as f:
        f.write(b"MZ" + rng.randbytes(300000))
    for i, size in enumerate(sizes):
        path = os.path.join(folder, f"data{i % 40:02d}", f"f{i:05d}.{'pak' if size >= MIB else 'bin'}")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            left = size
            while left:
                n = min(left, 4 * MIB)
                if i % 2:
                    f.write(os.urandom(n))
                else:
                    at = rng.randrange(len(text_pool) - n) if n < len(text_pool) else 0
                    f.write(text_pool[at:at + n].ljust(n, b" "))
                left -= n
        written += size
    return written


def game_files(folder):
    found = []
    for base, _, names in os.walk(folder):
        found += [os.path.join(base, n) for n in names]
    return found


def floor_one(path):
    md5, sha = hashlib.md5(), hashlib.sha256()
    with open(path, "rb", buffering=0) as f:
        for piece in iter(lambda: f.read(MIB), b""):
            md5.update(piece)
            sha.update(piece)
            deflate = zlib.compressobj(9, zlib.DEFLATED, -zlib.MAX_WBITS, 8)
            deflate.compress(piece)
            deflate.flush()
    return md5.hexdigest()


def floor(files):
    start = time.perf_counter()
    with ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        list(pool.map(floor_one, sorted(files, key=os.path.getsize, reverse=True)))
    return time.perf_counter() - start


def read_chars():
    with open("/proc/self/io") as f:
        return int(next(line for line in f if line.startswith("rchar:")).split()[1])


def publish(game, out):
    stdout, stderr = io.StringIO(), io.StringIO()
    before = read_chars()
    start = time.perf_counter()
    code = cli.main(["publish", "--json", game, out, "--sign", KEY], stdout, stderr)
    seconds = time.perf_counter() - start
    read = read_chars() - before
    if code != 0:
        raise SystemExit(f"bench_publish: the publish failed ({code}):\n{stderr.getvalue()[-2000:]}")
    return seconds, json.loads(stdout.getvalue()), read


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=2048, help="MiB of game (default 2048)")
    parser.add_argument("--files", type=int, default=20000, help="files (default 20000)")
    parser.add_argument("--rounds", type=int, default=2, help="best of (default 2)")
    parser.add_argument("--work", help="folder for the game and the publications (default: a temporary one)")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    parser.add_argument("--smoke", action="store_true", help="128 MiB in 2,000 files, one round")
    args = parser.parse_args()
    if args.smoke:
        args.size, args.files, args.rounds = 128, 2000, 1
    os.makedirs(os.path.join(ROOT, "build"), exist_ok=True)
    work = args.work or tempfile.mkdtemp(prefix="bench_publish_", dir=os.path.join(ROOT, "build"))
    game = os.path.join(work, "game")
    try:
        if not os.path.isdir(game):
            os.makedirs(game)
            started = time.perf_counter()
            size = make_game(game, args.size * MIB, args.files)
            print(f"game: {len(game_files(game))} files, {size / MIB:.0f} MiB, made in "
                  f"{time.perf_counter() - started:.0f} s", flush=True)
        files = game_files(game)
        total = sum(os.path.getsize(p) for p in files)
        for path in files:  # into the page cache
            with open(path, "rb") as f:
                while f.read(4 * MIB):
                    pass
        floors, runs = [], []
        for r in range(args.rounds):
            floors.append(floor(files))
            out = os.path.join(work, f"out{r}")
            shutil.rmtree(out, ignore_errors=True)
            runs.append(publish(game, out))
            shutil.rmtree(out, ignore_errors=True)
            print(f"round {r + 1}: floor {floors[-1]:.1f} s, publish {runs[-1][0]:.1f} s", flush=True)
        best_floor = min(floors)
        seconds, document, read = min(runs, key=lambda run: run[0])
        print(f"nproc {os.cpu_count()}; game {len(files)} files, {total / MIB:.0f} MiB")
        print(f"floor (MD5 + SHA-256 + zlib -9, {os.cpu_count()} threads): {best_floor:.1f} s "
              f"({total / MIB / best_floor:.0f} MiB/s)")
        print(f"publish --sign (indexes, compressed copies, bundles, objects): {seconds:.1f} s "
              f"({total / MIB / seconds:.0f} MiB/s); ratio {seconds / best_floor:.2f} (target <= 1.1)")
        print(f"bytes read from the game: {document['read_bytes'] / total:.2f} x its size by the "
              f"tool's count, {read / total:.2f} x by the kernel's (target 1.00)")
    finally:
        if not args.keep and not args.work:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
