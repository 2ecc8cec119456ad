"""Release heads: the one small document per channel that a launcher fetches at each start.

    heads/<channel>.json        {"release": 12, "channel": "live", "light": "<sha256>", ...}
    objects/<sha256>.zman       a manifest (or the display information) of a release, its plain
                                bytes (signed first line included) as one zlib stream

The head names the manifests of its release by the SHA-256 of their plain bytes, with their
plain and compressed sizes, and the launcher's own SHA-256. During a staged rollout it names
a second release under "prev_" keys: "rollout" installs in a hundred take "release", the rest
take "previous". Manifests are never rewritten under their name, so every cache may keep them
for a year; only the head has a short cache life.

The launcher reads the head with its key scanner, so the head is flat, one key a line, and
every key appears once as a quoted string: channel names are kept to lower-case letters,
digits and "-", and may not be one of the head's keys.

A signed head carries the first line of every signed document (sign.py) for the document
name "heads/<channel>.json", with a short expiry (HEAD_EXPIRES_DAYS): a server that keeps
launchers on an old head is found out when it runs out. Its "release" only ever grows;
re-signing the same head keeps its number.
"""
import hashlib
import json
import os
import re
import time
import zlib

HEADS = "heads"
OBJECTS = "objects"
MANIFEST_SUFFIX = ".zman"
DEFAULT_CHANNEL = "live"
HEAD_EXPIRES_DAYS = 7
# Caches may keep a head this long; the CDN notes and the nginx example say the same.
HEAD_CACHE = "public, max-age=60"
DOCUMENT_KINDS = ("light", "full", "display")
DOCUMENT_NAMES = {"light": "manifest_light.json", "full": "manifest_full.json",
                  "display": "displayinfo.json"}
RELEASE_MAX = 2147483647  # the launcher keeps the number as a signed 32-bit value
CHANNEL_RX = re.compile(r"[a-z0-9][a-z0-9-]{0,31}")
_TEMP_TAG = ".zarvo-head-"


def _release_keys(prefix):
    keys = []
    for kind in DOCUMENT_KINDS:
        keys += [f"{prefix}{kind}", f"{prefix}{kind}_size", f"{prefix}{kind}_zsize"]
    return keys + [f"{prefix}launcher"]


RELEASE_KEYS = _release_keys("")
PREVIOUS_KEYS = _release_keys("prev_")
KEYS = ["release", "channel"] + RELEASE_KEYS + ["rollout", "previous"] + PREVIOUS_KEYS
DIGEST_RX = re.compile(r"[0-9a-f]{64}")


class HeadError(Exception):
    pass


def channel_problem(name):
    if not CHANNEL_RX.fullmatch(name or ""):
        return (f"{name!r}: a channel name is 1 to 32 lower-case letters, digits and '-', "
                "starting with a letter or digit")
    if name in KEYS or name in ("signed", "document", "serial", "expires", "key", "signature"):
        return f"{name!r}: the head's own key names cannot be channel names"
    return None


def head_name(channel):
    return f"{HEADS}/{channel}.json"


def head_path(root, channel):
    return os.path.join(os.fsencode(root), HEADS.encode(), f"{channel}.json".encode())


def manifest_name(digest):
    return f"{OBJECTS}/{digest}{MANIFEST_SUFFIX}"


def manifest_path(root, digest):
    return os.path.join(os.fsencode(root), OBJECTS.encode(), f"{digest}{MANIFEST_SUFFIX}".encode())


def atomic_write(path, data):
    """data under path by one rename, flushed to disk first: readers see the old or the new."""
    folder, name = os.path.split(path)
    os.makedirs(folder, exist_ok=True)
    temp = os.path.join(folder, b".%s%s%d.tmp" % (name[:40], _TEMP_TAG.encode(), os.getpid()))
    with open(temp, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())
    os.replace(temp, path)


# ---- manifests as immutable objects -----------------------------------------------------------

def store_manifest(root, data):
    """Writes data (a document's plain bytes) as objects/<sha256>.zman unless it is there;
    returns {"": digest, "_size": plain size, "_zsize": compressed size}."""
    digest = hashlib.sha256(data).hexdigest()
    path = manifest_path(root, digest)
    try:
        zsize = os.path.getsize(path)  # never written again: its name says what it holds
    except FileNotFoundError:
        packed = zlib.compress(data, 9)
        atomic_write(path, packed)
        zsize = len(packed)
    return {"": digest, "_size": len(data), "_zsize": zsize}


def load_manifest(root, digest, size=None, zsize=None):
    """(plain bytes, "") of objects/<digest>.zman, or (None, what is wrong)."""
    name = manifest_name(digest)
    try:
        with open(manifest_path(root, digest), "rb") as f:
            packed = f.read()
    except FileNotFoundError:
        return None, f"{name}: missing"
    except OSError as e:
        return None, f"{name}: cannot be read ({e.strerror})"
    if zsize is not None and len(packed) != zsize:
        return None, f"{name}: {len(packed)} bytes, the head says {zsize}"
    try:
        inflate = zlib.decompressobj()
        data = inflate.decompress(packed, (size or 0) + 1 if size is not None else 0)
        if inflate.unconsumed_tail or inflate.unused_data or not inflate.eof:
            return None, f"{name}: not one whole zlib stream" + (f" of {size} bytes" if size is not None else "")
    except zlib.error as e:
        return None, f"{name}: does not inflate ({e})"
    if size is not None and len(data) != size:
        return None, f"{name}: inflates to {len(data)} bytes, the head says {size}"
    if hashlib.sha256(data).hexdigest() != digest:
        return None, f"{name}: its bytes do not have the SHA-256 of its name"
    return data, ""


# ---- the head document ------------------------------------------------------------------------

def release_fields(head, previous=False):
    """The keys of one release of a head (its own or the "prev_" one) without the prefix."""
    prefix = "prev_" if previous else ""
    return {key[len(prefix):]: head[key] for key in (PREVIOUS_KEYS if previous else RELEASE_KEYS)
            if key in head}


def with_prefix(fields, prefix):
    return {prefix + key: value for key, value in fields.items() if prefix + key in KEYS}


def head_text(head):
    """The unsigned text of a head: the keys in their fixed order, one a line."""
    lines = []
    for key in KEYS:
        if key not in head:
            continue
        value = head[key]
        lines.append(f'"{key}": {value}' if isinstance(value, int) else f'"{key}": "{value}"')
    return "{" + ",\n".join(lines) + "}\n"


def split_signed(data):
    """(serial, expires, unsigned body) of a head; serial and expires are None when unsigned."""
    if not data.startswith(b'{"signed": '):
        return None, None, data
    end = data.find(b"\n")
    line = data[:end].decode("utf-8", "replace") if end >= 0 else ""
    serial = re.search(r'"serial": (\d+)', line)
    expires = re.search(r'"expires": (\d+)', line)
    if end < 0 or not serial or not expires:
        raise HeadError("a signature line that does not read")
    return int(serial.group(1)), int(expires.group(1)), b"{" + data[end + 1:]


def parse_head(data, channel=None):
    """The fields of a head's bytes (plus "_serial", "_expires" when signed); HeadError says
    what is wrong."""
    serial, expires, body = split_signed(data)
    try:
        head = json.loads(body.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as e:
        raise HeadError(f"not JSON ({e})")
    if not isinstance(head, dict):
        raise HeadError("not a JSON object")
    unknown = sorted(set(head) - set(KEYS))
    if unknown:
        raise HeadError(f"unknown keys {', '.join(unknown)}")
    for key in KEYS:
        if key not in head:
            continue
        value = head[key]
        if key in ("channel",) or key.endswith(("light", "full", "display", "launcher")):
            if not isinstance(value, str) or (key != "channel" and not DIGEST_RX.fullmatch(value)):
                raise HeadError(f'"{key}": not a lower-case SHA-256')
        elif not isinstance(value, int) or isinstance(value, bool) or value < 0:
            raise HeadError(f'"{key}": not a number')
    for key in ("release", "channel", "light", "full", "launcher"):
        if key not in head:
            raise HeadError(f'no "{key}"')
    if channel is not None and head["channel"] != channel:
        raise HeadError(f'"channel" is "{head["channel"]}", served as {head_name(channel)}')
    if "previous" in head:
        if not 0 <= head.get("rollout", -1) < 100:
            raise HeadError('"previous" without a "rollout" share below 100')
        for key in ("prev_light", "prev_full", "prev_launcher"):
            if key not in head:
                raise HeadError(f'"previous" without "{key}"')
    elif "rollout" in head and head["rollout"] != 100:
        raise HeadError('a "rollout" share below 100 without a "previous" release')
    if serial is not None:
        head["_serial"], head["_expires"] = serial, expires
    return head


def read_head(root, channel):
    """The head of a channel, or None when the channel has none. HeadError when it does not read."""
    try:
        with open(head_path(root, channel), "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return None
    try:
        return parse_head(data, channel)
    except HeadError as e:
        raise HeadError(f"{head_name(channel)}: {e}")


def channels(root):
    """The channels that have a head in a publication folder, sorted."""
    try:
        names = os.listdir(os.path.join(os.fsencode(root), HEADS.encode()))
    except FileNotFoundError:
        return []
    found = []
    for name in names:
        name = os.fsdecode(name)
        if name.endswith(".json") and channel_problem(name[:-5]) is None:
            found.append(name[:-5])
    return sorted(found)


def takes(head, share_number):
    """Which release an install whose stable number (0-99) is share_number takes: "release" or
    "previous"."""
    if "previous" in head and share_number >= head.get("rollout", 100):
        return "previous"
    return "release"


class HeadSigner:
    """Signs heads with a private key (sign.py): a serial above the head's last one, and a
    short expiry."""

    def __init__(self, private_key, expires_days=HEAD_EXPIRES_DAYS, now=None):
        if not 0 < expires_days <= 366:
            raise HeadError(f"--head-expires-days {expires_days}: between 1 and 366 days")
        self.key = private_key
        self.now = int(time.time() if now is None else now)
        self.expires = self.now + int(expires_days * 86400)

    def sign(self, channel, text, last_serial):
        from . import sign
        serial = max(self.now, (last_serial or 0) + 1)
        return sign.sign_document(text, head_name(channel), self.key, serial, self.expires)


def write_head(root, channel, head, signer=None, current=None):
    """Writes heads/<channel>.json by one rename; the manifests it names must be in place.
    current: the head it replaces (read_head), whose serial the new signature passes."""
    problem = channel_problem(channel)
    if problem:
        raise HeadError(problem)
    if not 0 < head["release"] <= RELEASE_MAX:
        raise HeadError(f"release {head['release']}: past what the launcher can hold")
    if current is not None and head["release"] < current["release"]:
        raise HeadError(f"release {head['release']} is below the channel's {current['release']}")
    for kind in DOCUMENT_KINDS:
        for prefix in ("", "prev_"):
            digest = head.get(prefix + kind)
            if digest and not os.path.exists(manifest_path(root, digest)):
                raise HeadError(f"{manifest_name(digest)}: missing; a head never names a manifest "
                                "that is not in place")
    text = head_text(dict(head, channel=channel))
    if signer is not None:
        text = signer.sign(channel, text, (current or {}).get("_serial"))
    elif current is not None and "_serial" in current:
        raise HeadError(f"{head_name(channel)} is signed: give the signing key (--sign KEY.pem), "
                        "launchers built with keys refuse an unsigned head")
    atomic_write(head_path(root, channel), text.encode("utf-8"))
    # The manifests the head stopped naming are dropped as every object is: dated now, so
    # that --prune keeps them through the grace period for launchers that read the old head.
    now = time.time()
    for digest in set(_manifests(current or {})) - set(_manifests(head)):
        try:
            os.utime(manifest_path(root, digest), (now, now))
        except FileNotFoundError:
            pass
    return text


def _manifests(head):
    return [head[prefix + kind] for kind in DOCUMENT_KINDS for prefix in ("", "prev_")
            if head.get(prefix + kind)]


def expiry_text(expires):
    return time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime(expires))
