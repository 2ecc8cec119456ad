#!/usr/bin/env python3
"""The subcommands beside publish, check and upload: diff, history and keys, through the
command line with --json, as a CI job reads them."""
import json
import os
import random
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, (ROOT, os.environ.get("PYTHONPATH")))))


def studio(*args):
    """(exit status, the --json document, standard error)."""
    done = subprocess.run([sys.executable, "-m", "zarvo_studio", *args, "--json"], env=ENV,
                          capture_output=True, text=True, timeout=100)
    return done.returncode, json.loads(done.stdout), done.stderr


def write(root, rel, data):
    path = os.path.join(root, *rel.split("/"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


class Commands(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zarvo_commands_")
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)
        self.game, self.out = os.path.join(self.tmp, "game"), os.path.join(self.tmp, "out")
        rng = random.Random(39)
        self.big = bytearray(rng.randbytes(3 << 20))
        write(self.game, "Zarvo Vestra.exe", b"MZ launcher")
        write(self.game, "data/big.pak", self.big)
        write(self.game, "data/old/sound.ogg", rng.randbytes(200000))
        write(self.game, "config/a.cfg", b"volume=1\n" * 100)
        write(self.game, "gone.txt", b"removed later")
        self.assertEqual(studio("publish", self.game, self.out)[0], 0)

    def test_diff_says_what_players_on_the_release_download(self):
        self.big[1 << 20:(1 << 20) + 100] = b"x" * 100  # one place in the archive
        write(self.game, "data/big.pak", self.big)
        os.rename(os.path.join(self.game, "data", "old"), os.path.join(self.game, "data", "new"))
        write(self.game, "config/a.cfg", b"volume=2\n" * 100)
        write(self.game, "config/b.cfg", b"new file")
        os.unlink(os.path.join(self.game, "gone.txt"))
        code, doc, err = studio("diff", self.out, self.game)
        self.assertEqual(code, 0, err)
        self.assertEqual(doc["counts"], {"added": 1, "changed": 2, "removed": 1, "moved": 1})
        files = {f["path"]: f for f in doc["files"]}
        self.assertEqual(files["data/new/sound.ogg"], {"path": "data/new/sound.ogg", "change": "moved",
                                                       "from": "data/old/sound.ogg",
                                                       "download": "moved", "bytes": 0})
        self.assertEqual(files["data/big.pak"]["download"], "patch")
        self.assertLess(files["data/big.pak"]["bytes"], 100 << 10)  # a block or two and the index
        self.assertEqual(files["config/a.cfg"]["download"], "bundle")
        self.assertEqual(files["gone.txt"]["change"], "removed")
        self.assertEqual(studio("diff", self.out, self.out)[0], 3)  # nothing differs

    @unittest.skipUnless(os.environ.get("ZARVO_DELTA"), "needs the host delta encoder (ZARVO_DELTA)")
    def test_diff_sums_what_players_on_each_earlier_release_download(self):
        for at in (1 << 20, 2 << 20):  # releases 2 and 3, one place of the archive each
            previous = os.path.join(self.tmp, f"before{at}")
            shutil.copytree(self.out, previous, symlinks=True)
            self.big[at:at + 100] = bytes(range(100))
            write(self.game, "data/big.pak", self.big)
            self.assertEqual(studio("publish", self.game, self.out)[0], 0)
        code, doc, err = studio("diff", previous, self.out)
        self.assertEqual(code, 0, err)
        # OLD is release 2 (its head); release 1 is the one before it, with a delta of its own.
        earlier = doc["downloads"]["from_releases"]
        self.assertEqual([r["release"] for r in earlier], [1])
        self.assertEqual(list(earlier[0]["by_kind"]), ["delta"])
        self.assertLess(earlier[0]["bytes"], 10 << 10)
        self.assertEqual(list(doc["downloads"]["from_old"]["by_kind"]), ["delta"])
        self.assertEqual(studio("diff", previous, self.out, "--releases", "0")[1]
                         ["downloads"]["from_releases"], [])

    def test_history_lists_each_publish(self):
        write(self.game, "config/a.cfg", b"volume=3\n")
        self.assertEqual(studio("publish", self.game, self.out)[0], 0)
        code, doc, _ = studio("history", self.out)
        self.assertEqual(code, 0)
        releases = doc["releases"]
        self.assertEqual([r["release"] for r in releases], [1, 2])
        self.assertEqual((releases[1]["changed"], releases[1]["added"], releases[1]["files"]), (1, 0, 5))
        self.assertEqual(studio("history", self.game)[0], 3)  # no history there

    def test_keys_sign_a_publication(self):
        key, public = os.path.join(self.tmp, "k.pem"), os.path.join(self.tmp, "keys.pub.pem")
        code, made, err = studio("keys", "new", key, public)
        self.assertEqual(code, 0, err)
        self.assertEqual(stat.S_IMODE(os.stat(key).st_mode), 0o600)
        self.assertEqual(studio("keys", "new", key, public)[0], 1)  # never replaced
        self.assertEqual(studio("keys", "show", public)[1]["keys"], [made["key_id"]])
        self.assertEqual(studio("publish", self.game, self.out, "--sign", key)[0], 0)
        with open(os.path.join(self.out, "manifest_full.json")) as f:
            self.assertIn(f'"key": "{made["key_id"]}"', f.readline())


if __name__ == "__main__":
    unittest.main()
