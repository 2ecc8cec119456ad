"""What a publish writes of each game file, from one read of it.

Each file is read once, on one thread per core, and the same pieces go to its MD5, its SHA-256
(signed publications), its block index, its compressed copy, its new copy under update/ and,
for a small file, the bytes its bundle takes. What a file needs is guessed before the read
from what OUT_DIR holds: a file whose published copy, index and compressed copy all have its
size is most likely unchanged, and is only hashed; when the digest then shows that something
is out of date (the same size, other bytes), that file is read a second time for it.
"""
import hashlib
import os
import stat

from . import blockindex, bundles, onepass, packed

KEEP_LIMIT = 256 << 20


class Work:
    """One file's read: its sinks and the temporary files they fill."""

    def __init__(self, f):
        self.f = f
        self.md5 = hashlib.md5()
        self.sha256 = None
        self.keep = None
        self.copy = None       # onepass.FileSink of update/ (None: not copied in this read)
        self.linked = None     # or the temporary hard link to the game file
        self.index = None      # blockindex.IndexSink
        self.packed = None     # (packed.CopySink, its open file, its temporary path)

    def sinks(self):
        found = [self.md5, self.sha256, self.keep, self.copy, self.index,
                 self.packed[0] if self.packed else None]
        return [s for s in found if s is not None]

    def abandon(self):
        if self.copy:
            self.copy.abandon()
        if self.linked:
            _unlink(self.linked)
        if self.packed:
            self.packed[1].close()
            _unlink(self.packed[2])


def _unlink(path):
    try:
        os.unlink(path)
    except OSError:
        pass


def _same_size(path, size):
    try:
        st = os.stat(path)
    except OSError:
        return False
    return stat.S_ISREG(st.st_mode) and st.st_size == size


class Stager:
    def __init__(self, pub, sign, block_index, compress, bundle_below, launcher, progress=None):
        self.pub = pub
        self.sign, self.block_index, self.compress = sign, block_index, compress
        self.bundle_below, self.launcher = bundle_below, launcher
        self.progress = progress
        self.reads = 0          # bytes read from GAME_DIR, second reads included
        self.kept = 0           # bytes of small files kept for their bundles
        # The rows OUT_DIR's full manifest has now: a row without "zsize" says that the copy
        # of those bytes was not worth keeping.
        self.prior = {row.get("path"): row for row in pub.current_rows()}

    def wants_index(self, f):
        return self.block_index and blockindex.wants_index(f)

    def wants_copy(self, f):
        return self.compress and packed.wants_copy(f)

    def likely_current(self, f):
        pub = self.pub
        if not _same_size(pub.destination(f), f.size):
            return False
        if self.wants_index(f):
            found = blockindex.header_of(blockindex.index_path(pub, f))
            if found is None or found[1] != f.size:
                return False
        if self.wants_copy(f):
            table = packed.read_table(packed.copy_path(pub, f))
            row = self.prior.get(f.path)
            refused = row is not None and row.get("size") == f.size and not row.get("zsize")
            if not refused and (table is None or table[1] != f.size):
                return False
        return True

    def copy_refused(self, f):
        """True when OUT_DIR's manifest has these bytes without a copy (not worth one)."""
        row = self.prior.get(f.path)
        return row is not None and not row.get("zsize") and row.get("size") == f.size \
            and str(row.get("hash", "")).lower() == f.hash

    def prepare(self, work, copy, index, compress):
        """Opens the sinks of one read; raises OSError, or returns a problem or ''."""
        f, pub = work.f, self.pub
        if copy:
            dst = pub.destination(f)
            if os.path.isdir(dst):
                return f"{f.path}: update/{f.path} is a folder in OUT_DIR; remove it first"
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            tmp = pub.temp_beside(dst)
            if pub.hardlink:
                try:
                    os.link(f.source, tmp)
                    work.linked = tmp
                except OSError:
                    pass  # another file system, or links not allowed: copy instead
            if not work.linked:
                work.copy = onepass.FileSink(tmp)
        if index:
            dst = blockindex.index_path(pub, f)
            if os.path.isdir(dst):
                return f"{f.path}: {blockindex.FOLDER}/{f.path}{blockindex.SUFFIX} is a folder in OUT_DIR; remove it first"
            work.index = blockindex.IndexSink(f.size)
        if compress:
            dst = packed.copy_path(pub, f)
            if os.path.isdir(dst):
                return f"{f.path}: {packed.FOLDER}/{f.path} is a folder in OUT_DIR; remove it first"
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            tmp = pub.temp_beside(dst)
            out = open(tmp, "wb")
            work.packed = (packed.CopySink(f.size, out), out, tmp)
        return ""

    def read(self, work):
        got = onepass.read_once(work.f.source, work.sinks(), self.progress)
        with self.pub.lock:
            self.reads += got
        if got != work.f.size:
            return f"{work.f.path}: changed while it was being read; publish again"
        return ""

    def one(self, f, hash_only=False):
        """Reads f and stages what it needs. Returns (problem or '', state of update/)."""
        work = Work(f)
        if self.sign:
            work.sha256 = hashlib.sha256()
        if self.bundle_below and bundles.wants_bundle(f, self.launcher, self.bundle_below):
            with self.pub.lock:  # kept up to a bound; beyond it the bundles read them again
                if self.kept + f.size <= KEEP_LIMIT:
                    self.kept += f.size
                    work.keep = onepass.KeepSink()
        guess = hash_only or self.likely_current(f)
        try:
            problem = "" if guess else self.prepare(work, True, self.wants_index(f), self.wants_copy(f))
            problem = problem or self.read(work)
            if problem:
                work.abandon()
                return problem, None
        except BaseException:
            work.abandon()
            raise
        f.hash = work.md5.hexdigest()
        f.sha256 = work.sha256.hexdigest() if work.sha256 else ""
        f.raw = work.keep.data() if work.keep else None
        if hash_only:
            return "", self.pub.state_of(f)
        state = self.pub.state_of(f)
        if guess:  # the guess was that everything is current: see what is not
            again = Work(f)
            need = (state != "unchanged", self.wants_index(f) and not blockindex.current(self.pub, f),
                    self.wants_copy(f) and packed.current_size(self.pub, f) is None
                    and not self.copy_refused(f))
            if any(need):
                again.md5 = hashlib.md5()
                try:
                    problem = self.prepare(again, *need) or self.read(again)
                    if not problem and again.md5.hexdigest() != f.hash:
                        problem = f"{f.path}: changed while it was being read; publish again"
                except BaseException:
                    again.abandon()
                    raise
                if problem:
                    again.abandon()
                    return problem, None
            work = again
        self.finish(work, state)
        return "", state

    def finish(self, work, state):
        """Stages what the read made, or drops it where OUT_DIR already has the same."""
        f, pub = work.f, self.pub
        made = work.copy.path if work.copy else work.linked
        if made:
            if state == "unchanged":
                _unlink(made)
            else:
                pub.stage_temp(made, pub.destination(f))
        if work.index and not blockindex.current(pub, f):
            pub.stage_bytes(blockindex.index_path(pub, f), work.index.data(f.hash))
        if self.wants_copy(f):
            have = packed.current_size(pub, f)
            if not work.packed and have is None and self.copy_refused(f):
                f.zsize = 0
            elif work.packed and have is None:
                sink, out, tmp = work.packed
                length = sink.close(f.hash)
                keep = length is not None and packed.worth_it(f.size, length)
                if keep:
                    out.flush()
                    os.fsync(out.fileno())
                out.close()
                if keep:
                    pub.stage_temp(tmp, packed.copy_path(pub, f))
                    pub.copies_written += 1
                else:
                    _unlink(tmp)
                f.zsize = length if keep else 0
            else:
                if work.packed:
                    work.packed[1].close()
                    _unlink(work.packed[2])
                f.zsize = have if have is not None and packed.worth_it(f.size, have) else 0
        else:
            f.zsize = 0

    def run(self, files, hash_only=False):
        """Every file read and staged; returns ({path: state}, problems)."""
        results = onepass.read_many(lambda f: self.one(f, hash_only), files)
        problems = [p for p, _ in results if p]
        return {f.path: s for f, (_, s) in zip(files, results)}, problems
