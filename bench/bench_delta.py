"""Binary deltas: the product's format (delta/, the host tool zarvo-delta) against bsdiff,
zstd -19 --patch-from and xdelta3 -9 on real rebuilt binaries, and its decoder under Wine.

    python3 bench/bench_delta.py --build-dir build/test --env-dir ENV [--webkit DIR]
        [--pe-commits OLD NEW] [--rounds N] [--work DIR]

Pairs: libpython3.11 and libnss3 from ../shared/data/rebuilt (--data), the launcher's own
executable built at two commits (--pe-commits, default the nine commits before the launcher's
deltas; built with the release preset in a clone under the work folder, the ccache keeps it
cheap) and, when --webkit names a folder holding the two libwebkit2gtk-4.1-0 packages, that
92 MB library. For each pair: patch sizes and their ratio to bsdiff's, encoding wall time and
peak memory against the bsdiff program (the best of --rounds), a round trip through the host
tool. Under Wine (the test environment at --env-dir, tests/harness/testenv.sh): applying the
delta of the biggest pairs (tests/delta/delta_apply_bench.exe, which times itself) against
reading the old file and writing the new one, and its peak memory above an idle run.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUN_TIMEOUT = 3600
LIBS = {
    "libpython3.11": ("libpython3.11_3.11.2-6+deb12u8_amd64.deb",
                      "libpython3.11_3.11.2-6+deb12u9_amd64.deb",
                      "usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0"),
    "libnss3": ("libnss3_3.87.1-1+deb12u2_amd64.deb", "libnss3_3.87.1-1+deb12u4_amd64.deb",
                "usr/lib/x86_64-linux-gnu/libnss3.so"),
    "libwebkit2gtk-4.1": ("libwebkit2gtk-4.1-0_2.50.6-1~deb12u1_amd64.deb",
                          "libwebkit2gtk-4.1-0_2.50.6-1~deb12u2_amd64.deb",
                          "usr/lib/x86_64-linux-gnu/libwebkit2gtk-4.1.so.0.19.9"),
}


def extract(deb, inner, work):
    folder = os.path.join(work, os.path.basename(deb)[:-4])
    if not os.path.isdir(folder):
        subprocess.run(["dpkg-deb", "-x", deb, folder], check=True, timeout=600)
    return os.path.join(folder, inner)


def build_launcher_at(commit, work):
    """ZarvoLauncher.exe built with the release preset at that commit, in a clone of this one."""
    exe = os.path.join(work, f"ZarvoLauncher-{commit}.exe")
    if os.path.exists(exe):
        return exe
    clone = os.path.join(work, "launcher-clone")
    if not os.path.isdir(clone):
        subprocess.run(["git", "clone", "-q", REPO, clone], check=True, timeout=600)
    subprocess.run(["git", "checkout", "-q", commit], cwd=clone, check=True, timeout=60)
    shutil.rmtree(os.path.join(clone, "build", "release"), ignore_errors=True)
    ccache = ["-DCMAKE_C_COMPILER_LAUNCHER=ccache", "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"]
    env = dict(os.environ, CCACHE_BASEDIR=clone)
    subprocess.run(["cmake", "--preset", "release"] + ccache, cwd=clone, check=True,
                   stdout=subprocess.DEVNULL, timeout=RUN_TIMEOUT, env=env)
    subprocess.run(["cmake", "--build", "--preset", "release", "--target", "ZarvoLauncher"],
                   cwd=clone, check=True, stdout=subprocess.DEVNULL, timeout=RUN_TIMEOUT,
                   env=env)
    shutil.copy(os.path.join(clone, "build", "release", "ZarvoLauncher.exe"), exe)
    return exe


def timed(command, work):
    """Wall seconds and peak resident KiB of one command (GNU time), which must succeed."""
    report = os.path.join(work, "time.txt")
    result = subprocess.run(["/usr/bin/time", "-f", "%e %M", "-o", report] + command,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            timeout=RUN_TIMEOUT)
    if result.returncode != 0:
        raise benchlib.BenchError(f"{command[0]} failed: {result.stderr.decode()[-300:]}")
    with open(report) as f:
        seconds, kib = f.read().split()[-2:]
    return float(seconds), int(kib)


def best(command, work, rounds):
    runs = [timed(command, work) for _ in range(rounds)]
    return min(r[0] for r in runs), min(r[1] for r in runs)


def same_file(a, b):
    return benchlib.file_md5(a) == benchlib.file_md5(b)


def encode_pair(name, old, new, tool, work, rounds, checks, contenders):
    out = os.path.join(work, name)
    row = {"name": name, "size": os.path.getsize(new)}
    row["ours_s"], row["ours_kib"] = best([tool, "encode", old, new, out + ".zd"], work, rounds)
    row["ours"] = os.path.getsize(out + ".zd")
    timed([tool, "apply", old, out + ".zd", out + ".new"], work)
    checks.check(same_file(out + ".new", new), f"{name}: zarvo-delta's round trip")
    if not contenders:
        return row
    row["bsdiff_s"], row["bsdiff_kib"] = best(["bsdiff", old, new, out + ".bsd"], work, rounds)
    row["bsdiff"] = os.path.getsize(out + ".bsd")
    timed(["zstd", "-q", "-f", "-19", "--long=31", f"--patch-from={old}", new, "-o",
           out + ".zst"], work)
    row["zstd"] = os.path.getsize(out + ".zst")
    timed(["xdelta3", "-9", "-f", "-e", "-s", old, new, out + ".xd3"], work)
    row["xdelta3"] = os.path.getsize(out + ".xd3")
    return row


def wine_apply(wine, bench_exe, name, old, new, work, rounds, checks):
    delta = os.path.join(work, name + ".zd")
    out = os.path.join(work, name + ".wine.new")

    def run(args):
        log = os.path.join(work, "apply.log")
        result = subprocess.run(["wine", wine.path(bench_exe)] + args, cwd=work, env=wine.env,
                                stdin=subprocess.DEVNULL, stdout=open(log, "wb"),
                                stderr=subprocess.DEVNULL, timeout=RUN_TIMEOUT)
        values = benchlib.read_result(log)
        if result.returncode != 0 or "seconds" not in values:
            raise benchlib.BenchError(f"delta_apply_bench {args[0]} failed ({result.returncode})")
        return float(values["seconds"]), int(values["peak_kib"])

    def best_of(args):
        runs = [run(args) for _ in range(rounds)]
        return min(r[0] for r in runs), max(r[1] for r in runs)

    apply_s, apply_kib = best_of(["apply", wine.path(old), wine.path(delta), wine.path(out)])
    checks.check(same_file(out, new), f"{name}: the Windows decoder's output")
    floor_s, floor_kib = best_of(["floor", wine.path(old), str(os.path.getsize(new)),
                                  wine.path(out)])
    _, idle_kib = best_of(["idle"])
    return {"name": name, "apply_s": apply_s, "floor_s": floor_s, "apply_kib": apply_kib,
            "floor_kib": floor_kib, "idle_kib": idle_kib}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--env-dir", help="a test environment for the Wine part (else skipped)")
    parser.add_argument("--data", default="/work/shared/data/rebuilt")
    parser.add_argument("--webkit", help="folder with the two libwebkit2gtk-4.1-0 packages")
    parser.add_argument("--pe-commits", nargs=2, default=["be097f9", "e8d6f83"])
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--contenders-up-to", type=float, default=1e9, metavar="MB",
                        help="run bsdiff, zstd and xdelta3 only on files up to this size")
    parser.add_argument("--work")
    # run.sh passes every bench its flags (--smoke, --keep): the pairs here are fixed.
    args, _ = parser.parse_known_args()
    build = os.path.abspath(args.build_dir)
    tool = os.path.join(build, "delta-host", "zarvo-delta")
    bench_exe = os.path.join(build, "delta_apply_bench.exe")
    work = os.path.abspath(args.work or tempfile.mkdtemp(prefix="bench_delta."))
    os.makedirs(work, exist_ok=True)
    checks = benchlib.Checks()
    try:
        pairs = []
        for name, (old_deb, new_deb, inner) in LIBS.items():
            folder = args.webkit if name.startswith("libwebkit") else args.data
            if not folder or not os.path.exists(os.path.join(folder, old_deb)):
                print(f"bench_delta: no {name} pair in {folder}, skipped")
                continue
            pairs.append((name, extract(os.path.join(folder, old_deb), inner, work),
                          extract(os.path.join(folder, new_deb), inner, work)))
        old_c, new_c = args.pe_commits
        pairs.append((f"ZarvoLauncher.exe {old_c}..{new_c}", build_launcher_at(old_c, work),
                      build_launcher_at(new_c, work)))

        print(f"nproc {os.cpu_count()}; load before: {os.getloadavg()[0]:.1f}")
        rows = [encode_pair(name.split()[0], old, new, tool, work, args.rounds, checks,
                            os.path.getsize(new) <= args.contenders_up_to * 1e6)
                for name, old, new in pairs]
        print("\n| Pair | New file | zarvo-delta | bsdiff | ratio | zstd -19 --patch-from | "
              "xdelta3 -9 |")
        print("|---|---|---|---|---|---|---|")
        for r in rows:
            if "bsdiff" not in r:
                print(f"| {r['name']} | {r['size']:,} | {r['ours']:,} | - | - | - | - |")
                continue
            print(f"| {r['name']} | {r['size']:,} | {r['ours']:,} | {r['bsdiff']:,} | "
                  f"{r['ours'] / r['bsdiff']:.3f} | {r['zstd']:,} | {r['xdelta3']:,} |")
        print("\n| Pair | encode s (ours / bsdiff) | ratio | peak MiB (ours / bsdiff) | ratio |")
        print("|---|---|---|---|---|")
        for r in rows:
            if "bsdiff" not in r:
                print(f"| {r['name']} | {r['ours_s']:.2f} / - | - | "
                      f"{r['ours_kib'] / 1024:.0f} / - | - |")
                continue
            print(f"| {r['name']} | {r['ours_s']:.2f} / {r['bsdiff_s']:.2f} | "
                  f"{r['ours_s'] / r['bsdiff_s']:.2f} | {r['ours_kib'] / 1024:.0f} / "
                  f"{r['bsdiff_kib'] / 1024:.0f} | {r['ours_kib'] / r['bsdiff_kib']:.2f} |")

        if args.env_dir:
            wine = benchlib.Wine(args.env_dir, work)
            big = sorted(pairs, key=lambda p: -os.path.getsize(p[2]))[:2]
            applied = [wine_apply(wine, bench_exe, name.split()[0], old, new, work,
                                  max(args.rounds, 3), checks) for name, old, new in big]
            print("\n| Pair under Wine | apply s | read old + write new s | ratio | "
                  "peak MiB apply / floor / idle | above idle MiB |")
            print("|---|---|---|---|---|---|")
            for a in applied:
                print(f"| {a['name']} | {a['apply_s']:.3f} | {a['floor_s']:.3f} | "
                      f"{a['apply_s'] / a['floor_s']:.2f} | {a['apply_kib'] / 1024:.1f} / "
                      f"{a['floor_kib'] / 1024:.1f} / {a['idle_kib'] / 1024:.1f} | "
                      f"{(a['apply_kib'] - a['idle_kib']) / 1024:.1f} |")
        print(f"\nload after: {os.getloadavg()[0]:.1f}")
    except benchlib.BenchError as e:
        print(f"bench_delta: {e}")
        return 1
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)
    return checks.exit_status()


if __name__ == "__main__":
    sys.exit(main())
