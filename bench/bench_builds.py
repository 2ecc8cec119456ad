#!/usr/bin/env python3
"""bench.py's verify and download scenarios with several builds of bench_run.exe, side by side.

    bench_builds.py --build-dir B --env-dir E --port P --programs A.exe,B.exe,...
                    [--keys verify_big,verify_small,download_big,download_small] [--rounds R]

Each program is a bench_run.exe of another commit, copied into B beside the build's own (for
example from a `git archive` of that commit built with the test preset and the same base
address). Every round runs each program in turn on the same files, then the floor, so a
machine whose load drifts shifts them alike. Prints per scenario and program the best time,
every round's time, launcher / floor, and the processor time of the launcher's process and of
the environment's wine server, which other programs' load moves far less than the clock.
"""
import argparse
import collections
import glob
import os
import resource
import shutil
import sys

from bench import Bench, BenchError, FULL_SIZES, log
from benchlib import make_files, manifest_json, write, wrong_files


def wineserver_seconds(prefix):
    """Processor time so far of the wine server of the prefix (0 when none is found)."""
    for folder in glob.glob("/proc/[0-9]*"):
        try:
            with open(folder + "/comm") as f:
                if not f.read().startswith("wineserver"):
                    continue
            with open(folder + "/environ", "rb") as f:
                if f"WINEPREFIX={prefix}".encode() not in f.read().split(b"\0"):
                    continue
            with open(folder + "/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        except OSError:
            continue
    return 0.0


class Builds(Bench):
    def timed_run(self, program, game, url, mode):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        server = wineserver_seconds(self.wine.env["WINEPREFIX"])
        values = self.launcher_run(game, url, mode, program)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
        self.cpu[program].append(
            (cpu, wineserver_seconds(self.wine.env["WINEPREFIX"]) - server))
        self.check(values.get("status") == "Archivos OK!",
                   f"{program}: the run ended with '{values.get('status')}'")
        return values["seconds"]

    def scenario(self, key, programs):
        count, size = self.sizes[key]
        url = f"{self.base}/bench/{key}.json"
        verify_workers, download_workers = self.counts(count)
        times = collections.defaultdict(list)
        self.cpu = collections.defaultdict(list)
        if key.startswith("verify"):
            game = os.path.join(self.work, key)
            entries = make_files(game, "v", count, size)
            write(os.path.join(self.www, "bench", key + ".json"), manifest_json(entries))
            listing = self.list_file(entries, key)
            hashing = ["md5"] if key == "verify_big" else []
            for _ in range(self.rounds):
                for program in programs:
                    times[program].append(self.timed_run(program, game, url, "LIGHT"))
                seconds, _ = self.floor_run(
                    "floor_read.exe",
                    [self.wine.path(listing), self.wine.path(game), str(verify_workers)], key,
                    hashing)
                times["floor"].append(seconds)
            shutil.rmtree(game, ignore_errors=True)
        else:
            shutil.rmtree(os.path.join(self.www, "update"), ignore_errors=True)
            entries = self.publish(key)
            listing = self.list_file(entries, key)
            game, floor = (os.path.join(self.work, key + end) for end in ("_l", "_f"))
            for r in range(self.rounds):
                for program in programs:
                    shutil.rmtree(game, ignore_errors=True)
                    os.makedirs(game)
                    times[program].append(self.timed_run(program, game, url, "FULL"))
                    if r == 0:
                        self.check(not wrong_files(game, entries), f"{program} left wrong files")
                shutil.rmtree(floor, ignore_errors=True)
                for rel, _, _ in entries:
                    os.makedirs(os.path.dirname(os.path.join(floor, rel)), exist_ok=True)
                seconds, _ = self.floor_run(
                    "floor_http.exe", [self.wine.path(listing), f"{self.base}/update",
                                       self.wine.path(floor), str(download_workers)], key)
                times["floor"].append(seconds)
            shutil.rmtree(game, ignore_errors=True)
            shutil.rmtree(floor, ignore_errors=True)
        rounds = [t for t in times["floor"] if t is not None]
        best_floor = min(rounds) if rounds else None
        log(f"{self.label(key)} (floor {best_floor:.2f} s)" if best_floor else self.label(key))
        for program in programs:
            best = min(times[program])
            ratio = f", {best / best_floor:.2f} x the floor" if best_floor else ""
            cpu = self.cpu[program]
            log(f"  {program}: {best:.2f} s{ratio} (" +
                ", ".join(f"{t:.2f}" for t in times[program]) +
                f"); processor {min(c for c, _ in cpu):.2f} s, wine server "
                f"{min(s for _, s in cpu):.2f} s")

    def compare(self, keys, programs):
        try:
            for key in keys:
                self.scenario(key, programs)
        finally:
            self.server.stop()
            if not self.args.keep:
                shutil.rmtree(self.work, ignore_errors=True)
        return self.exit_status()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--env-dir", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--programs", required=True,
                        help="bench_run builds in the build folder, comma separated")
    parser.add_argument("--keys", default=",".join(FULL_SIZES))
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    args.server = "nginx"
    try:
        return Builds(args).compare(args.keys.split(","), args.programs.split(","))
    except BenchError as e:
        log(f"bench_builds: {e}")
        return 1


if __name__ == "__main__":
    sys.exit(main())
