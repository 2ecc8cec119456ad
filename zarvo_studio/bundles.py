"""Bundles of small files for the publishing tool (zarvo-studio publish).

A request costs a round trip whatever it carries: through 20 ms each way a file of 8 KiB takes
about as long to ask for as to send at 4 MB/s several times over, so a game of tens of
thousands of small files downloads at the pace of its round trips, not of the line. The tool
therefore also packs every file below THRESHOLD bytes into bundle objects of at most
MAX_BUNDLE bytes, under objects/<sha256>.zbd, named by the SHA-256 of their bytes: an address
that names exactly its content, the same for every player and every publication that holds it,
so any cache may keep it. A launcher fetches the runs of a bundle that hold the files it lacks
with one single-range request each (no multi-range request: S3 and most CDNs have none).

THRESHOLD is 64 KiB: below it, a file's request costs more in its round trip (40 to 100 ms at
2 to 4 MB/s per connection: 80 to 400 KB) than its bytes; above it the file's own request is
a small share of its time, and its own address keeps its download simple.

A bundle is nothing but its members one after the other, in path order: each file's bytes as
a gzip member (RFC 1952, deflate level 9) where that is smaller, as the compressed copies are,
else its raw bytes. The file's manifest rows name its bundle and its member:
  "zbundle": the bundle's SHA-256, "zboffset": the member's offset, "zblength": its length
(the length is the file's size for raw bytes, fewer for a gzip member). Launchers that know no
bundles pass these keys by and fetch update/<path>, which stays.

Where bundles are cut: after a file whose path digest ends in a zero byte once the bundle
holds MIN_BUNDLE bytes, or before MAX_BUNDLE would be passed. A cut thus depends on the paths
around it, not on the sizes before it, so a changed file changes its own bundle and seldom
the next: a publication writes one new bundle per changed folder of small files, not a new
set. Bundles that no row names stay for launchers on the previous manifest, until --prune.
"""
import hashlib
import os
import zlib

from . import paths

FOLDER = "objects"
SUFFIX = ".zbd"
THRESHOLD = 64 << 10
MIN_BUNDLE = 1 << 20
MAX_BUNDLE = 4 << 20
MIN_MEMBERS = 2  # a lone file saves no request
# The launcher's own bounds (update/manifest.h): rows beyond them are not taken.
LAUNCHER_MAX_FILE = 1 << 20
LAUNCHER_MAX_BUNDLE = 64 << 20


def add_arguments(parser):
    parser.add_argument("--no-bundles", dest="bundles", action="store_false",
                        help="write no bundles of small files under objects/")
    parser.add_argument("--bundle-below", metavar="BYTES", type=int, default=THRESHOLD,
                        help=f"bundle the files below this size (default {THRESHOLD})")


def wants_bundle(f, launcher, threshold):
    return 0 < f.size < min(threshold, LAUNCHER_MAX_FILE) and f.path.upper() != launcher.upper()


def member_of(source, size):
    """(member, MD5 of the bytes read) of the file at source: a gzip member where it is
    smaller, else the bytes. None when the file no longer has this size."""
    with open(source, "rb") as f:
        raw = f.read(size + 1)
    if len(raw) != size:
        return None
    deflate = zlib.compressobj(9, zlib.DEFLATED, 16 + zlib.MAX_WBITS, 9)
    packed = deflate.compress(raw) + deflate.flush()
    return (packed if len(packed) < len(raw) else raw), hashlib.md5(raw).hexdigest()


def _cut_here(path):
    return hashlib.md5(path.encode("utf-8")).digest()[-1] == 0


def plan(files, launcher, threshold):
    """The groups of files to bundle, in path order."""
    groups, group, size = [], [], 0
    for f in files:
        if not wants_bundle(f, launcher, threshold):
            continue
        if group and size + f.size > MAX_BUNDLE:
            groups.append(group)
            group, size = [], 0
        group.append(f)
        size += f.size
        if size >= MIN_BUNDLE and _cut_here(f.path):
            groups.append(group)
            group, size = [], 0
    if group:
        groups.append(group)
    return [g for g in groups if len(g) >= MIN_MEMBERS]


def bundle_path(pub, digest):
    return os.path.join(pub.out, FOLDER.encode(), (digest + SUFFIX).encode())


def clear(files):
    for f in files:
        f.zbundle, f.zboffset, f.zblength = "", 0, 0


def stage(pub, files, launcher, threshold):
    """Bundles every group of small files; a bundle not yet published is written under a
    temporary name and added to the publisher's staged renames (all before the manifests).
    Sets each bundled file's place. Returns (problem or '', bundles written, bundles named)."""
    clear(files)
    written, named = 0, 0
    for group in plan(files, launcher, threshold):
        members = []
        for f in group:
            read = member_of(f.source, f.size)
            if read is None or read[1] != f.hash:
                return f"{f.path}: changed while its bundle was written; publish again", written, named
            members.append(read[0])
        data = b"".join(members)
        digest = hashlib.sha256(data).hexdigest()
        at = 0
        for f, member in zip(group, members):
            f.zbundle, f.zboffset, f.zblength = digest, at, len(member)
            at += len(member)
        named += 1
        dst = bundle_path(pub, digest)
        if os.path.isfile(dst) and os.path.getsize(dst) == len(data):
            continue  # named by its content: the same bytes are there
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        tmp = pub.temp_beside(dst)
        with open(tmp, "wb") as out:
            out.write(data)
            out.flush()
            os.fsync(out.fileno())
        pub.staged.append((tmp, dst))
        written += 1
    return "", written, named


def row_keys(f):
    """The row's bundle keys, last in the row like "zsize"."""
    if not getattr(f, "zbundle", ""):
        return ""
    return f', "zbundle": "{f.zbundle}", "zboffset": {f.zboffset}, "zblength": {f.zblength}'


def unlisted(pub, files, enabled=True):
    """Bundles under objects/ that no row names (all of them when bundles are off). Only
    bundles: objects/ may hold other kinds of object."""
    folder = os.path.join(pub.out, FOLDER.encode())
    wanted = {bundle_path(pub, f.zbundle) for f in files if enabled and getattr(f, "zbundle", "")}
    return [p for p in paths.files_not_in(folder, wanted) if p.endswith(SUFFIX.encode())]


def describe(files):
    bundled = [f for f in files if getattr(f, "zbundle", "")]
    names = {f.zbundle for f in bundled}
    return (f"bundles: {len(bundled)} small files in {len(names)} bundles under {FOLDER}/, "
            f"{sum(f.zblength for f in bundled)} bytes beside their "
            f"{sum(f.size for f in bundled)} under update/")
