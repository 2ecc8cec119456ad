#!/usr/bin/env python3
"""Tests of the studio's binary deltas (zarvo_studio/deltas.py) with the real host encoder
(ZARVO_DELTA): which releases a file gets deltas from, check, prune, and a missing encoder."""
import contextlib
import hashlib
import io
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.abspath(os.path.join(HERE, "..", "..")))
from zarvo_studio import cli  # noqa: E402

LAUNCHER = "Zarvo Vestra.exe"
TOOL = os.environ.get("ZARVO_DELTA", "")


def md5(data):
    return hashlib.md5(data).hexdigest()


def release_bytes(n, size=200_000):
    """Release n of a "rebuilt" file: the same random base, a few spans changed per release."""
    data = bytearray(random.Random(7).randbytes(size))
    rng = random.Random(n)
    for _ in range(n * 3):
        at = rng.randrange(size - 100)
        data[at:at + 40] = rng.randbytes(40)
    return bytes(data)


@unittest.skipUnless(TOOL and os.access(TOOL, os.X_OK), "ZARVO_DELTA names no encoder")
class Deltas(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zarvo_deltas_test_")
        self.game = os.path.join(self.tmp, "game")
        self.out = os.path.join(self.tmp, "out")
        os.makedirs(self.game)
        self.put(LAUNCHER, b"MZ launcher")
        self.put("notes.txt", b"small files get no delta")

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def put(self, name, data):
        with open(os.path.join(self.game, name), "wb") as f:
            f.write(data)

    def publish(self, *args, tool=TOOL):
        stdout, stderr = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(stdout), contextlib.redirect_stderr(stderr):
            status = cli.main(["publish", self.game, self.out, "--delta-tool", tool] + list(args))
        self.assertEqual(status, 0, stderr.getvalue())
        return stdout.getvalue(), stderr.getvalue()

    def rows(self, name="manifest_full.json"):
        with open(os.path.join(self.out, name), encoding="utf-8") as f:
            return {r["path"]: r for r in json.load(f)["files"]}

    def check(self):
        stdout = io.StringIO()
        with contextlib.redirect_stdout(stdout):
            status = cli.main(["check", self.out])
        return status, stdout.getvalue()

    def delta_path(self, old, new):
        return os.path.join(self.out, "objects", f"{old}-{new}.zdelta")

    def test_a_changed_file_gets_deltas_from_the_last_releases_that_rebuild_it_and_pass_check(self):
        versions = [release_bytes(n) for n in range(1, 6)]
        for n, data in enumerate(versions, 1):
            self.put("engine.dll", data)
            self.publish(*(["--deltas", "2"] if n == 3 else []))
            if n == 3:
                self.assertEqual(self.rows()["engine.dll"]["zdeltas"],
                                 f"{md5(versions[1])},{md5(versions[0])}")
        rows = self.rows()
        # The last three releases, newest first; the small file and the unchanged launcher none.
        olds = [md5(v) for v in versions[3::-1][:3]]
        self.assertEqual(rows["engine.dll"]["zdeltas"], ",".join(olds))
        self.assertEqual(self.rows("manifest_light.json")["Zarvo Vestra.exe"].get("zdeltas"), None)
        self.assertNotIn("zdeltas", rows["notes.txt"])
        new = md5(versions[-1])
        for old in olds:
            path = self.delta_path(old, new)
            self.assertLess(os.path.getsize(path), len(versions[-1]) // 10)
            rebuilt = os.path.join(self.tmp, "rebuilt")
            subprocess.run([TOOL, "apply", os.path.join(self.out, "objects", old), path, rebuilt],
                           check=True, timeout=60)
            with open(rebuilt, "rb") as f:
                self.assertEqual(f.read(), versions[-1])
        status, report = self.check()
        self.assertEqual(status, 0, report)
        self.assertNotIn("none applied", report)

        # A delta that rebuilds other bytes, or is cut short, is a problem of the folder.
        path = self.delta_path(olds[1], new)
        with open(path, "rb") as f:
            good = f.read()
        os.unlink(path)  # objects are hard links: never write into one in place
        with open(path, "wb") as f:
            f.write(good[:len(good) // 2])
        status, report = self.check()
        self.assertEqual(status, 1, report)
        self.assertIn(f"objects/{olds[1]}-{new}.zdelta: does not apply", report)

    def test_prune_keeps_what_the_last_releases_name_and_drops_the_rest(self):
        versions = [release_bytes(n) for n in range(1, 6)]
        for data in versions:
            self.put("engine.dll", data)
            self.publish("--prune", "--grace-days", "0")
        digests = [md5(v) for v in versions]
        objects = set(os.listdir(os.path.join(self.out, "objects")))
        # The record holds releases 3 to 5: the deltas their rows name and their files stay.
        for old, new in ((0, 2), (2, 3), (1, 4), (3, 4)):
            self.assertIn(f"{digests[old]}-{digests[new]}.zdelta", objects)
        for n in (2, 3, 4):
            self.assertIn(digests[n], objects)
        # Release 2's delta from release 1, and the first two files, are no one's any more.
        self.assertNotIn(f"{digests[0]}-{digests[1]}.zdelta", objects)
        self.assertNotIn(digests[0], objects)
        self.assertNotIn(digests[1], objects)
        status, report = self.check()
        self.assertEqual(status, 0, report)

    def test_without_the_encoder_the_release_goes_out_with_a_warning_and_no_deltas(self):
        self.put("engine.dll", release_bytes(1))
        self.publish()
        self.put("engine.dll", release_bytes(2))
        _, err = self.publish(tool=os.path.join(self.tmp, "no-such-encoder"))
        self.assertIn("no deltas: zarvo-delta not found", err)
        self.assertNotIn("zdeltas", self.rows()["engine.dll"])
        # The next release with the encoder still starts from both older versions.
        self.put("engine.dll", release_bytes(3))
        self.publish()
        self.assertEqual(self.rows()["engine.dll"]["zdeltas"],
                         f"{md5(release_bytes(2))},{md5(release_bytes(1))}")


if __name__ == "__main__":
    unittest.main()
