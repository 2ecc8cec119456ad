"""Binary deltas from the files of the last releases, written with the host encoder.

Publishing release k into the folder that served release k-1 writes, for each changed file
of at least MIN_SIZE bytes, a delta from the file's version in each of the last N releases
(--deltas N, default 3):

  objects/<old md5>-<new md5>.zdelta   what `zarvo-delta encode OLD NEW OUT` writes

an immutable object named by the pair of contents, made before the manifests that name it
and uploaded, dated and pruned like every other object. The file's rows say which old
contents it has a delta from, so a launcher asks for none that does not exist:

  "zdeltas": "<old md5>,<old md5>"

A delta is offered only when it is smaller than what it stands in for (the compressed copy,
else the file). The old versions come from the folder itself: objects/<md5> holds every
listed file's bytes, and the files of the release it serves lie under update/ until they are
replaced. What the last releases listed is kept in delta_history.json beside the manifests
(the studio's record; launchers never read it); --prune keeps the deltas those releases name
and the old versions later deltas start from.
"""
import hashlib
import json
import os
import re
import shutil
import subprocess
import time

KEY = "zdeltas"
SUFFIX = ".zdelta"
FOLDER = "objects"
HISTORY = "delta_history.json"
RELEASES = 3
# Below this a file comes in a round trip or two anyway; a bundled file never asks for one.
MIN_SIZE = 64 * 1024
# The encoder's memory is a few times the old file's size: files above this get none.
MAX_SIZE = 512 << 20
TOOL_NAME = "zarvo-delta"
TOOL_ENV = "ZARVO_DELTA"
TOO_LARGE_STATUS = 3
_MD5 = re.compile(r"^[0-9a-f]{32}$")


def object_name(old_md5, new_md5):
    return f"{old_md5}-{new_md5}{SUFFIX}"


def olds_of(row):
    """The old MD5s a manifest row (a dict) names deltas from, in order, valid ones only."""
    value = row.get(KEY)
    if not isinstance(value, str) or not value:
        return []
    return [m for m in value.split(",") if _MD5.match(m)]


def row_keys(f):
    """The row's text for a publisher file (game.GameFile) that has deltas."""
    olds = getattr(f, "zdeltas", None)
    return f', "{KEY}": "{",".join(olds)}"' if olds else ""


def row_objects(row):
    """[(object name, None)] of the deltas one row names (they have no classic twin)."""
    md5 = row["hash"].lower()
    return [(object_name(old, md5), None) for old in olds_of(row)]


def add_arguments(parser):
    parser.add_argument("--deltas", metavar="N", type=int, default=RELEASES,
                        help="binary deltas to each changed file from its versions in the last N "
                             f"releases (default {RELEASES}; 0: none); see docs/deltas.md")
    parser.add_argument("--delta-tool", metavar="PATH",
                        help=f"the host encoder (default ${TOOL_ENV}, else {TOOL_NAME} on PATH)")


def find_tool(path=None):
    """The encoder's path: the flag's, the environment's, or the one on PATH; None if none."""
    for candidate in (path, os.environ.get(TOOL_ENV)):
        if candidate:
            return candidate if os.access(candidate, os.X_OK) else None
    return shutil.which(TOOL_NAME)


# ---- the record of the last releases ---------------------------------------------------------

def _history_path(out):
    return os.path.join(os.fsencode(out), HISTORY.encode())


def read_history(out):
    """The releases recorded, newest first: [{path: [md5, size, [old md5, ...]]}]."""
    try:
        with open(_history_path(out), "rb") as f:
            data = json.loads(f.read().decode("utf-8"))
        releases = data["releases"]
        return [r["files"] for r in releases if isinstance(r.get("files"), dict)]
    except (OSError, ValueError, KeyError, TypeError, AttributeError):
        return []


def _release_of_rows(rows):
    release = {}
    for row in rows:
        if isinstance(row, dict) and isinstance(row.get("path"), str) and isinstance(row.get("hash"), str):
            release[row["path"]] = [row["hash"].lower(), row.get("size", 0), olds_of(row)]
    return release


def _same_contents(a, b):
    return {p: v[0] for p, v in a.items()} == {p: v[0] for p, v in b.items()}


def previous_releases(out, served_rows, count):
    """The last count releases before this one, newest first. The release the folder serves
    (served_rows, its manifests' rows) leads even when the record missed it (published
    without deltas, or the record is new)."""
    releases = read_history(out)
    served = _release_of_rows(served_rows)
    if served and not (releases and _same_contents(releases[0], served)):
        releases.insert(0, served)
    return releases[:count]


def record(pub, files, count):
    """Writes the record with this release first; called once its manifests are in place."""
    current = {f.path: [f.hash, f.size, list(getattr(f, "zdeltas", []) or [])] for f in files}
    releases = [r for r in read_history(pub.out)]
    if releases and _same_contents(releases[0], current):
        releases[0] = current
    else:
        releases.insert(0, current)
    text = json.dumps({"releases": [{"files": r} for r in releases[:max(1, count)]]},
                      separators=(",", ":"), sort_keys=True)
    pub.write_document(HISTORY, text + "\n")


def kept_names(out, count=None):
    """{object name: None} of what the recorded releases still need: the deltas their rows
    name, and the raw object of each file big enough for one, where the next deltas start."""
    names = {}
    releases = read_history(out)
    for release in releases[:max(1, count)] if count is not None else releases:
        for md5, size, olds in release.values():
            if isinstance(size, int) and size >= MIN_SIZE:
                names[md5] = None
            for old in olds:
                names[object_name(old, md5)] = None
    return names


# ---- writing ---------------------------------------------------------------------------------

def _md5_of(path):
    digest = hashlib.md5()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def _old_source(out, path, md5):
    """Where the bytes of an old version lie in the folder: its object, else the classic file
    while it still holds that version; None when neither does."""
    obj = os.path.join(out, FOLDER.encode(), md5.encode())
    if os.path.isfile(obj):
        return obj
    classic = os.path.join(out, b"update", *os.fsencode(path).split(b"/"))
    try:
        if os.path.isfile(classic) and _md5_of(classic) == md5:
            return classic
    except OSError:
        pass
    return None


def wanted(files, releases):
    """[(file, old md5, old size)] for every file that can get a delta, newest release first."""
    pairs = []
    for f in files:
        if f.size < MIN_SIZE or getattr(f, "zbundle", ""):
            continue
        seen = {f.hash}
        for release in releases:
            old = release.get(f.path)
            if old and old[0] not in seen:
                seen.add(old[0])
                pairs.append((f, old[0], old[1]))
    return pairs


def stage(pub, files, releases, tool, warn):
    """Writes the missing deltas of files (game.GameFile, hash and zsize known) under
    temporary names beside their objects (pub.staged renames them into place with the other
    files) and sets each file's zdeltas. Returns (deltas written, their bytes, notes)."""
    folder = os.path.join(pub.out, FOLDER.encode())
    made = size = 0
    notes = []
    pairs = wanted(files, releases)
    if pairs and not tool:
        warn(f"no deltas: {TOOL_NAME} not found (--delta-tool, ${TOOL_ENV} or PATH); launchers "
             "patch the changed files as before")
        return 0, 0, notes
    for f in files:
        f.zdeltas = []
    started = time.monotonic()
    for f, old, old_size in pairs:
        limit = f.zsize or f.size
        if max(f.size, old_size) > MAX_SIZE:
            notes.append(f"{f.path}: no delta from {old} (above {MAX_SIZE >> 20} MiB, the "
                         "encoder's bound)")
            continue
        destination = os.path.join(folder, object_name(old, f.hash).encode())
        if os.path.isfile(destination):
            if os.path.getsize(destination) < limit:
                f.zdeltas.append(old)
            continue
        source = _old_source(pub.out, f.path, old)
        if source is None:
            notes.append(f"{f.path}: no delta from {old} (that version is no longer in the folder)")
            continue
        os.makedirs(folder, exist_ok=True)
        temp = pub.temp_beside(destination)
        result = subprocess.run([tool, "encode", source, f.source, temp],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if result.returncode != 0 or not os.path.isfile(temp):
            _unlink(temp)
            if result.returncode == TOO_LARGE_STATUS:
                notes.append(f"{f.path}: no delta from {old} (too large for the encoder)")
                continue
            raise OSError(f"{TOOL_NAME} encode failed for {f.path} from {old}: "
                          f"{result.stderr.decode('utf-8', 'replace').strip()}")
        delta_size = os.path.getsize(temp)
        if delta_size >= limit:
            _unlink(temp)
            notes.append(f"{f.path}: no delta from {old} ({delta_size} bytes save nothing)")
            continue
        with open(temp, "rb+") as t:
            os.fsync(t.fileno())
        pub.staged.append((temp, destination))
        f.zdeltas.append(old)
        made += 1
        size += delta_size
    if made:
        notes.append(f"encoded {made} delta{'' if made == 1 else 's'} in "
                     f"{time.monotonic() - started:.1f} s")
    return made, size, notes


def _unlink(path):
    try:
        os.unlink(path)
    except OSError:
        pass


def describe(files):
    offered = [f for f in files if getattr(f, "zdeltas", None)]
    count = sum(len(f.zdeltas) for f in offered)
    return (f"deltas: {count} for {len(offered)} changed file{'' if len(offered) == 1 else 's'}"
            if offered else "deltas: none (no changed file of 64 KiB or more with an older version)")


# ---- checking a folder -------------------------------------------------------------------------

def check_folder(folder, rows, tool, say_problem, say_note):
    """Checks the deltas the rows ({path: row}) name: each object there, smaller than its
    file, and (with the encoder's tool at hand and the old version in the folder) rebuilding
    the file with its MD5. Returns {object rel: (path, md5, size)} of the deltas found."""
    folder = os.fsencode(folder)
    found = {}
    applied = 0
    for path, row in sorted(rows.items()):
        md5, size = row["hash"].lower(), row["size"]
        for old in olds_of(row):
            name = object_name(old, md5)
            rel = f"{FOLDER}/{name}"
            obj = os.path.join(folder, FOLDER.encode(), name.encode())
            if not os.path.isfile(obj):
                say_problem(f"{rel}: missing (a delta of {path}); publish again")
                continue
            delta_size = os.path.getsize(obj)
            if delta_size >= max(size, 1):
                say_problem(f"{rel}: {delta_size} bytes, not smaller than {path}")
                continue
            old_path = os.path.join(folder, FOLDER.encode(), old.encode())
            if tool and os.path.isfile(old_path):
                problem = _apply_problem(tool, old_path, obj, size, md5)
                if problem:
                    say_problem(f"{rel}: {problem}")
                    continue
                applied += 1
            found[rel] = (obj, delta_size)
    if found and not applied:
        say_note(f"{len(found)} deltas present; none applied ({TOOL_NAME} not found or old "
                 "versions gone)")
    return found


def _apply_problem(tool, old_path, delta, size, md5):
    out = delta + b".check-%d.tmp" % os.getpid()
    try:
        result = subprocess.run([tool, "apply", old_path, delta, out, "--size", str(size)],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if result.returncode != 0:
            return f"does not apply ({result.stderr.decode('utf-8', 'replace').strip()})"
        got = _md5_of(out)
        return None if got == md5 else f"rebuilds bytes with MD5 {got}, the row says {md5}"
    finally:
        _unlink(out)
