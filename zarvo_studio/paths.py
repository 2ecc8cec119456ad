"""Path and pattern rules of the publishing tool: which names the launcher can read back and
store on Windows, the --light patterns, and the walks that find what a publication no longer
lists."""

import hashlib
import os
import re

# Names Windows keeps for devices, with or without an extension (the launcher refuses them).
RESERVED_NAMES = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"} | {
    f"{p}{d}" for p in ("COM", "LPT") for d in "0123456789\u00b9\u00b2\u00b3"}


def reader_problem(path):
    """Why the launcher's manifest reader would not take this path exactly as written, or None."""
    for ch in path:
        if ch in '"\\{}':
            return f"contains {ch!r}, which the launcher's manifest reader would cut or keep as an escape"
        if ord(ch) < 0x20 or ord(ch) == 0x7F:
            return f"contains the control character U+{ord(ch):04X}"
    if path.startswith("/"):
        return "starts with '/' (absolute), which the launcher refuses"
    if ":" in path:
        return "contains ':' (a drive or a stream on Windows), which the launcher refuses"
    for part in path.split("/"):
        if part.count(".") >= 2 and part.strip(". ") == "":
            return f"has the component {part!r}, which Windows reads like '..'; the launcher refuses it"
    return None


def windows_problem(path):
    """Why the launcher could not download or store the file under this name, or None."""
    for ch in path:
        if ch in "<>|?*":
            return f"contains {ch!r}, which Windows does not allow in file names"
        if ch in "#%":
            return f"contains {ch!r}, which the download address <base>/update/<path> would misread"
    for part in path.split("/"):
        if part == "":
            return "has an empty folder name"
        if part[-1] in ". ":
            return f"has the component {part!r}, whose trailing dot or space Windows drops"
        if part.split(".", 1)[0].rstrip(" ").upper() in RESERVED_NAMES:
            return f"has the component {part!r}, a device name on Windows"
    return None


def _class_end(pattern, i):
    """Index of the "]" closing the class that opens at i, or -1 ("[" is then literal)."""
    j = i + 1
    if pattern[j:j + 1] == "!":
        j += 1
    if pattern[j:j + 1] == "]":
        j += 1  # a "]" first in the class is a member
    end = pattern.find("]", j)
    return end


def glob_regex(pattern):
    """A compiled regex for one --light pattern (see the help text for the rules)."""
    out, i, n = [], 0, len(pattern)
    while i < n:
        c = pattern[i]
        if pattern.startswith("**/", i):
            out.append("(?:.*/)?")
            i += 3
        elif pattern.startswith("**", i):
            out.append(".*")
            i += 2
        elif c == "*":
            out.append("[^/]*")
            i += 1
        elif c == "?":
            out.append("[^/]")
            i += 1
        elif c == "[" and _class_end(pattern, i) > 0:
            j = _class_end(pattern, i)
            body = pattern[i + 1:j]
            negate = body.startswith("!")
            body = body[1:] if negate else body
            body = body.replace("\\", "\\\\").replace("^", "\\^").replace("[", "\\[")
            out.append(f"[{'^' if negate else ''}{body}]")
            i = j + 1
        else:
            out.append(re.escape(c))
            i += 1
    return re.compile("".join(out) + r"\Z", re.DOTALL)


def files_not_in(root, keep):
    """Every file below root (a missing root has none), in a stable order, that keep lacks."""
    found = []
    for folder, dirs, names in os.walk(root):
        dirs.sort()
        for name in sorted(names):
            full = os.path.join(folder, name)
            if full not in keep:
                found.append(full)
    return found


def remove_empty_folders(root):
    """Removes the folders below root that are left empty; root itself stays."""
    for folder, _, _ in os.walk(root, topdown=False):
        if folder != root and not os.listdir(folder):
            os.rmdir(folder)


def md5_of(path):
    """(hex digest, size read)."""
    digest, size = hashlib.md5(), 0
    with open(path, "rb") as f:
        while True:
            block = f.read(1 << 20)
            if not block:
                break
            digest.update(block)
            size += len(block)
    return digest.hexdigest(), size
