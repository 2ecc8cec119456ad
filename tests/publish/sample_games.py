#!/usr/bin/env python3
"""Sample games for the publishing tool's tests, published with the real command line.

    sample_games.py OUTDIR LAUNCHER_EXE

Makes, from scratch:
  OUTDIR/game, OUTDIR/published        a small game (the given launcher as "Zarvo Vestra.exe",
                                       nested folders, UTF-8 names, a space, an empty file),
                                       published with --light "*.exe" "config/**"
                                       --display-disabled, signed with the test key A
                                       (tests/sign/keys); served by the nginx test
  OUTDIR/edge_game, OUTDIR/edge_published   odd but legal names and a sparse file above the
                                       size field's range, published with --version 7
                                       --hardlink (a copy would not stay sparse) and
                                       --no-block-index (an index would read 2 GiB of holes)
  OUTDIR/probes/NNN.json               one-row manifests in the tool's own format, for names
                                       the tool takes and names it refuses
  OUTDIR/expected.tsv, OUTDIR/probes.tsv    what the launcher's reader must make of them,
                                       worked out here, not by the tool (read by
                                       readback_test.cpp)

Lines of expected.tsv: SET MANIFEST PATH_UTF16LE_HEX HASH SIZE VERSION, in manifest order.
Lines of probes.tsv: NNN CLASS PATH_UTF16LE_HEX HASH SIZE VERSION, CLASS being "exact" (the
tool takes it; the reader must give it back unchanged), "lost" (the tool refuses it because
the reader drops or changes it) or "strict" (the tool refuses it although the reader takes it
as written: it is not valid JSON, or not a usable name on Windows).
"""
import hashlib
import os
import random
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
# The studio's command from this checkout, for this process and the ones it starts.
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, ROOT)
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, (ROOT, os.environ.get("PYTHONPATH"))))
STUDIO = [sys.executable, "-m", "zarvo_studio"]
from zarvo_studio import publish as zarvo_publish  # noqa: E402

LAUNCHER = "Zarvo Vestra.exe"
SIGNING_KEY = os.path.join(HERE, "..", "sign", "keys", "test_key_a.pem")
HUGE_SIZE = 2147483647 + 6  # past the reader's 32-bit size field; sparse, so it costs no disk

# Names for one-row manifests. "exact": the tool takes them and the reader must read them
# back unchanged. "lost": the reader would cut, change or refuse them, so the tool refuses.
# "strict": the reader takes them as written, but the tool still refuses them: an unescaped
# backslash or control character makes the document invalid JSON (and "\" is a separator on
# Windows), and a "{" is refused with "}" although the reader only trips over the latter.
PROBES = [
    ("exact", "plain.txt"),
    ("exact", "a b/c d.txt"),
    ("exact", "música/é.txt"),
    ("exact", "日本/ゲーム.dat"),
    ("exact", "emoji/\U0001F3AE.bin"),
    ("exact", "punct/!$&'()+,;=@[]^_`~.txt"),
    ("exact", ".hidden"),
    ("exact", "x/.a.b"),
    ("exact", "ends.with.dots.in.the.middle.bin"),
    ("lost", 'quote"in.txt'),
    ("strict", "brace{open.txt"),
    ("strict", "back\\slash.txt"),
    ("strict", "tab\there.txt"),
    ("lost", "brace}close.txt"),
    ("lost", "nul\x00byte.txt"),
    ("lost", "c:/windows/x.txt"),
    ("lost", "stream.txt:alt"),
    ("lost", "/absolute.txt"),
    ("lost", "../outside.txt"),
    ("lost", "a/../../b.txt"),
    ("lost", "a/. ./b.txt"),
    ("lost", "a/.../b.txt"),
    ("lost", "\\leading-backslash.txt"),
    ("lost", "aux"),
    ("lost", "sub/Nul.txt"),
    ("lost", "com1 .log"),
    ("lost", "LPT\u00b9"),
    ("lost", "CONOUT$"),
]


def utf16_hex(text):
    return text.encode("utf-16-le").hex()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def make_game(folder, launcher_bytes):
    """The served sample: {path: bytes}."""
    rnd = random.Random(8)
    files = {
        LAUNCHER: launcher_bytes,
        "rovezuzav.exe": b"MZ" + rnd.randbytes(30000),
        "config/version.txt": b"zarvo-sample 1\n",
        "config/servers.cfg": b"eu=game-eu.example\nam=game-am.example\n",
        "data/maps/zona 1.map": rnd.randbytes(200000),
        "data/maps/zona2.map": rnd.randbytes(70001),
        "data/pak0.pak": rnd.randbytes(3 * 1024 * 1024 + 17),
        "data/textures/árbol_ñ.dds": rnd.randbytes(5000),
        "música/é.txt": "canción\n".encode(),
        "日本/ゲーム.dat": rnd.randbytes(999),
        "emoji/\U0001F3AE.bin": rnd.randbytes(64),
        "punct/!$&'()+,;=@[]^_`~.txt": b"punctuation\n",
        "a/b/c/d/deep.txt": b"deep\n",
        "empty.dat": b"",
    }
    for path, data in files.items():
        write(os.path.join(folder, *path.split("/")), data)
    return files


def make_edge_game(folder):
    files = {
        LAUNCHER: b"not really a launcher\n",
        "ñ/ü/ø.txt": b"\xc3\xb1\n",
        "x/.a.b": b"dot\n",
    }
    for path, data in files.items():
        write(os.path.join(folder, *path.split("/")), data)
    huge = os.path.join(folder, "big", "huge.bin")
    os.makedirs(os.path.dirname(huge))
    with open(huge, "wb") as f:
        f.truncate(HUGE_SIZE)
    return files


def md5_hex(data):
    return hashlib.md5(data).hexdigest()


def huge_md5():
    digest, left, zeros = hashlib.md5(), HUGE_SIZE, bytes(1 << 20)
    while left:
        n = min(left, len(zeros))
        digest.update(zeros[:n])
        left -= n
    return digest.hexdigest()


def publish(game, out, extra):
    result = subprocess.run([*STUDIO, "publish", game, out] + extra, capture_output=True,
                            text=True, timeout=300)
    sys.stdout.write(result.stdout)
    sys.stderr.write(result.stderr)
    if result.returncode != 0:
        sys.exit(f"sample_games: publishing {game} failed")
    return result


def rows(table, selected=None):
    """(path, hash, size) in manifest order: sorted by the path's UTF-8 bytes."""
    out = []
    for path in sorted(table, key=lambda p: p.encode("utf-8")):
        if selected is None or selected(path):
            out.append((path, table[path][0], table[path][1]))
    return out


def main():
    outdir, launcher_exe = sys.argv[1], sys.argv[2]
    if os.path.exists(outdir):
        shutil.rmtree(outdir)
    os.makedirs(outdir)
    with open(launcher_exe, "rb") as f:
        launcher_bytes = f.read()

    game = os.path.join(outdir, "game")
    files = make_game(game, launcher_bytes)
    # Signed: the launchers without keys that read it back must not notice.
    publish(game, os.path.join(outdir, "published"),
            ["--light", "*.exe", "config/**", "--display-disabled", "--sign", SIGNING_KEY])

    edge = os.path.join(outdir, "edge_game")
    edge_files = make_edge_game(edge)
    result = publish(edge, os.path.join(outdir, "edge_published"),
                     ["--version", "7", "--light", "big/*", "--display-disabled", "--hardlink",
                      "--no-block-index"])
    if "big/huge.bin" not in result.stderr:
        sys.exit("sample_games: no warning about the file above the size field")

    served = {p: (md5_hex(d), len(d)) for p, d in files.items()}
    edge_table = {p: (md5_hex(d), len(d)) for p, d in edge_files.items()}
    edge_table["big/huge.bin"] = (huge_md5(), HUGE_SIZE)
    lines = []
    sets = [
        ("published", "manifest_full.json", rows(served), 1),
        ("published", "manifest_light.json",
         rows(served, lambda p: p.endswith(".exe") and "/" not in p or p.startswith("config/")), 1),
        ("edge_published", "manifest_full.json", rows(edge_table), 7),
        ("edge_published", "manifest_light.json",
         rows(edge_table, lambda p: p in (LAUNCHER, "big/huge.bin")), 7),
    ]
    for folder, manifest, table, version in sets:
        for path, digest, size in table:
            lines.append(f"{folder}\t{manifest}\t{utf16_hex(path)}\t{digest}\t{size}\t{version}")
    with open(os.path.join(outdir, "expected.tsv"), "w") as f:
        f.write("\n".join(lines) + "\n")

    # One-row manifests written with the tool's own formatting, bypassing its checks.
    probes = os.path.join(outdir, "probes")
    os.makedirs(probes)
    lines = []
    for i, (kind, name) in enumerate(PROBES):
        row = zarvo_publish.GameFile(name, b"", 100 + i)
        row.hash = md5_hex(name.encode("utf-8"))
        write(os.path.join(probes, f"{i:03d}.json"),
              zarvo_publish.manifest_text([row], 3).encode("utf-8", "surrogatepass"))
        lines.append(f"{i:03d}\t{kind}\t{utf16_hex(name)}\t{row.hash}\t{row.size}\t3")
    with open(os.path.join(outdir, "probes.tsv"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print(f"sample_games: {len(files)} + {len(edge_table)} files published, "
          f"{len(PROBES)} probes, in {outdir}")


if __name__ == "__main__":
    main()
