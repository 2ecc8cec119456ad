#!/usr/bin/env python3
"""zarvo-studio upload against a real S3 server, read through nginx as a CDN reads a
bucket, and the edge cache example in front of it.

    test_s3.py NODE_DIR WORK PORT

s3_ctl.py's servers run on PORT (s3rver), PORT + 1 (the bucket's prefix "live" read as a CDN
reads it), PORT + 2 (tools/nginx/zarvo-edge.conf in front of that) and PORT + 3 (the
bucket's root read the same way, where each upload test keeps a prefix of its own).
"""
import contextlib
import hashlib
import io
import json
import os
import random
import shutil
import subprocess
import sys
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
# The studio's command from this checkout, for this process and the ones it starts.
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, ROOT)
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, (ROOT, os.environ.get("PYTHONPATH"))))
STUDIO = [sys.executable, "-m", "zarvo_studio"]
sys.path.insert(0, HERE)
import s3_ctl  # noqa: E402
from zarvo_studio import publish as zarvo_publish  # noqa: E402
from zarvo_studio import upload as zarvo_upload  # noqa: E402

LAUNCHER = "Zarvo Vestra.exe"
NODE = WORK = PORT = None
STACK = ROOT = None


def setUpModule():
    global STACK, ROOT
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    os.environ.update(s3_ctl.s3_environment())
    STACK = s3_ctl.Stack(os.path.join(WORK, "servers"), NODE, PORT)
    try:
        ROOT = s3_ctl.Origin(os.path.join(WORK, "servers"), PORT + 3, PORT, prefix="", name="root")
    except BaseException:
        STACK.stop()
        raise


def tearDownModule():
    if ROOT:
        ROOT.stop()
    if STACK:
        STACK.stop()


def md5(data):
    return hashlib.md5(data).hexdigest()


def fetch(port, path, headers=None):
    """(status, headers, body) of a GET on 127.0.0.1:port."""
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", headers=headers or {})
    try:
        with urllib.request.urlopen(request, timeout=30) as answer:
            return answer.status, {k.lower(): v for k, v in answer.headers.items()}, answer.read()
    except urllib.error.HTTPError as e:
        return e.code, {k.lower(): v for k, v in e.headers.items()}, e.read()


def server_state():
    """Every file s3rver keeps (bytes, metadata, dates): what a refused upload must not change."""
    found = {}
    for folder, _, names in os.walk(STACK.s3.directory):
        for n in names:
            full = os.path.join(folder, n)
            with open(full, "rb") as f:
                found[full] = (os.stat(full).st_mtime_ns, md5(f.read()))
    return found


class Release:
    """A game folder and its publication, changed release by release."""

    def __init__(self, root):
        self.game = os.path.join(root, "game")
        self.out = os.path.join(root, "published")
        self.rng = random.Random(28)
        self.put(LAUNCHER, b"MZ" + self.rng.randbytes(3000))
        self.put("data/archive.pak", self.rng.randbytes((1 << 20) + 5000))  # a block index
        self.put("scripts/main.lua", ("local level = 1\n" * 4000).encode())  # a compressed copy
        for i in range(6):
            self.put(f"config/{i}.cfg", f"option{i} = {i}\n".encode())

    def put(self, path, data):
        full = os.path.join(self.game, *path.split("/"))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)

    def remove(self, path):
        os.unlink(os.path.join(self.game, *path.split("/")))

    def publish(self):
        with contextlib.redirect_stdout(io.StringIO()):
            self.status = zarvo_publish.main([self.game, self.out, "--light", "*.exe"])
        assert self.status == 0
        with open(os.path.join(self.out, "manifest_full.json"), "rb") as f:
            self.manifest = f.read()
        return self

    def rows(self):
        return json.loads(self.manifest)["files"]

    def named(self, classic=False):
        """{name under the publication: MD5 of its bytes} for every object the manifests name
        (classic: for the classic files instead)."""
        named = {}

        def digest(*parts):
            with open(os.path.join(self.out, *parts), "rb") as f:
                return md5(f.read())
        for row in self.rows():
            path = row["path"].split("/")
            named[f"update/{row['path']}" if classic else f"objects/{row['hash']}"] = row["hash"]
            if "zsize" in row:
                named[f"packed/{row['path']}" if classic else f"objects/{row['hash']}-{row['zsize']}.gz"] = \
                    digest("packed", *path)
            if row["size"] >= 1 << 20:
                named[f"blocks/{row['path']}.zbi" if classic else f"objects/{row['hash']}.zbi"] = \
                    digest("blocks", *path[:-1], path[-1] + ".zbi")
        return named

    def kept(self, folder):
        """A copy of this release's publication, to upload again later."""
        shutil.copytree(self.out, folder)
        copy = Release.__new__(Release)
        copy.out, copy.manifest = folder, self.manifest
        return copy


class UploadTest(unittest.TestCase):
    def setUp(self):
        self.root = os.path.join(WORK, self.id().rsplit(".", 1)[-1])
        shutil.rmtree(self.root, ignore_errors=True)
        os.makedirs(self.root)
        self.prefix = os.path.basename(self.root)
        self.release = Release(self.root)

    def upload(self, *extra, hook=None, folder=None, destination=None):
        """(exit status, output, errors) of an upload run in this process; hook(request) sees
        every request before it is sent."""
        argv = [folder or self.release.out, destination or f"s3://{s3_ctl.BUCKET}/{self.prefix}",
                "--endpoint-url", STACK.s3.endpoint, "--jobs", "4"] + list(extra)
        client = zarvo_upload.make_client(zarvo_upload.parse_args(argv))
        if hook:
            client.meta.events.register("before-send.s3.*", lambda request, **kw: hook(request))
        out, err = io.StringIO(), io.StringIO()
        status = zarvo_upload.main(argv, out, err, client=client)
        return status, out.getvalue(), err.getvalue()

    def served(self, rel):
        """What the bucket serves under the test's prefix, read as a CDN reads it."""
        return fetch(ROOT.port, f"/{self.prefix}/{urllib.parse.quote(rel)}")

    def assert_serves(self, release, classic=True):
        """The bucket serves release: its manifests, every object they name and (classic) every
        classic file, intact."""
        status, _, body = self.served("manifest_full.json")
        self.assertEqual((status, body), (200, release.manifest))
        expected = dict(release.named(), **(release.named(classic=True) if classic else {}))
        for rel, digest in expected.items():
            status, _, body = self.served(rel)
            self.assertEqual((status, md5(body)), (200, digest), rel)


class Upload(UploadTest):
    def test_a_cut_upload_leaves_the_previous_release_and_a_rerun_completes_it_manifests_last(self):
        r = self.release.publish()
        self.assertEqual(self.upload()[0], 0)
        first = r.kept(os.path.join(self.root, "first"))
        old_manifest = r.manifest
        old_light = self.served("manifest_light.json")[2]
        r.put(LAUNCHER, b"MZ" + r.rng.randbytes(3000))
        r.put("data/archive.pak", r.rng.randbytes((1 << 20) + 7000))
        r.put("scripts/new.lua", ("return 2\n" * 3000).encode())
        r.remove("config/5.cfg")
        r.publish()

        new_lua = {row["path"]: row for row in r.rows()}["scripts/new.lua"]["hash"]
        # One transfer at a time, cut at a file that comes after others of its phase (the
        # classic files replaced in place come after the new ones, the raw file before its index).
        for phase, cut_at in (("objects", f"/objects/{new_lua}"), ("classic files", "/blocks/data/archive.pak.zbi")):
            def fail_midway(request):
                if request.method == "PUT" and request.url.split("?")[0].endswith(cut_at):
                    raise RuntimeError("the connection was cut")

            with self.subTest(cut_in=phase):
                status, out, err = self.upload("--jobs", "1", hook=fail_midway)
                self.assertEqual(status, 4, out + err)
                self.assertIn("players stay on the previous release; upload again", err)
                # Players on the previous release find all of it, the cacheable layout intact.
                status, _, body = self.served("manifest_full.json")
                self.assertEqual(body, old_manifest)
                self.assertEqual(self.served("manifest_light.json")[2], old_light)
                self.assert_serves(first, classic=False)

        # Cut while classic files were replaced in place, the previous release can be put back
        # whole: a classic file written after the live manifest is not taken for current.
        self.assertEqual(md5(self.served("update/data/archive.pak")[2]),
                         {row["path"]: row for row in r.rows()}["data/archive.pak"]["hash"])
        status, out, err = self.upload(folder=first.out)
        self.assertEqual(status, 0, err)
        self.assertIn("copied update/data/archive.pak", out)
        self.assert_serves(first)

        # The rerun: at the moment each manifest is sent, everything it names is stored.
        order = []
        lister = zarvo_upload.make_client(zarvo_upload.parse_args(
            ["x", "s3://x", "--endpoint-url", STACK.s3.endpoint]))

        def watch(request):
            path = request.url.split(f"/{s3_ctl.BUCKET}/{self.prefix}/", 1)[-1].split("?")[0]
            if request.method != "PUT":
                return
            order.append(path)
            if path.startswith("manifest_"):
                stored = {o["Key"] for page in lister.get_paginator("list_objects_v2").paginate(
                    Bucket=s3_ctl.BUCKET, Prefix=f"{self.prefix}/") for o in page.get("Contents", [])}
                missing = [n for n in r.named() if f"{self.prefix}/{n}" not in stored]
                self.assertEqual(missing, [], path)

        status, out, err = self.upload(hook=watch)
        self.assertEqual(status, 0, err)
        self.assertEqual(order[-2:], ["manifest_full.json", "manifest_light.json"])
        self.assertIn("skipped", out)
        self.assert_serves(r)
        self.assertEqual(self.upload()[0], 3)  # nothing to do
        # The one the new release dropped stays for players still on the old manifests.
        self.assertEqual(self.served("update/config/5.cfg")[0], 200)

    def test_a_second_upload_sends_only_new_objects_and_the_manifests_with_debian_boto3(self):
        self.release.publish()
        self.assertEqual(self.upload()[0], 0)
        before = {p: os.stat(p).st_mtime_ns for p in server_state()}
        r = self.release
        old_hash = {row["path"]: row["hash"] for row in r.rows()}
        # What the release drops (the old file's objects, and its bundle) is marked, not written.
        dropped = [old_hash["scripts/main.lua"]] + [row["zbundle"] for row in r.rows()
                                                     if row["path"] == "scripts/main.lua" and "zbundle" in row]
        r.put("scripts/main.lua", ("local level = 2\n" * 4000).encode())
        r.publish()
        new = {row["path"]: row for row in r.rows()}["scripts/main.lua"]
        # From the command line.
        env = s3_ctl.s3_environment()
        run = subprocess.run([*STUDIO, "upload", r.out, f"s3://{s3_ctl.BUCKET}/{self.prefix}", "--endpoint-url",
                              STACK.s3.endpoint], env=env, capture_output=True, text=True, timeout=120)
        self.assertEqual(run.returncode, 0, run.stderr)
        sent = sorted(line.split()[1] for line in run.stdout.splitlines() if line.startswith("sent   "))
        # The small file's bundle is new with it; the light manifest is the same.
        bundle = [f"objects/{new['zbundle']}.zbd"] if "zbundle" in new else []
        self.assertEqual(sent, sorted([f"objects/{new['hash']}", f"objects/{new['hash']}-{new['zsize']}.gz",
                                       "manifest_full.json"] + bundle))
        copied = sorted(line.split()[1] for line in run.stdout.splitlines() if line.startswith("copied "))
        self.assertEqual(copied, ["packed/scripts/main.lua", "update/scripts/main.lua"])
        self.assertRegex(run.stdout, r"skipped \d+ already stored")
        # On the server: what did not change was not written again.
        after = server_state()
        for path, when in before.items():
            if "main.lua" not in path and "manifest_" not in path and not any(d in path for d in dropped):
                self.assertEqual(os.stat(path).st_mtime_ns, when, path)
        self.assertGreater(len(after), len(before))
        self.assert_serves(r)
        # Headers per kind.
        _, headers, _ = self.served(f"objects/{new['hash']}")
        self.assertEqual(headers["cache-control"], "public, max-age=31536000, immutable")
        self.assertEqual(headers["content-type"], "application/octet-stream")
        for rel, kind in (("manifest_light.json", "application/json"),
                          ("update/scripts/main.lua", "application/octet-stream")):
            _, headers, _ = self.served(rel)
            self.assertEqual((headers["cache-control"], headers["content-type"]), ("no-cache", kind), rel)

    def test_prune_deletes_only_what_no_manifest_named_for_the_grace_period(self):
        r = self.release.publish()
        self.assertEqual(self.upload()[0], 0)
        first = r.named()
        r.put("data/archive.pak", r.rng.randbytes((1 << 20) + 9000))
        r.publish()
        self.assertEqual(self.upload()[0], 0)
        stray = f"objects/{md5(b'stray')}"  # named by no manifest, as a cut upload leaves one
        STACK.s3_client = zarvo_upload.make_client(zarvo_upload.parse_args(
            ["x", "s3://x", "--endpoint-url", STACK.s3.endpoint]))
        STACK.s3_client.put_object(Bucket=s3_ctl.BUCKET, Key=f"{self.prefix}/{stray}", Body=b"stray")
        for folder, _, names in os.walk(os.path.join(STACK.s3.directory, s3_ctl.BUCKET, self.prefix)):
            for n in names:  # everything stored a month ago
                os.utime(os.path.join(folder, n), (time.time() - 30 * 86400,) * 2)
        dropped = [n for n in first if n not in r.named()]
        self.assertEqual(len(dropped), 2)  # the archive's raw bytes and its index

        status, out, _ = self.upload("--prune", "--dry-run")
        self.assertIn(f"would delete: {stray}", out)
        self.assertEqual(self.served(stray)[0], 200)
        status, out, _ = self.upload("--prune")
        self.assertEqual(status, 0)
        self.assertIn("pruned 1 files", out)
        self.assertEqual(self.served(stray)[0], 404)
        for rel in dropped:  # dropped by the last upload: kept for players still using them
            self.assertEqual(self.served(rel)[0], 200, rel)
        self.assert_serves(r)  # what the manifests name stays, however old
        def refuse_deletes(request):
            if request.method == "DELETE":
                raise RuntimeError("deletes are not allowed")

        status, out, err = self.upload("--prune", "--grace-days", "0", hook=refuse_deletes)
        self.assertEqual(status, 5, out + err)  # live, but pruning failed
        self.assertIn("the release is in place", err)
        status, out, _ = self.upload("--prune", "--grace-days", "0")
        self.assertEqual(status, 0)
        for rel in dropped:
            self.assertEqual(self.served(rel)[0], 404, rel)
        self.assert_serves(r)

    def test_bad_input_is_refused_with_a_clear_error_and_changes_nothing(self):
        self.release.publish()
        self.assertEqual(self.upload()[0], 0)
        r = self.release
        r.put("config/0.cfg", b"changed\n")
        r.publish()
        before = server_state()
        broken = os.path.join(self.root, "broken")
        shutil.copytree(r.out, broken)
        victim = os.path.join(broken, "objects", {row["path"]: row for row in r.rows()}["config/0.cfg"]["hash"])
        os.unlink(victim)
        cases = [
            ((), {"destination": f"s3://no-such-bucket/{self.prefix}"}, "the bucket does not exist"),
            ((), {"folder": broken}, "missing (the object of update/config/0.cfg)"),
            ((), {"folder": r.game}, "manifest_full.json: missing"),
        ]
        for extra, where, expected in cases:
            with self.subTest(expected=expected):
                status, out, err = self.upload(*extra, **where)
                self.assertEqual(status, 1, out + err)
                self.assertIn(expected, err)
                self.assertIn("nothing was", err)
        secret = os.environ["AWS_SECRET_ACCESS_KEY"]
        os.environ["AWS_SECRET_ACCESS_KEY"] = "wrong"
        try:
            status, out, err = self.upload()
        finally:
            os.environ["AWS_SECRET_ACCESS_KEY"] = secret
        self.assertEqual(status, 1)
        self.assertIn("the storage refused the credentials: SignatureDoesNotMatch", err)
        # A Python without boto3 (-S: no site packages) says what to install, and --json says so.
        run = subprocess.run([sys.executable, "-S", "-m", "zarvo_studio", "upload", "--json",
                              r.out, f"s3://{s3_ctl.BUCKET}/{self.prefix}", "--endpoint-url", STACK.s3.endpoint],
                             env=s3_ctl.s3_environment(), capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 6, run.stderr)
        self.assertIn("apt-get install python3-boto3", run.stderr)
        self.assertEqual(json.loads(run.stdout)["status"], 6)
        self.assertEqual(server_state(), before)


class EdgeCache(unittest.TestCase):
    def test_objects_come_from_the_cache_the_second_time_and_manifests_never(self):
        root = os.path.join(WORK, "edge")
        release = Release(root)
        big = release.rng.randbytes(zarvo_upload.PART + 1000)  # sent in parts
        release.put("data/big.pak", big)
        release.publish()
        argv = [release.out, f"s3://{s3_ctl.BUCKET}/{s3_ctl.PREFIX}", "--endpoint-url", STACK.s3.endpoint]
        client = zarvo_upload.make_client(zarvo_upload.parse_args(argv))
        parts = []
        client.meta.events.register("before-send.s3.UploadPart", lambda request, **kw: parts.append(request.url))
        out, err = io.StringIO(), io.StringIO()
        status = zarvo_upload.main(argv, out, err, client=client)
        self.assertEqual(status, 0, err.getvalue())
        self.assertEqual(len(parts), 2)
        self.assertEqual(fetch(STACK.edge.port, f"/objects/{md5(big)}")[2], big)
        edge, origin = STACK.edge, STACK.origin
        pak = {r["path"]: r for r in release.rows()}["data/archive.pak"]
        with open(os.path.join(release.out, "update", "data", "archive.pak"), "rb") as f:
            data = f.read()
        where = f"/objects/{pak['hash']}"

        mark = origin.log_mark()
        first = fetch(edge.port, where)
        second = fetch(edge.port, where)
        piece = fetch(edge.port, where, {"Range": "bytes=1048000-1049999"})
        self.assertEqual([first[1]["x-cache"], second[1]["x-cache"], piece[1]["x-cache"]], ["MISS", "HIT", "HIT"])
        self.assertEqual((first[2], second[2], piece[0], piece[2]), (data, data, 206, data[1048000:1050000]))
        # The origin gave each 1 MiB slice once.
        self.assertEqual(sorted(e["range"] for e in origin.log_since(mark) if e["uri"] == where),
                         ["bytes=0-1048575", "bytes=1048576-2097151"])

        mark = origin.log_mark()
        for n in (1, 2):
            status, headers, body = fetch(edge.port, f"/manifest_full.json?nocache={n}")
            self.assertEqual((status, body), (200, release.manifest))
            self.assertNotEqual(headers.get("x-cache"), "HIT")
        self.assertEqual(len([e for e in origin.log_since(mark) if e["uri"].startswith("/manifest_full.json")]), 2)

        # Several ranges: the whole object with 200 from both, as S3 answers.
        for port in (origin.port, edge.port):
            status, _, body = fetch(port, where, {"Range": "bytes=0-9,2000-2009"})
            self.assertEqual((status, md5(body)), (200, pak["hash"]), port)
        status, _, body = fetch(origin.port, where, {"Range": "bytes=-10"})
        self.assertEqual((status, body), (206, data[-10:]))


if __name__ == "__main__":
    NODE, WORK, PORT = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]), int(sys.argv[3])
    unittest.main(argv=sys.argv[:1])
