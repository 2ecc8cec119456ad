#!/usr/bin/env python3
"""Tests of zarvo-studio publish: refusals, output format, light selection, publish order."""
import contextlib
import hashlib
import io
import json
import random
import struct
import zlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
# The studio's command from this checkout, for this process and the ones it starts.
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, ROOT)
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, (ROOT, os.environ.get("PYTHONPATH"))))
STUDIO = [sys.executable, "-m", "zarvo_studio"]
sys.path.insert(0, HERE)
import sample_games  # noqa: E402
from zarvo_studio import blockindex as zarvo_blockindex  # noqa: E402
from zarvo_studio import bundles as zarvo_bundles  # noqa: E402
from zarvo_studio import packed as zarvo_packed  # noqa: E402
from zarvo_studio import publish as zarvo_publish  # noqa: E402

LAUNCHER = "Zarvo Vestra.exe"


def write(root, path, data=b"x"):
    full = os.path.join(os.fsencode(root), *os.fsencode(path).split(b"/")) if isinstance(path, str) \
        else os.path.join(os.fsencode(root), path)
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with open(full, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())
    return full


def snapshot(root):
    """Every file and folder under root with its content and change time."""
    found = {}
    if not os.path.exists(root):
        return found
    for folder, dirs, names in os.walk(os.fsencode(root)):
        for name in dirs + names:
            full = os.path.join(folder, name)
            if os.path.isdir(full):
                found[full] = "folder"
                continue
            st = os.lstat(full)
            with open(full, "rb") as f:
                found[full] = (st.st_ino, st.st_mtime_ns, f.read())
    return found


def md5(data):
    return hashlib.md5(data).hexdigest()


class Tool(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zarvo_publish_test_")
        self.game = os.path.join(self.tmp, "game")
        self.out = os.path.join(self.tmp, "out")
        write(self.game, LAUNCHER, b"MZ launcher")

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def run_tool(self, *args, game=None, out=None):
        """(exit status, stdout, stderr) of the tool run in this process."""
        stdout, stderr = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(stdout), contextlib.redirect_stderr(stderr):
            try:
                status = zarvo_publish.main([game or self.game, out or self.out] + list(args))
            except SystemExit as e:  # argparse
                status = e.code
        return status, stdout.getvalue(), stderr.getvalue()

    def manifest(self, name):
        with open(os.path.join(self.out, name), encoding="utf-8") as f:
            return json.load(f)["files"]


class Refusals(Tool):
    BAD_NAMES = [
        ('say "hi".txt', "'\"'"),
        ("back\\slash.txt", "'\\\\'"),
        ("brace{.txt", "'{'"),
        ("brace}.txt", "'}'"),
        ("tab\there.txt", "control character U+0009"),
        ("esc\x1b.txt", "control character U+001B"),
        ("drive:stream", "':'"),
        ("a/. ./b.txt", "'. .'"),
        ("a/.../b.txt", "'...'"),
        ("less<than", "'<'"),
        ("pipe|.txt", "'|'"),
        ("what?.txt", "'?'"),
        ("star*.txt", "'*'"),
        ("hash#.txt", "'#'"),
        ("100%.txt", "'%'"),
        ("trailing.", "trailing dot"),
        ("data/trailing /x.txt", "trailing dot or space"),
        ("CON", "device name"),
        ("sub/nul.txt", "device name"),
        ("Com1.log", "device name"),
        ("Log/inst_done", "keeps for itself"),
        (".zarvo_downloading", "keeps for itself"),
        (LAUNCHER + ".old", "keeps for itself"),
    ]

    def assert_refused(self, bad, reason, out_before):
        status, _, err = self.run_tool()
        self.assertEqual(status, 1)
        self.assertIn(bad, err)
        self.assertIn(reason, err)
        self.assertIn("nothing was written", err)
        self.assertEqual(snapshot(self.out), out_before)

    def test_a_name_the_launcher_would_not_take_as_written_is_refused_and_nothing_is_written(self):
        write(self.game, "data/good.bin", b"good")
        for bad, reason in self.BAD_NAMES:
            with self.subTest(bad=bad):
                full = write(self.game, bad)
                self.assert_refused(bad, reason, {})  # OUT_DIR is not even created
                os.unlink(full)
        # Into an existing publish: it stays exactly as it was.
        self.assertEqual(self.run_tool()[0], 0)
        before = snapshot(self.out)
        for bad, reason in self.BAD_NAMES[:3] + self.BAD_NAMES[-3:]:
            with self.subTest(bad=bad, existing=True):
                full = write(self.game, bad)
                self.assert_refused(bad, reason, before)
                os.unlink(full)

    def test_names_that_clash_on_windows_and_other_whole_folder_problems(self):
        cases = [
            (["Data/a.txt", "data/A.txt"], "only in letter case"),
            (["pak/x.bin", "pak/x.bin.tmp"], "through this name"),
            ([b"bad\xff.bin"], "not valid UTF-8"),
        ]
        for names, reason in cases:
            with self.subTest(names=names):
                fulls = [write(self.game, n) for n in names]
                status, _, err = self.run_tool()
                self.assertEqual(status, 1)
                self.assertIn(reason, err)
                self.assertFalse(os.path.exists(self.out))
                for full in fulls:
                    os.unlink(full)
        os.unlink(os.path.join(self.game, LAUNCHER))
        status, _, err = self.run_tool()
        self.assertEqual(status, 1)
        self.assertIn("the launcher executable is not in GAME_DIR", err)
        write(self.game, "sub/" + LAUNCHER)
        self.assertEqual(self.run_tool("--launcher", "sub/" + LAUNCHER)[0], 1)

    def test_options_and_folders_that_make_no_sense(self):
        for args, text in [
            (["--version", "2147483648"], "signed 32-bit"),
            (["--display-url", 'https://x/"a'], "page address"),
            (["--display-url", "ftp://x/"], "https://"),
            (["--light", "/abs/*"], "relative to GAME_DIR"),
        ]:
            with self.subTest(args=args):
                status, _, err = self.run_tool(*args)
                self.assertEqual(status, 1)
                self.assertIn(text, err)
                self.assertFalse(os.path.exists(self.out))
        status, _, err = self.run_tool(out=os.path.join(self.game, "served"))
        self.assertEqual(status, 1)
        self.assertIn("must not contain each other", err)

    def test_the_reader_checks_agree_with_the_probe_names(self):
        # The probes that readback_test.cpp feeds through the launcher's reader.
        for kind, name in sample_games.PROBES:
            with self.subTest(name=name):
                reason = zarvo_publish.reader_problem(name) or zarvo_publish.windows_problem(name)
                self.assertEqual(reason is None, kind == "exact", reason)
        self.assertIsNotNone(zarvo_publish.windows_problem("a//b"))


class Output(Tool):
    def test_manifests_have_a_fixed_format_sorted_by_path_bytes(self):
        for path, data in [("é.txt", b"e"), ("b/c.txt", b""), ("B.txt", b"BB"), ("a b.txt", b"1")]:
            write(self.game, path, data)
        self.assertEqual(self.run_tool("--light", "b/*", "--version", "4", "--no-bundles")[0], 0)
        rows = [("B.txt", b"BB"), (LAUNCHER, b"MZ launcher"), ("a b.txt", b"1"), ("b/c.txt", b""),
                ("é.txt", b"e")]

        def doc(selected):
            return '{"files": [\n' + ",\n".join(
                f'  {{"path": "{p}", "hash": "{md5(d)}", "size": {len(d)}, "version": 4}}'
                for p, d in selected) + "\n]}\n"

        with open(os.path.join(self.out, "manifest_full.json"), "rb") as f:
            self.assertEqual(f.read(), doc(rows).encode())
        with open(os.path.join(self.out, "manifest_light.json"), "rb") as f:
            self.assertEqual(f.read(), doc([rows[1], rows[3]]).encode())
        self.assertFalse(os.path.exists(os.path.join(self.out, "displayinfo.json")))
        for path, data in rows:
            with open(os.path.join(self.out, "update", *path.split("/")), "rb") as f:
                self.assertEqual(f.read(), data)

    def test_the_same_game_gives_the_same_bytes_whatever_the_order_and_times_on_disk(self):
        names = ["z/1.bin", "a/2.bin", "m/n/3.bin", "Ä.bin", "a.bin"]
        other = os.path.join(self.tmp, "other")
        write(other, LAUNCHER, b"MZ launcher")
        for i, name in enumerate(names):
            write(self.game, name, name.encode())
        for i, name in enumerate(reversed(names)):
            full = write(other, name, name.encode())
            os.utime(full, ns=(10**9 * i, 10**9 * i))
        out2 = os.path.join(self.tmp, "out2")
        self.assertEqual(self.run_tool("--light", "**/*.bin")[0], 0)
        self.assertEqual(self.run_tool("--light", "**/*.bin", game=other, out=out2)[0], 0)
        for doc in ("manifest_full.json", "manifest_light.json"):
            with open(os.path.join(self.out, doc), "rb") as a, open(os.path.join(out2, doc), "rb") as b:
                self.assertEqual(a.read(), b.read())
        paths = [row["path"] for row in self.manifest("manifest_full.json")]
        self.assertEqual(paths, sorted(paths, key=lambda p: p.encode()))

    def test_display_information(self):
        status, _, _ = self.run_tool("--display-url", "https://news.example/launcher?x=1")
        self.assertEqual(status, 0)
        with open(os.path.join(self.out, "displayinfo.json"), "rb") as f:
            self.assertEqual(f.read(), b'{"enabled": 1, "url": "https://news.example/launcher?x=1"}\n')
        self.run_tool("--display-url", "https://news.example/", "--display-disabled")
        with open(os.path.join(self.out, "displayinfo.json"), "rb") as f:
            self.assertEqual(f.read(), b'{"enabled": 0, "url": "https://news.example/"}\n')
        status, out, _ = self.run_tool()  # without either option the document is left alone
        self.assertIn("displayinfo.json left as it is", out)
        with open(os.path.join(self.out, "displayinfo.json"), "rb") as f:
            self.assertIn(b'"enabled": 0', f.read())

    def test_the_command_line_itself(self):
        write(self.game, "data/a.bin", b"a")
        result = subprocess.run([*STUDIO, "publish", "--help"], capture_output=True, text=True,
                                timeout=60)
        self.assertEqual(result.returncode, 0)
        self.assertIn("the name it has", result.stdout.replace("\n", " ").replace("  ", " "))
        result = subprocess.run([*STUDIO, "publish", self.game, self.out, "--light", "data/*"],
                                capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual([r["path"] for r in self.manifest("manifest_light.json")],
                         [LAUNCHER, "data/a.bin"])
        result = subprocess.run([*STUDIO, "publish", self.game], capture_output=True, timeout=60)
        self.assertEqual(result.returncode, 2)


class LightSelection(Tool):
    def test_patterns(self):
        cases = [
            ("*.exe", ["a.exe"], ["d/a.exe", "a.exe.bak"]),
            ("**/*.exe", ["a.exe", "d/a.exe", "d/e/a.exe"], ["a.exe.bak"]),
            ("data/**", ["data/a", "data/b/c"], ["data", "database/a"]),
            ("data/**/*.pak", ["data/a.pak", "data/x/y/a.pak"], ["data/a.pa"]),
            ("?.txt", ["a.txt"], ["ab.txt", "/.txt"]),
            ("[ab]*.txt", ["a1.txt", "b.txt"], ["c.txt"]),
            ("[!ab]*.txt", ["c.txt"], ["a.txt"]),
            ("[]x].txt", ["].txt", "x.txt"], ["y.txt"]),
            ("lit[eral", ["lit[eral"], ["literal"]),
            ("CFG/*.ini", ["CFG/a.ini"], ["cfg/a.ini"]),  # case-sensitive
            ("a+b(c).txt", ["a+b(c).txt"], ["aab(c).txt"]),
        ]
        for pattern, hits, misses in cases:
            rx = zarvo_publish.glob_regex(pattern)
            for path in hits:
                self.assertTrue(rx.match(path), f"{pattern} should match {path}")
            for path in misses:
                self.assertFalse(rx.match(path), f"{pattern} should not match {path}")

    def test_the_launcher_is_always_light_and_an_unused_pattern_warns(self):
        write(self.game, "rovezuzav.exe")
        write(self.game, "config/a.cfg")
        write(self.game, "data/big.pak")
        status, _, err = self.run_tool()
        self.assertEqual(status, 0)
        self.assertEqual([r["path"] for r in self.manifest("manifest_light.json")], [LAUNCHER])
        status, _, err = self.run_tool("--light", "*.exe", "--light", "config/**", "nothere/*")
        self.assertEqual(status, 0)
        self.assertEqual([r["path"] for r in self.manifest("manifest_light.json")],
                         [LAUNCHER, "config/a.cfg", "rovezuzav.exe"])
        self.assertIn("--light nothere/* matches no file", err)
        # Another launcher name: that file is light, the default name is just a file.
        write(self.game, "MyLauncher.exe")
        self.run_tool("--launcher", "MyLauncher.exe")
        self.assertEqual([r["path"] for r in self.manifest("manifest_light.json")],
                         ["MyLauncher.exe"])

    def test_the_options_file_and_the_launchers_own_files_are_never_light(self):
        write(self.game, "a.dat")
        for name, pattern in (("opt.dat", "*.dat"), ("OPT.DAT", "OPT.DAT")):
            write(self.game, name, b"\0" * 200)
            status, _, err = self.run_tool("--light", pattern)
            self.assertEqual(status, 1, name)
            self.assertIn("must not be in the light manifest", err)
            self.assertFalse(os.path.exists(self.out), name)
            os.remove(os.path.join(self.game, name))
        write(self.game, "opt.dat", b"\0" * 200)
        # In the full manifest only: published, with a warning.
        status, _, err = self.run_tool("--light", "a.dat")
        self.assertEqual(status, 0, err)
        self.assertIn("warning: opt.dat: the full manifest lists", err)
        self.assertNotIn("opt.dat", [r["path"] for r in self.manifest("manifest_light.json")])
        # The launcher's state files are refused wherever they would go.
        write(self.game, "Log/lang_set", b"")
        status, _, err = self.run_tool("--light", "Log/*")
        self.assertEqual(status, 1)
        self.assertIn("Log/lang_set: a file the launcher keeps for itself", err)


class PublishOrder(Tool):
    def publish_watched(self, *args):
        """Publishes while checking, at every rename into place, that each manifest about to
        appear names only files already under update/ with the listed content."""
        renames = []
        real = zarvo_publish._replace

        def watched(source, destination):
            name = os.path.basename(os.fsdecode(destination))
            if name.startswith("manifest_"):
                with open(source, encoding="utf-8") as f:
                    for row in json.load(f)["files"]:
                        copy = os.path.join(self.out, "update", *row["path"].split("/"))
                        with open(copy, "rb") as g:  # raises if it is not there yet
                            self.assertEqual(md5(g.read()), row["hash"], row["path"])
                        # The cacheable layout's objects are in place as well.
                        with open(os.path.join(self.out, "objects", row["hash"]), "rb") as g:
                            self.assertEqual(md5(g.read()), row["hash"], row["path"])
                        if "zsize" in row:
                            gz = os.path.join(self.out, "objects", f"{row['hash']}-{row['zsize']}.gz")
                            self.assertEqual(os.path.getsize(gz), row["zsize"], row["path"])
            renames.append(name)
            real(source, destination)

        zarvo_publish._replace = watched
        try:
            result = self.run_tool(*args)
        finally:
            zarvo_publish._replace = real
        return result, renames

    def test_files_go_first_and_the_manifests_last_each_by_rename(self):
        write(self.game, "data/keep.bin", b"keep")
        write(self.game, "data/change.bin", b"old")
        write(self.game, "data/drop.bin", b"drop")
        (status, _, _), renames = self.publish_watched("--light", "data/*", "--no-bundles")
        self.assertEqual(status, 0)
        self.assertEqual(renames[-2:], ["manifest_full.json", "manifest_light.json"])
        self.assertEqual(len(renames), 4 + 2)

        # A republish: one file changed, one added, one gone from the game.
        keep = os.stat(os.path.join(self.out, "update", "data", "keep.bin"))
        write(self.game, "data/change.bin", b"new content")
        write(self.game, "data/new/added.bin", b"added")
        os.unlink(os.path.join(self.game, "data", "drop.bin"))
        (status, out, _), renames = self.publish_watched("--light", "data/**", "--display-url",
                                                         "https://x.example/", "--no-bundles")
        self.assertEqual(status, 0)
        self.assertEqual(sorted(renames[:2]), ["added.bin", "change.bin"])
        self.assertEqual(renames[2:], ["displayinfo.json", "manifest_full.json", "manifest_light.json"])
        after = os.stat(os.path.join(self.out, "update", "data", "keep.bin"))
        self.assertEqual((keep.st_ino, keep.st_mtime_ns), (after.st_ino, after.st_mtime_ns))
        # The file no longer listed stays for launchers still on the previous manifest.
        self.assertTrue(os.path.exists(os.path.join(self.out, "update", "data", "drop.bin")))
        self.assertIn("left 1 file under update/ that no manifest lists any more", out)
        self.assertNotIn("data/drop.bin", [r["path"] for r in self.manifest("manifest_full.json")])
        self.assertEqual([n for n in os.listdir(self.out) if n.endswith(".tmp")], [])

    def test_prune_removes_unlisted_files_only_after_the_manifests_were_replaced(self):
        write(self.game, "old/gone.bin", b"gone")
        self.run_tool("--no-bundles")
        os.unlink(os.path.join(self.game, "old", "gone.bin"))
        write(self.game, "new.bin", b"new")
        real_prune = zarvo_publish.Publisher.prune
        seen = []

        def prune(publisher, stale):
            seen.append([r["path"] for r in self.manifest("manifest_full.json")])
            real_prune(publisher, stale)

        zarvo_publish.Publisher.prune = prune
        try:
            status, out, _ = self.run_tool("--prune", "--no-bundles")
        finally:
            zarvo_publish.Publisher.prune = real_prune
        self.assertEqual(status, 0)
        self.assertEqual(seen, [[LAUNCHER, "new.bin"]])
        self.assertFalse(os.path.exists(os.path.join(self.out, "update", "old")))
        self.assertIn("pruned 1 file no longer listed", out)

    def test_a_failure_while_staging_leaves_the_previous_publish_in_force(self):
        write(self.game, "a.bin", b"a1")
        write(self.game, "b/c.bin", b"c1")
        self.run_tool()
        before = snapshot(self.out)
        write(self.game, "a.bin", b"a2 changed")
        write(self.game, "b/c.bin", b"c2 changed")
        write(self.game, "z/file", b"z")
        os.makedirs(os.path.join(self.out, "update", "z", "file"))  # a folder where a file goes
        status, _, err = self.run_tool()
        self.assertEqual(status, 1)
        self.assertIn("z/file", err)
        self.assertIn("nothing was published", err)
        after = snapshot(self.out)
        for path, state in before.items():
            self.assertEqual(after.get(path), state, path)
        leftovers = [p for p in after if b".tmp" in p]
        self.assertEqual(leftovers, [])

    def test_links_copies_and_dry_runs(self):
        write(self.game, "data/a.bin", b"aaaa")
        status, out, _ = self.run_tool("--dry-run")
        self.assertEqual(status, 0)
        self.assertIn("would write update/data/a.bin (new)", out)
        self.assertFalse(os.path.exists(self.out))

        self.run_tool()
        game_file = os.stat(os.path.join(self.game, "data", "a.bin"))
        copied = os.stat(os.path.join(self.out, "update", "data", "a.bin"))
        self.assertNotEqual(game_file.st_ino, copied.st_ino)
        links = os.path.join(self.tmp, "links")
        self.run_tool("--hardlink", out=links)
        linked = os.stat(os.path.join(links, "update", "data", "a.bin"))
        self.assertEqual(game_file.st_ino, linked.st_ino)  # same file system: a hard link
        # A linked file counts as unchanged without being read again.
        status, out, _ = self.run_tool("--hardlink", out=links)
        self.assertIn("0 new, 0 changed, 2 unchanged", out)

        write(self.game, "data/b.bin", b"b")
        before = snapshot(self.out)
        status, out, _ = self.run_tool("--dry-run", "--prune")
        self.assertIn("would write update/data/b.bin (new)", out)
        self.assertEqual(snapshot(self.out), before)


class BlockIndexes(Tool):
    """blocks/<path>.zbi: one per file of 1 MiB or more, read here by its documented format."""
    publish_watched = PublishOrder.publish_watched

    def read_index(self, path):
        with open(os.path.join(self.out, "blocks", *path.split("/")) + ".zbi", "rb") as f:
            data = f.read()
        magic, fmt, strong, _, block, size, digest = struct.unpack("<4sBBHIQ16s", data[:36])
        self.assertEqual((magic, fmt), (b"ZVBI", 1))
        rows = [(struct.unpack("<I", data[at:at + 4])[0], data[at + 4:at + 4 + strong])
                for at in range(36, len(data), 4 + strong)]
        return block, size, digest.hex(), strong, rows

    def expect_describes(self, path, content):
        block, size, digest, strong, rows = self.read_index(path)
        self.assertEqual((size, digest), (len(content), md5(content)))
        self.assertEqual(len(rows), -(-len(content) // block))
        for i, (weak, strong_sum) in enumerate(rows):
            piece = content[i * block:(i + 1) * block]
            self.assertEqual(weak, zlib.adler32(piece), (path, i))
            self.assertEqual(strong_sum, hashlib.md5(piece).digest()[:strong], (path, i))

    def test_big_files_get_an_index_written_before_the_manifests_and_replaced_with_them(self):
        rng = random.Random(5)
        big = rng.randbytes((1 << 20) + 4321)
        write(self.game, "data/big.pak", big)
        write(self.game, "data/small.bin", rng.randbytes((1 << 20) - 1))
        (status, _, _), renames = self.publish_watched()
        self.assertEqual(status, 0)
        self.expect_describes("data/big.pak", big)
        self.assertEqual(os.listdir(os.path.join(self.out, "blocks", "data")), ["big.pak.zbi"])
        self.assertLess(renames.index("big.pak.zbi"), renames.index("manifest_full.json"))

        # Unchanged content: the index stays as it is. New content: a new index, again first.
        index = os.path.join(self.out, "blocks", "data", "big.pak.zbi")
        before = os.stat(index)
        (status, _, _), renames = self.publish_watched()
        after = os.stat(index)
        self.assertEqual((before.st_ino, before.st_mtime_ns), (after.st_ino, after.st_mtime_ns))
        self.assertNotIn("big.pak.zbi", renames)
        grown = big[:1000] + b"inserted" + big[1000:] + rng.randbytes(70000)
        write(self.game, "data/big.pak", grown)
        (status, out, _), renames = self.publish_watched()
        self.assertEqual(status, 0)
        self.expect_describes("data/big.pak", grown)
        self.assertLess(renames.index("big.pak.zbi"), renames.index("manifest_full.json"))
        self.assertIn("and 1 block index under blocks/", out)

    def test_the_block_size_balances_index_size_against_bytes_fetched_around_changes(self):
        sizes = [zarvo_blockindex.block_size_for(s) for s in (1 << 20, 256 << 20, 4 << 30)]
        self.assertEqual(sizes, sorted(sizes))
        for size in (256 << 20, 4 << 30):
            block = zarvo_blockindex.block_size_for(size)
            strong = zarvo_blockindex.strong_bytes_for(size, block)
            index = 36 + -(-size // block) * (4 + strong)
            # Index and the edge blocks of 16 changed regions within 10% of each other.
            self.assertLess(abs(index - 16 * block) / index, 0.1, size)
            self.assertLess(index, size / 100)

    def test_prune_and_no_index_option(self):
        write(self.game, "a.pak", b"a" * (1 << 20))
        write(self.game, "b.pak", b"b" * (1 << 20))
        self.run_tool()
        os.unlink(os.path.join(self.game, "a.pak"))
        status, out, _ = self.run_tool()
        self.assertIn("left 1 file under blocks/", out)
        self.assertTrue(os.path.exists(os.path.join(self.out, "blocks", "a.pak.zbi")))
        status, out, _ = self.run_tool("--prune")
        self.assertEqual(sorted(os.listdir(os.path.join(self.out, "blocks"))), ["b.pak.zbi"])
        status, out, _ = self.run_tool("--no-block-index", "--dry-run", "--prune")
        self.assertIn("would remove blocks/b.pak.zbi", out)
        status, out, _ = self.run_tool("--no-block-index", "--prune")
        self.assertEqual(status, 0)
        self.assertEqual(os.listdir(os.path.join(self.out, "blocks")), [])

    def test_files_that_shrink_get_compressed_copies_named_in_their_rows_before_the_manifests(self):
        rng = random.Random(24)
        text = "".join(rng.choice(["texture=", "0x3f80 ", "player_", "\n", "return "])
                       for _ in range(300000)).encode()
        files = {"data/script.lua": text[:5000], "data/level.pak": text,  # several members
                 "data/random.pak": rng.randbytes(300000), "data/tiny.txt": b"ab"}
        for path, data in files.items():
            write(self.game, path, data)
        (status, out, _), renames = self.publish_watched("--light", "data/*.lua", "--no-bundles")
        self.assertEqual(status, 0)
        rows = {r["path"]: r for r in self.manifest("manifest_full.json")}
        with open(os.path.join(self.out, "manifest_full.json"), encoding="utf-8") as f:
            text_rows = [line for line in f if '"zsize"' in line]
        self.assertEqual(len(text_rows), 2)
        for line in text_rows:  # after every key of older readers
            self.assertRegex(line, r'"version": 1, "zsize": \d+}')
        light = {r["path"]: r for r in self.manifest("manifest_light.json")}
        self.assertEqual(light["data/script.lua"]["zsize"], rows["data/script.lua"]["zsize"])
        for path in ("data/script.lua", "data/level.pak"):
            copy_path = os.path.join(self.out, "packed", *path.split("/"))
            with open(copy_path, "rb") as f:
                copy = f.read()
            self.assertEqual(rows[path]["zsize"], len(copy))
            self.assertLessEqual(len(copy), len(files[path]) * 0.9)
            self.assertEqual(zarvo_packed.inflated_md5(copy), (md5(files[path]), len(files[path])))
            # The table: member size, raw size, MD5 and where each member ends.
            member, size, digest, lengths = zarvo_packed.read_table(copy_path)
            self.assertEqual((member, size, digest), (1 << 20, len(files[path]), md5(files[path])))
            self.assertEqual(len(lengths), -(-len(files[path]) // member))
            at = 0
            for i, length in enumerate(lengths):
                raw = zlib.decompressobj(16 + zlib.MAX_WBITS).decompress(copy[at:at + length])
                self.assertEqual(raw, files[path][i * member:(i + 1) * member])
                at += length
            self.assertEqual(at, len(copy))
            self.assertLess(renames.index(os.path.basename(path)), renames.index("manifest_full.json"))
        for path in ("data/random.pak", "data/tiny.txt"):
            self.assertNotIn("zsize", rows[path])
        self.assertEqual(sorted(os.listdir(os.path.join(self.out, "packed", "data"))),
                         ["level.pak", "script.lua"])
        self.assertIn("and 2 compressed copies under packed/", out)
        self.assertIn("compressed copies: ", out)

        # Unchanged: copies stay as they are. Changed and no longer shrinking: the row loses its
        # "zsize" and the stale copy waits for --prune, as update/ files do; --no-compress
        # leaves every row without one.
        copy_path = os.path.join(self.out, "packed", "data", "level.pak")
        before = os.stat(copy_path)
        (status, out, _), renames = self.publish_watched()
        after = os.stat(copy_path)
        self.assertEqual((before.st_ino, before.st_mtime_ns), (after.st_ino, after.st_mtime_ns))
        write(self.game, "data/level.pak", rng.randbytes(50000))
        status, out, _ = self.run_tool()
        self.assertNotIn("zsize", {r["path"]: r for r in self.manifest("manifest_full.json")}["data/level.pak"])
        self.assertIn("left 1 file under packed/", out)
        status, out, _ = self.run_tool("--no-compress", "--dry-run", "--prune")
        self.assertIn("would remove packed/data/script.lua", out)
        status, out, _ = self.run_tool("--no-compress", "--prune")
        self.assertEqual(status, 0)
        self.assertFalse(any("zsize" in r for r in self.manifest("manifest_full.json")))
        self.assertFalse(os.path.exists(os.path.join(self.out, "packed", "data")))


class Objects(Tool):
    """objects/: the same bytes under names made of their content, for caches."""
    publish_watched = PublishOrder.publish_watched

    def objects(self):
        folder = os.path.join(self.out, "objects")
        return {n: os.stat(os.path.join(folder, n)) for n in os.listdir(folder)}

    def test_every_row_gets_its_objects_as_links_before_the_manifests_and_none_is_rewritten(self):
        rng = random.Random(28)
        text = ("local x = 1\n" * 60000).encode()
        write(self.game, "data/big.pak", rng.randbytes((1 << 20) + 10))
        write(self.game, "data/script.lua", text)
        write(self.game, "data/same.lua", text)  # the same content under two paths: one object
        (status, out, _), renames = self.publish_watched()
        self.assertEqual(status, 0)
        rows = {r["path"]: r for r in self.manifest("manifest_full.json")}
        lua, pak = rows["data/script.lua"], rows["data/big.pak"]
        expected = {rows[LAUNCHER]["hash"], lua["hash"], f"{lua['hash']}-{lua['zsize']}.gz",
                    pak["hash"], f"{pak['hash']}.zbi"}
        if "zsize" in rows[LAUNCHER]:
            expected.add(f"{rows[LAUNCHER]['hash']}-{rows[LAUNCHER]['zsize']}.gz")
        objects = self.objects()
        self.assertEqual(set(objects), expected)
        for name, classic in ((lua["hash"], "update/data/same.lua"),  # the first path of it
                              (f"{lua['hash']}-{lua['zsize']}.gz", "packed/data/same.lua"),
                              (f"{pak['hash']}.zbi", "blocks/data/big.pak.zbi")):
            self.assertEqual(objects[name].st_ino, os.stat(os.path.join(self.out, classic)).st_ino)
        self.assertIn("objects/: 5 objects added (hard links", out)

        # A new release: the unchanged objects stay as they are, the changed file gets new ones.
        write(self.game, "data/big.pak", rng.randbytes((1 << 20) + 20))
        status, out, _ = self.run_tool()
        after = self.objects()
        dropped = {pak["hash"], f"{pak['hash']}.zbi"}
        for name in expected - dropped:
            self.assertEqual((objects[name].st_ino, objects[name].st_mtime_ns),
                             (after[name].st_ino, after[name].st_mtime_ns), name)
        for name in dropped:  # the same bytes, dated when they were dropped
            self.assertEqual(objects[name].st_ino, after[name].st_ino)
            self.assertGreater(after[name].st_mtime_ns, objects[name].st_mtime_ns)
        self.assertEqual(len(after), len(expected) + 2)
        self.assertIn("2 no longer named, kept for 7 days", out)

    def test_copies_where_links_are_refused(self):
        write(self.game, "a.bin", b"some bytes")
        real = os.link

        def refuse(*args, **kwargs):
            raise PermissionError(1, "Operation not permitted")

        os.link = refuse
        try:
            status, out, _ = self.run_tool()
        finally:
            os.link = real
        self.assertEqual(status, 0)
        with open(os.path.join(self.out, "objects", md5(b"some bytes")), "rb") as f:
            self.assertEqual(f.read(), b"some bytes")
        self.assertIn("objects/: 2 objects added (2 copies", out)
        self.assertEqual([n for n in os.listdir(os.path.join(self.out, "objects")) if "tmp" in n], [])

    def test_prune_keeps_dropped_objects_for_the_grace_period(self):
        write(self.game, "a.bin", b"first")
        write(self.game, "b.bin", b"gone later")
        self.run_tool()
        objects = os.path.join(self.out, "objects")
        long_ago = time.time() - 30 * 86400
        for name in os.listdir(objects):  # published a month ago
            os.utime(os.path.join(objects, name), (long_ago, long_ago))
        stray = write(self.out, "objects/" + md5(b"stray"), b"stray")  # named by no manifest
        os.utime(stray, (long_ago, long_ago))
        write(self.game, "a.bin", b"second")
        os.unlink(os.path.join(self.game, "b.bin"))
        status, out, _ = self.run_tool("--prune")
        self.assertEqual(status, 0)
        # Dropped just now: kept, though stored a month ago; the stray one goes.
        left = set(os.listdir(objects))
        self.assertTrue({md5(b"first"), md5(b"gone later"), md5(b"second")} <= left, left)
        self.assertNotIn(md5(b"stray"), left)
        # Kept: the two files' objects and the bundle the two small files shared.
        self.assertIn("pruned 1 object that no manifest named for 7 days; kept 3 younger", out)
        # Eight days later they go; what the manifests name stays, however old.
        for name in (md5(b"first"), md5(b"gone later")):
            os.utime(os.path.join(objects, name), (time.time() - 8 * 86400,) * 2)
        status, out, _ = self.run_tool("--prune", "--dry-run")
        self.assertIn(f"would remove objects/{md5(b'first')}", out)
        self.assertTrue({md5(b"first"), md5(b"gone later")} <= set(os.listdir(objects)))
        status, out, _ = self.run_tool("--prune")
        left = set(os.listdir(objects))
        self.assertEqual(left & {md5(b"first"), md5(b"gone later")}, set())
        self.assertIn(md5(b"second"), left)
        self.assertIn(md5(b"MZ launcher"), left)


class Bundles(Tool):
    publish_watched = PublishOrder.publish_watched

    def bundled(self, rows):
        """Each bundled row's bytes as its bundle gives them, checked against its bundle's name."""
        out = {}
        for r in rows:
            if "zbundle" not in r:
                continue
            with open(os.path.join(self.out, "objects", r["zbundle"] + ".zbd"), "rb") as f:
                data = f.read()
            self.assertEqual(hashlib.sha256(data).hexdigest(), r["zbundle"])
            member = data[r["zboffset"]:r["zboffset"] + r["zblength"]]
            self.assertLessEqual(r["zblength"], r["size"])
            out[r["path"]] = (member if r["zblength"] == r["size"]
                              else zlib.decompress(member, 16 + zlib.MAX_WBITS))
        return out

    def test_small_files_go_into_bundles_named_by_their_bytes_before_the_manifests(self):
        rng = random.Random(31)
        files = {}
        for i in range(700):
            size = rng.randint(1, 14000)
            data = rng.randbytes(size) if i % 2 else (b"key=value %d\n" % i) * (size // 12 + 1)
            files[f"s/{i // 100}/f{i:03}.txt"] = data[:size]
        files["big.pak"] = rng.randbytes(zarvo_bundles.THRESHOLD)
        files["empty.txt"] = b""
        for path, data in files.items():
            write(self.game, path, data)
        (status, out, _), renames = self.publish_watched("--light", "s/0/*")
        self.assertEqual(status, 0)
        rows = {r["path"]: r for r in self.manifest("manifest_full.json")}
        got = self.bundled(rows.values())
        small = {p for p, d in files.items() if 0 < len(d) < zarvo_bundles.THRESHOLD}
        self.assertEqual(set(got), small)  # neither the launcher, nor big or empty files
        for path in small:
            self.assertEqual(got[path], files[path], path)
            self.assertEqual(rows[path]["size"], len(files[path]))
        # Text as gzip members, random bytes raw; bundles bounded; the classic files stay.
        self.assertTrue(any(rows[p]["zblength"] < rows[p]["size"] for p in small))
        self.assertTrue(any(rows[p]["zblength"] == rows[p]["size"] for p in small))
        names = {r["zbundle"] for r in rows.values() if "zbundle" in r}
        self.assertGreater(len(names), 1)
        for name in names:
            size = os.path.getsize(os.path.join(self.out, "objects", name + ".zbd"))
            self.assertLessEqual(size, zarvo_bundles.MAX_BUNDLE)
            self.assertLess(renames.index(name + ".zbd"), renames.index("manifest_full.json"))
        for path, data in files.items():
            with open(os.path.join(self.out, "update", *path.split("/")), "rb") as f:
                self.assertEqual(f.read(), data)
        light = {r["path"]: r for r in self.manifest("manifest_light.json")}
        self.assertEqual(light["s/0/f000.txt"]["zbundle"], rows["s/0/f000.txt"]["zbundle"])
        self.assertIn(f"{len(names)} bundles under objects/", out)

        # Again unchanged: no bundle is written. One file changed: its bundle is new, most
        # others stay; the stale one is an object dropped like any other, pruned after the grace
        # period, and --no-bundles leaves rows without.
        objects = os.path.join(self.out, "objects")

        def bundles():
            return sorted(n for n in os.listdir(objects) if n.endswith(".zbd"))

        def age_dropped():
            for name in set(bundles()) - {n + ".zbd" for n in now}:
                os.utime(os.path.join(objects, name), (time.time() - 8 * 86400,) * 2)
        before = snapshot(os.path.join(self.out, "objects"))
        self.assertEqual(self.run_tool()[0], 0)
        self.assertEqual(snapshot(os.path.join(self.out, "objects")), before)
        write(self.game, "s/3/f350.txt", b"changed")
        status, out, _ = self.run_tool()
        now = {r["zbundle"] for r in self.manifest("manifest_full.json") if "zbundle" in r}
        self.assertLessEqual(len(now - names), 2)
        self.assertGreaterEqual(len(now & names), len(names) - 2)
        self.assertIn("no longer named, kept for 7 days", out)
        self.assertEqual(self.bundled(self.manifest("manifest_full.json"))["s/3/f350.txt"], b"changed")
        status, out, _ = self.run_tool("--prune")
        self.assertGreater(len(bundles()), len(now))  # dropped just now: kept
        age_dropped()
        status, out, _ = self.run_tool("--prune")
        self.assertEqual(bundles(), sorted(n + ".zbd" for n in now))
        status, out, _ = self.run_tool("--no-bundles", "--prune")
        self.assertEqual(status, 0)
        self.assertFalse(any("zbundle" in r for r in self.manifest("manifest_full.json")))
        now = set()
        age_dropped()
        status, out, _ = self.run_tool("--no-bundles", "--prune")
        self.assertEqual(bundles(), [])


if __name__ == "__main__":
    unittest.main()
