"""Compressed copies for the publishing tool (zarvo-studio publish).

Most of a game (executables, libraries, scripts, configuration, uncompressed pictures and
sound) shrinks two to ten times under deflate. For every file whose compressed copy saves at
least SAVING of its size, the tool writes that copy under packed/<path> and names its length
in the file's manifest row ("zsize"). A launcher that downloads the file whole fetches the
copy instead, inflates it as it arrives and checks the inflated bytes against the row's MD5
(and SHA-256 when signed), exactly as a raw download; anything wrong with the copy sends it
back to update/<path>. Launchers that do not know "zsize" never look at packed/.

Copy format: gzip members (RFC 1952) one after the other, each of MEMBER raw bytes (the last
one shorter), so that `gunzip` reads the copy as the file and a launcher can fetch and inflate
any run of whole members on its own (byte ranges across connections, continuing after a cut).
The first member's header carries an extra field (FEXTRA) with the subfield "ZM":
  format 1 (u8), 0 (u8), 0 (u16), member size MEMBER (u32), raw size (u64),
  the raw file's MD5 (16 bytes), then the length of each member in the copy (u32 each, the
  first member's header included)
all little-endian: the table of where each member begins. The MD5 ties a copy to one version
of its file, as the block indexes do, so an unchanged file's copy is not written again.

Deflate level 9 (zlib, the same as `gzip -9`). Debian's zopfli makes streams 3 to 5% smaller
at about a hundredth of the speed (docs/benchmarks.md has the figures), which a publish of a
whole game does not repay.
"""
import hashlib
import os
import struct
import zlib

from . import paths

FOLDER = "packed"
MEMBER = 1 << 20
SAVING = 0.10            # a copy is written only when it is at least this much smaller
MAX_SIZE = 2147483647    # the launcher reads "zsize" and "size" as signed 32-bit numbers
MAX_MEMBERS = (0xFFFF - 4 - 32) // 4  # the table must fit one extra field
SUBFIELD = b"ZM"
FORMAT = 1
TABLE_HEAD = struct.Struct("<BBHIQ16s")


def members_of(size):
    return max(1, -(-size // MEMBER))


def wants_copy(f):
    return 0 < f.size <= MAX_SIZE and members_of(f.size) <= MAX_MEMBERS


def _header(extra):
    flags = 0x04 if extra is not None else 0
    head = b"\x1f\x8b\x08" + bytes([flags]) + b"\x00\x00\x00\x00" + b"\x02\xff"
    if extra is not None:
        head += struct.pack("<H", len(extra)) + extra
    return head


def _extra(size, md5_hex, lengths):
    data = TABLE_HEAD.pack(FORMAT, 0, 0, MEMBER, size, bytes.fromhex(md5_hex))
    data += struct.pack(f"<{len(lengths)}I", *lengths)
    return SUBFIELD + struct.pack("<H", len(data)) + data


def write_copy(source, size, md5_hex, out):
    """Writes the compressed copy of the file at source into the open file out (seekable).
    Returns the copy's length, or None when the file no longer has this size."""
    count = members_of(size)
    start = out.tell()
    first_head = len(_header(_extra(size, md5_hex, [0] * count)))
    out.write(b"\0" * first_head)  # filled in once the lengths are known
    lengths, read = [], 0
    with open(source, "rb") as f:
        for i in range(count):
            block = f.read(MEMBER)
            read += len(block)
            deflate = zlib.compressobj(9, zlib.DEFLATED, -zlib.MAX_WBITS, 8)
            body = deflate.compress(block) + deflate.flush()
            if i > 0:
                out.write(_header(None))
            out.write(body)
            out.write(struct.pack("<II", zlib.crc32(block), len(block) & 0xFFFFFFFF))
            lengths.append((first_head if i == 0 else 10) + len(body) + 8)
        if read != size or f.read(1):
            return None
    end = out.tell()
    out.seek(start)
    out.write(_header(_extra(size, md5_hex, lengths)))
    out.seek(end)
    return end - start


def read_table(path):
    """(member size, raw size, md5 hex, member lengths) of a published copy, or None."""
    try:
        with open(path, "rb") as f:
            head = f.read(12)
            if len(head) < 12 or head[:4] != b"\x1f\x8b\x08\x04":
                return None
            xlen = struct.unpack("<H", head[10:12])[0]
            extra = f.read(xlen)
    except OSError:
        return None
    at = 0
    while at + 4 <= len(extra):
        sub, length = extra[at:at + 2], struct.unpack("<H", extra[at + 2:at + 4])[0]
        data = extra[at + 4:at + 4 + length]
        at += 4 + length
        if sub != SUBFIELD or len(data) < TABLE_HEAD.size:
            continue
        fmt, _, _, member, size, md5 = TABLE_HEAD.unpack(data[:TABLE_HEAD.size])
        rest = data[TABLE_HEAD.size:]
        if fmt != FORMAT or len(rest) % 4:
            return None
        return member, size, md5.hex(), list(struct.unpack(f"<{len(rest) // 4}I", rest))
    return None


def copy_path(pub, f):
    """Where f's compressed copy lies under the publisher's OUT_DIR (bytes)."""
    return os.path.join(pub.out, FOLDER.encode(), *f.key().split(b"/"))


def current_size(pub, f):
    """The length of f's published copy when it describes f's content, else None."""
    path = copy_path(pub, f)
    table = read_table(path)
    if table is None or table[0] != MEMBER or table[1] != f.size or table[2] != f.hash:
        return None
    length = os.path.getsize(path)
    return length if length == sum(table[3]) else None


def worth_it(size, length):
    return length <= size * (1 - SAVING)


def stage(pub, files):
    """Writes a compressed copy of every file that gains enough from one and has none yet,
    under a temporary name beside its place, added to the publisher's staged renames (all
    before the manifests). Sets f.zsize of each file that is to carry a copy. Returns
    (problem or '', count of copies written)."""
    written = 0
    for f in files:
        f.zsize = 0
        if not wants_copy(f):
            continue
        dst = copy_path(pub, f)
        have = current_size(pub, f)
        if have is not None:
            f.zsize = have if worth_it(f.size, have) else 0
            continue
        if os.path.isdir(dst):
            return f"{f.path}: {FOLDER}/{f.path} is a folder in OUT_DIR; remove it first", written
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        tmp = pub.temp_beside(dst)
        with open(tmp, "wb") as out:
            length = write_copy(f.source, f.size, f.hash, out)
            if length is not None and worth_it(f.size, length):
                out.flush()
                os.fsync(out.fileno())
        if length is None:
            os.unlink(tmp)
            return f"{f.path}: changed while its compressed copy was written; publish again", written
        if not worth_it(f.size, length):
            os.unlink(tmp)
            continue
        pub.staged.append((tmp, dst))
        f.zsize = length
        written += 1
    return "", written


def unlisted(pub, files, enabled=True):
    """Files under packed/ that no manifest row offers (all of them when copies are off)."""
    wanted = {copy_path(pub, f) for f in files if enabled and getattr(f, "zsize", 0)}
    return paths.files_not_in(os.path.join(pub.out, FOLDER.encode()), wanted)


def remove_empty_folders(pub):
    paths.remove_empty_folders(os.path.join(pub.out, FOLDER.encode()))


def inflated_md5(data):
    """(MD5 hex, raw length) of a copy's bytes read as gzip members one after the other, or
    None when they are not whole members."""
    digest, size = hashlib.md5(), 0
    while data:
        inflater = zlib.decompressobj(16 + zlib.MAX_WBITS)
        try:
            raw = inflater.decompress(data)
        except zlib.error:
            return None
        if not inflater.eof:
            return None
        digest.update(raw)
        size += len(raw)
        data = inflater.unused_data
    return digest.hexdigest(), size
