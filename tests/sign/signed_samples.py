#!/usr/bin/env python3
"""Signed publications of one small game, good and bad, for signed_run_test.cpp.

    signed_samples.py OUTDIR

Each OUTDIR/<case> is a server root (manifests, displayinfo.json, update/), made with the real
command line of zarvo-studio publish and the throwaway keys in keys/ (A and B are built into
the test launcher, C is not):

  good        signed with A, published twice (serial S2)
  old         the same folder as it was after the first publish (serial S1 < S2): a replay
  key_b       signed with B
  wrong_key   signed with C
  unsigned    no signature at all
  flipped     good with one byte changed in a row of each manifest and in the page address
  expired     good's documents signed again with A, expired a minute ago
  sha_wrong   a manifest signed with A whose row for sg/data/a.bin names the MD5 of the
              served bytes but the SHA-256 of other bytes (what an MD5 collision would give)

OUTDIR/page.txt holds the page address that good's displayinfo.json names.
"""
import hashlib
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# The studio's command from this checkout, for this process and the ones it starts.
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, ROOT)
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, (ROOT, os.environ.get("PYTHONPATH"))))
STUDIO = [sys.executable, "-m", "zarvo_studio"]
from zarvo_studio import publish as zarvo_publish  # noqa: E402
from zarvo_studio import sign as zarvo_sign  # noqa: E402

KEYS = os.path.join(HERE, "keys")
PAGE = "https://localhost/signed-page"
FILES = {
    "Zarvo Vestra.exe": b"MZ not the launcher under test\n",
    "sg/data/a.bin": bytes(range(256)) * 40,
    "sg/b.txt": b"signed sample\n",
}


def key(name):
    return os.path.join(KEYS, f"test_key_{name}.pem")


def publish(game, out, *extra):
    result = subprocess.run([*STUDIO, "publish", game, out,
                             "--light", "sg/**", "--display-url", PAGE] + list(extra),
                            capture_output=True, text=True, timeout=120)
    if result.returncode != 0:
        sys.exit(f"signed_samples: publishing {out} failed:\n{result.stderr}")


def flip(path, old, new):
    with open(path, "rb") as f:
        data = f.read()
    assert data.count(old) >= 1, (path, old)
    with open(path, "wb") as f:
        f.write(data.replace(old, new, 1))


def main():
    out = sys.argv[1]
    if os.path.exists(out):
        shutil.rmtree(out)
    game = os.path.join(out, "game")
    for path, data in FILES.items():
        full = os.path.join(game, *path.split("/"))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)
    case = lambda name: os.path.join(out, name)  # noqa: E731

    publish(game, case("good"), "--sign", key("a"))
    shutil.copytree(case("good"), case("old"))
    time.sleep(0.01)
    publish(game, case("good"), "--sign", key("a"))  # serial S1 + 1 at least
    publish(game, case("key_b"), "--sign", key("b"))
    publish(game, case("wrong_key"), "--sign", key("c"))
    publish(game, case("unsigned"))

    shutil.copytree(case("good"), case("flipped"))
    for name in ("manifest_light.json", "manifest_full.json"):
        flip(os.path.join(case("flipped"), name), b'"size": 10240', b'"size": 10241')
    flip(os.path.join(case("flipped"), "displayinfo.json"), b"signed-page", b"signed-pagf")

    shutil.copytree(case("good"), case("expired"))
    private = zarvo_sign.load_private_key(key("a"))
    now = int(time.time())
    for name in zarvo_sign.SIGNED_NAMES:
        path = os.path.join(case("expired"), name)
        text = zarvo_sign.Signer.unsigned_text(path)
        with open(path, "w", encoding="utf-8") as f:
            f.write(zarvo_sign.sign_document(text, name, private, now + 10, now - 60))

    shutil.copytree(case("good"), case("sha_wrong"))
    rows = []
    for path, data in sorted(FILES.items()):
        row = zarvo_publish.GameFile(path, b"", len(data))
        row.hash = hashlib.md5(data).hexdigest()
        row.sha256 = hashlib.sha256(data + (b"!" if path == "sg/data/a.bin" else b"")).hexdigest()
        rows.append(row)
    for name in ("manifest_light.json", "manifest_full.json"):
        text = zarvo_publish.manifest_text(rows, 1)
        with open(os.path.join(case("sha_wrong"), name), "w", encoding="utf-8") as f:
            f.write(zarvo_sign.sign_document(text, name, private, now + 20, now + 3600))

    with open(os.path.join(out, "page.txt"), "w") as f:
        f.write(PAGE)
    print(f"signed_samples: written to {out}")


if __name__ == "__main__":
    main()
