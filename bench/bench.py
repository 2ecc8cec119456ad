#!/usr/bin/env python3
"""Benchmarks of the launcher against the tools a studio would compare it with.

    bench.py --build-dir B --env-dir E [--server nginx|harness] [--port P] [--smoke] [--rounds R]

B is a test build (its update base address https://localhost:P names the server), E a test
environment brought up by tests/harness/testenv.sh (Wine prefix with the test CA, wineserver,
Xvfb). With --server nginx the script starts Debian's nginx itself on port P, with its own
configuration and prefix under B/benchwork; with --server harness it points the environment's
test server at its files instead (the CTest smoke run).

Each scenario runs the launcher and its reference on the same files in the same run and
prints both with the time ratio (launcher / reference; above 1 the launcher is slower):

  verification  a light run over valid files (bench_run.exe, the launcher's own update code)
                against md5sum, one process per core (xargs -P $(nproc))
  download      a full run into an empty folder against curl with as many parallel
                transfers as the launcher uses
  start-up      process start to the first painted window, the launcher against a minimal
                Win32 window program, both under the same Wine (bench_watch.exe)
  memory        the peak working set of the 1 GiB verification, in process and of the real
                ZarvoLauncher.exe (its Wine process's VmHWM)

--smoke runs every scenario at a small size once and only checks that each completes with
correct files; the exit status is 0 when all did. Figures are printed either way.
"""
import argparse
import math
import os
import shutil
import statistics
import subprocess
import sys
import time

from benchlib import (RUN_TIMEOUT, BenchError, HarnessServer, Nginx, Wine, make_files,
                      manifest_json, read_result, timed, unix_pid_of, vm_hwm_kib, write,
                      wrong_files)

FULL_SIZES = {
    "verify_big": (64, 16 << 20),
    "verify_small": (20000, 4096),
    "download_big": (32, 16 << 20),
    "download_small": (5000, 4096),
}
SMOKE_SIZES = {
    "verify_big": (4, 1 << 20),
    "verify_small": (200, 4096),
    "download_big": (4, 1 << 20),
    "download_small": (100, 4096),
}
def log(text):
    print(text, flush=True)


# ---- the bench -------------------------------------------------------------------------

class Bench:
    def __init__(self, args):
        self.args = args
        self.smoke = args.smoke
        self.rounds = args.rounds or (1 if args.smoke else 3)
        # Smoke sizes take seconds; a wait far longer than that is a hang, not a slow machine.
        self.timeout = 120 if args.smoke else RUN_TIMEOUT
        self.sizes = SMOKE_SIZES if args.smoke else FULL_SIZES
        self.build = os.path.abspath(args.build_dir)
        self.env_dir = os.path.abspath(args.env_dir)
        self.work = os.path.join(self.build, "benchwork-smoke" if args.smoke else "benchwork")
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.www = os.path.join(self.work, "www")
        os.makedirs(self.www)
        self.wine = Wine(self.env_dir, self.work)
        self.certdir = os.path.join(self.env_dir, "certs")
        self.nproc = os.cpu_count() or 1
        self.failures = []
        self.rows = []
        port = args.port or int(self.wine.env.get("ZARVO_HTTPS_PORT", "0"))
        if args.server == "nginx":
            self.server = Nginx(os.path.join(self.work, "nginx"), port, self.www, self.certdir)
        else:
            self.server = HarnessServer(self.env_dir, self.www, port)
        self.base = self.server.base

    def exe(self, name):
        path = os.path.join(self.build, name)
        if not os.path.exists(path):
            raise BenchError(f"{path} is missing: build the test build with the bench area")
        return path

    def check(self, ok, what):
        if not ok:
            self.failures.append(what)
            log("  FAILED: " + what)
        return ok

    def counts(self, files):
        result = os.path.join(self.work, "counts.txt")
        self.wine.run(self.exe("bench_run.exe"), ["counts", str(files), Wine.path(result)],
                      self.work)
        values = read_result(result)
        return int(values.get("verify_workers", 0)), int(values.get("download_workers", 0))

    def launcher_run(self, game, manifest_url, mode):
        """One timed update run of bench_run.exe from the game folder; returns its values."""
        exe = os.path.join(game, "bench_run.exe")
        if not os.path.exists(exe):
            shutil.copy(self.exe("bench_run.exe"), exe)
        result = os.path.join(self.work, "run.txt")
        if os.path.exists(result):
            os.remove(result)
        self.wine.run(exe, ["run", manifest_url, mode, Wine.path(result)], game, self.timeout)
        values = read_result(result)
        if "seconds" not in values:
            raise BenchError("bench_run.exe wrote no result")
        values["seconds"] = float(values["seconds"])
        return values

    # ---- verification ----

    def verification(self, key, label):
        count, size = self.sizes[key]
        game = os.path.join(self.work, key)
        log(f"verification, {label}: writing {count} files of {size} bytes")
        entries = make_files(game, "v", count, size)
        write(os.path.join(self.www, "bench", key + ".json"), manifest_json(entries))
        url = f"{self.base}/bench/{key}.json"
        verify_workers, _ = self.counts(count)
        per_process = math.ceil(count / self.nproc)
        md5sum = f"find v -type f -print0 | xargs -0 -P {self.nproc} -n {per_process} md5sum"
        subprocess.run(md5sum, shell=True, cwd=game, stdout=subprocess.DEVNULL, check=True)

        launcher_times, md5_times, peak = [], [], None
        for _ in range(self.rounds):
            mark = self.server.mark()
            values = self.launcher_run(game, url, "LIGHT")
            fetched = [p for p in self.server.paths_since(mark) if p.startswith("/update/")]
            self.check(values.get("status") == "Archivos OK!",
                       f"{label}: the light run ended with '{values.get('status')}'")
            self.check(not fetched, f"{label}: the light run fetched {len(fetched)} valid files")
            launcher_times.append(values["seconds"])
            peak = (int(values["peak_before"]), int(values["peak_after"]))

            seconds, out = timed(md5sum, shell=True, cwd=game, capture_output=True, text=True,
                                 timeout=self.timeout)
            md5_times.append(seconds)
            sums = dict(reversed(line.split(None, 1)) for line in out.stdout.splitlines())
            bad = [p for p, h, _ in entries if sums.get(p, "").strip() != h]
            self.check(out.returncode == 0 and not bad,
                       f"{label}: md5sum disagrees on {len(bad)} files")

        total = count * size
        self.rows.append(("verification", label,
                          self.figures(min(launcher_times), total, count,
                                       f"{verify_workers} threads"),
                          self.figures(min(md5_times), total, count,
                                       f"md5sum, xargs -P {self.nproc}"),
                          min(launcher_times) / min(md5_times)))
        return game, entries, peak

    def real_launcher_verification(self, game, entries):
        """The real ZarvoLauncher.exe over the same folder: start until its bars are painted
        full, and its Wine process's peak memory."""
        shutil.copy(self.exe("ZarvoLauncher.exe"), os.path.join(game, "ZarvoLauncher.exe"))
        write(os.path.join(game, "Log", "inst_done"), "")
        write(os.path.join(self.www, "manifest_light.json"), manifest_json(entries))
        result = os.path.join(self.work, "watch.txt")
        ended = os.path.join(self.work, "ended")
        release = os.path.join(self.work, "release")
        for path in (result, ended, release):
            if os.path.exists(path):
                os.remove(path)
        watch = self.wine.start(self.exe("bench_watch.exe"),
                                ["run", Wine.path(os.path.join(game, "ZarvoLauncher.exe")),
                                 Wine.path(result), Wine.path(ended), Wine.path(release),
                                 str(self.timeout)], game)
        hwm = None
        try:
            end = time.time() + self.timeout + 30
            while not os.path.exists(ended) and watch.poll() is None and time.time() < end:
                time.sleep(0.05)
            pid = unix_pid_of(os.path.join(game, "ZarvoLauncher.exe"))
            hwm = vm_hwm_kib(pid) if pid else None
        finally:
            write(release, "")
            try:
                watch.wait(timeout=90)
            except subprocess.TimeoutExpired:
                watch.kill()
        run_ms = read_result(result).get("run_ms")
        self.check(run_ms is not None, "the real launcher did not paint its bars full")
        self.check(hwm is not None, "the real launcher's process was not found for its memory")
        return (float(run_ms) / 1000 if run_ms else None), hwm

    # ---- download ----

    def download(self, key, label):
        count, size = self.sizes[key]
        log(f"download, {label}: writing {count} files of {size} bytes")
        entries = make_files(os.path.join(self.www, "update"), key, count, size)
        write(os.path.join(self.www, "bench", key + ".json"), manifest_json(entries))
        url = f"{self.base}/bench/{key}.json"
        _, transfers = self.counts(count)
        game = os.path.join(self.work, key + "_game")
        curl_dir = os.path.join(self.work, key + "_curl")
        config = os.path.join(self.work, key + "_curl.cfg")
        with open(config, "w") as f:
            for rel, _, _ in entries:
                f.write(f'url = "{self.base}/update/{rel}"\noutput = "{curl_dir}/{rel}"\n')
        curl = ["curl", "--parallel", "--parallel-max", str(transfers), "--http1.1", "--silent",
                "--show-error", "--fail", "--create-dirs", "--cacert",
                os.path.join(self.certdir, "ca.pem"), "--config", config]

        launcher_times, curl_times = [], []
        for r in range(self.rounds):
            shutil.rmtree(game, ignore_errors=True)
            os.makedirs(game)
            values = self.launcher_run(game, url, "FULL")
            launcher_times.append(values["seconds"])
            self.check(values.get("status") == "Archivos OK!",
                       f"{label}: the full run ended with '{values.get('status')}'")
            if r == 0:
                wrong = wrong_files(game, entries)
                self.check(not wrong, f"{label}: the launcher left {len(wrong)} files wrong")

            shutil.rmtree(curl_dir, ignore_errors=True)
            seconds, out = timed(curl, capture_output=True, text=True, timeout=self.timeout)
            curl_times.append(seconds)
            self.check(out.returncode == 0, f"{label}: curl failed: {out.stderr.strip()[:200]}")
            if r == 0:
                wrong = wrong_files(curl_dir, entries)
                self.check(not wrong, f"{label}: curl left {len(wrong)} files wrong")

        total = count * size
        self.rows.append(("download", label,
                          self.figures(min(launcher_times), total, count, f"{transfers} transfers"),
                          self.figures(min(curl_times), total, count,
                                       f"curl --parallel-max {transfers}"),
                          min(launcher_times) / min(curl_times)))
        shutil.rmtree(game, ignore_errors=True)
        shutil.rmtree(curl_dir, ignore_errors=True)

    # ---- start-up ----

    def startup(self):
        log("start-up: launcher and minimal window, alternately")
        launcher_dir = os.path.join(self.work, "startup_launcher")
        minimal_dir = os.path.join(self.work, "startup_minimal")
        os.makedirs(minimal_dir, exist_ok=True)
        entries = make_files(launcher_dir, "s", 1, 4096)
        write(os.path.join(self.www, "manifest_light.json"), manifest_json(entries))
        write(os.path.join(launcher_dir, "Log", "inst_done"), "")
        launcher = os.path.join(launcher_dir, "ZarvoLauncher.exe")
        minimal = os.path.join(minimal_dir, "minimal_window.exe")
        shutil.copy(self.exe("ZarvoLauncher.exe"), launcher)
        shutil.copy(self.exe("minimal_window.exe"), minimal)
        rounds = max(1, self.rounds if self.smoke else 2 * self.rounds - 1)
        times = {"launcher": [], "minimal": []}
        result = os.path.join(self.work, "startup.txt")
        for _ in range(rounds):
            for name, exe, cls in (("launcher", launcher, "Zarvo Vestra Launcher"),
                                   ("minimal", minimal, "Minimal Bench Window")):
                if os.path.exists(result):
                    os.remove(result)
                self.wine.run(self.exe("bench_watch.exe"),
                              ["startup", Wine.path(exe), cls, Wine.path(result)], self.work, 120)
                painted = read_result(result).get("painted_ms")
                if self.check(painted is not None, f"start-up: no painted window of {name}"):
                    times[name].append(float(painted))
        if times["launcher"] and times["minimal"]:
            a, b = statistics.median(times["launcher"]), statistics.median(times["minimal"])
            self.startup_figures = (a, b, len(times["launcher"]))
        else:
            self.startup_figures = None

    # ---- report ----

    @staticmethod
    def figures(seconds, total, count, how):
        return {"seconds": seconds, "mbs": total / 1e6 / seconds, "fps": count / seconds,
                "how": how}

    def report(self, memory, real_run):
        curl_version = subprocess.run(["curl", "--version"], capture_output=True,
                                      text=True).stdout.split()[1]
        wine_version = subprocess.run(["wine", "--version"], capture_output=True, text=True,
                                      env=self.wine.env).stdout.strip()
        best = "best" if self.rounds > 1 else "one run"
        lines = ["", f"Zarvo Vestra launcher benchmarks{' (smoke sizes)' if self.smoke else ''}: "
                 f"nproc {self.nproc}, {wine_version}, server {self.server.version()}, "
                 f"curl {curl_version}, {best} of {self.rounds}", ""]
        for kind in ("verification", "download"):
            lines.append("Verification (light run, every file already valid)"
                         if kind == "verification" else "Download (full run into an empty folder)")
            reference = "md5sum" if kind == "verification" else "curl"
            for row_kind, label, ours, ref, ratio in self.rows:
                if row_kind != kind:
                    continue
                lines.append(f"  {label}")
                for name, f in ((f"launcher ({ours['how']})", ours), (f"{ref['how']}", ref)):
                    lines.append(f"    {name:30}{f['seconds']:9.2f} s {f['mbs']:9.1f} MB/s "
                                 f"{f['fps']:9.0f} files/s")
                lines.append(f"    {'time ratio launcher/' + reference:30}{ratio:9.2f}")
            lines.append("")
        if self.startup_figures:
            a, b, n = self.startup_figures
            lines.append("Start-up (process start to first painted window, median of "
                         f"{n}):  launcher {a:.0f} ms,  minimal Win32 window {b:.0f} ms,  "
                         f"time ratio {a / b:.2f}")
        if memory:
            before, after = memory
            lines.append(f"Memory during the {self.label_big()} verification: peak working set "
                         f"{after / 2**20:.1f} MiB in process ({before / 2**20:.1f} MiB before "
                         f"the run)" + (f", real launcher {real_run[1] / 1024:.1f} MiB (VmHWM)"
                                        if real_run and real_run[1] else ""))
        if real_run and real_run[0]:
            lines.append(f"Real ZarvoLauncher.exe over the {self.label_big()} folder: "
                         f"{real_run[0]:.2f} s from start to its bars painted full")
        log("\n".join(lines))

    def label_big(self):
        count, size = self.sizes["verify_big"]
        total = count * size
        return f"{total >> 30} GiB" if total >= 1 << 30 else f"{total >> 20} MiB"

    def label(self, key):
        count, size = self.sizes[key]
        total = count * size
        if size >= 1 << 20:
            amount = f"{total >> 30} GiB" if total >= 1 << 30 else f"{total >> 20} MiB"
            return f"{amount} in {count} files"
        return f"{count} files of {size >> 10} KiB"

    def run(self):
        try:
            game, entries, memory = self.verification("verify_big", self.label("verify_big"))
            real_run = self.real_launcher_verification(game, entries)
            shutil.rmtree(game, ignore_errors=True)
            game, _, _ = self.verification("verify_small", self.label("verify_small"))
            shutil.rmtree(game, ignore_errors=True)
            self.download("download_big", self.label("download_big"))
            shutil.rmtree(os.path.join(self.www, "update"), ignore_errors=True)
            self.download("download_small", self.label("download_small"))
            self.startup()
            self.report(memory, real_run)
        finally:
            self.server.stop()
            if not self.args.keep:
                shutil.rmtree(self.work, ignore_errors=True)
        if self.failures:
            log(f"\n{len(self.failures)} check(s) failed:\n  " + "\n  ".join(self.failures))
            return 1
        return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--env-dir", required=True)
    parser.add_argument("--server", choices=("nginx", "harness"), default="nginx")
    parser.add_argument("--port", type=int, default=0,
                        help="nginx port (default: the environment's HTTPS port)")
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--rounds", type=int, default=0)
    parser.add_argument("--keep", action="store_true", help="keep the files under benchwork")
    args = parser.parse_args()
    try:
        return Bench(args).run()
    except BenchError as e:
        log(f"bench: {e}")
        return 1


if __name__ == "__main__":
    sys.exit(main())
