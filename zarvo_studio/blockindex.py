"""Block indexes for the publishing tool (zarvo-studio publish).

A launcher that must fetch a new version of a big file builds it from what it already has:
the old file (matched at any byte offset with a rolling checksum) and a ".tmp" left by an
interrupted transfer; it then fetches only the missing blocks with HTTP Range requests. The
block index tells it what the new version's blocks look like. It is published beside the
file, under blocks/<path>.zbi, for every file of at least MIN_SIZE bytes.

Index format (little-endian):
  header, 36 bytes: "ZVBI", format 1 (u8), strong checksum length S (u8), 0 (u16),
                    block size B (u32), file size (u64), the file's MD5 (16 raw bytes)
  then per block of B bytes (the last one may be shorter), 4 + S bytes:
                    Adler-32 of the block (u32), the first S bytes of the block's MD5

The Adler-32 of a window rolls in constant time per byte, so the launcher can test every
offset of its old file; the truncated MD5 confirms a candidate. The MD5 in the header ties
the index to one version of the file: a launcher holding a manifest for another version
ignores it, so replacing an index is as safe as replacing its file. The whole result is
checked against the manifest's MD5 (and SHA-256 when signed) before it is used.

Block size: a patch costs the index (about size * (4 + S) / B bytes) plus, for each changed
region of the file, about one block more than the region itself (the blocks cut by its two
ends). For R changed regions that is least at B = sqrt(size * (4 + S) / R). We take R = 16, a
release touching a few dozen places of an archive; the cost is flat near its minimum (R off by
a factor of 2 costs 6% more overhead). 256 MiB gives B = 11 KiB and an index of 188 KiB
(0.07% of the file); 4 GiB gives 46 KiB and 728 KiB.
"""
import hashlib
import math
import os
import struct
import zlib

from . import paths

FOLDER = "blocks"
SUFFIX = ".zbi"
MIN_SIZE = 1 << 20
MAGIC = b"ZVBI"
FORMAT = 1
HEADER = struct.Struct("<4sBBHIQ16s")
ASSUMED_REGIONS = 16
MIN_BLOCK, MAX_BLOCK = 1024, 1 << 20
READ = 1 << 20


def strong_bytes_for(size, block):
    """Bytes of MD5 per block: enough that a false match among all offsets of an old file of
    about this size and all blocks is a one-in-a-million event (about 2^-20). Adler-32 lets
    through about offsets * blocks / 2^32 false candidates; the strong part must stop them."""
    blocks = max(1, -(-size // block))
    bits = math.log2(max(size, 2)) + math.log2(blocks) - 32 + 20
    return min(16, max(4, math.ceil(bits / 8)))


def block_size_for(size):
    """The block size for a file of this size (see the module's text), a multiple of 1 KiB."""
    strong = strong_bytes_for(size, 16 << 10)
    ideal = math.sqrt(size * (4 + strong) / ASSUMED_REGIONS)
    block = int(round(ideal / 1024)) * 1024
    return min(MAX_BLOCK, max(MIN_BLOCK, block))


def index_bytes(source, size, md5_hex):
    """The index of the file at source (size bytes, MD5 md5_hex); None if it changed size."""
    block = block_size_for(size)
    strong = strong_bytes_for(size, block)
    out = [HEADER.pack(MAGIC, FORMAT, strong, 0, block, size, bytes.fromhex(md5_hex))]
    read = 0
    per_read = max(1, READ // block) * block
    with open(source, "rb") as f:
        while True:
            chunk = f.read(per_read)
            if not chunk:
                break
            read += len(chunk)
            view = memoryview(chunk)
            for at in range(0, len(chunk), block):
                piece = view[at:at + block]
                out.append(struct.pack("<I", zlib.adler32(piece)))
                out.append(hashlib.md5(piece).digest()[:strong])
    return b"".join(out) if read == size else None


def header_of(path):
    """(block size, file size, md5 hex) of an index file, or None."""
    try:
        with open(path, "rb") as f:
            head = f.read(HEADER.size)
    except OSError:
        return None
    if len(head) != HEADER.size:
        return None
    magic, fmt, strong, _, block, size, md5 = HEADER.unpack(head)
    if magic != MAGIC or fmt != FORMAT:
        return None
    return block, size, md5.hex()


def wants_index(f):
    return f.size >= MIN_SIZE


def index_path(pub, f):
    """Where f's index lies under the publisher's OUT_DIR (bytes)."""
    key = f.key() + SUFFIX.encode()
    return os.path.join(pub.out, FOLDER.encode(), *key.split(b"/"))


def current(pub, f):
    """True when f's published index already describes f's content."""
    found = header_of(index_path(pub, f))
    return found is not None and found[1] == f.size and found[2] == f.hash \
        and found[0] == block_size_for(f.size)


def to_write(pub, files):
    return [f for f in files if wants_index(f) and not current(pub, f)]


def stage(pub, files):
    """Writes the missing or outdated indexes under temporary names beside their places and
    adds them to the publisher's staged renames, which all happen before the manifests are
    replaced. Returns '' or a problem."""
    for f in to_write(pub, files):
        dst = index_path(pub, f)
        if os.path.isdir(dst):
            return f"{f.path}: {FOLDER}/{f.path}{SUFFIX} is a folder in OUT_DIR; remove it first"
        data = index_bytes(f.source, f.size, f.hash)
        if data is None:
            return f"{f.path}: changed while its block index was written; publish again"
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        tmp = pub.temp_beside(dst)
        pub.staged.append((tmp, dst))
        with open(tmp, "wb") as out:
            out.write(data)
            out.flush()
            os.fsync(out.fileno())
    return ""


def unlisted(pub, files, enabled=True):
    """Files under blocks/ that describe no listed file (all of them when indexes are off)."""
    wanted = {index_path(pub, f) for f in files if enabled and wants_index(f)}
    return paths.files_not_in(os.path.join(pub.out, FOLDER.encode()), wanted)


def remove_empty_folders(pub):
    paths.remove_empty_folders(os.path.join(pub.out, FOLDER.encode()))
