#!/usr/bin/env python3
"""The S3 server, the bucket's read front and the edge cache (s3_ctl.py) with a small game
published into WORK/published and uploaded by zarvo-studio publish, for the launcher's test
through them.

    edge_ctl.py up WORK NODE_DIR PORT CERTDIR   # returns once uploaded
    edge_ctl.py down WORK

The game has no empty file: through the edge's slices, s3rver's answer to a range of an empty
object (206, no body) reaches the launcher as a 206 to its plain request, which it refuses.
"""
import os
import random
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import s3_ctl  # noqa: E402

# The studio's command from this checkout, for this process and the ones it starts.
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, ROOT)
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, (ROOT, os.environ.get("PYTHONPATH"))))
STUDIO = [sys.executable, "-m", "zarvo_studio"]


def publish(work):
    """A few files, a big one among them (block index, patches) and a compressible one."""
    rnd = random.Random(2820)
    game = os.path.join(work, "game")
    files = {
        "Zarvo Vestra.exe": b"MZ stand-in launcher",
        "config/version.txt": b"edge 1\n",
        "data/pak0.pak": rnd.randbytes(3 * 1024 * 1024 + 17),
        "data/maps/zona 1.map": rnd.randbytes(200000),
        "scripts/main.lua": b"print('zarvo')\n" * 20000,
    }
    for path, data in files.items():
        full = os.path.join(game, *path.split("/"))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)
    publication = os.path.join(work, "published")
    subprocess.run([*STUDIO, "publish", game, publication], check=True,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, timeout=120)
    return publication


def main(argv):
    if len(argv) == 6 and argv[1] == "up":
        work, node_dir, port, certdir = argv[2:]
        s3_ctl.down(work)  # what an earlier run that was cut left
        publication = publish(work)
        if s3_ctl.main(["s3_ctl.py", "up", work, node_dir, port, certdir]) != 0:
            return 1
        run = subprocess.run([*STUDIO, "upload", publication,
                              f"s3://{s3_ctl.BUCKET}/{s3_ctl.PREFIX}", "--endpoint-url",
                              f"http://127.0.0.1:{port}"], env=s3_ctl.s3_environment(),
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, timeout=240)
        if run.returncode != 0:
            s3_ctl.down(work)
        return run.returncode
    if len(argv) == 3 and argv[1] == "down":
        s3_ctl.down(argv[2])
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
