"""The cacheable layout of a publication: immutable objects named by their content.

Beside the classic folders, a publication holds under objects/:
  objects/<md5>               the raw bytes of each listed file (its rows' "hash")
  objects/<md5>-<zsize>.gz    its compressed copy, the bytes of packed/<path> ("zsize" of its rows)
  objects/<md5>.zbi           its block index, the bytes of blocks/<path>.zbi
A name is a function of the bytes it stands for and never stands for other bytes, so a cache
may keep an object as long as it likes and every player fetches it at the same address.
Launchers built with LAUNCHER_CACHEABLE_CONTENT derive the names from the manifest rows: the
manifests are the same for both kinds of launcher.

Writing (zarvo-studio publish): once the classic files are in place and before the manifests are
replaced, every missing object is made as a hard link to its classic file, or a copy where
the file system refuses links; an existing object is never written again.

Dropping and pruning: an object that the outgoing manifests name and the new ones do not is
dropped: its date is set to that moment, for players whose run began on the outgoing
manifests may still fetch it. --prune deletes the objects that no current manifest names
and whose date is older than the grace period. Everything under objects/ is treated alike.
"""
import hashlib
import json
import os
import time

from . import blockindex
from . import deltas
from . import packed
from . import onepass, paths

FOLDER = "objects"
GRACE_DAYS = 7.0
BUNDLE_SUFFIX = ".zbd"


def row_objects(row, has_index):
    """[(object name, classic path)] of one manifest row; has_index(row) tells whether the
    publication has its block index (files below 1 MiB, --no-block-index: none)."""
    md5 = row["hash"].lower()
    named = [(md5, f"update/{row['path']}")]
    if row.get("zsize"):
        named.append((f"{md5}-{int(row['zsize'])}.gz", f"packed/{row['path']}"))
    if has_index(row):
        named.append((f"{md5}.zbi", f"blocks/{row['path']}.zbi"))
    if isinstance(row.get("zbundle"), str) and row["zbundle"]:
        # A bundle of small files has no classic twin: bundles.py writes it, and it is
        # named, dated when dropped and pruned like every other object.
        named.append((f"{row['zbundle']}{BUNDLE_SUFFIX}", None))
    return named + deltas.row_objects(row)


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
        found = blockindex.header_of(_local(out, f"blocks/{row['path']}.zbi"))
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
    try:
        onepass.read_once(source, [onepass.FileSink(temp)])
        os.replace(temp, destination)
    except BaseException:
        if os.path.exists(temp):
            os.unlink(temp)
        raise


def write(pub, names):
    """Makes every missing object of names ({name: classic path}) from its classic file, which
    must be in place. Returns (objects added, bytes they hold, how many are copies)."""
    folder = os.path.join(pub.out, FOLDER.encode())
    os.makedirs(folder, exist_ok=True)
    added = size = copies = 0
    for name, classic in sorted(names.items()):
        destination = object_path(pub.out, name)
        if classic is None or os.path.lexists(destination):
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
    return paths.files_not_in(os.path.join(pub.out, FOLDER.encode()), keep)


def prunable(pub, names, grace_days, now=None):
    """(to delete, kept for the grace period): unlisted objects older than it, and the rest."""
    limit = (time.time() if now is None else now) - grace_days * 86400
    old, young = [], []
    for path in unlisted(pub, names):
        (old if os.lstat(path).st_mtime < limit else young).append(path)
    return old, young


def game_rows(files):
    """Rows of the publisher's files (game.GameFile) as a manifest has them."""
    return [{"path": f.path, "hash": f.hash, "size": f.size, "zsize": f.zsize,
             "zbundle": getattr(f, "zbundle", ""),
             deltas.KEY: ",".join(getattr(f, "zdeltas", None) or [])} for f in files]


def summary(names, added, size, copies, dropped, grace_days):
    how = f"{copies} cop{'y' if copies == 1 else 'ies'}, " if copies else "hard links, " if added else ""
    return (f"{FOLDER}/: {added} object{'' if added == 1 else 's'} added ({how}{size} "
            f"byte{'' if size == 1 else 's'}), {len(names) - added} already there"
            + (f"; {dropped} no longer named, kept for {grace_days:g} days" if dropped else ""))


def _rel(pub, path):
    return os.path.relpath(path, pub.out).replace(os.sep.encode(), b"/").decode("utf-8", "replace")


def dry_run(pub, files, prune, grace_days, say):
    for f in files:
        if not os.path.lexists(object_path(pub.out, f.hash)):
            say(f"would add {FOLDER}/{f.hash} ({f.path}) and its copy's and index's objects")
    if prune:
        for path in prunable(pub, local_names(pub.out, game_rows(files)), grace_days)[0]:
            say(f"would remove {_rel(pub, path)} (no manifest names it for {grace_days:g} days)")


def prune(pub, names, grace_days, say):
    old, young = prunable(pub, names, grace_days)
    for path in old:
        os.unlink(path)
    if old or young:
        say(f"pruned {len(old)} object{'' if len(old) == 1 else 's'} that no manifest named for "
            f"{grace_days:g} days; kept {len(young)} younger")


# ---- a publication folder as a whole (zarvo-studio check FOLDER, upload) -------------------

# The documents in the order a publish replaces them: the manifests last, the light one (every
# start reads it) after the full one.
DOCUMENTS = ("displayinfo.json", "manifest_full.json", "manifest_light.json")
MANIFESTS = DOCUMENTS[1:]
HISTORY = "history.json"


class Entry:
    """One file of a publication as it is to be stored: its name under the publication, where
    it lies, and for a classic file the object that holds the same bytes."""

    def __init__(self, rel, path, kind, source=None):
        self.rel = rel          # "/" separated, str
        self.path = path        # bytes path on disk
        self.kind = kind        # "object", "file" (classic folders) or "document"
        self.source = source    # for a classic file: the rel of its object
        self.row_path = None    # for a classic file: the path of its manifest row
        self.size = 0
        self.md5 = ""           # of these bytes (an object's own name may name its raw file)


class Publication:
    def __init__(self, folder):
        self.folder = os.fsencode(folder)
        self.rows = {}          # path -> row, the full and the light manifest's together
        self.documents = {}     # name -> bytes
        self.entries = []       # objects, then classic files, then the documents in order
        self.problems = []
        self.notes = []
        self._digests = {}

    def prefetch(self, paths, workers=4):
        """Reads the files on several threads beforehand (hashlib lets go of the interpreter
        while it digests), so that a publication is read at the speed of the disk."""
        from concurrent.futures import ThreadPoolExecutor

        def one(path):
            try:
                self.digest(path)
            except OSError:
                pass  # reported where the file is looked at
        with ThreadPoolExecutor(max_workers=workers) as pool:
            list(pool.map(one, paths))

    def digest(self, path):
        """(md5, size) of a file, read once per inode and date."""
        st = os.stat(path)
        key = (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)
        if key not in self._digests:
            self._digests[key] = paths.md5_of(path)
        return self._digests[key]


def _row_problem(row):
    if not isinstance(row, dict) or not isinstance(row.get("path"), str):
        return "a row without a path"
    if not isinstance(row.get("hash"), str) or len(row["hash"]) != 32:
        return f"{row['path']}: no 32-character hash"
    if not isinstance(row.get("size"), int) or not isinstance(row.get("zsize", 0), int):
        return f"{row['path']}: no size"
    return None


def read_publication(folder, apply_deltas=False, keep_releases=None):
    """Everything a publication folder holds for its manifests, each file read and checked
    against its rows and objects. Publication.problems lists what is wrong. With
    apply_deltas, each delta is applied to its old version and must rebuild its file."""
    pub = Publication(folder)
    say = pub.problems.append
    if not os.path.isdir(pub.folder):
        say(f"{folder}: not a folder")
        return pub
    for name in DOCUMENTS:
        try:
            with open(os.path.join(pub.folder, name.encode()), "rb") as f:
                pub.documents[name] = f.read()
        except FileNotFoundError:
            if name in MANIFESTS:
                say(f"{name}: missing; is {folder} a folder zarvo-studio publish wrote?")
        except OSError as e:
            say(f"{name}: cannot be read ({e.strerror})")
    for name in MANIFESTS:
        rows = rows_of(pub.documents[name]) if name in pub.documents else []
        if rows is None:
            say(f"{name}: not a manifest (no \"files\" array)")
            continue
        for row in rows:
            problem = _row_problem(row)
            if problem:
                say(f"{name}: {problem}")
                continue
            known = pub.rows.setdefault(row["path"], row)
            if (known["hash"].lower(), known["size"], known.get("zsize")) != \
                    (row["hash"].lower(), row["size"], row.get("zsize")):
                say(f"{row['path']}: the light and the full manifest disagree on it")

    objects, files = {}, []

    def add(rel, source, what, check, row_path):
        """Checks the classic file rel and its object (named source); queues both."""
        path = _local(pub.folder, rel)
        try:
            md5, size = pub.digest(path)
        except OSError as e:
            say(f"{rel}: {e.strerror or e} ({what})")
            return
        problem = check(path, md5, size)
        if problem:
            say(f"{rel}: {problem}")
            return
        entry = Entry(rel, path, "file", f"{FOLDER}/{source}")
        entry.md5, entry.size, entry.row_path = md5, size, row_path
        files.append(entry)
        if source in objects:
            return
        opath = object_path(pub.folder, source)
        try:
            omd5, osize = pub.digest(opath)
        except OSError:
            say(f"{FOLDER}/{source}: missing (the object of {rel}); publish again with this "
                "zarvo-studio publish, which adds the objects")
            return
        if (omd5, osize) != (md5, size):
            say(f"{FOLDER}/{source}: other bytes than {rel}; remove it and publish again (the "
                "publisher never rewrites an object)")
            return
        objects[source] = Entry(f"{FOLDER}/{source}", opath, "object")
        objects[source].md5, objects[source].size = md5, size

    pub.prefetch([_local(pub.folder, f"{folder}/{path}{suffix}")
                  for path, row in pub.rows.items()
                  for folder, suffix in (("update", ""), ("packed", ""), ("blocks", ".zbi"))
                  if folder == "update" or os.path.exists(_local(pub.folder, f"{folder}/{path}{suffix}"))])
    for path, row in sorted(pub.rows.items()):
        md5, size = row["hash"].lower(), row["size"]
        add(f"update/{path}", md5, "listed in the manifests",
            lambda p, m, s: None if (m, s) == (md5, size) else
            f"{s} bytes with MD5 {m}, the manifest says {size} bytes with MD5 {md5}", path)
        if row.get("zsize"):
            def copy_ok(p, m, s, row=row):
                table = packed.read_table(p)
                if s != row["zsize"]:
                    return f"{s} bytes, the row's zsize says {row['zsize']}"
                if table is None or (table[1], table[2]) != (row["size"], row["hash"].lower()):
                    return "not the compressed copy of the listed file"
                return None
            add(f"packed/{path}", f"{md5}-{row['zsize']}.gz", "the row has a zsize", copy_ok, path)
        index = f"blocks/{path}.zbi"
        found = blockindex.header_of(_local(pub.folder, index))
        if found is not None and (found[1], found[2]) == (size, md5):
            add(index, f"{md5}.zbi", "its block index", lambda p, m, s: None, path)
        bundle = row.get("zbundle")
        if isinstance(bundle, str) and bundle and bundle + BUNDLE_SUFFIX not in objects:
            opath = object_path(pub.folder, bundle + BUNDLE_SUFFIX)
            try:
                omd5, osize = pub.digest(opath)
            except OSError:
                say(f"{FOLDER}/{bundle}{BUNDLE_SUFFIX}: missing (the bundle of {path})")
                continue
            objects[bundle + BUNDLE_SUFFIX] = Entry(f"{FOLDER}/{bundle}{BUNDLE_SUFFIX}", opath, "object")
            objects[bundle + BUNDLE_SUFFIX].md5, objects[bundle + BUNDLE_SUFFIX].size = omd5, osize
    tool = deltas.find_tool() if apply_deltas else None
    found = deltas.check_folder(pub.folder, pub.rows, tool, say, pub.notes.append)
    # What the recorded releases still name goes up too, so the store keeps it as well (the
    # last KEEP_RELEASES of them when given, as prune keeps releases for a rollback).
    for name in deltas.kept_names(pub.folder, keep_releases):
        opath = object_path(pub.folder, name)
        if f"{FOLDER}/{name}" not in found and name not in objects and os.path.isfile(opath):
            found[f"{FOLDER}/{name}"] = (opath, os.path.getsize(opath))
    for rel, (opath, _size) in found.items():
        name = rel[len(FOLDER) + 1:]
        if name not in objects:
            objects[name] = Entry(rel, opath, "object")
            objects[name].md5, objects[name].size = pub.digest(opath)
    try:  # the studio's record of its releases, stored before the documents; launchers never read it
        with open(os.path.join(pub.folder, HISTORY.encode()), "rb") as f:
            pub.documents[HISTORY] = f.read()
    except OSError:
        pass
    for name in (HISTORY,) + DOCUMENTS:
        if name in pub.documents:
            entry = Entry(name, os.path.join(pub.folder, name.encode()), "document")
            entry.md5 = hashlib.md5(pub.documents[name]).hexdigest()
            entry.size = len(pub.documents[name])
            files.append(entry)
    pub.entries = [objects[n] for n in sorted(objects)] + files
    return pub
