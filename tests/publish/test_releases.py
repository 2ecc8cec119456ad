#!/usr/bin/env python3
"""Release heads and the release commands on plain folders: what each head names, and what
check and prune make of them."""
import hashlib
import os
import shutil
import sys
import tempfile
import unittest
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
sys.path.insert(0, ROOT)
from zarvo_studio import cli, heads, publish, releases  # noqa: E402

LAUNCHER = "Zarvo Vestra.exe"


def write(root, path, data):
    full = os.path.join(root, *path.split("/"))
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with open(full, "wb") as f:
        f.write(data)


def read(root, path):
    with open(os.path.join(root, *path.split("/")), "rb") as f:
        return f.read()


class Report:
    def __init__(self):
        self.problems, self.lines = [], []

    def ok(self, text):
        self.lines.append(text)

    note = ok

    def problem(self, text):
        self.problems.append(text)


class Releases(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zarvo_releases_test_")
        self.game = os.path.join(self.tmp, "game")
        self.out = os.path.join(self.tmp, "out")

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def release(self, build, channel="live", rollout=100):
        """Publishes build number `build` of a small game and makes it a release of channel."""
        shutil.rmtree(self.game, ignore_errors=True)
        write(self.game, LAUNCHER, b"MZ launcher %d" % build)
        write(self.game, "data/level.pak", bytes(range(256)) * 40 + b"%d" % build)
        write(self.game, "readme.txt", b"build %d" % build)
        with open(os.devnull, "w") as quiet:
            status = publish.main([self.game, self.out, "--light", "*.exe", "--version", str(build),
                                   "--channel", channel, "--rollout", str(rollout)], quiet, quiet)
        self.assertEqual(status, 0)
        return heads.read_head(self.out, channel)

    def check(self):
        report = Report()
        releases.check(self.out, report)
        return report.problems

    def test_rollout_rollback_and_promote_name_the_right_releases(self):
        first = self.release(1)
        self.assertEqual((first["release"], "previous" in first), (1, False))
        # The head names the manifests it was made of, compressed under their SHA-256.
        light = read(self.out, "manifest_light.json")
        self.assertEqual(first["light"], hashlib.sha256(light).hexdigest())
        self.assertEqual(zlib.decompress(read(self.out, heads.manifest_name(first["light"]))), light)
        self.assertEqual(heads.read_head(self.out, "live")["launcher"],
                         hashlib.sha256(b"MZ launcher 1").hexdigest())

        second = self.release(2, rollout=10)
        self.assertEqual((second["release"], second["rollout"], second["previous"]), (2, 10, 1))
        self.assertEqual(heads.release_fields(second, previous=True), heads.release_fields(first))
        # A third build during the rollout leaves the others on release 1, not on 2.
        third = self.release(3, rollout=10)
        self.assertEqual((third["release"], third["previous"]), (3, 1))

        raised = releases.set_rollout(self.out, "live", 50)
        self.assertEqual((raised["release"], raised["rollout"], raised["previous"]), (3, 50, 1))
        with self.assertRaises(releases.ReleaseError):
            releases.set_rollout(self.out, "live", 20)  # installs would switch back
        # Halting the rollout: everyone back on release 1, under a higher number.
        _, back = releases.rollback(self.out, "live")
        self.assertEqual((back["release"], "previous" in back), (4, False))
        self.assertEqual(heads.release_fields(back), heads.release_fields(first))
        self.assertEqual(releases.read_records(self.out, "live")[-1]["source"], "1")

        live_full, readme = read(self.out, "manifest_full.json"), read(self.out, "update/readme.txt")
        beta = self.release(5, channel="beta")
        self.assertEqual(beta["release"], 1)
        # A beta publish leaves what live's classic documents name as it was.
        self.assertEqual(read(self.out, "manifest_full.json"), live_full)
        self.assertEqual(read(self.out, "update/readme.txt"), readme)
        _, live = releases.promote(self.out, "beta", "live", rollout=25)
        self.assertEqual((live["release"], live["rollout"], live["previous"]), (5, 25, 4))
        self.assertEqual(heads.release_fields(live)["full"], beta["full"])
        done = releases.set_rollout(self.out, "live", 100)
        self.assertEqual(set(done) & {"rollout", "previous", "prev_light"}, set())
        self.assertEqual(self.check(), [])
        # Records say what each number was.
        actions = [(r["release"], r["action"], r["source"]) for r in releases.history(self.out)["live"]]
        self.assertEqual(actions, [(1, "publish", ""), (2, "publish", ""), (3, "publish", ""),
                                   (4, "rollback", "1"), (5, "promote", "beta/1")])

    def test_check_finds_a_head_whose_manifest_is_missing_or_other(self):
        head = self.release(1)
        self.release(2, rollout=10)
        self.assertEqual(self.check(), [])
        name = heads.manifest_path(self.out, head["full"])
        os.rename(name, name + b".away")
        self.assertTrue(any("missing" in p and "release 1" in p for p in self.check()), self.check())
        with open(os.devnull, "w") as quiet:  # and so does the command, with its status
            self.assertEqual(cli.main(["check", self.out], quiet, quiet), 1)
        # Bytes of another manifest under the name: the digest gives it away.
        write(self.out, heads.manifest_name(head["full"]), zlib.compress(b'{"files": []}\n'))
        self.assertTrue(any("SHA-256" in p or "bytes" in p for p in self.check()), self.check())
        os.replace(name + b".away", name)
        self.assertEqual(self.check(), [])
        # An object one of its rows names.
        rows = releases.release_rows(self.out, heads.release_fields(head))[0]["full"]
        pak = next(r for r in rows if r["path"] == "data/level.pak")
        os.unlink(os.path.join(self.out, "objects", pak["hash"]))
        self.assertTrue(any(pak["hash"] in p for p in self.check()))
        # And a rollback to it is refused rather than naming what cannot be served.
        with self.assertRaises(releases.ReleaseError):
            releases.rollback(self.out, "live")

    def test_prune_keeps_what_the_heads_and_last_releases_need(self):
        first = self.release(1)
        for build in range(2, 6):
            self.release(build)
        releases.promote(self.out, "live", "beta", number=1)
        needed = releases.needed_objects(self.out, keep=2)
        kept = {n for _, n, _ in releases.kept_releases(self.out, keep=2)}
        self.assertEqual(kept, {5, 4, 1})  # live's last two, and beta's head naming release 1
        self.assertIn(f"{first['light']}.zman", needed)
        rows = releases.release_rows(self.out, heads.release_fields(first))[0]["full"]
        self.assertTrue({r["hash"] for r in rows} <= needed)
        second = releases.read_records(self.out, "live")[1]
        self.assertNotIn(f"{second['full']}.zman", needed)


if __name__ == "__main__":
    unittest.main()
