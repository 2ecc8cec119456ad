"""One read of a file for everything a publish makes of it, and the one way files are written.

A signed, compressed and indexed publish wants five things of each game file: its MD5, its
SHA-256, its block index, its compressed copy and its copy under update/. read_once() reads the
file once, in CHUNK pieces, and hands every piece to each of the sinks that want it; hashlib
and zlib let go of the interpreter while they work, so files on several threads (read_many)
keep both cores busy.

A sink is any object with update(bytes-like) (hashlib's digests are sinks as they stand) and,
optionally, finish(), called once after the last piece.
"""
import os
from concurrent.futures import ThreadPoolExecutor

CHUNK = 1 << 20   # the compressed copies' member size: one member per piece


def write_synced(path, data=b""):
    """Writes data into a new file at path and waits until it is on the disk."""
    with open(path, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())


def write_atomic(path, data, temp=None, replace=os.replace):
    """data into path by a rename: a reader sees the old file or the new one, never a part.
    temp: the temporary name (default: beside path); replace: the rename (tests watch it)."""
    temp = temp or path + (b".zarvo-tmp" if isinstance(path, bytes) else ".zarvo-tmp")
    try:
        write_synced(temp, data)
        replace(temp, path)
    except BaseException:
        try:
            os.unlink(temp)
        except OSError:
            pass
        raise


class FileSink:
    """Copies the pieces into a new file (synced on finish)."""

    def __init__(self, path):
        self.path = path
        self.file = open(path, "wb")

    def update(self, piece):
        self.file.write(piece)

    def finish(self):
        self.file.flush()
        os.fsync(self.file.fileno())
        self.file.close()

    def abandon(self):
        self.file.close()
        try:
            os.unlink(self.path)
        except OSError:
            pass


class KeepSink:
    """Keeps the bytes (small files, which bundles take whole)."""

    def __init__(self):
        self.parts = []

    def update(self, piece):
        self.parts.append(bytes(piece))

    def data(self):
        return b"".join(self.parts)


def read_once(source, sinks, progress=None):
    """Reads the file at source once, every piece to every sink; returns the bytes read.
    progress(n) is told of every piece."""
    size = 0
    buffer = bytearray(CHUNK)
    view = memoryview(buffer)
    with open(source, "rb", buffering=0) as f:
        while True:
            got = 0
            while got < CHUNK:  # whole pieces, so that members and blocks fall where they should
                n = f.readinto(view[got:])
                if not n:
                    break
                got += n
            if not got:
                break
            piece = view[:got]
            for sink in sinks:
                sink.update(piece)
            size += got
            if progress:
                progress(got)
            if got < CHUNK:
                break
    for sink in sinks:
        finish = getattr(sink, "finish", None)
        if finish:
            finish()
    return size


def read_many(work, items, workers=None):
    """work(item) for every item on one thread per core; results in order. The first failure
    is raised once every started item has ended."""
    workers = workers or os.cpu_count() or 1
    if workers == 1 or len(items) < 2:
        return [work(item) for item in items]
    with ThreadPoolExecutor(max_workers=workers) as pool:
        return list(pool.map(work, items))
