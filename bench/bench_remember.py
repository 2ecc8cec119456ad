#!/usr/bin/env python3
"""Remembered verification (LAUNCHER_REMEMBER_VERIFIED) against the reading floor.

    bench_remember.py --build-dir B --env-dir E [--server nginx|harness] [--port P] [--smoke]
                      [--rounds R]

Same environment and server as bench.py. For each scenario the default build
(bench_run.exe) and the build with the option (bench_run_remember.exe) run a light run over
the same files, nothing changed since the last run (a first run of the option's build wrote
the record), beside floor_read.exe reading the same files, in the same run:

  20,000 x 4 KiB in 200 folders, and 1 GiB in 64 files (the floor hashes those too);
  the same 20,000 files with one changed and its size and times put back: the time from the
  run's start to the server's receipt of that file's request (nginx logs when it answers;
  its $request_time is taken off).

Targets, launcher / floor: 0.15, 0.05 and 0.2 for the option's build.
"""
import hashlib
import os
import shutil
import sys
import time

import benchlib
from bench import Bench, best, log, main
from benchlib import Wine, manifest_json, read_result, write
from table import Row, render

# When each request came, for the time to a download request.
benchlib.NGINX_CONF = benchlib.NGINX_CONF.replace("$bytes_sent'", "$bytes_sent $msec $request_time'")

FULL = {"small": (20000, 4096, 200), "big": (64, 16 << 20, 1)}
SMOKE = {"small": (400, 4096, 4), "big": (4, 1 << 20, 1)}
TARGETS = {"small": 0.15, "big": 0.05, "changed": 0.2}
BUILDS = (("default", "bench_run.exe"), ("remembered", "bench_run_remember.exe"))


def make_files(game, count, size, folders):
    entries = []
    per = -(-count // folders)
    for i in range(count):
        rel = f"d{i // per:03d}/f{i:05d}.bin"
        data = os.urandom(size)
        path = os.path.join(game, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        entries.append((rel, hashlib.md5(data).hexdigest(), size))
    return entries


def change_keeping_times(path):
    """Changes one byte; size, last-write and access times put back (the change time moves)."""
    st = os.stat(path)
    with open(path, "r+b") as f:
        first = f.read(1)
        f.seek(0)
        f.write(bytes([first[0] ^ 0xFF]))
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))


class RememberBench(Bench):
    def __init__(self, args):
        super().__init__(args)
        self.sizes = SMOKE if args.smoke else FULL

    def label(self, key):
        count, size, folders = self.sizes[key]
        if size >= 1 << 20:
            total = count * size
            amount = f"{total >> 30} GiB" if total >= 1 << 30 else f"{total >> 20} MiB"
            return f"{amount} in {count} files"
        return f"{count:,} x {size >> 10} KiB in {folders} folders"

    def run_build(self, game, exe, url):
        values = self.launcher_run(game, url, "LIGHT", exe)
        self.check(values.get("status") == "Archivos OK!",
                   f"{exe}: the light run ended with '{values.get('status')}'")
        return values

    def phases(self, game, url, label):
        """Where a remembered run's time goes, in a note below the table."""
        result = os.path.join(self.work, "phases.txt")
        best_values = None
        for _ in range(self.rounds):
            if os.path.exists(result):
                os.remove(result)
            self.wine.run(os.path.join(game, "bench_run_remember.exe"),
                          ["phases", url, self.wine.path(result)], game, self.timeout)
            values = {k: float(v) for k, v in read_result(result).items()}
            if best_values is None or values.get("listing", 1e9) < best_values["listing"]:
                best_values = values
        v = best_values or {}
        self.notes.append(
            f"{label}, where a remembered run goes (best listing of {self.rounds}): manifest "
            f"request and parsing {v.get('manifest', 0):.3f} s, listing the folders "
            f"{v.get('listing_only', 0):.3f} s alone and {v.get('listing', 0):.3f} s with "
            f"the record's read ({v.get('remembered', 0):.0f} of "
            f"{v.get('entries', 0):.0f} files vouched for), comparing the record (unchanged, "
            f"not written) {v.get('saving', 0):.3f} s.")

    def request_times(self, mark):
        """(path, when it was asked for) of every request logged after mark (nginx only)."""
        out = []
        with open(self.server.access_log, "rb") as f:
            f.seek(mark)
            for line in f:
                parts = line.decode("utf-8", "replace").split()
                if len(parts) >= 7:
                    out.append((parts[0].split("?")[0], float(parts[5]) - float(parts[6])))
        return out

    def scenario(self, key):
        count, size, folders = self.sizes[key]
        label = self.label(key)
        game = os.path.join(self.work, "remember_" + key)
        log(f"remembered verification, {label}: writing the files")
        entries = make_files(game, count, size, folders)
        # A file changed within the record's settling time of its listing is not remembered:
        # the scenario is a game left alone since it was installed.
        time.sleep(0.5)
        write(os.path.join(self.www, "bench", key + ".json"), manifest_json(entries))
        if key == "small":
            # What a changed file is fetched from.
            served = os.path.join(self.www, "update")
            shutil.rmtree(served, ignore_errors=True)
            shutil.copytree(game, served)
        url = f"{self.base}/bench/{key}.json"
        listing = self.list_file(entries, key)
        workers, _ = self.counts(count)
        hashing = ["md5"] if key == "big" else []
        # The first run of the option's build proves every file and writes the record.
        self.run_build(game, "bench_run_remember.exe", url)
        self.check(os.path.exists(os.path.join(game, "Log", "verified_files.rec")),
                   f"{label}: no record after the first run")

        times = {"default": [], "remembered": [], "floor": []}
        for _ in range(self.rounds):
            for name, exe in BUILDS:
                mark = self.server.mark()
                times[name].append(self.run_build(game, exe, url)["seconds"])
                fetched = [p for p in self.server.paths_since(mark) if p.startswith("/update/")]
                self.check(not fetched, f"{label}, {name}: fetched {len(fetched)} valid files")
            seconds, files = self.floor_run(
                "floor_read.exe", [self.wine.path(listing), self.wine.path(game), str(workers)], label,
                hashing)
            if seconds is not None and self.check(files == count, f"{label}: floor read {files}"):
                times["floor"].append(seconds)
        self.phases(game, url, label)
        floor = best(times["floor"])
        floor_how = f"open/read/{'MD5 (CNG)/' if hashing else ''}close, {workers} threads"
        for name, _ in BUILDS:
            self.rows.append(Row(
                f"Light run {label}, {name}", count, count * size,
                launcher=best(times[name]), launcher_how=f"{name} build",
                floor=floor, floor_how=floor_how,
                target=("floor", TARGETS[key]) if name == "remembered" else None))
        if key == "small":
            self.changed(game, entries, url, floor, floor_how)
        if not self.args.keep:
            shutil.rmtree(game, ignore_errors=True)

    def changed(self, game, entries, url, floor, floor_how):
        label = self.label("small")
        times = {"default": [], "remembered": []}
        for r in range(self.rounds):
            for name, exe in BUILDS:
                rel = entries[(len(entries) // 2 + 7 * r + len(times[name])) % len(entries)][0]
                change_keeping_times(os.path.join(game, rel))
                mark = self.server.mark()
                values = self.run_build(game, exe, url)
                with open(os.path.join(game, rel), "rb") as f:
                    self.check(hashlib.md5(f.read()).hexdigest() == dict(
                        (p, h) for p, h, _ in entries)[rel], f"{name}: {rel} was not put right")
                if not isinstance(self.server, benchlib.Nginx):
                    continue
                asked = [t for p, t in self.request_times(mark) if p == "/update/" + rel]
                if self.check(len(asked) == 1, f"{name}: the changed file was asked for "
                              f"{len(asked)} times"):
                    times[name].append(asked[0] - float(values["started"]))
        for name, _ in BUILDS:
            self.rows.append(Row(
                f"One of {label} changed, times put back: to its request, {name}", None, None,
                launcher=best(times[name]), launcher_how=f"{name} build",
                floor=floor, floor_how=floor_how,
                target=("floor", TARGETS["changed"]) if name == "remembered" else None))

    def run(self):
        try:
            self.scenario("small")
            self.scenario("big")
            how = "best" if self.rounds > 1 else "one run"
            log("\n".join(
                ["", f"Remembered verification{' (smoke sizes)' if self.smoke else ''}: "
                 f"nproc {self.nproc}, {how} of {self.rounds}", ""] +
                render(self.rows, judged=not self.smoke) + self.notes))
        finally:
            self.server.stop()
            if not self.args.keep:
                shutil.rmtree(self.work, ignore_errors=True)
        return self.exit_status()


if __name__ == "__main__":
    sys.exit(main(RememberBench, __doc__))
