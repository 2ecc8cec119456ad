#!/usr/bin/env python3
"""A fresh install of many small files through the limited link of bench_split.py: the
launcher over bundles (zarvo_studio/bundles.py) against the launcher over the same game
published without them, against aria2c and against the link's own time; and the relay alone.

    bench_bundles.py --build-dir B --env-dir E --port P [--smoke] [--rounds R] [--keep]

B, E and the ports as for bench_split.py (nginx on P + 5, relays on P and P + 7, 20 ms each
way, 40 MB/s for the link, 4 MB/s per connection). The game: 5,000 files of 2 to 14 KiB of
random bytes (--smoke: 500), that is what no compression helps, in 50 folders.

  launcher            bench_run.exe run over manifest_full.json, from the manifest request to
                      "Archivos OK!"
  launcher, classic   the same over a publication made with --no-bundles
  aria2c              aria2c -j16 -x16 -s16 over the same URLs under update/
  floor, loopback     tests/bench/floor_http.exe "placed" on 16 threads straight from nginx:
                      a request per file, its .tmp, MD5, flush and rename, no link between:
                      what the work per file costs under Wine
  link                bytes of the files / 40 MB/s
  nothing changed     a full run over an installed game of 20,000 files of 4 KiB (--smoke:
                      2,000) on loopback, every file current, over the manifest with bundle
                      keys and over the one without: bundles must cost nothing when nothing is
                      fetched
  relay alone         16 curl processes at once, each fetching 4 MiB through the relay: the
                      relay itself must carry the link's rate, or it, not the launcher, is the
                      limit measured
"""
import os
import random
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from benchlib import bench_main, read_result  # noqa: E402
from bench_split import CONN_RATE, DELAY_MS, LINK_RATE, SplitBench, limited_relay, log  # noqa: E402

TARGETS = "launcher <= 0.35 x aria2c and <= 2 x the link's time + 1 s"


class BundleBench(SplitBench):
    def __init__(self, args):
        super().__init__(args)
        self.count = 500 if args.smoke else 5000

    def game_files(self, archive_only=False):
        rng = random.Random(5000)
        return [(f"small/{i // 100:02}/file{i:04}.dat", rng.randint(2 << 10, 14 << 10))
                for i in range(self.count)]

    def relay_alone(self):
        """Seconds for 16 curls of 4 MiB at once through the relay, and the link's time."""
        blob = os.path.join(self.www, "update", "relay-check.bin")
        with open(blob, "wb") as f:
            f.write(os.urandom(4 << 20))
        relay = limited_relay(self.work, self.port, self.port + 5)
        try:
            start = time.perf_counter()
            procs = [subprocess.Popen(["curl", "-s", "-o", os.devnull, "--cacert",
                                       f"{self.certdir}/ca.pem",
                                       f"https://localhost:{self.port}/update/relay-check.bin"])
                     for _ in range(16)]
            codes = [p.wait(timeout=300) for p in procs]
            seconds = time.perf_counter() - start
        finally:
            relay.stop()
            os.remove(blob)
        self.check(codes == [0] * 16, f"relay alone: curl failed {codes}")
        return seconds, 16 * (4 << 20) / LINK_RATE

    def unchanged(self):
        """Seconds of full runs over an installed game, with and without bundle keys: one
        publication, its manifest once as written and once with the bundle keys taken out."""
        count = 2000 if self.args.smoke else 20000
        self.publish([(f"data/{i // 500:02}/f{i:05}.dat", 4096) for i in range(count)])
        with open(os.path.join(self.www, "manifest_full.json"), encoding="utf-8") as f:
            text = f.read()
        plain = re.sub(r', "zbundle": "[0-9a-f]+", "zboffset": \d+, "zblength": \d+', "", text)
        self.check(plain != text and "zbundle" not in plain, "nothing changed: no bundle keys")
        with open(os.path.join(self.www, "manifest_plain.json"), "w", encoding="utf-8") as f:
            f.write(plain)
        game = os.path.join(self.work, "game")
        shutil.rmtree(game, ignore_errors=True)
        shutil.copytree(os.path.join(self.www, "update"), game)
        shutil.copy(os.path.join(self.build, "bench_run.exe"), game)
        self.serve(self.port)
        result = os.path.join(self.work, "run.txt")
        times = {"bundle keys": [], "no keys": []}
        for _ in range(self.rounds):
            for key, name in (("bundle keys", "manifest_full.json"), ("no keys", "manifest_plain.json")):
                if os.path.exists(result):
                    os.remove(result)
                self.wine.run(os.path.join(game, "bench_run.exe"),
                              ["run", f"https://localhost:{self.port}/{name}", "FULL",
                               self.wine.path(result)], game)
                values = read_result(result)
                self.check(values.get("status") == "Archivos OK!",
                           f"nothing changed: the run ended with '{values.get('status')}'")
                with open(os.path.join(self.work, f"nginx-{self.port}", "access.log")) as f:
                    fetched = sum("/update/" in line or "/objects/" in line for line in f)
                self.check(fetched == 0, f"nothing changed: {fetched} files were downloaded")
                times[key].append(float(values.get("seconds", 0)))
        return count, times

    def run(self):
        try:
            files = self.game_files()
            turns = {"launcher": [], "launcher, classic": [], "aria2c": []}
            log("writing the game without bundles")
            self.publish(files, ["--no-bundles"])
            self.serve(self.port + 5)
            turns["launcher, classic"].append(self.launcher("classic", self.build, self.port + 5))
            log("writing the game with bundles")
            self.publish(files)
            self.serve(self.port + 5)
            for _ in range(self.rounds):
                turns["launcher"].append(self.launcher("bundles", self.build, self.port + 5))
                turns["aria2c"].append(self.aria2c("aria2c", self.port + 5))
            floor = self.floor(self.port + 5)
            relay, relay_link = self.relay_alone()
            link = self.bytes / LINK_RATE
            game_bytes = self.bytes
            log("nothing changed")
            light_count, light = self.unchanged()
            best = {who: min(s for s, _ in runs) for who, runs in turns.items()}
            lines = ["", f"A fresh install of {len(files)} files of 2-14 KiB "
                     f"({game_bytes / 2 ** 20:.1f} MiB) through {DELAY_MS} ms each way, "
                     f"{LINK_RATE / 1e6:.0f} MB/s for the link, {CONN_RATE / 1e6:.0f} MB/s per "
                     f"connection; nproc {os.cpu_count()}, load {os.getloadavg()[0]:.2f}",
                     f"Targets: {TARGETS}", ""]
            for who, runs in turns.items():
                cells = "  ".join(f"{s:7.2f} s ({w / 2 ** 20:.1f} MiB on the wire)" for s, w in runs)
                lines.append(f"  {who:18} {cells}")
            lines.append(f"  {'link':18} {link:7.2f} s")
            lines.append(f"  {'floor, loopback':18} {floor:7.2f} s")
            lines.append(f"  {'relay alone':18} {relay:7.2f} s for 16 x 4 MiB, the link's "
                         f"{relay_link:.2f} s")
            for key, runs in light.items():
                lines.append(f"  {'nothing changed':18} {key:11} " +
                             "  ".join(f"{t:6.2f} s" for t in runs) + f" ({light_count} files)")
            lines.append(f"  launcher/aria2c {best['launcher'] / best['aria2c']:.2f}, "
                         f"launcher/link {best['launcher'] / link:.2f}, classic/launcher "
                         f"{best['launcher, classic'] / best['launcher']:.1f}")
            log("\n".join(lines))
            if not self.args.smoke:
                self.check(best["launcher"] <= 0.35 * best["aria2c"],
                           f"{best['launcher']:.2f} s against aria2c's {best['aria2c']:.2f} s")
                self.check(best["launcher"] <= 2 * link + 1,
                           f"{best['launcher']:.2f} s against the link's {link:.2f} s")
        finally:
            self.close()
        return self.exit_status()


def main():
    return bench_main(BundleBench, __doc__, "bench_bundles", 2)


if __name__ == "__main__":
    sys.exit(main())
