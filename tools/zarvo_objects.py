"""The cacheable layout of a publication: immutable objects named by their content.

Beside the classic folders, a publication holds under objects/:
  objects/<md5>               the raw bytes of each listed file (its rows' "hash")
  objects/<md5>-<zsize>.gz    its compressed copy, the bytes of packed/<path> ("zsize" of its rows)
  objects/<md5>.zbi           its block index, the bytes of blocks/<path>.zbi
A name is a function of the bytes it stands for and never stands for other bytes, so a cache
may keep an object as long as it likes and every player fetches it at the same address.
Launchers built with LAUNCHER_CACHEABLE_CONTENT derive the names from the manifest rows: the
manifests are the same for both kinds of launcher.

Writing (zarvo_publish.py): once the classic files are in place and before the manifests are
replaced, every missing object is made as a hard link to its classic file, or a copy where
the file system refuses links; an existing object is never written again.

Dropping and pruning: an object that the outgoing manifests name and the new ones do not is
dropped: its date is set to that moment, for players whose run began on the outgoing
manifests may still fetch it. --prune deletes the objects that no current manifest names
and whose date is older than the grace period. Everything under objects/ is treated alike.
"""
import json
import os
import time

import zarvo_blockindex
import zarvo_paths

FOLDER = "objects"
GRACE_DAYS = 7.0
READ = 1 << 20


def row_objects(row, has_index):
    """[(object name, classic path)] of one manifest row; has_index(row) tells whether the
    publication has its block index (files below 1 MiB, --no-block-index: none)."""
    md5 = row["hash"].lower()
    named = [(md5, f"update/{row['path']}")]
    if row.get("zsize"):
        named.append((f"{md5}-{int(row['zsize'])}.gz", f"packed/{row['path']}"))
    if has_index(row):
        named.append((f"{md5}.zbi", f"blocks/{row['path']}.zbi"))
    return named


def rows_of(data):
    """The "files" rows of a (signed or unsigned) manifest's bytes; None if it is no manifest."""
    try:
        rows = json.loads(data.decode("utf-8"))["files"]
    except (UnicodeDecodeError, ValueError, KeyError, TypeError):
        return None
    return rows if isinstance(rows, list) else None


def _local(out, rel):
    return os.path.join(out, *os.fsencode(rel).split(b"/"))


def local_names(out, rows):
    """{object name: classic path} of these rows in the publication folder out (bytes). An
    index counts only when it describes the row's content (--no-block-index leaves old ones)."""
    def has_index(row):
        found = zarvo_blockindex.header_of(_local(out, f"blocks/{row['path']}.zbi"))
        return found is not None and (found[1], found[2]) == (row["size"], row["hash"].lower())
    names = {}
    for row in rows:
        for name, classic in row_objects(row, has_index):
            names.setdefault(name, classic)
    return names


def current_rows(out):
    """Rows of the manifests now in the folder (both, the light one's too), or []."""
    rows = []
    for manifest in ("manifest_full.json", "manifest_light.json"):
        try:
            with open(os.path.join(out, manifest.encode()), "rb") as f:
                rows += rows_of(f.read()) or []
        except OSError:
            pass
    return rows


def object_path(out, name):
    return os.path.join(out, FOLDER.encode(), name.encode())


def _copy(source, destination, temp):
    with open(source, "rb") as src, open(temp, "wb") as dst:
        while True:
            block = src.read(READ)
            if not block:
                break
            dst.write(block)
        dst.flush()
        os.fsync(dst.fileno())
    os.replace(temp, destination)


def write(pub, names):
    """Makes every missing object of names ({name: classic path}) from its classic file, which
    must be in place. Returns (objects added, bytes they hold, how many are copies)."""
    folder = os.path.join(pub.out, FOLDER.encode())
    os.makedirs(folder, exist_ok=True)
    added = size = copies = 0
    for name, classic in sorted(names.items()):
        destination = object_path(pub.out, name)
        if os.path.lexists(destination):
            continue  # never written again: its name says what it holds
        source = _local(pub.out, classic)
        try:
            os.link(source, destination)
        except OSError:
            _copy(source, destination, pub.temp_beside(destination))
            copies += 1
        added += 1
        size += os.path.getsize(destination)
    return added, size, copies


def drop(pub, old_names, new_names, now=None):
    """Dates the objects old_names had and new_names lack to now; returns how many."""
    now = time.time() if now is None else now
    dropped = 0
    for name in sorted(set(old_names) - set(new_names)):
        try:
            os.utime(object_path(pub.out, name), (now, now))
            dropped += 1
        except FileNotFoundError:
            pass
    return dropped


def unlisted(pub, names):
    """Files under objects/ that names lacks (leftover temporary names too)."""
    keep = {object_path(pub.out, n) for n in names}
    return zarvo_paths.files_not_in(os.path.join(pub.out, FOLDER.encode()), keep)


def prunable(pub, names, grace_days, now=None):
    """(to delete, kept for the grace period): unlisted objects older than it, and the rest."""
    limit = (time.time() if now is None else now) - grace_days * 86400
    old, young = [], []
    for path in unlisted(pub, names):
        (old if os.lstat(path).st_mtime < limit else young).append(path)
    return old, young


def remove(paths):
    for path in paths:
        os.unlink(path)
