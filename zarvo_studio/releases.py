"""The releases of each channel: publishing one under a head, staged rollout, promote, rollback.

    releases/<channel>/<n>.json   one record per release number the channel's head had: the
                                  manifests it named (as the head names them), when, and how it
                                  came (a publish, a rollback to release m, a promotion of
                                  beta/k), the files and bytes of the game

The records live in the served folder beside the heads, so the history of every channel is
read from what is published (history, check, prune and the release commands need nothing
else). A record is written before the head that names its number, and never rewritten.

Release numbers only grow on a channel. A rollback is a new release (a higher number) that
names the manifests of an earlier one, so launchers that keep the highest number they
accepted take it, and reach the earlier files with the same patches as any update. Raising
a staged rollout's share changes only "rollout": both releases keep their numbers.
"""
import json
import os
import time

from . import heads

RELEASES = "releases"
KEEP_RELEASES = 3
MANIFEST_KINDS = ("light", "full")


class ReleaseError(Exception):
    pass


# ---- records ------------------------------------------------------------------------------------

def record_path(root, channel, number):
    return os.path.join(os.fsencode(root), RELEASES.encode(), channel.encode(), b"%d.json" % number)


def record_text(record):
    return "{" + ",\n".join(f'"{key}": {json.dumps(value)}' for key, value in record.items()) + "}\n"


def read_records(root, channel):
    """The records of a channel, oldest first; unreadable ones are left out (check reports them)."""
    return [r for r in _records(root, channel)[0]]


def _records(root, channel):
    folder = os.path.join(os.fsencode(root), RELEASES.encode(), channel.encode())
    try:
        names = os.listdir(folder)
    except FileNotFoundError:
        return [], []
    records, problems = [], []
    for name in names:
        stem, dot, ext = os.fsdecode(name).partition(".")
        if ext != "json" or not stem.isdigit():
            continue
        try:
            with open(os.path.join(folder, name), "rb") as f:
                record = json.loads(f.read().decode("utf-8"))
            if record.get("release") != int(stem) or record.get("channel") != channel:
                raise ValueError("another release or channel than its name")
            records.append(record)
        except (OSError, UnicodeDecodeError, ValueError, AttributeError) as e:
            problems.append(f"{RELEASES}/{channel}/{stem}.json: does not read ({e})")
    records.sort(key=lambda r: r["release"])
    return records, problems


def record_channels(root):
    try:
        names = os.listdir(os.path.join(os.fsencode(root), RELEASES.encode()))
    except FileNotFoundError:
        return []
    return sorted(n for n in map(os.fsdecode, names) if heads.channel_problem(n) is None)


def history(root):
    """{channel: [record, ...]} of a publication folder, every channel with a head or a record."""
    return {c: read_records(root, c) for c in sorted(set(heads.channels(root)) | set(record_channels(root)))}


def content(fields):
    return tuple(fields.get(k) for k in ("light", "full", "display"))


# ---- manifests and what they name -----------------------------------------------------------------

def row_objects(row, objects_folder):
    """The object names one manifest row needs (its block index where there is one)."""
    md5 = str(row.get("hash", "")).lower()
    names = [md5]
    if row.get("zsize"):
        names.append(f"{md5}-{int(row['zsize'])}.gz")
    if os.path.exists(os.path.join(objects_folder, f"{md5}.zbi".encode())):
        names.append(f"{md5}.zbi")
    if isinstance(row.get("zbundle"), str) and row["zbundle"]:
        names.append(f"{row['zbundle']}.zbd")
    if isinstance(row.get("zdeltas"), str) and row["zdeltas"]:
        names += [f"{old}-{md5}.zdelta" for old in row["zdeltas"].split(",") if old]
    return names


def release_rows(root, fields):
    """({kind: rows}, problems) of the manifests a release names."""
    rows, problems = {}, []
    for kind in MANIFEST_KINDS:
        data, problem = heads.load_manifest(root, fields[kind], fields.get(f"{kind}_size"),
                                            fields.get(f"{kind}_zsize"))
        if problem:
            problems.append(problem)
            continue
        try:
            found = json.loads(data.decode("utf-8"))["files"]
            if not isinstance(found, list) or not all(isinstance(r, dict) and isinstance(r.get("path"), str)
                                                       and isinstance(r.get("hash"), str) for r in found):
                raise ValueError("rows without path or hash")
            rows[kind] = found
        except (UnicodeDecodeError, ValueError, KeyError, TypeError) as e:
            problems.append(f"{heads.manifest_name(fields[kind])}: not a manifest ({e})")
    if fields.get("display"):
        _, problem = heads.load_manifest(root, fields["display"], fields.get("display_size"),
                                         fields.get("display_zsize"))
        if problem:
            problems.append(problem)
    return rows, problems


def release_objects(root, fields, rows=None):
    """{object name: row} of everything a release names under objects/, its manifests too."""
    folder = os.path.join(os.fsencode(root), heads.OBJECTS.encode())
    if rows is None:
        rows, _ = release_rows(root, fields)
    named = {f"{fields[k]}{heads.MANIFEST_SUFFIX}": None
             for k in heads.DOCUMENT_KINDS if fields.get(k)}
    for kind_rows in rows.values():
        for row in kind_rows:
            for name in row_objects(row, folder):
                named.setdefault(name, row)
    return named


def missing_objects(root, fields):
    """What a launcher would miss taking this release: manifests that do not read, objects
    that are not there or not as long as their rows say."""
    rows, problems = release_rows(root, fields)
    folder = os.path.join(os.fsencode(root), heads.OBJECTS.encode())
    for name, row in sorted(release_objects(root, fields, rows).items()):
        if row is None:
            continue
        try:
            size = os.path.getsize(os.path.join(folder, name.encode()))
        except OSError:
            problems.append(f"{heads.OBJECTS}/{name}: missing (named by {row['path']})")
            continue
        want = row.get("size") if name == row["hash"].lower() else \
            row.get("zsize") if name.endswith(".gz") else None
        if want is not None and size != want:
            problems.append(f"{heads.OBJECTS}/{name}: {size} bytes, {row['path']}'s row says {want}")
    return problems


# ---- the release commands ---------------------------------------------------------------------------

def documents_fields(root, documents, launcher_sha256):
    """Stores a release's documents ({kind: plain bytes}) as objects and returns its head fields."""
    fields = {}
    for kind in heads.DOCUMENT_KINDS:
        if documents.get(kind) is not None:
            stored = heads.store_manifest(root, documents[kind])
            fields.update({kind + suffix: value for suffix, value in stored.items()})
    fields["launcher"] = launcher_sha256
    return fields


def settled(head):
    """(number, fields) of the release every install of the head takes but a rollout's share."""
    if head is not None and "previous" in head:
        return head["previous"], heads.release_fields(head, previous=True)
    return (head["release"], heads.release_fields(head)) if head else (None, None)


def _next_number(root, channel, current):
    numbers = [r["release"] for r in read_records(root, channel)] + ([current["release"]] if current else [])
    return max(numbers, default=0) + 1


def commit(root, channel, fields, action, source="", rollout=100, signer=None, now=None, rows=None):
    """A new release of channel naming fields: its record, then the head. Returns (record, head)."""
    problem = heads.channel_problem(channel)
    if problem:
        raise ReleaseError(problem)
    if not 1 <= rollout <= 100:
        raise ReleaseError(f"--rollout {rollout}: a share from 1 to 100 (per cent of installs)")
    try:
        current = heads.read_head(root, channel)
    except heads.HeadError as e:
        raise ReleaseError(f"{e}; mend or remove it first")
    number = _next_number(root, channel, current)
    head = {"release": number, "channel": channel}
    head.update(fields)
    if rollout < 100:
        previous, previous_fields = settled(current)
        if previous is None:
            raise ReleaseError(f"--rollout {rollout}: channel {channel} has no release yet for the "
                               "other installs to stay on")
        if content(previous_fields) == content(fields):
            raise ReleaseError(f"--rollout {rollout}: release {previous} already names these manifests")
        head.update(rollout=rollout, previous=previous, **heads.with_prefix(previous_fields, "prev_"))
    if rows is None:
        rows, _ = release_rows(root, fields)
    full = rows.get("full", [])
    record = {"release": number, "channel": channel, "published": int(time.time() if now is None else now),
              "action": action, "source": source, "rollout": rollout}
    record.update(fields)
    record.update(files=len(full), bytes=sum(r.get("size", 0) for r in full))
    heads.atomic_write(record_path(root, channel, number), record_text(record).encode("utf-8"))
    try:
        heads.write_head(root, channel, head, signer, current)
    except heads.HeadError as e:
        raise ReleaseError(str(e))
    return record, head


def publish(root, channel, documents, launcher_sha256, rollout=100, signer=None, now=None):
    """The release a publish made: documents ({"light": bytes, "full": ..., "display": ...}, the
    plain bytes written for it) as objects, a record and the head. When the channel's head
    already names the same manifests (nothing new), the number stays and only a signed head
    is written again, for its expiry. Returns (record or None, head)."""
    fields = documents_fields(root, documents, launcher_sha256)
    try:
        current = heads.read_head(root, channel)
    except heads.HeadError:
        current = None  # commit reports it
    if current is not None and "previous" not in current and rollout == 100 and \
            content(heads.release_fields(current)) == content(fields):
        if signer is not None or "_serial" in current:
            heads.write_head(root, channel, _plain(current), signer, current)
        return None, current
    return commit(root, channel, fields, "publish", rollout=rollout, signer=signer, now=now)


def _plain(head):
    return {k: v for k, v in head.items() if not k.startswith("_")}


def _current(root, channel):
    try:
        head = heads.read_head(root, channel)
    except heads.HeadError as e:
        raise ReleaseError(str(e))
    if head is None:
        raise ReleaseError(f"channel {channel} has no head ({heads.head_name(channel)}); publish "
                           "to it first")
    return head


def set_rollout(root, channel, share, signer=None):
    """Raises the share of installs that take the head's release; 100 ends the rollout."""
    head = _current(root, channel)
    if "previous" not in head:
        raise ReleaseError(f"channel {channel}: release {head['release']} is taken by every install; "
                           "no rollout to change")
    if not 1 <= share <= 100:
        raise ReleaseError(f"--share {share}: from 1 to 100 (per cent of installs)")
    if share < head["rollout"]:
        raise ReleaseError(f"--share {share}: below the {head['rollout']}% that may already run release "
                           f"{head['release']}; a lower share would switch installs back and forth. "
                           f"To take it back from everyone: rollback --channel {channel}")
    new = _plain(head)
    if share == 100:
        new = {k: v for k, v in new.items() if k not in ("rollout", "previous") + tuple(heads.PREVIOUS_KEYS)}
    else:
        new["rollout"] = share
    try:
        heads.write_head(root, channel, new, signer, head)
    except heads.HeadError as e:
        raise ReleaseError(str(e))
    return new


def _fields_of(root, channel, number, head):
    if number == head["release"]:
        return heads.release_fields(head)
    if number == head.get("previous"):
        return heads.release_fields(head, previous=True)
    for record in read_records(root, channel):
        if record["release"] == number:
            return {k: record[k] for k in heads.RELEASE_KEYS if k in record}
    raise ReleaseError(f"channel {channel} has no release {number} ({RELEASES}/{channel}/{number}.json)")


def _refuse_missing(root, what, fields):
    problems = missing_objects(root, fields)
    if problems:
        shown = "; ".join(problems[:5]) + (f" (and {len(problems) - 5} more)" if len(problems) > 5 else "")
        raise ReleaseError(f"{what} cannot be served any more: {shown}")


def rollback(root, channel, to=None, signer=None, now=None):
    """A new release naming the manifests of an earlier one: by default the release the
    installs outside a rollout run, or else the latest one with other manifests."""
    head = _current(root, channel)
    if to is None:
        if "previous" in head:
            to = head["previous"]
        else:
            earlier = [r for r in read_records(root, channel) if r["release"] < head["release"]
                       and content(r) != content(head)]
            if not earlier:
                raise ReleaseError(f"channel {channel}: no earlier release with other manifests")
            to = earlier[-1]["release"]
    if to >= head["release"]:
        raise ReleaseError(f"--to {to}: not an earlier release than the head's {head['release']}")
    fields = _fields_of(root, channel, to, head)
    _refuse_missing(root, f"release {to} of {channel}", fields)
    return commit(root, channel, fields, "rollback", str(to), signer=signer, now=now)


def promote(root, source, channel, number=None, rollout=100, signer=None, now=None):
    """Release number (default: the head's) of channel source becomes a new release of channel."""
    if source == channel:
        raise ReleaseError(f"promote {source} to itself: rollback names an earlier release")
    head = _current(root, source)
    number = head["release"] if number is None else number
    fields = _fields_of(root, source, number, head)
    _refuse_missing(root, f"release {number} of {source}", fields)
    return commit(root, channel, fields, "promote", f"{source}/{number}", rollout, signer, now)


def resign(root, channel, signer):
    """The same head signed again with a fresh expiry."""
    head = _current(root, channel)
    heads.write_head(root, channel, _plain(head), signer, head)
    return head


# ---- what must stay -----------------------------------------------------------------------------------

def kept_releases(root, keep=KEEP_RELEASES):
    """[(channel, number, fields)] of the releases every head names and of the last `keep`
    release numbers of each channel, each content once."""
    kept = []
    for channel in sorted(set(heads.channels(root)) | set(record_channels(root))):
        try:
            head = heads.read_head(root, channel)
        except heads.HeadError:
            head = None  # unreadable: the records still say what was served
        found = []
        if head is not None:
            found.append((head["release"], heads.release_fields(head)))
            if "previous" in head:
                found.append((head["previous"], heads.release_fields(head, previous=True)))
        for record in read_records(root, channel)[-keep:] if keep > 0 else []:
            found.append((record["release"], {k: record[k] for k in heads.RELEASE_KEYS if k in record}))
        seen = set()
        for number, fields in found:
            if content(fields) not in seen:
                seen.add(content(fields))
                kept.append((channel, number, fields))
    return kept


def needed_objects(root, keep=KEEP_RELEASES):
    """The names under objects/ that the heads and the last releases of every channel need."""
    needed = set()
    for _, _, fields in kept_releases(root, keep):
        needed.update(release_objects(root, fields))
    return needed


# ---- checking a publication folder ---------------------------------------------------------------

def _launcher_named(root, head_launcher, light_rows):
    """Whether a top-level .exe of the light manifest has the head's launcher SHA-256."""
    import hashlib
    folder = os.path.join(os.fsencode(root), heads.OBJECTS.encode())
    for row in light_rows:
        if "/" in row["path"] or not row["path"].lower().endswith(".exe"):
            continue
        digest = hashlib.sha256()
        try:
            with open(os.path.join(folder, row["hash"].lower().encode()), "rb") as f:
                for block in iter(lambda: f.read(1 << 20), b""):
                    digest.update(block)
        except OSError:
            continue
        if digest.hexdigest() == head_launcher:
            return True
    return False


def check(root, report, soon=2 * 86400, now=None):
    """Every head of a publication folder with the manifests it names and the objects those
    name, and every channel's records. report: ok(text), note(text), problem(text)."""
    now = time.time() if now is None else now
    for channel in sorted(set(heads.channels(root)) | set(record_channels(root))):
        name = heads.head_name(channel)
        records, problems = _records(root, channel)
        for problem in problems:
            report.problem(problem)
        try:
            head = heads.read_head(root, channel)
        except heads.HeadError as e:
            report.problem(f"{e}; launchers of channel {channel} stay where they are")
            continue
        if head is None:
            report.note(f"{RELEASES}/{channel}/: {len(records)} releases but no {name}")
            continue
        good = True
        for previous in (False, True):
            fields = heads.release_fields(head, previous)
            if not fields:
                continue
            number = head["previous" if previous else "release"]
            problems = missing_objects(root, fields)
            for problem in problems:
                report.problem(f"{name}: release {number}: {problem}")
            good = good and not problems
            if not problems:
                rows, _ = release_rows(root, fields)
                if not _launcher_named(root, fields["launcher"], rows["light"]):
                    report.problem(f"{name}: release {number}: \"launcher\" is the SHA-256 of no "
                                   "top-level .exe of its light manifest")
                    good = False
            record = next((r for r in records if r["release"] == number), None)
            if record is not None and content(record) != content(fields):
                report.problem(f"{name}: release {number} names other manifests than "
                               f"{RELEASES}/{channel}/{number}.json")
                good = False
        if records and records[-1]["release"] > head["release"]:
            report.note(f"{RELEASES}/{channel}/{records[-1]['release']}.json is newer than {name} "
                        f"(release {head['release']}): a publish stopped before its head; the next "
                        "one goes on from there")
        share = f", {head['rollout']}% of installs (release {head['previous']} for the rest)" \
            if "previous" in head else ""
        if "_expires" in head:
            left = head["_expires"] - now
            text = f"{name}: signed, expires {heads.expiry_text(head['_expires'])}"
            if left < soon:
                report.problem(f"{text}: sign it again before (resign --channel {channel} --sign KEY.pem)")
                good = False
            else:
                report.ok(text)
        if good:
            report.ok(f"{name}: release {head['release']}{share}; its manifests and objects are in place")


def served_files(root, keep=KEEP_RELEASES):
    """What an upload stores beside the classic publication, in its order: the objects the heads
    and the last releases need (the manifests among them), the records, then the heads.
    Returns three lists of names under the folder ("/" separated)."""
    folder = os.path.join(os.fsencode(root), heads.OBJECTS.encode())
    stored = sorted(n for n in needed_objects(root, keep)
                    if os.path.isfile(os.path.join(folder, n.encode())))
    records = [f"{RELEASES}/{c}/{r['release']}.json" for c in record_channels(root) for r in read_records(root, c)]
    return ([f"{heads.OBJECTS}/{n}" for n in stored], records,
            [heads.head_name(c) for c in heads.channels(root)])


def head_releases(root):
    """{channel: head} of the heads that read."""
    found = {}
    for channel in heads.channels(root):
        try:
            head = heads.read_head(root, channel)
        except heads.HeadError:
            continue
        if head is not None:
            found[channel] = head
    return found
