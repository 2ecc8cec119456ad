#!/usr/bin/env python3
"""Benchmarks of the launcher against the floor of the platform and against native tools.

    bench.py --build-dir B --env-dir E [--server nginx|harness] [--port P] [--smoke] [--rounds R]

B is a test build (its update base address https://localhost:P names the server), E a test
environment brought up by tests/harness/testenv.sh (Wine prefix with the test CA, wineserver,
Xvfb). With --server nginx the script starts Debian's nginx itself on port P, with its own
configuration and prefix under B/benchwork; with --server harness it points the environment's
test server at its files instead (the CTest smoke run).

Every scenario runs the launcher, its floor and a native tool on the same files in the same
run. The floor is the least a Windows program must do for the same work under the same Wine
(tests/bench/floor_read.cpp, floor_http.cpp, minimal_window.cpp,
platform_window.cpp): launcher / floor is the
share that is ours. The native tool (md5sum, curl) runs on Linux itself: launcher / native
adds what the platform costs.

  verification  a light run over valid files (bench_run.exe, the launcher's own update code);
                floor: open, read (1 MiB buffer) and close each file on as many threads, for
                the big files also MD5 through CNG (reading alone is no floor for hashing);
                native: md5sum, one process per core (xargs -P $(nproc))
  download      a full run into an empty folder; floor: one WinHTTP session fetching the same
                addresses on as many threads, each body written to its file; native: curl with
                as many parallel transfers
  latency       the small-file download through bench/relay.py, 10 ms each way (20 ms round
                trip): launcher, floor and curl (with --server harness the launcher is left out:
                its address is the build's, where the test server itself listens)
  start-up      process start to the first painted window (bench_watch.exe), the launcher
                against a minimal Win32 window program, and against platform_window.exe: a
                window with the launcher's manifest and libraries, COM, GDI+ and its decoded
                background, the least a program of its kind pays before its first paint
  memory        the peak working set of the 1 GiB verification, in process and of the real
                ZarvoLauncher.exe (its Wine process's VmHWM)

--smoke runs every scenario at a small size once and only checks that each completes with
correct files; the exit status is 0 when all did. Figures are printed either way, targets are
judged only at full size (and never change the exit status).
"""
import argparse
import math
import os
import shutil
import statistics
import subprocess
import sys
import time

from benchlib import (RUN_TIMEOUT, BenchError, Checks, HarnessServer, Nginx, Relay, Wine,
                      make_files, manifest_json, read_result, timed, unix_pid_of, vm_hwm_kib,
                      write, wrong_files)
from table import Row, render

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
RELAY_DELAY_MS = 10
# Latency-bound, so little noise: fewer rounds than the rest.
RELAY_ROUNDS = 1
MEMORY_TARGET_MIB = 64


def log(text):
    print(text, flush=True)


def best(times):
    return min(times) if times else None


# ---- the bench -------------------------------------------------------------------------

class Bench(Checks):
    def __init__(self, args):
        super().__init__()
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
        self.rows = []
        self.notes = []
        self.port = args.port or int(self.wine.env.get("ZARVO_HTTPS_PORT", "0"))
        if args.server == "nginx":
            self.server = Nginx(os.path.join(self.work, "nginx"), self.port, self.www,
                                self.certdir)
        else:
            self.server = HarnessServer(self.env_dir, self.www, self.port)
        self.base = self.server.base

    def exe(self, name):
        path = os.path.join(self.build, name)
        if not os.path.exists(path):
            raise BenchError(f"{path} is missing: build the test build with the bench area")
        return path

    def counts(self, files):
        result = os.path.join(self.work, "counts.txt")
        self.wine.run(self.exe("bench_run.exe"), ["counts", str(files), self.wine.path(result)],
                      self.work)
        values = read_result(result)
        return int(values.get("verify_workers", 0)), int(values.get("download_workers", 0))

    def manifest_seconds(self, url, count, label):
        """The fixed part of a run: the manifest's first request and its parsing."""
        result = os.path.join(self.work, "manifest.txt")
        if os.path.exists(result):
            os.remove(result)
        self.wine.run(self.exe("bench_run.exe"), ["manifest", url, self.wine.path(result)],
                      self.work, self.timeout)
        values = read_result(result)
        self.check(values.get("entries") == str(count), f"{label}: the manifest alone was "
                   f"read with {values.get('entries')} entries")
        return float(values["seconds"]) if "seconds" in values else None

    def list_file(self, entries, name):
        path = os.path.join(self.work, name + ".list")
        write(path, "".join(rel + "\n" for rel, _, _ in entries))
        return path

    def launcher_run(self, game, manifest_url, mode, program="bench_run.exe"):
        """One timed update run of program (bench_run.exe) from the game folder; returns its
        values."""
        exe = os.path.join(game, program)
        if not os.path.exists(exe):
            shutil.copy(self.exe(program), exe)
        result = os.path.join(self.work, "run.txt")
        if os.path.exists(result):
            os.remove(result)
        self.wine.run(exe, ["run", manifest_url, mode, self.wine.path(result)], game, self.timeout)
        values = read_result(result)
        if "seconds" not in values:
            raise BenchError(f"{program} wrote no result")
        values["seconds"] = float(values["seconds"])
        return values

    def floor_run(self, name, args, label, options=()):
        """One run of a floor program (args, its result file, options); its seconds and
        files."""
        result = os.path.join(self.work, "floor.txt")
        if os.path.exists(result):
            os.remove(result)
        self.wine.run(self.exe(name), args + [self.wine.path(result)] + list(options), self.work,
                      self.timeout)
        values = read_result(result)
        if not self.check("seconds" in values, f"{label}: {name} wrote no result"):
            return None, 0
        return float(values["seconds"]), int(values.get("files", 0))

    # ---- verification ----

    def verification(self, key):
        count, size = self.sizes[key]
        label = self.label(key)
        game = os.path.join(self.work, key)
        log(f"verification, {label}: writing {count} files of {size} bytes")
        entries = make_files(game, "v", count, size)
        write(os.path.join(self.www, "bench", key + ".json"), manifest_json(entries))
        url = f"{self.base}/bench/{key}.json"
        listing = self.list_file(entries, key)
        verify_workers, _ = self.counts(count)
        per_process = math.ceil(count / self.nproc)
        md5sum = f"find v -type f -print0 | xargs -0 -P {self.nproc} -n {per_process} md5sum"
        subprocess.run(md5sum, shell=True, cwd=game, stdout=subprocess.DEVNULL, check=True)

        # Big files: reading alone is no floor for a check that must hash every byte.
        hashing = ["md5"] if key == "verify_big" else []
        floor_how = f"open/read/{'MD5 (CNG)/' if hashing else ''}close, {verify_workers} threads"
        times = {"launcher": [], "floor": [], "native": []}
        peak = None
        for _ in range(self.rounds):
            mark = self.server.mark()
            values = self.launcher_run(game, url, "LIGHT")
            fetched = [p for p in self.server.paths_since(mark) if p.startswith("/update/")]
            self.check(values.get("status") == "Archivos OK!",
                       f"{label}: the light run ended with '{values.get('status')}'")
            self.check(not fetched, f"{label}: the light run fetched {len(fetched)} valid files")
            times["launcher"].append(values["seconds"])
            peak = (int(values["peak_before"]), int(values["peak_after"]))

            seconds, files = self.floor_run(
                "floor_read.exe",
                [self.wine.path(listing), self.wine.path(game), str(verify_workers)], label,
                hashing)
            if seconds is not None and self.check(files == count,
                                                  f"{label}: the floor read {files} files"):
                times["floor"].append(seconds)

            seconds, out = timed(md5sum, shell=True, cwd=game, capture_output=True, text=True,
                                 timeout=self.timeout)
            times["native"].append(seconds)
            sums = dict(reversed(line.split(None, 1)) for line in out.stdout.splitlines())
            bad = [p for p, h, _ in entries if sums.get(p, "").strip() != h]
            self.check(out.returncode == 0 and not bad,
                       f"{label}: md5sum disagrees on {len(bad)} files")

        target = ("native", 1.10) if key == "verify_big" else ("floor", 1.25)
        manifest = self.manifest_seconds(url, count, label)
        manifest_how = f", manifest {manifest:.2f} s" if manifest is not None else ""
        self.rows.append(Row(
            f"Verify {label}", count, count * size,
            launcher=best(times["launcher"]),
            launcher_how=f"{verify_workers} threads{manifest_how}",
            floor=best(times["floor"]), floor_how=floor_how,
            native=best(times["native"]), native_how=f"md5sum, xargs -P {self.nproc}",
            target=target))
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
                                ["run", self.wine.path(os.path.join(game, "ZarvoLauncher.exe")),
                                 self.wine.path(result), self.wine.path(ended),
                                 self.wine.path(release), str(self.timeout)], game)
        hwm = None
        try:
            end = time.time() + self.timeout + 30
            while not os.path.exists(ended) and watch.poll() is None and time.time() < end:
                time.sleep(0.05)
            pid = unix_pid_of(self.wine, os.path.join(game, "ZarvoLauncher.exe"))
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

    def publish(self, key):
        count, size = self.sizes[key]
        log(f"download, {self.label(key)}: writing {count} files of {size} bytes")
        entries = make_files(os.path.join(self.www, "update"), key, count, size)
        write(os.path.join(self.www, "bench", key + ".json"), manifest_json(entries))
        return entries

    def download(self, key, entries, title, rounds, with_launcher=True, target=None):
        """Launcher, WinHTTP floor and curl fetch the files of key from self.base; returns
        the relay's counts per contender when a relay is in front."""
        count, size = self.sizes[key]
        url = f"{self.base}/bench/{key}.json"
        _, transfers = self.counts(count)
        listing = self.list_file(entries, key)
        folders = {name: os.path.join(self.work, f"{key}_{name}")
                   for name in ("launcher", "floor", "native")}
        config = os.path.join(self.work, key + "_curl.cfg")
        with open(config, "w") as f:
            for rel, _, _ in entries:
                f.write(f'url = "{self.base}/update/{rel}"\n'
                        f'output = "{folders["native"]}/{rel}"\n')
        curl = ["curl", "--parallel", "--parallel-max", str(transfers), "--http1.1", "--silent",
                "--show-error", "--fail", "--create-dirs", "--cacert",
                os.path.join(self.certdir, "ca.pem"), "--config", config]

        def fresh(name):
            shutil.rmtree(folders[name], ignore_errors=True)
            os.makedirs(folders[name])
            return folders[name]

        def verify(name, r):
            if r == 0:
                wrong = wrong_files(folders[name], entries)
                self.check(not wrong, f"{title}: {name} left {len(wrong)} files wrong")
            shutil.rmtree(folders[name], ignore_errors=True)

        times = {"launcher": [], "floor": [], "native": []}
        for r in range(rounds):
            if with_launcher:
                values = self.launcher_run(fresh("launcher"), url, "FULL")
                times["launcher"].append(values["seconds"])
                self.check(values.get("status") == "Archivos OK!",
                           f"{title}: the full run ended with '{values.get('status')}'")
                verify("launcher", r)

            out_dir = fresh("floor")
            for rel, _, _ in entries:
                os.makedirs(os.path.dirname(os.path.join(out_dir, rel)), exist_ok=True)
            seconds, files = self.floor_run(
                "floor_http.exe", [self.wine.path(listing), f"{self.base}/update",
                                   self.wine.path(out_dir), str(transfers)], title)
            if seconds is not None and self.check(files == count,
                                                  f"{title}: the floor fetched {files} files"):
                times["floor"].append(seconds)
            verify("floor", r)

            fresh("native")
            seconds, out = timed(curl, capture_output=True, text=True, timeout=self.timeout)
            if self.check(out.returncode == 0,
                          f"{title}: curl failed: {out.stderr.strip()[:200]}"):
                times["native"].append(seconds)
            verify("native", r)

        self.rows.append(Row(
            title, count, count * size,
            launcher=best(times["launcher"]), launcher_how=f"{transfers} transfers",
            floor=best(times["floor"]), floor_how=f"WinHTTP, one session, {transfers} threads",
            native=best(times["native"]), native_how=f"curl --parallel-max {transfers}",
            target=target))

    def latency(self, key, entries):
        """The same download through the relay: the launcher's address is the build's own
        port, so the relay takes that port and the server moves next to it."""
        title = f"Download {self.label(key)}, {2 * RELAY_DELAY_MS} ms round trip"
        log(f"latency: {title}")
        with_launcher = isinstance(self.server, Nginx)
        if with_launcher:
            self.server.stop()
            self.server = Nginx(os.path.join(self.work, "nginx-behind-relay"), self.port + 4,
                                self.www, self.certdir)
            relay = Relay(self.work, self.port, self.port + 4, RELAY_DELAY_MS)
        else:
            self.notes.append("Through the relay the test server's launcher is left out: its "
                              "address is the build's port, where the test server listens.")
            relay = Relay(self.work, self.port + 4, self.port, RELAY_DELAY_MS)
            self.base = f"https://localhost:{self.port + 4}"
        try:
            self.download(key, entries, title, min(self.rounds, RELAY_ROUNDS), with_launcher)
        finally:
            counts = relay.stop()
            self.base = self.server.base if with_launcher else f"https://localhost:{self.port}"
        self.check(counts is not None and counts[1] >= self.sizes[key][0] * self.sizes[key][1],
                   f"{title}: the relay carried less than the files ({counts})")
        if counts:
            self.notes.append(f"The relay carried {counts[1] / 2**20:.1f} MiB down and "
                              f"{counts[0] / 2**20:.1f} MiB up in {counts[2]} connections.")

    # ---- start-up ----

    def startup(self):
        log("start-up: launcher, minimal window and platform window, alternately")
        launcher_dir = os.path.join(self.work, "startup_launcher")
        minimal_dir = os.path.join(self.work, "startup_minimal")
        os.makedirs(minimal_dir, exist_ok=True)
        entries = make_files(launcher_dir, "s", 1, 4096)
        write(os.path.join(self.www, "manifest_light.json"), manifest_json(entries))
        write(os.path.join(launcher_dir, "Log", "inst_done"), "")
        programs = (("launcher", launcher_dir, "ZarvoLauncher.exe", "Zarvo Vestra Launcher"),
                    ("minimal", minimal_dir, "minimal_window.exe", "Minimal Bench Window"),
                    ("platform", minimal_dir, "platform_window.exe", "Platform Bench Window"))
        for _, folder, name, _ in programs:
            shutil.copy(self.exe(name), os.path.join(folder, name))
        rounds = max(1, self.rounds if self.smoke else 2 * self.rounds - 1)
        times = {name: [] for name, _, _, _ in programs}
        result = os.path.join(self.work, "startup.txt")
        for _ in range(rounds):
            for name, folder, exe, cls in programs:
                if os.path.exists(result):
                    os.remove(result)
                self.wine.run(self.exe("bench_watch.exe"),
                              ["startup", self.wine.path(os.path.join(folder, exe)), cls,
                               self.wine.path(result)], self.work, 120)
                painted = read_result(result).get("painted_ms")
                if self.check(painted is not None, f"start-up: no painted window of {name}"):
                    times[name].append(float(painted) / 1000)
        median = (lambda t: statistics.median(t) if t else None)
        self.rows.append(Row(
            f"Start-up to first paint (median of {rounds})", None, None,
            launcher=median(times["launcher"]), launcher_how="ZarvoLauncher.exe",
            floor=median(times["minimal"]), floor_how="minimal Win32 window",
            target=("floor", 1.5), unit="ms"))
        # The same launcher start against a window that also loads the launcher's manifest and
        # libraries, starts COM and GDI+ and decodes and draws the background: what is ours.
        self.rows.append(Row(
            "  against a window of its kind", None, None,
            launcher=median(times["launcher"]), launcher_how="ZarvoLauncher.exe",
            floor=median(times["platform"]), floor_how="platform_window.exe", unit="ms"))

    # ---- report ----

    def report(self, memory, real_run):
        curl_version = subprocess.run(["curl", "--version"], capture_output=True,
                                      text=True).stdout.split()[1]
        wine_version = subprocess.run(["wine", "--version"], capture_output=True, text=True,
                                      env=self.wine.env).stdout.strip()
        how = "best" if self.rounds > 1 else "one run"
        lines = ["", f"Zarvo Vestra launcher benchmarks{' (smoke sizes)' if self.smoke else ''}: "
                 f"nproc {self.nproc}, {wine_version}, server {self.server.version()}, "
                 f"curl {curl_version}, {how} of {self.rounds} (relay: of "
                 f"{min(self.rounds, RELAY_ROUNDS)})", ""]
        lines += render(self.rows, judged=not self.smoke)
        if memory:
            before, after = memory
            real = real_run[1] / 1024 if real_run and real_run[1] else None
            shown = f"{real:.1f} MiB" if real is not None else "not measured"
            verdict = ("" if self.smoke or real is None else
                       "  met" if real <= MEMORY_TARGET_MIB else "  MISSED")
            lines.append(f"Peak memory during the {self.label_big()} verification: real launcher "
                         f"{shown} (VmHWM), target <= {MEMORY_TARGET_MIB} MiB{verdict}; in "
                         f"process {after / 2**20:.1f} MiB ({before / 2**20:.1f} MiB before "
                         "the run)")
        if real_run and real_run[0]:
            lines.append(f"Real ZarvoLauncher.exe over the {self.label_big()} folder: "
                         f"{real_run[0]:.2f} s from start to its bars painted full")
        lines += self.notes
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
        return f"{count:,} x {size >> 10} KiB"

    def run(self):
        try:
            game, entries, memory = self.verification("verify_big")
            real_run = self.real_launcher_verification(game, entries)
            shutil.rmtree(game, ignore_errors=True)
            game, _, _ = self.verification("verify_small")
            shutil.rmtree(game, ignore_errors=True)
            entries = self.publish("download_big")
            self.download("download_big", entries, f"Download {self.label('download_big')}",
                          self.rounds, target=("floor", 1.10))
            shutil.rmtree(os.path.join(self.www, "update"), ignore_errors=True)
            entries = self.publish("download_small")
            self.download("download_small", entries,
                          f"Download {self.label('download_small')}", self.rounds,
                          target=("floor", 1.15))
            self.startup()
            # Last: with nginx it moves the server off the build's port.
            self.latency("download_small", entries)
            self.report(memory, real_run)
        finally:
            self.server.stop()
            if not self.args.keep:
                shutil.rmtree(self.work, ignore_errors=True)
        return self.exit_status()


def main(bench=None, doc=__doc__):
    """Runs the bench class (Bench) with the command line every bench script takes."""
    parser = argparse.ArgumentParser(description=doc.split("\n\n")[0])
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
        return (bench or Bench)(args).run()
    except BenchError as e:
        log(f"bench: {e}")
        return 1


if __name__ == "__main__":
    sys.exit(main())
