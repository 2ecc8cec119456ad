"""The game build folder as the publishing tool reads it: its files, and the problems of their
paths that the launcher could not download or store as written."""
import os
import stat

from .paths import reader_problem, windows_problem

# Files the launcher keeps beside itself; a manifest must not fight over them.
LAUNCHER_OWN_FILES = ("log/inst_done", "log/lang_set", ".zarvo_downloading", ".zarvo_install_dir",
                      "log/manifest_light.serial", "log/manifest_full.serial", "log/displayinfo.serial",
                      "log/kept_manifest_light.json", "log/kept_manifest_full.json")


class GameFile:
    def __init__(self, path, source, size):
        self.path = path        # "/" separated, str
        self.source = source    # bytes path on disk
        self.size = size
        self.hash = ""          # lower-case MD5, filled by hash_files
        self.sha256 = ""        # lower-case SHA-256, only in a signed publication
        self.zsize = 0          # length of its compressed copy under packed/, 0: none

    def key(self):
        return self.path.encode("utf-8")


def scan_game(game_dir):
    """(files sorted by path bytes, problems). Names are read as bytes so that nothing is lost."""
    files, problems = [], []
    root = os.fsencode(game_dir)
    seen_dirs = set()

    def unreadable(error):
        problems.append(f"{os.fsdecode(error.filename)}: the folder cannot be listed ({error.strerror})")

    for folder, dirs, names in os.walk(root, onerror=unreadable, followlinks=True):
        st = os.stat(folder)
        if (st.st_dev, st.st_ino) in seen_dirs:
            problems.append(f"{os.fsdecode(folder)}: a folder link that loops back; not followed")
            dirs[:] = []
            continue
        seen_dirs.add((st.st_dev, st.st_ino))
        dirs.sort()
        for name in sorted(names):
            full = os.path.join(folder, name)
            rel = os.path.relpath(full, root).replace(os.sep.encode(), b"/")
            try:
                path = rel.decode("utf-8")
            except UnicodeDecodeError:
                problems.append(f"{os.fsdecode(full)}: the name is not valid UTF-8")
                continue
            try:
                st = os.stat(full)
            except OSError as e:
                problems.append(f"{path}: cannot be read ({e.strerror})")
                continue
            if not stat.S_ISREG(st.st_mode):
                problems.append(f"{path}: not a regular file")
                continue
            if not os.access(full, os.R_OK):
                problems.append(f"{path}: cannot be read (permission denied)")
                continue
            files.append(GameFile(path, full, st.st_size))
    files.sort(key=GameFile.key)
    return files, problems


def check_paths(files, launcher):
    """Problems with the set of paths: bad names, case clashes, .tmp clashes, the launcher."""
    problems = []
    by_fold = {}
    for f in files:
        reason = reader_problem(f.path) or windows_problem(f.path)
        if reason:
            problems.append(f"{f.path}: {reason}")
        by_fold.setdefault(f.path.upper(), []).append(f.path)
    for same in by_fold.values():
        if len(same) > 1:
            problems.append(f"{same[0]}: differs from {', '.join(same[1:])} only in letter case; "
                            "on Windows they are one file")
    for f in files:
        up = f.path.upper()
        if up.endswith(".TMP") and up[:-4] in by_fold:
            problems.append(f"{f.path}: the launcher downloads {by_fold[up[:-4]][0]} through this name")
        if up in (p.upper() for p in LAUNCHER_OWN_FILES) or up == (launcher + ".old").upper():
            problems.append(f"{f.path}: a file the launcher keeps for itself beside its executable")
    if launcher.upper() not in by_fold:
        problems.append(f"{launcher}: the launcher executable is not in GAME_DIR; put the released "
                        "launcher there under its installed name, or name it with --launcher")
    return problems
