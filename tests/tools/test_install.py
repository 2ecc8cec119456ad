#!/usr/bin/env python3
"""zarvo-studio installed from a clean copy of the checkout the way docs/publishing.md says (a
virtual environment on Debian's Python that sees Debian's packages, pip without build
isolation and without an index), then run from elsewhere: --help, a publish, its --json."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
# Debian's packages import under Debian's Python (another python3 may come first on PATH).
DEBIAN_PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable


def run(command, **kw):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}  # nothing of the checkout
    return subprocess.run(command, capture_output=True, text=True, timeout=150, env=env, **kw)


class Install(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zarvo studio install ")
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)

    def clone(self):
        """The files git tracks (their working copies), as a clone has them."""
        listed = subprocess.run(["git", "-C", ROOT, "ls-files", "-z"], capture_output=True,
                                timeout=60, check=True).stdout.decode().split("\0")
        clone = os.path.join(self.tmp, "checkout")
        for rel in filter(None, listed):
            if os.path.isfile(os.path.join(ROOT, rel)):
                os.makedirs(os.path.dirname(os.path.join(clone, rel)), exist_ok=True)
                shutil.copy2(os.path.join(ROOT, rel), os.path.join(clone, rel))
        return clone

    def test_installs_and_runs(self):
        clone = self.clone()
        venv = os.path.join(self.tmp, "venv")
        made = run([DEBIAN_PYTHON, "-m", "venv", "--system-site-packages", venv])
        self.assertEqual(made.returncode, 0, made.stderr)
        pip = run([os.path.join(venv, "bin", "pip"), "install", "--no-build-isolation",
                   "--no-index", "--quiet", clone])
        self.assertEqual(pip.returncode, 0, pip.stdout + pip.stderr)
        shutil.rmtree(clone)  # the installed command needs nothing of it
        command = os.path.join(venv, "bin", "zarvo-studio")
        helped = run([command, "--help"], cwd=self.tmp)
        self.assertEqual(helped.returncode, 0, helped.stderr)
        for name in ("publish", "check", "upload", "diff", "history", "keys"):
            self.assertIn(name, helped.stdout)
        game = os.path.join(self.tmp, "game")
        os.makedirs(os.path.join(game, "data"))
        for rel, data in (("Zarvo Vestra.exe", b"MZ"), ("data/a.txt", b"text\n" * 1000)):
            with open(os.path.join(game, *rel.split("/")), "wb") as f:
                f.write(data)
        out = os.path.join(self.tmp, "published")
        published = run([command, "publish", "--json", game, out, "--light", "*.exe"], cwd=self.tmp)
        self.assertEqual(published.returncode, 0, published.stderr)
        document = json.loads(published.stdout)
        self.assertEqual((document["command"], document["status"], document["files"],
                          document["release"]), ("publish", 0, 2, 1))
        checked = run([command, "check", "--json", out], cwd=self.tmp)
        self.assertEqual(json.loads(checked.stdout)["problems"], [], checked.stdout)


if __name__ == "__main__":
    unittest.main()
