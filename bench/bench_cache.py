#!/usr/bin/env python3
"""Cacheable content and servers without several ranges: what the origin pays behind a caching
proxy, and what a patch costs from a server that answers only single ranges.

    bench_cache.py --build-dir B --env-dir E --port P [--smoke] [--keep]

B is a test build whose update base address is https://localhost:P, E a test environment
brought up by tests/harness/testenv.sh (Wine prefix with the test CA) on other ports.

  cache   the bench's sample game (bench_packed.py's, about 300 MiB, --smoke about 30 MiB),
          published by zarvo-studio publish with its objects beside the classic folders,
          served by nginx on P + 5 (the origin, plain HTTP on P + 6), behind nginx on P as a
          caching proxy with the key most CDNs use (the whole address, query included) and
          slices of 1 MiB. Three players install the game one after the other into empty
          folders with bench_run_cacheable.exe (LAUNCHER_CACHEABLE_CONTENT); for context, as
          many with bench_run.exe (the default build, a "nocache=" value on every address).
          The origin's bytes are its access log's (request and answer, headers included).
  ranges  an archive of 256 MiB (--smoke 16 MiB), 1 MiB of it changed in 16 places, patched by
          bench_run.exe from the old copy; served by nginx on P as it comes, then with
          max_ranges 1 (a request for several ranges gets 200 and the whole file, as S3 and
          most CDNs answer it). Bytes from nginx's access log, the aborted answer's included.

Targets: origin bytes of three cacheable installs <= 1.05x one install's; the patch from the
server without several ranges <= 1.1x its bytes from nginx.
"""
import hashlib
import json
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from benchlib import (NGINX_CONF, BenchError, Checks, Nginx, Wine, bench_main, file_md5,  # noqa: E402
                      read_result, wait_port)
from bench_packed import make_game  # noqa: E402

from benchlib import STUDIO  # noqa: E402
ARCHIVE = "data/archive.pak"
MIB = 1 << 20

EDGE_CONF = """\
daemon off;
master_process on;
worker_processes 2;
pid {work}/nginx.pid;
error_log {work}/error.log warn;
{user}
events {{ worker_connections 4096; }}

http {{
    log_format edge '$request_uri $status $upstream_cache_status $bytes_sent';
    access_log {work}/access.log edge;
    client_body_temp_path {work}/tmp/body;
    proxy_temp_path {work}/tmp/proxy;
    fastcgi_temp_path {work}/tmp/fastcgi;
    uwsgi_temp_path {work}/tmp/uwsgi;
    scgi_temp_path {work}/tmp/scgi;
    proxy_cache_path {work}/cache levels=1:2 keys_zone=edge:32m max_size=8g inactive=1d
                     use_temp_path=off;
    upstream origin {{
        server 127.0.0.1:{origin};
        keepalive 32;
    }}
    server {{
        listen 127.0.0.1:{port} ssl;
        server_name localhost;
        ssl_certificate {certdir}/server.pem;
        ssl_certificate_key {certdir}/server.key;
        ssl_protocols TLSv1.2 TLSv1.3;
        keepalive_requests 100000;
        location / {{
            slice 1m;
            proxy_cache edge;
            proxy_cache_key $scheme$proxy_host$request_uri$slice_range;
            proxy_set_header Range $slice_range;
            proxy_cache_valid 200 206 1h;
            proxy_cache_lock on;
            proxy_http_version 1.1;
            proxy_set_header Connection "";
            proxy_pass http://origin;
        }}
    }}
}}
"""


def log(text):
    print(text, flush=True)


def add_objects(www):
    """The cacheable layout beside the classic folders, as the publisher writes it: hard links
    objects/<md5>, <md5>-<zsize>.gz and <md5>.zbi to the rows' files (existing ones kept)."""
    objects = os.path.join(www, "objects")
    os.makedirs(objects, exist_ok=True)
    for manifest in ("manifest_full.json", "manifest_light.json"):
        path = os.path.join(www, manifest)
        if not os.path.exists(path):
            continue
        with open(path, encoding="utf-8") as f:
            rows = json.load(f)["files"]
        for row in rows:
            md5, rel = row["hash"].lower(), row["path"]
            named = [(md5, os.path.join(www, "update", rel))]
            if row.get("zsize"):
                named.append((f"{md5}-{int(row['zsize'])}.gz", os.path.join(www, "packed", rel)))
            named.append((f"{md5}.zbi", os.path.join(www, "blocks", rel + ".zbi")))
            for name, source in named:
                target = os.path.join(objects, name)
                if os.path.exists(source) and not os.path.exists(target):
                    os.link(source, target)


class Edge:
    """nginx as a caching proxy on port, in front of the origin's plain HTTP port."""

    def __init__(self, work, port, origin, certdir):
        self.work = work
        os.makedirs(os.path.join(work, "tmp"), exist_ok=True)
        user = "user root;" if os.geteuid() == 0 else ""
        conf = os.path.join(work, "nginx.conf")
        with open(conf, "w") as f:
            f.write(EDGE_CONF.format(work=work, port=port, origin=origin, certdir=certdir,
                                     user=user))
        if wait_port(port, 0.2):
            raise BenchError(f"port {port} is already taken; pick another with --port")
        with open(os.path.join(work, "nginx.out"), "ab") as err:
            self.proc = subprocess.Popen(["nginx", "-p", work, "-e", os.path.join(work, "error.log"),
                                          "-c", conf],
                                         stdin=subprocess.DEVNULL, stdout=err, stderr=err,
                                         start_new_session=True)
        if not wait_port(port):
            self.stop()
            raise BenchError("the edge did not start; see " + os.path.join(work, "error.log"))

    stop = Nginx.stop

    def statuses(self):
        counts = {}
        with open(os.path.join(self.work, "access.log")) as f:
            for line in f:
                parts = line.split()
                if len(parts) >= 3:
                    counts[parts[2]] = counts.get(parts[2], 0) + 1
        return counts


class CacheBench(Checks):
    def __init__(self, args):
        super().__init__()
        self.args = args
        self.build = os.path.abspath(args.build_dir)
        self.work = os.path.join(self.build, "benchwork-cache")
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.wine = Wine(os.path.abspath(args.env_dir), self.work)
        self.certdir = os.path.join(os.path.abspath(args.env_dir), "certs")
        self.port = args.port

    def install(self, exe_name, game_files, label):
        """One install into an empty folder; True when every file is right."""
        game = os.path.join(self.work, "player")
        shutil.rmtree(game, ignore_errors=True)
        os.makedirs(game)
        shutil.copy(os.path.join(self.build, exe_name), game)
        result = os.path.join(self.work, "run.txt")
        if os.path.exists(result):
            os.remove(result)
        code = self.wine.run(os.path.join(game, exe_name),
                             ["run", f"https://localhost:{self.port}/manifest_full.json", "FULL",
                              self.wine.path(result)], game, timeout=1800)
        values = read_result(result)
        wrong = [p for p, md5 in game_files.items()
                 if file_md5(os.path.join(game, *p.split("/"))) != md5]
        self.check(code == 0 and values.get("status") == "Archivos OK!" and not wrong,
                   f"{label}: ended with '{values.get('status')}', wrong files {wrong[:3]}")
        return float(values.get("seconds", "nan"))

    # ---- three players through the caching proxy ----------------------------------------

    def cache(self):
        source = os.path.join(self.work, "game")
        log("making the sample game")
        make_game(source, self.build, self.args.smoke)
        www = os.path.join(self.work, "www")
        subprocess.run([*STUDIO, "publish", source, www], check=True, stdout=subprocess.DEVNULL)
        add_objects(www)
        files = {}
        for root, _, names in os.walk(source):
            for n in names:
                full = os.path.join(root, n)
                files[os.path.relpath(full, source).replace(os.sep, "/")] = file_md5(full)
        size = sum(os.path.getsize(os.path.join(source, *p.split("/"))) for p in files)
        log(f"sample game: {len(files)} files, {size / MIB:.1f} MiB")
        origin = Nginx(os.path.join(self.work, "origin"), self.port + 5, www, self.certdir,
                       http_port=self.port + 6)
        figures = {}
        try:
            for exe in ("bench_run_cacheable.exe", "bench_run.exe"):
                edge = Edge(os.path.join(self.work, "edge-" + exe[:-4]), self.port,
                            self.port + 6, self.certdir)
                try:
                    per_player = []
                    for player in range(3):
                        mark = origin.mark()
                        seconds = self.install(exe, files, f"{exe} player {player + 1}")
                        per_player.append(origin.http_bytes_since(mark))
                        log(f"  {exe:24} player {player + 1}: origin {per_player[-1] / MIB:8.2f} "
                            f"MiB, {seconds:6.2f} s")
                    log(f"  edge answers: {edge.statuses()}")
                finally:
                    edge.stop()
                figures[exe] = per_player
        finally:
            origin.stop()
        cacheable = figures["bench_run_cacheable.exe"]
        ratio = sum(cacheable) / cacheable[0]
        log(f"cache: three cacheable installs cost the origin {sum(cacheable) / MIB:.2f} MiB, "
            f"{ratio:.3f}x one install's ({cacheable[0] / MIB:.2f} MiB); the default build "
            f"{sum(figures['bench_run.exe']) / MIB:.2f} MiB, "
            f"{sum(figures['bench_run.exe']) / figures['bench_run.exe'][0]:.3f}x")
        if not self.args.smoke:
            self.check(ratio <= 1.05, "three cacheable installs above 1.05x one at the origin")

    # ---- a patch from a server without several ranges -----------------------------------

    def ranges(self):
        size = (16 if self.args.smoke else 256) << 20
        old = os.urandom(size)
        fresh = bytearray(old)
        span = MIB // 16
        for i in range(16):
            at = size // 16 * i + (i * 7919 * 4096) % (size // 32)
            fresh[at:at + span] = os.urandom(span)
        fresh = bytes(fresh)
        source = os.path.join(self.work, "patch_game")
        os.makedirs(os.path.join(source, "data"), exist_ok=True)
        with open(os.path.join(source, "Zarvo Vestra.exe"), "wb") as f:
            f.write(b"MZ stand-in launcher")
        with open(os.path.join(source, ARCHIVE), "wb") as f:
            f.write(fresh)
        www = os.path.join(self.work, "patch_www")
        subprocess.run([*STUDIO, "publish", source, www], check=True, stdout=subprocess.DEVNULL)
        index = os.path.getsize(os.path.join(www, "blocks", ARCHIVE + ".zbi"))
        md5 = hashlib.md5(fresh).hexdigest()
        published = os.path.getmtime(os.path.join(www, "update", ARCHIVE))
        figures = {}
        for label, directive in (("nginx", ""), ("single ranges only", "max_ranges 1;")):
            work = os.path.join(self.work, "ranges-" + label.split()[0])
            server = Nginx.__new__(Nginx)
            conf_text = NGINX_CONF.replace("keepalive_requests 100000;",
                                           "keepalive_requests 100000;\n    " + directive)
            self.start_nginx(server, work, www, conf_text)
            try:
                game = os.path.join(self.work, "patch_player")
                shutil.rmtree(game, ignore_errors=True)
                os.makedirs(os.path.join(game, "data"))
                shutil.copy(os.path.join(self.build, "bench_run.exe"), game)
                copy = os.path.join(game, ARCHIVE)
                with open(copy, "wb") as f:
                    f.write(old)
                os.utime(copy, (published - 86400, published - 86400))
                mark = server.mark()
                result = os.path.join(self.work, "run.txt")
                if os.path.exists(result):
                    os.remove(result)
                code = self.wine.run(os.path.join(game, "bench_run.exe"),
                                     ["run", f"https://localhost:{self.port}/manifest_full.json",
                                      "FULL", self.wine.path(result)], game, timeout=1800)
                values = read_result(result)
                self.check(code == 0 and values.get("status") == "Archivos OK!" and
                           file_md5(copy) == md5, f"{label}: ended with '{values.get('status')}'")
                wire = server.http_bytes_since(mark)
                whole = sum(1 for p in server.paths_since(mark) if p.startswith("/update/"))
                figures[label] = wire
                log(f"  {label:20} {wire / MIB:8.3f} MiB, {whole} requests for the archive, "
                    f"{float(values.get('seconds', 'nan')):6.2f} s")
            finally:
                server.stop()
        ratio = figures["single ranges only"] / figures["nginx"]
        log(f"ranges: 1 MiB changed in 16 places of {size / MIB:.0f} MiB (index {index / 1024:.0f} "
            f"KiB): {figures['single ranges only'] / MIB:.3f} MiB without several ranges, "
            f"{ratio:.3f}x the {figures['nginx'] / MIB:.3f} MiB from nginx")
        if not self.args.smoke:
            self.check(ratio <= 1.1, "the patch without several ranges above 1.1x nginx's")

    def start_nginx(self, server, work, root, conf_text):
        """benchlib's nginx with another configuration text, on the build's port."""
        server.work, server.port = work, self.port
        server.access_log = os.path.join(work, "access.log")
        os.makedirs(os.path.join(work, "tmp"), exist_ok=True)
        conf = os.path.join(work, "nginx.conf")
        with open(conf, "w") as f:
            f.write(conf_text.format(work=work, port=self.port, root=root, certdir=self.certdir,
                                     user="user root;" if os.geteuid() == 0 else "", plain=""))
        if wait_port(self.port, 0.2):
            raise BenchError(f"port {self.port} is already taken; pick another with --port")
        with open(os.path.join(work, "nginx.out"), "ab") as err:
            server.proc = subprocess.Popen(["nginx", "-p", work, "-e",
                                            os.path.join(work, "error.log"), "-c", conf],
                                           stdin=subprocess.DEVNULL, stdout=err, stderr=err,
                                           start_new_session=True)
        if not wait_port(self.port):
            server.stop()
            raise BenchError("nginx did not start; see " + os.path.join(work, "error.log"))

    def run(self):
        try:
            log(f"machine: {os.cpu_count()} cores, load {os.getloadavg()[0]:.2f}")
            if not self.args.only or self.args.only == "ranges":
                self.ranges()
            if not self.args.only or self.args.only == "cache":
                self.cache()
            log(f"load at the end {os.getloadavg()[0]:.2f}")
        finally:
            if not self.args.keep:
                shutil.rmtree(self.work, ignore_errors=True)
        return self.exit_status()


def main():
    return bench_main(CacheBench, __doc__, "bench_cache", 1,
                      (("--only",), {"choices": ["cache", "ranges"],
                                     "help": "run one scenario alone"}))


if __name__ == "__main__":
    sys.exit(main())
