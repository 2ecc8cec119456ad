#!/usr/bin/env python3
"""What signed publications cost: the launcher's check of a signed 20,000-row manifest, the
SHA-256 of a 1 GiB download, and a signed light run's check of 1 GiB in 64 files on disk with
the rows' SHA-256 and with their MD5 only (as before files on disk were checked by SHA-256
too), under Wine, with sha256sum and md5sum on Linux for context.

    bench/bench_sign.py --build-dir build/bench --env-dir build/bench/testenv [--smoke] [--rounds N]

bench/run.sh calls it after bench.py, with the test environment still up. It adds the "sign"
test area to the build (for tests/sign/sign_bench.cpp, built with the test keys), makes its
data in BUILD/signbench (removed again unless --keep) and prints one line per figure.
"""
import argparse
import hashlib
import os
import random
import shutil
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, ROOT)
from zarvo_studio import publish as zarvo_publish  # noqa: E402
from zarvo_studio import sign as zarvo_sign  # noqa: E402

KEY = os.path.join(ROOT, "tests", "sign", "keys", "test_key_a.pem")


def make_manifest(path, rows):
    rnd = random.Random(14)
    files = []
    for i in range(rows):
        f = zarvo_publish.GameFile(f"data/{i // 500:03d}/file{i:05d}.bin", b"", rnd.randrange(1, 1 << 20))
        f.hash = rnd.randbytes(16).hex()
        f.sha256 = rnd.randbytes(32).hex()
        files.append(f)
    text = zarvo_publish.manifest_text(files, 1)
    start = time.perf_counter()
    now = int(time.time())
    signed = zarvo_sign.sign_document(text, "manifest_full.json", zarvo_sign.load_private_key(KEY),
                                      now, now + 86400)
    seconds = time.perf_counter() - start
    with open(path, "w", encoding="utf-8") as f:
        f.write(signed)
    return seconds


def make_big_file(path, size):
    block = random.Random(15).randbytes(1 << 20)
    with open(path, "wb") as f:
        for _ in range(size >> 20):
            f.write(block)


def make_light_files(folder, count, size):
    """count files of size bytes under folder and their rows ("path md5 sha256" lines)."""
    os.makedirs(folder)
    rnd = random.Random(16)
    rows = []
    for i in range(count):
        path = os.path.join(folder, f"file{i:02d}.bin")
        data = rnd.randbytes(size)
        with open(path, "wb") as f:
            f.write(data)
        rows.append(f"{path} {hashlib.md5(data).hexdigest()} {hashlib.sha256(data).hexdigest()}\n")
    listing = os.path.join(folder, "rows.txt")
    with open(listing, "w") as f:
        f.writelines(rows)
    return listing


def linux_seconds(tool, path, rounds):
    best = 1e9
    for _ in range(rounds):
        start = time.perf_counter()
        subprocess.run([tool, path], check=True, stdout=subprocess.DEVNULL, timeout=600)
        best = min(best, time.perf_counter() - start)
    return best


def areas_of(build):
    """The build's LAUNCHER_TEST_AREAS as a list ([] for all areas)."""
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith("LAUNCHER_TEST_AREAS:"):
                return [a for a in line.split("=", 1)[1].strip().split(";") if a]
    return []


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--env-dir", required=True)
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--keep", action="store_true")
    args, _ = parser.parse_known_args()
    build, env = os.path.abspath(args.build_dir), os.path.abspath(args.env_dir)
    rows, size = (2000, 64 << 20) if args.smoke else (20000, 1 << 30)
    rounds = 1 if args.smoke else args.rounds

    areas = areas_of(build)
    if areas and "sign" not in areas:  # bench/run.sh builds the "bench" area only
        subprocess.run(["cmake", build, "-DLAUNCHER_TEST_AREAS=" + ";".join(areas + ["sign"])],
                       check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "--target", "sign_bench"], check=True,
                   stdout=subprocess.DEVNULL)
    work = os.path.join(build, "signbench")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    try:
        manifest, big = os.path.join(work, "manifest_full.json"), os.path.join(work, "big.bin")
        sign_seconds = make_manifest(manifest, rows)
        make_big_file(big, size)
        light_count, light_size = (64, size // 64)
        rows_file = make_light_files(os.path.join(work, "light"), light_count, light_size)
        environment = dict(os.environ, ZARVO_ENV_DIR=env,
                           ZARVO_LAUNCHER_UNIX=os.path.join(build, "ZarvoLauncher.exe"))
        result = subprocess.run(
            [os.path.join(ROOT, "tests", "harness", "run_in_wine.sh"), "sign_bench", "900",
             os.path.join(build, "sign_bench.exe"), "--", manifest, big, str(rounds), rows_file],
            env=environment, capture_output=True, text=True, timeout=960)
        if result.returncode != 0:
            sys.exit(f"bench_sign: sign_bench failed:\n{result.stdout}{result.stderr}")
        figures = {}
        for line in result.stdout.splitlines():
            name, *pairs = line.split()
            if pairs and all("=" in p for p in pairs):
                figures[name] = dict(p.split("=", 1) for p in pairs)
        with open(big, "rb") as f:
            want = hashlib.sha256(f.read()).hexdigest() if size <= (1 << 30) else ""
        if figures["sha256_file"]["digest"] != want:
            sys.exit("bench_sign: the launcher's SHA-256 of the big file is wrong")
        sha256sum = linux_seconds("sha256sum", big, rounds)
        md5sum = linux_seconds("md5sum", big, rounds)
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)

    mib = size / (1 << 20)
    manifest_bytes = int(figures["verify_manifest"]["bytes"])
    verify = float(figures["verify_manifest"]["seconds"])
    parse = float(figures["parse_manifest"]["seconds"])
    sha_file = float(figures["sha256_file"]["seconds"])
    md5_file = float(figures["md5_file"]["seconds"])
    sha_mem = float(figures["sha256_memory"]["seconds"])
    print(f"\nSigned publications ({'smoke' if args.smoke else 'full'} sizes, best of {rounds}):")
    print(f"  sign {rows} rows ({manifest_bytes / 1e6:.1f} MB), tool on Linux  {sign_seconds * 1000:8.1f} ms")
    print(f"  verify signature of that manifest (launcher)  {verify * 1000:8.1f} ms")
    print(f"  parse it, SHA-256 column included (launcher)  {parse * 1000:8.1f} ms"
          f"   verification / parse = {verify / parse:.2f}")
    print(f"  MD5 + SHA-256 of {mib:.0f} MiB file (signed build) {sha_file:8.2f} s  {mib / sha_file:7.0f} MiB/s"
          f"   / sha256sum = {sha_file / sha256sum:.2f}")
    print(f"  MD5 alone of the same file (unsigned build)   {md5_file:8.2f} s  {mib / md5_file:7.0f} MiB/s"
          f"   / md5sum = {md5_file / md5sum:.2f}   signed / unsigned = {sha_file / md5_file:.2f}")
    print(f"  SHA-256 hashing alone, in memory (streamed)   {sha_mem:8.2f} s  {mib / sha_mem:7.0f} MiB/s")
    print(f"  sha256sum / md5sum on Linux                    {sha256sum:8.2f} s / {md5sum:.2f} s")
    light_md5 = float(figures["light_md5"]["seconds"])
    light_signed = float(figures["light_signed"]["seconds"])
    print(f"  signed light run, {mib:.0f} MiB in {light_count} files on disk, "
          f"{os.cpu_count()} processors, load {os.getloadavg()[0]:.2f}:")
    print(f"    MD5 only (before)                            {light_md5:8.2f} s  {mib / light_md5:7.0f} MiB/s")
    print(f"    MD5 + SHA-256 (now)                          {light_signed:8.2f} s  {mib / light_signed:7.0f} MiB/s"
          f"   ratio {light_signed / light_md5:.2f} (target <= 1.15)")


if __name__ == "__main__":
    main()
