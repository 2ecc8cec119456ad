#!/usr/bin/env python3
"""Server roots with release heads, for head_run_test.cpp.

    head_samples.py OUTDIR

Two releases of one small game, A and B, published signed with test key A into one folder
(`zarvo_studio publish` keeps the objects of both); the manifests and display information of
each release as objects/<sha256>.zman and the heads' text written by the studio tool's own
zarvo_studio/heads.py. Each OUTDIR/<case> is that folder with
heads/ of its own (signed with key A unless said otherwise):

  rel1        live: release 1 naming A          rel2       live: release 2 naming B
  rollback    live: release 3 naming A          beta       rel2, and beta: release 1 naming A
  expired     live: release 4 naming B, expired a minute ago
  unsigned    live: release 4 naming B, not signed
  mismatch    live: release 4 naming B, whose light manifest's object holds other bytes of
              the same length
  held_back   live: release 5 naming B at rollout 0, previous release 1 naming A
  missing     live: release 4 naming a light manifest that is not on the server (a cut
              upload that wrote the head before its manifests)

OUTDIR/<case>/expect.txt names the release (A or B) a launcher must end with.
"""
import hashlib
import os
import shutil
import subprocess
import sys
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
# The studio's command from this checkout, for this process and the ones it starts.
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, ROOT)
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, (ROOT, os.environ.get("PYTHONPATH"))))
STUDIO = [sys.executable, "-m", "zarvo_studio"]
from zarvo_studio import heads  # noqa: E402
from zarvo_studio import sign as zarvo_sign  # noqa: E402

KEY = os.path.join(HERE, "keys", "test_key_a.pem")
RELEASES = {
    "A": {"Zarvo Vestra.exe": b"MZ not the launcher under test\n",
          "hg/data/a.bin": bytes(range(256)) * 40, "hg/b.txt": b"release A\n"},
    "B": {"Zarvo Vestra.exe": b"MZ not the launcher under test\n",
          "hg/data/a.bin": bytes(range(255, -1, -1)) * 41, "hg/b.txt": b"release B, longer\n"},
}
DOCS = ("light", "full", "display")
NAMES = {"light": "manifest_light.json", "full": "manifest_full.json",
         "display": "displayinfo.json"}


def publish(game, out, page):
    result = subprocess.run([*STUDIO, "publish", game, out,
                             "--light", "hg/**", "--display-url", page, "--sign", KEY],
                            capture_output=True, text=True, timeout=120)
    if result.returncode != 0:
        sys.exit(f"head_samples: publishing {out} failed:\n{result.stderr}")


def keep_objects(pub, objects):
    """The release's documents as objects, stored by the studio tool; their fields by kind
    ("": the SHA-256, "_size", "_zsize")."""
    named = {}
    for kind in DOCS:
        with open(os.path.join(pub, NAMES[kind]), "rb") as f:
            plain = f.read()
        named[kind] = heads.store_manifest(pub, plain)
        objects[named[kind][""]] = plain
    return named


def head_text(release, docs, rollout=None, previous=None):
    """The head as the studio tool writes it, release naming docs; during a rollout
    (rollout below 100), previous = (its number, its docs)."""
    launcher = hashlib.sha256(RELEASES["A"]["Zarvo Vestra.exe"]).hexdigest()
    head = {"release": release, "channel": "live", "launcher": launcher}
    for prefix, named in (("", docs), ("prev_", previous[1] if previous else None)):
        for kind in DOCS if named else ():
            for suffix, value in named[kind].items():
                head[prefix + kind + suffix] = value
    if previous:
        head.update({"rollout": rollout, "previous": previous[0], "prev_launcher": launcher})
    return heads.head_text(head)


def write_head(case, channel, text, signed=True, expires_in=3600):
    os.makedirs(os.path.join(case, "heads"), exist_ok=True)
    if signed:
        key = zarvo_sign.load_private_key(KEY)
        now = int(time.time())
        text = zarvo_sign.sign_document(text, f"heads/{channel}.json", key, now,
                                        now + expires_in)
    with open(os.path.join(case, "heads", f"{channel}.json"), "w", encoding="utf-8") as f:
        f.write(text)


def main():
    out = sys.argv[1]
    if os.path.exists(out):
        shutil.rmtree(out)
    pub = os.path.join(out, "pub")
    objects, named = {}, {}
    for release, files in RELEASES.items():
        game = os.path.join(out, "game" + release)
        for path, data in files.items():
            full = os.path.join(game, *path.split("/"))
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "wb") as f:
                f.write(data)
        publish(game, pub, f"https://localhost/release-{release}")
        named[release] = keep_objects(pub, objects)
    # Only the objects are served: a launcher that read the classic documents would fail.
    for kind in DOCS:
        os.remove(os.path.join(pub, NAMES[kind]))

    def case(name, expect):
        path = os.path.join(out, name)
        # Linked, not copied, but each case's heads of its own.
        shutil.copytree(pub, path, copy_function=os.link, ignore=shutil.ignore_patterns("heads"))
        with open(os.path.join(path, "expect.txt"), "w") as f:
            f.write(expect)
        return path

    A, B = named["A"], named["B"]
    write_head(case("rel1", "A"), "live", head_text(1, A))
    write_head(case("rel2", "B"), "live", head_text(2, B))
    write_head(case("rollback", "A"), "live", head_text(3, A))
    beta = case("beta", "A")
    write_head(beta, "live", head_text(2, B))
    write_head(beta, "beta", head_text(1, A).replace('"channel": "live"', '"channel": "beta"'))
    write_head(case("expired", "B"), "live", head_text(4, B), expires_in=-60)
    write_head(case("unsigned", "B"), "live", head_text(4, B), signed=False)
    mismatch = case("mismatch", "B")
    bad = os.path.join(mismatch, "objects", B["light"][""] + ".zman")
    os.remove(bad)  # a link shared with the other cases
    plain = bytearray(objects[B["light"][""]])
    plain[plain.index(b'"size": ') + 8] ^= 1  # the same length, other bytes
    with open(bad, "wb") as f:
        f.write(zlib.compress(bytes(plain), 9))
    write_head(mismatch, "live", head_text(4, B))
    write_head(case("held_back", "A"), "live", head_text(5, B, rollout=0, previous=(1, A)))
    missing = case("missing", "B")
    os.remove(os.path.join(missing, "objects", B["light"][""] + ".zman"))
    write_head(missing, "live", head_text(4, B))
    for release, files in RELEASES.items():
        with open(os.path.join(out, f"release_{release}.txt"), "w") as f:
            f.write(files["hg/b.txt"].decode())
    print(f"head_samples: written to {out}")


if __name__ == "__main__":
    main()
