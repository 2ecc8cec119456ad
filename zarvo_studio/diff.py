"""What a release changes, and what it costs the players, before it is published.

    zarvo-studio diff OLD NEW [--releases N] [--channel NAME] [--json]

OLD and NEW are each a publication folder (what `zarvo-studio publish` wrote; its
manifest_full.json is read) or a game build folder (its files are hashed). Lists the files
added, changed, removed and moved (the same bytes under another path), then what a player on
OLD downloads to reach NEW, file by file, the way a default launcher gets it, and the same
sum for a player on each of the last N releases of the channel (default 3) that the
publication folder among OLD and NEW records under releases/ (their files are read from
objects/, which keeps them):
  moved     taken from another file of the game folder (the launcher's seeds): nothing
  bundle    a small file, inside a bundle run: its member's length (NEW published), else its size
  delta     a file whose row in NEW names a binary delta from the player's version: the delta
  patch     a file of 1 MiB or more whose old copy is there: its block index plus the blocks
            not found in the old copy at block boundaries (an upper bound: the launcher also
            finds blocks that moved by any number of bytes); needs the old copy's bytes, i.e.
            OLD published
  whole     everything else: the compressed copy ("zsize") where NEW has one, else the file
The figures are what the bytes on the line cost, not counting requests.
"""
import hashlib
import os
import struct
import zlib

from . import blockindex, deltas, heads, objects, onepass, releases, status
from .game import scan_game

SUMMARY = "list what changes between two releases (or a release and a game folder) and what players download"

# How a file can reach a player, tried in order; the first that gives a cost is used. Each is
# (kind, cost(old, new, change) -> bytes or None): old and new are Release objects, change a
# Change. A delta writer adds its own estimate in front of "patch".
ESTIMATES = []


class Release:
    """The rows of a publication folder or of a game folder, by path."""

    def __init__(self, folder, progress=None, rows=None):
        self.folder = folder
        self.published = os.path.isfile(os.path.join(folder, "manifest_full.json"))
        self.rows = {}
        self.in_objects = rows is not None
        if self.in_objects:  # an earlier release of a publication: its files are objects
            self.rows = {r["path"]: r for r in rows}
        elif self.published:
            with open(os.path.join(folder, "manifest_full.json"), "rb") as f:
                rows = objects.rows_of(f.read())
            if rows is None:
                raise ValueError(f"{folder}: manifest_full.json is no manifest")
            self.rows = {r["path"]: r for r in rows if isinstance(r, dict) and "path" in r}
        else:
            files, problems = scan_game(folder)
            if problems:
                raise ValueError(f"{folder}: {problems[0]}")

            def digest(f):
                md5 = hashlib.md5()
                onepass.read_once(f.source, [md5], progress)
                return {"path": f.path, "hash": md5.hexdigest(), "size": f.size}
            self.rows = {r["path"]: r for r in onepass.read_many(digest, files)}
            self.sources = {f.path: f.source for f in files}

    def local(self, path):
        """Where the bytes of path lie: update/<path> of a publication, objects/<md5> of one of
        its earlier releases, the game file itself."""
        if self.in_objects:
            return os.path.join(os.fsencode(self.folder), heads.OBJECTS.encode(),
                                self.rows[path]["hash"].lower().encode())
        if self.published:
            return os.path.join(os.fsencode(self.folder), b"update", *path.encode("utf-8").split(b"/"))
        return self.sources[path]


class Change:
    def __init__(self, path, kind, old=None, new=None, moved_from=None):
        self.path, self.kind, self.old, self.new, self.moved_from = path, kind, old, new, moved_from


def compare(old, new):
    """[Change] for every path of NEW that differs from OLD, and every path OLD loses."""
    by_hash = {}
    for row in old.rows.values():
        by_hash.setdefault(row["hash"].lower(), row["path"])
    changes = []
    for path, row in sorted(new.rows.items()):
        before = old.rows.get(path)
        if before is None:
            source = by_hash.get(row["hash"].lower())
            kind = "moved" if source and source not in new.rows else "added"
            changes.append(Change(path, kind, None, row, source if kind == "moved" else None))
        elif (before["hash"].lower(), before["size"]) != (row["hash"].lower(), row["size"]):
            changes.append(Change(path, "changed", before, row))
    moved = {c.moved_from for c in changes if c.moved_from}
    for path, row in sorted(old.rows.items()):
        if path not in new.rows and path not in moved:
            changes.append(Change(path, "removed", row, None))
    return changes


def _aligned_blocks(path, block, strong):
    """The (Adler-32, strong part) of every whole block of the file at block boundaries."""
    found = set()
    with open(path, "rb") as f:
        for piece in iter(lambda: f.read(block), b""):
            found.add((zlib.adler32(piece), hashlib.md5(piece).digest()[:strong]))
    return found


def patch_cost(old, new, change):
    if change.kind != "changed" or change.new["size"] < blockindex.MIN_SIZE:
        return None
    try:
        old_path = old.local(change.path)
        if not old.published or not os.path.isfile(old_path):
            return None
        index = None
        if new.published:
            try:
                with open(os.path.join(os.fsencode(new.folder), b"blocks",
                                       *(change.path + ".zbi").encode("utf-8").split(b"/")), "rb") as f:
                    index = f.read()
            except OSError:
                return None  # published without an index: downloaded whole
        else:
            index = blockindex.index_bytes(new.local(change.path), change.new["size"], change.new["hash"])
        if index is None or len(index) < blockindex.HEADER.size:
            return None
        _, _, strong, _, block, size, _ = blockindex.HEADER.unpack(index[:blockindex.HEADER.size])
        have = _aligned_blocks(old_path, block, strong)
    except OSError:
        return None
    missing, at, entry = 0, blockindex.HEADER.size, 4 + strong
    for i in range((len(index) - at) // entry):
        adler = struct.unpack("<I", index[at + i * entry:at + i * entry + 4])[0]
        if (adler, index[at + i * entry + 4:at + (i + 1) * entry]) not in have:
            missing += min(block, size - i * block)
    return len(index) + missing


def delta_cost(old, new, change):
    if change.kind != "changed" or not new.published or new.in_objects:
        return None
    old_md5 = change.old["hash"].lower()
    if old_md5 not in deltas.olds_of(change.new):
        return None
    try:
        return os.path.getsize(os.path.join(os.fsencode(new.folder), heads.OBJECTS.encode(),
                                            deltas.object_name(old_md5, change.new["hash"].lower()).encode()))
    except OSError:
        return None


def bundle_cost(old, new, change):
    row = change.new
    if row.get("zbundle"):
        return int(row.get("zblength") or row["size"])
    from . import bundles
    if not new.published and 0 < row["size"] < bundles.THRESHOLD:
        return row["size"]
    return None


def whole_cost(old, new, change):
    return int(change.new.get("zsize") or change.new["size"])


ESTIMATES += [("moved", lambda old, new, c: 0 if c.kind == "moved" else None),
              ("bundle", bundle_cost), ("delta", delta_cost), ("patch", patch_cost),
              ("whole", whole_cost)]


def download(old, new, change):
    """(kind, bytes) a player on OLD fetches for one change of NEW."""
    for kind, cost in ESTIMATES:
        found = cost(old, new, change)
        if found is not None:
            return kind, found
    return "whole", change.new["size"]


def costs(old, new, changes):
    """(bytes, {kind: [files, bytes]}) a player on OLD fetches for the changes to NEW."""
    kinds = {}
    for c in changes:
        if c.new is not None:
            kind, size = download(old, new, c)
            kinds.setdefault(kind, [0, 0])
            kinds[kind][0] += 1
            kinds[kind][1] += size
    return sum(b for _, b in kinds.values()), kinds


def earlier_releases(old, new, channel, count):
    """[(record, Release)] of the last count releases of channel recorded by the publication
    among OLD and NEW, oldest first, before the one its head names (OLD or NEW itself);
    unreadable ones are skipped."""
    root = next((r.folder for r in (old, new) if r.published and releases.read_records(r.folder, channel)), None)
    if root is None or count <= 0:
        return []
    seen = set()
    try:
        head = heads.read_head(root, channel)
        if head:
            seen.add(releases.content(heads.release_fields(head)))
    except heads.HeadError:
        pass
    found = []
    for record in reversed(releases.read_records(root, channel)):
        fields = {k: record[k] for k in heads.RELEASE_KEYS if k in record}
        if releases.content(fields) in seen:
            continue
        seen.add(releases.content(fields))
        rows, problems = releases.release_rows(root, fields)
        if problems or "full" not in rows:
            continue
        found.append((record, Release(root, rows=rows["full"])))
        if len(found) == count:
            break
    return found[::-1]


def by_kind(kinds):
    return {k: {"files": n, "bytes": b} for k, (n, b) in kinds.items()}


def add_arguments(parser):
    parser.add_argument("old", metavar="OLD", help="the release players have: a publication or game folder")
    parser.add_argument("new", metavar="NEW", help="the release to compare: a publication or game folder")
    parser.add_argument("--releases", metavar="N", type=int, default=releases.KEEP_RELEASES,
                        help="also sum what players on each of the channel's last N recorded "
                             f"releases download (default {releases.KEEP_RELEASES}; 0: none)")
    parser.add_argument("--channel", metavar="NAME", default=heads.DEFAULT_CHANNEL,
                        help=f"the channel whose releases are read (default {heads.DEFAULT_CHANNEL})")


def run(args, out, err, result):
    from .progress import Progress
    try:
        with Progress(0, "hashing", err) as bar:
            old = Release(args.old, bar.update)
            new = Release(args.new, bar.update)
    except (OSError, ValueError) as e:
        print(f"zarvo-studio diff: refused: {e}", file=err)
        return status.REFUSED
    changes = compare(old, new)
    files = []
    for c in changes:
        entry = {"path": c.path, "change": c.kind}
        if c.moved_from:
            entry["from"] = c.moved_from
        if c.new is not None:
            entry["download"], entry["bytes"] = download(old, new, c)
        files.append(entry)
        where = f" (from {c.moved_from})" if c.moved_from else ""
        cost = f"  {entry['download']} {entry['bytes']} bytes" if "download" in entry else ""
        print(f"{c.kind:8} {c.path}{where}{cost}", file=out)
    counts = {k: sum(1 for c in changes if c.kind == k) for k in ("added", "changed", "removed", "moved")}
    total, kinds = costs(old, new, changes)
    full = sum(int(r.get("zsize") or r["size"]) for r in new.rows.values())

    def spelled(kinds):
        return ", ".join(f"{k} {n} files {b} bytes" for k, (n, b) in sorted(kinds.items()))
    print(", ".join(f"{n} {k}" for k, n in counts.items()) + f"; {len(new.rows)} files in NEW", file=out)
    print(f"a player on OLD downloads {total} bytes ({spelled(kinds)}); a new player {full}", file=out)
    earlier = []
    for record, release in earlier_releases(old, new, args.channel, args.releases):
        size, its_kinds = costs(release, new, compare(release, new))
        earlier.append({"release": record["release"], "published": record.get("published"),
                        "bytes": size, "by_kind": by_kind(its_kinds)})
        print(f"a player on release {record['release']} of {args.channel} downloads {size} bytes "
              f"({spelled(its_kinds)})", file=out)
    result.update(old=args.old, new=args.new, counts=counts, files=files,
                  downloads={"from_old": {"bytes": total, "by_kind": by_kind(kinds)},
                             "from_releases": earlier, "new_player": full})
    return status.OK if changes else status.NOTHING_TO_DO
