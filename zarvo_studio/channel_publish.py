"""What publish does for channels: where a channel's files are written, its release and head
once the documents are in place, and what --prune must keep for the heads.

Channel "live" is published at the top of the folder as always (the classic documents and
folders for launchers that read no head), then gets its release and head. Any other channel
is published as a classic folder of its own under channels/<name>/, never served: its objects
are linked into the top's objects/, and only its release and head are served. So a beta never
replaces a file that live's classic documents name.
"""
import hashlib
import os
import shutil
import time

from . import heads, releases

CHANNELS = "channels"


def add_arguments(parser):
    parser.add_argument("--channel", metavar="NAME", default=heads.DEFAULT_CHANNEL,
                        help=f"the channel to publish to (default {heads.DEFAULT_CHANNEL}, which also "
                             "writes the classic documents); see docs/releases.md")
    parser.add_argument("--rollout", metavar="N", type=int, default=100,
                        help="per cent of installs that take the new release at first (default 100); "
                             "the others stay on the channel's release")
    parser.add_argument("--keep-releases", metavar="N", type=int, default=releases.KEEP_RELEASES,
                        help="--prune keeps the objects of each channel's last N releases besides "
                             f"what the heads name (default {releases.KEEP_RELEASES})")
    parser.add_argument("--head-expires-days", metavar="N", type=float, default=heads.HEAD_EXPIRES_DAYS,
                        help=f"days until a signed head expires (default {heads.HEAD_EXPIRES_DAYS:g}): "
                             "sign it again before (resign)")


def problems(args):
    found = []
    problem = heads.channel_problem(args.channel)
    if problem:
        found.append(f"--channel {problem}")
    if not 1 <= args.rollout <= 100:
        found.append(f"--rollout {args.rollout}: a share from 1 to 100 (per cent of installs)")
    if args.keep_releases < 0:
        found.append(f"--keep-releases {args.keep_releases}: 0 or more")
    if not 0 < args.head_expires_days <= 366:
        found.append(f"--head-expires-days {args.head_expires_days}: between 1 and 366 days")
    if args.rollout < 100:
        try:
            head = heads.read_head(args.out_dir, args.channel)
        except heads.HeadError as e:
            head, problem = None, str(e)
            found.append(problem)
        if head is None and not found:
            found.append(f"--rollout {args.rollout}: channel {args.channel} has no release yet for "
                         "the other installs to stay on")
    return found


def folder_for(out_dir, channel):
    """Where the classic files of a publish to channel go."""
    if channel == heads.DEFAULT_CHANNEL:
        return out_dir
    return os.path.join(out_dir, CHANNELS, channel)


def link_objects(folder, root):
    """Every object of a channel's folder into the top's objects/ (a name is its content, so
    one that is there stays). Returns how many were added."""
    source = os.path.join(os.fsencode(folder), heads.OBJECTS.encode())
    target = os.path.join(os.fsencode(root), heads.OBJECTS.encode())
    os.makedirs(target, exist_ok=True)
    added = 0
    for name in sorted(os.listdir(source)) if os.path.isdir(source) else []:
        if name.startswith(b"."):
            continue  # a publisher's temporary name
        destination = os.path.join(target, name)
        if os.path.lexists(destination):
            continue
        try:
            os.link(os.path.join(source, name), destination)
        except OSError:
            temp = os.path.join(target, b"." + name + b".zarvo-link.tmp")
            shutil.copyfile(os.path.join(source, name), temp)
            os.replace(temp, destination)
        added += 1
    return added


def _sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def finish(args, launcher, private_key=None, say=print):
    """The release of a publish whose documents are in place: objects linked, manifests
    stored, the record, then the head. Raises ReleaseError or OSError."""
    root, folder = args.out_dir, folder_for(args.out_dir, args.channel)
    if folder != root:
        link_objects(folder, root)
    documents = {}
    for kind, name in heads.DOCUMENT_NAMES.items():
        path = os.path.join(os.fsencode(folder), name.encode())
        if kind == "display" and not os.path.exists(path):
            continue
        with open(path, "rb") as f:
            documents[kind] = f.read()
    launcher_sha = _sha256(os.path.join(os.fsencode(folder), b"update", os.fsencode(launcher)))
    signer = heads.HeadSigner(private_key, args.head_expires_days) if private_key is not None else None
    record, head = releases.publish(root, args.channel, documents, launcher_sha, args.rollout, signer)
    text = f"{heads.head_name(args.channel)}: release {head['release']}"
    if record is None:
        text += " kept (its manifests did not change)"
    if "previous" in head:
        text += f" for {head['rollout']}% of installs, release {head['previous']} for the rest"
    say(text)
    if signer is not None:
        say(f"{heads.head_name(args.channel)} signed, expires {heads.expiry_text(signer.expires)}: "
            f"sign it again before (resign --channel {args.channel} --sign KEY.pem)")
    return head


def dry_run(args, say):
    try:
        head = heads.read_head(args.out_dir, args.channel)
    except heads.HeadError as e:
        say(f"would be refused: {e}")
        return
    number = releases._next_number(args.out_dir, args.channel, head)
    say(f"would write {heads.head_name(args.channel)} naming release {number} (or keep release "
        f"{head['release']} if the manifests do not change)" if head else
        f"would write {heads.head_name(args.channel)} naming release {number}")


def kept_names(root, keep):
    """The objects --prune keeps for the heads and the last releases, besides the classic ones."""
    return releases.needed_objects(root, keep)


def prune_top(root, keep_names, grace_days, say, now=None):
    """After a publish to another channel than live: the top's objects that nothing needs and
    that are older than the grace period. keep_names: what live's classic documents name and
    kept_names()."""
    folder = os.path.join(os.fsencode(root), heads.OBJECTS.encode())
    limit = (time.time() if now is None else now) - grace_days * 86400
    removed = 0
    for name in os.listdir(folder) if os.path.isdir(folder) else []:
        path = os.path.join(folder, name)
        if os.fsdecode(name) in keep_names or not os.path.isfile(path):
            continue
        if os.lstat(path).st_mtime < limit:
            os.unlink(path)
            removed += 1
    if removed:
        say(f"pruned {removed} object{'' if removed == 1 else 's'} under {heads.OBJECTS}/ that no "
            f"head, recent release or manifest named for {grace_days:g} days")
    return removed
