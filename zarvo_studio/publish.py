"""Publish a game build folder as a Zarvo Vestra update-server folder.

    zarvo-studio publish GAME_DIR OUT_DIR [--light GLOB ...] [--launcher NAME]
                 [--display-url URL] [--display-disabled] [--version N]
                 [--hardlink] [--prune [--grace-days D]] [--no-block-index] [--no-compress]
                 [--no-bundles] [--bundle-below BYTES] [--dry-run]
                 [--sign KEY.pem [--expires-days N]] [--json]

Writes into OUT_DIR:
  manifest_full.json   every file of GAME_DIR (the whole-game download)
  manifest_light.json  the files matching the --light patterns, plus the launcher (start-up check)
  update/PATH          the bytes of every file, under its "/" separated path
  blocks/PATH.zbi      a block index of every file of 1 MiB or more: launchers patch such
                       files from their old copy with Range requests
  packed/PATH          a compressed copy of every file it makes at least 10% smaller, named
                       by "zsize" in the file's manifest rows
  objects/SHA256.zbd   bundles of the files below 64 KiB, named by their bytes and by
                       "zbundle" in the files' rows
  displayinfo.json     only with --display-url or --display-disabled
  objects/NAME         the same bytes again under names made of their content, never
                       rewritten: objects/<md5>, objects/<md5>-<zsize>.gz and
                       objects/<md5>.zbi, hard links to the files above where the file
                       system allows, for launchers built with LAUNCHER_CACHEABLE_CONTENT and
                       caches in front of them (docs/cdn-and-object-storage.md)
A manifest row: "path", "hash" (MD5), "size", "version", and where they apply "sha256"
(signed publications), "zsize" (the compressed copy's length), "zbundle" (its bundle).

Serve OUT_DIR as it is from any static HTTPS server (see tools/nginx/zarvo-updates.conf).
--sign needs python3-cryptography.
"""
import hashlib
import os
import re
import stat
import sys

from . import blockindex
from . import bundles
from . import objects
from . import packed
from . import status
from .game import LAUNCHER_OWN_FILES, GameFile, check_paths, scan_game  # noqa: F401
from .paths import (RESERVED_NAMES, files_not_in, glob_regex, md5_of,  # noqa: F401
                         reader_problem, remove_empty_folders, windows_problem)

DEFAULT_LAUNCHER = "Zarvo Vestra.exe"
SIZE_FIELD_MAX = 2147483647  # the launcher reads "size" as a signed 32-bit number
VERSION_MIN, VERSION_MAX = -2147483648, 2147483647
BLOCK = 1 << 20
TEMP_TAG = ".zarvo-publish-"

# The game client's options file, which the launcher writes the chosen language into.
OPTIONS_FILE = "opt.dat"

EPILOG = """\
paths:
  Every file of GAME_DIR is published under its path relative to GAME_DIR, with "/" between
  folders, in the order of its UTF-8 bytes. The launcher downloads it from
  <base>/update/<path> and stores it under the game folder with "\\" in place of "/".
  A path the launcher would not read exactly as written, or could not download or store
  under that name on Windows, is refused before anything is written: '"', '\\', '{', '}',
  control characters, ':', a leading '/', a '..' component or one made only of dots and
  spaces, names that are not UTF-8, '<', '>', '|', '?', '*', '#', '%', a component ending in
  a dot or a space, device names (CON, NUL, COM1, ...), two paths that differ only in letter
  case, a file X beside X.tmp (the launcher downloads X through X.tmp), and the launcher's
  own marker files. Files bigger than 2147483647 bytes are published with a warning: the
  launcher reads "size" as a 32-bit number and caps it, which only affects its progress bar.

light manifest (--light):
  Patterns match the whole path, case-sensitively: "*" and "?" stay inside one folder,
  "**" matches across folders ("**/" also matches no folder at all), "[abc]" is a class.
  So "*.exe" matches top-level .exe files and "data/**/*.pak" every .pak under data/.
  The launcher's executable is always in the light manifest, so that every start can
  replace an outdated launcher. Its default name is "Zarvo Vestra.exe", the name it has
  after its first-run installation (it copies itself to <SystemDrive>\\Zarvo Vestra\\
  Zarvo Vestra.exe); it must be a top-level file of GAME_DIR.

publishing into an existing folder:
  New and changed files are first written under temporary names, then renamed into place,
  and only then the manifests are replaced, each by a rename, so a launcher never reads a
  manifest naming a file that is not there. A file whose content changed is replaced under
  the same name (the format has no versioned names): a launcher that fetched the previous
  manifest just before may get the new bytes, fail its MD5 check and report
  "Error: fallo la descarga"; its next start is fine. Unchanged files are not rewritten.
  Files under update/ that the new manifests no longer list are left in place, for
  launchers still working from the previous manifest; --prune removes them after the
  manifests were replaced (a launcher then gets 404 for them, which it counts as done,
  so prune at a quiet moment or one publish later).
  Objects under objects/ are made after the files they repeat are in place and before the
  manifests; one that exists is never written again. One the previous manifests named and
  the new ones do not gets the moment as its date, and --prune deletes those that no
  manifest names once their date is older than --grace-days (default 7), as launchers that
  started on an older manifest may still ask for them.
  Files are copied. With --hardlink they are hard-linked from GAME_DIR instead when both
  folders lie on one file system (no second copy of a big game), but a link shares its bytes
  with GAME_DIR: whatever rewrites a game file in place afterwards (a build, cp, an editor)
  changes the served file under its manifest at once, and launchers then fail its MD5
  check. Use it only when GAME_DIR is a release folder that is never written again.
"""


# ---------------------------------------------------------------------------------------------
# Documents

def manifest_text(files, version):
    rows = [f'  {{"path": "{f.path}", "hash": "{f.hash}", "size": {f.size}, "version": {version}'
            + (f', "sha256": "{f.sha256}"' if f.sha256 else "")
            # Last in the row: a reader that takes "zsize" for "size" still meets "size" first.
            + (f', "zsize": {f.zsize}' if f.zsize else "") + bundles.row_keys(f) + "}"
            for f in files]
    return '{"files": [\n' + ",\n".join(rows) + "\n]}\n"


def displayinfo_text(url, enabled):
    return '{"enabled": %d, "url": "%s"}\n' % (1 if enabled else 0, url)


def url_problem(url):
    for ch in url:
        if ch in '"\\' or ord(ch) < 0x20 or ord(ch) == 0x7F:
            return f"the page address contains {ch!r}, which the launcher would keep as written or cut"
    if url and not re.match(r"https?://", url):
        return "the page address must start with https:// (or http://)"
    return None


# ---------------------------------------------------------------------------------------------
# Writing

def _replace(source, destination):
    """Every rename into place goes through here (the tests watch the order)."""
    os.replace(source, destination)


def _fsync_write(path, data):
    with open(path, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())


class Publisher:
    def __init__(self, out_dir, hardlink, dry_run, say):
        self.out = os.fsencode(out_dir)
        self.update = os.path.join(self.out, b"update")
        self.hardlink = hardlink
        self.dry_run = dry_run
        self.say = say
        self.counter = 0
        self.staged = []  # (temp, destination)

    def destination(self, f):
        return os.path.join(self.update, *f.key().split(b"/"))

    def temp_beside(self, destination):
        self.counter += 1
        folder, name = os.path.split(destination)
        return os.path.join(folder, b".%s%s%d-%d.tmp" % (name[:40], TEMP_TAG.encode(), os.getpid(), self.counter))

    def state_of(self, f):
        """"new", "changed" or "unchanged" for the published copy of f."""
        dst = self.destination(f)
        try:
            st = os.stat(dst)
        except FileNotFoundError:
            return "new"
        if not stat.S_ISREG(st.st_mode):
            return "changed"
        src = os.stat(f.source)
        if (st.st_dev, st.st_ino) == (src.st_dev, src.st_ino):
            return "unchanged"
        if st.st_size != f.size or md5_of(dst)[0] != f.hash:
            return "changed"
        return "unchanged"

    def stage(self, f):
        """Puts f's bytes under a temporary name beside its destination. '' or a problem."""
        dst = self.destination(f)
        if os.path.isdir(dst):
            return f"{f.path}: update/{f.path} is a folder in OUT_DIR; remove it first"
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        tmp = self.temp_beside(dst)
        if self.hardlink:
            try:
                os.link(f.source, tmp)
                self.staged.append((tmp, dst))
                return ""
            except OSError:
                pass  # another file system, or links not allowed: copy instead
        digest, size = hashlib.md5(), 0
        with open(f.source, "rb") as src, open(tmp, "wb") as out:
            self.staged.append((tmp, dst))
            while True:
                block = src.read(BLOCK)
                if not block:
                    break
                digest.update(block)
                size += len(block)
                out.write(block)
            out.flush()
            os.fsync(out.fileno())
        if digest.hexdigest() != f.hash or size != f.size:
            return f"{f.path}: changed while it was being published; publish again"
        return ""

    def discard_staged(self):
        for tmp, _ in self.staged:
            try:
                os.unlink(tmp)
            except OSError:
                pass
        self.staged = []

    def commit_staged(self):
        for tmp, dst in self.staged:
            _replace(tmp, dst)
        self.staged = []

    def write_document(self, name, text):
        final = os.path.join(self.out, name.encode())
        tmp = os.path.join(self.out, b".%s%s%d.tmp" % (name.encode(), TEMP_TAG.encode(), os.getpid()))
        _fsync_write(tmp, text.encode("utf-8"))
        _replace(tmp, final)

    def unlisted(self, files):
        """Files under update/ (temporary leftovers included) that no manifest lists."""
        return files_not_in(self.update, {self.destination(f) for f in files})

    def prune(self, stale):
        for full in stale:
            os.unlink(full)
        remove_empty_folders(self.update)


def plural(count, word):
    return f"{count} {word}{'' if count == 1 else 's'}"


def rel_name(publisher, full):
    return os.path.relpath(full, publisher.out).replace(os.sep.encode(), b"/").decode("utf-8", "replace")


def publish(args, out=None, err=None, result=None):
    """The whole publish; returns the exit status."""
    out = out or sys.stdout
    err = err or sys.stderr

    def say(text):
        print(text, file=out)

    def warn(text):
        print(f"zarvo-studio publish: warning: {text}", file=err)

    def refuse(problems, outcome="nothing was written"):
        for p in problems:
            print(f"zarvo-studio publish: refused: {p}", file=err)
        print(f"zarvo-studio publish: {outcome} ({len(problems)} problem"
              f"{'s' if len(problems) != 1 else ''})", file=err)
        return 1

    def failed(error, outcome):
        print(f"zarvo-studio publish: failed: {describe(error)}; {outcome}", file=err)
        return 1

    game_dir, out_dir = args.game_dir, args.out_dir
    if not os.path.isdir(game_dir):
        return refuse([f"{game_dir}: GAME_DIR is not a folder"])
    game_real, out_real = os.path.realpath(game_dir), os.path.realpath(out_dir)
    if (out_real + os.sep).startswith(game_real + os.sep) or (game_real + os.sep).startswith(out_real + os.sep):
        return refuse([f"{out_dir}: OUT_DIR and GAME_DIR must not contain each other"])
    if os.path.exists(out_dir) and not os.path.isdir(out_dir):
        return refuse([f"{out_dir}: OUT_DIR exists and is not a folder"])

    problems = []
    launcher = args.launcher
    if "/" in launcher or "\\" in launcher or not launcher:
        problems.append(f"{launcher}: --launcher names a file at the top of GAME_DIR, not a path")
    if not VERSION_MIN <= args.version <= VERSION_MAX:
        problems.append(f"--version {args.version}: the launcher reads a signed 32-bit number")
    patterns = []
    for p in args.light:
        p = p[2:] if p.startswith("./") else p
        if p.startswith("/"):
            problems.append(f"--light {p}: patterns are relative to GAME_DIR")
        patterns.append((p, glob_regex(p)))
    display = None
    if args.display_url is not None or args.display_disabled:
        url = args.display_url or ""
        reason = url_problem(url)
        if reason:
            problems.append(f"--display-url {url}: {reason}")
        if not url and not args.display_disabled:
            problems.append("--display-url: the page address is empty")
        display = displayinfo_text(url, not args.display_disabled)

    signer = None
    if args.sign:
        try:
            from . import sign
            signer = sign.Signer(args.sign, out_dir, args.expires_days)
        except ImportError:
            problems.append("--sign: needs python3-cryptography (apt-get install python3-cryptography)")
        except sign.SignError as e:
            problems.append(f"--sign: {e}")

    files, scan_problems = scan_game(game_dir)
    problems += scan_problems
    problems += check_paths(files, launcher)
    if problems:
        return refuse(problems)

    light, matched = [], {p: 0 for p, _ in patterns}
    for f in files:
        hit = f.path.upper() == launcher.upper()
        for p, rx in patterns:
            if rx.match(f.path):
                matched[p] += 1
                hit = True
        if hit:
            light.append(f)
    for p, count in matched.items():
        if count == 0:
            warn(f"--light {p} matches no file of GAME_DIR")
    # The client keeps the player's options, the language the launcher sets among them, in
    # opt.dat: a light manifest would put the published copy back at every start.
    if any(f.path.upper() == OPTIONS_FILE.upper() for f in light):
        return refuse([f"{OPTIONS_FILE}: the game client's options file (the player's language "
                       "and settings) must not be in the light manifest; every start would "
                       "reset it"])
    if any(f.path.upper() == OPTIONS_FILE.upper() for f in files):
        warn(f"{OPTIONS_FILE}: the full manifest lists the game client's options file; a full "
             "check replaces each player's settings and language with the published ones")

    for f in files:
        f.hash, read = md5_of(f.source)
        if signer:
            f.sha256 = sign.sha256_of(f.source)
        if read != f.size:
            return refuse([f"{f.path}: changed while it was being read; publish again"])
        if f.size > SIZE_FIELD_MAX:
            warn(f"{f.path}: {f.size} bytes do not fit the manifest's size field; the launcher "
                 f"reads {SIZE_FIELD_MAX} (it judges files by their digests, so the file still "
                 "updates, but its download progress bar is off)")
        if len(f.path.encode("utf-16-le")) // 2 + len("C:\\Zarvo Vestra\\.tmp") > 259:
            warn(f"{f.path}: the path is long; in C:\\Zarvo Vestra its download name passes "
                 "the 259 characters Windows allows without long-path support")

    pub = Publisher(out_dir, args.hardlink, args.dry_run, say)
    states = {f.path: pub.state_of(f) for f in files}
    changes = [f for f in files if states[f.path] != "unchanged"]
    total = sum(f.size for f in files)
    say(f"{plural(len(files), 'file')}, {plural(total, 'byte')}; {len(light)} in the light manifest")
    say(f"update/: {sum(1 for s in states.values() if s == 'new')} new, "
        f"{sum(1 for s in states.values() if s == 'changed')} changed, "
        f"{sum(1 for s in states.values() if s == 'unchanged')} unchanged")

    if args.dry_run:
        for f in changes:
            say(f"would write update/{f.path} ({states[f.path]})")
        if args.block_index:
            for f in blockindex.to_write(pub, files):
                say(f"would write {blockindex.FOLDER}/{f.path}{blockindex.SUFFIX}")
        if args.compress:
            for f in files:
                if packed.wants_copy(f) and packed.current_size(pub, f) is None:
                    say(f"would try a compressed copy {packed.FOLDER}/{f.path}")
        say("would replace manifest_full.json and manifest_light.json"
            + (" and displayinfo.json" if display is not None else ""))
        for f in files:
            f.zsize = packed.current_size(pub, f) or 0 if args.compress else 0
        objects.dry_run(pub, files, args.prune, args.grace_days, say)
        stale = [rel_name(pub, x) for x in pub.unlisted(files)
                 + blockindex.unlisted(pub, files, args.block_index)
                 + packed.unlisted(pub, files, args.compress)]
        for s in stale:
            say(f"would {'remove' if args.prune else 'leave'} {s} (no longer listed)")
        say("dry run: nothing was written")
        return 0

    # Phase 1: every new or changed file under a temporary name. Nothing is served yet.
    try:
        os.makedirs(pub.update, exist_ok=True)
        for f in changes:
            problem = pub.stage(f)
            if problem:
                pub.discard_staged()
                return refuse([problem], "nothing was published")
        indexes = len(pub.staged)
        problem = blockindex.stage(pub, files) if args.block_index else ""
        indexes = len(pub.staged) - indexes
        if problem:
            pub.discard_staged()
            return refuse([problem], "nothing was published")
        problem, copies = packed.stage(pub, files) if args.compress else ("", 0)
        if problem:
            pub.discard_staged()
            return refuse([problem], "nothing was published")
        problem, bundle_count, _ = (bundles.stage(pub, files, launcher, args.bundle_below)
                               if args.bundles else ("", 0, 0))
        if problem:
            pub.discard_staged()
            return refuse([problem], "nothing was published")
    except OSError as e:
        pub.discard_staged()
        return failed(e, "nothing was published; OUT_DIR serves what it served before")
    # Phase 2: the files into place, then the documents, the manifests last.
    def signed(name, text):
        return signer.sign(name, text) if signer else text
    try:
        old_names = objects.local_names(pub.out, objects.current_rows(pub.out))
        pub.commit_staged()
        names = objects.local_names(pub.out, objects.game_rows(files))
        objects_done = objects.write(pub, names) + (objects.drop(pub, old_names, names),)
        if display is None and signer:  # signed again, or its expiry would run out
            display = signer.unsigned_text(os.path.join(out_dir, "displayinfo.json"))
        if display is not None:
            pub.write_document("displayinfo.json", signed("displayinfo.json", display))
        pub.write_document("manifest_full.json", signed("manifest_full.json", manifest_text(files, args.version)))
        pub.write_document("manifest_light.json", signed("manifest_light.json", manifest_text(light, args.version)))
    except OSError as e:
        pub.discard_staged()
        return failed(e, "some files may be in place, but the manifests were not all replaced; "
                         "publish again")
    say(f"wrote {plural(len(changes), 'file')} under update/"
        + (f" and {indexes} block index{'' if indexes == 1 else 'es'} under blocks/" if indexes else "")
        + (f" and {copies} compressed cop{'y' if copies == 1 else 'ies'} under packed/" if copies else "")
        + (f" and {plural(bundle_count, 'bundle')} under objects/" if bundle_count else "")
        + ", then replaced the manifests"
        + (" and displayinfo.json" if display is not None else ""))
    if args.compress:
        offered = [f for f in files if f.zsize]
        say(f"compressed copies: {sum(f.zsize for f in offered)} bytes for {len(offered)} of "
            f"{len(files)} files, beside the publication's {total} bytes; a whole download moves "
            f"{sum(f.zsize or f.size for f in files)} bytes instead of {total}")
    if args.bundles:
        say(bundles.describe(files))
    say(objects.summary(names, *objects_done, args.grace_days))
    if signer:
        say(signer.describe())
    if display is None and os.path.exists(os.path.join(out_dir, "displayinfo.json")):
        say("displayinfo.json left as it is (--display-url or --display-disabled replace it)")

    if args.prune:
        objects.prune(pub, names, args.grace_days, say)
    stale = pub.unlisted(files)
    stale_indexes = blockindex.unlisted(pub, files, args.block_index)
    stale_copies = packed.unlisted(pub, files, args.compress)
    # Bundles are objects: named, dated when dropped and pruned after the grace period above.
    if (stale or stale_indexes or stale_copies) and args.prune:
        pub.prune(stale + stale_indexes + stale_copies)
        blockindex.remove_empty_folders(pub)
        packed.remove_empty_folders(pub)
        say(f"pruned {plural(len(stale + stale_indexes + stale_copies), 'file')} no longer listed")
    else:
        if stale:
            say(f"left {plural(len(stale), 'file')} under update/ that no manifest lists any more "
                "(for launchers still on the previous manifest; --prune removes them)")
        if stale_indexes:
            say(f"left {plural(len(stale_indexes), 'file')} under blocks/ that describe no listed "
                "file (--prune removes them)")
        if stale_copies:
            say(f"left {plural(len(stale_copies), 'file')} under packed/ that no manifest row "
                "offers (--prune removes them)")
    return 0


SUMMARY = "publish a game build folder as an update-server folder"


def add_arguments(parser):
    parser.usage = "%(prog)s GAME_DIR OUT_DIR [options]"
    # GAME_DIR and OUT_DIR may also follow --light's patterns: see run().
    parser.add_argument("folders", metavar="GAME_DIR OUT_DIR", nargs="*",
                        help="the game build folder, and the folder to serve (created if missing)")
    parser.add_argument("--light", metavar="GLOB", nargs="+", action="extend", default=[],
                        help="files of the start-up check (one or more; repeatable; see below)")
    parser.add_argument("--launcher", metavar="NAME", default=DEFAULT_LAUNCHER,
                        help=f'the launcher executable in GAME_DIR (default "{DEFAULT_LAUNCHER}", '
                             "its name after the first-run installation); always in the light manifest")
    parser.add_argument("--display-url", metavar="URL",
                        help='write displayinfo.json: {"enabled": 1, "url": URL}')
    parser.add_argument("--display-disabled", action="store_true",
                        help='write displayinfo.json with "enabled": 0 (the web panel stays hidden)')
    parser.add_argument("--version", type=int, default=1,
                        help='the "version" of every file row (default 1)')
    parser.add_argument("--hardlink", action="store_true",
                        help="hard-link files from GAME_DIR instead of copying (see below)")
    parser.add_argument("--prune", action="store_true",
                        help="remove files under update/ that are no longer listed, after the manifests")
    parser.add_argument("--grace-days", metavar="D", type=float, default=objects.GRACE_DAYS,
                        help="--prune deletes an object no manifest names once it was dropped D days "
                             f"ago (default {objects.GRACE_DAYS:g})")
    parser.add_argument("--no-block-index", dest="block_index", action="store_false",
                        help="write no block indexes (launchers then download changed files whole)")
    parser.add_argument("--no-compress", dest="compress", action="store_false",
                        help="write no compressed copies (launchers then download raw bytes only)")
    bundles.add_arguments(parser)
    parser.add_argument("--dry-run", action="store_true", help="say what would change, write nothing")
    parser.add_argument("--sign", metavar="KEY.pem",
                        help="sign the manifests and displayinfo.json with this ECDSA P-256 private key "
                             "(an existing displayinfo.json is signed again); see docs/signing.md")
    parser.add_argument("--expires-days", metavar="N", type=float, default=30,
                        help="days until the signed documents expire (default 30): publish again before")


def run(args, out, err, result):
    # "--light A B GAME OUT": nargs="+" takes every word, so the folders missing at the end
    # come back from the end of the patterns.
    folders = list(args.folders)
    while len(folders) < 2 and args.light:
        folders.insert(0, args.light.pop())
    if len(folders) != 2:
        args.parser.error("give GAME_DIR and OUT_DIR")
    args.game_dir, args.out_dir = folders
    try:
        return publish(args, out, err, result)
    except OSError as e:  # reading GAME_DIR or OUT_DIR before anything was written
        print(f"zarvo-studio publish: failed: {describe(e)}; nothing was written", file=err)
        return status.REFUSED


def main(argv=None, out=None, err=None):
    """The publish command in this process (what tests and scripts call)."""
    from . import cli
    return cli.main(["publish"] + list(sys.argv[1:] if argv is None else argv), out, err)


def describe(error):
    where = f"{os.fsdecode(error.filename)}: " if error.filename else ""
    return f"{where}{error.strerror or error}"
