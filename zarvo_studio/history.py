"""The releases a served folder or a bucket has had, and what each changed.

    zarvo-studio history FOLDER [--json]
    zarvo-studio history s3://BUCKET/PREFIX [--endpoint-url URL] [--region R] [--json]

Every publish adds one line to history.json in OUT_DIR (and upload stores it after the
manifests): the release number (1, 2, ... for this folder), when, the manifests' "version",
the files and bytes, what changed against the release before (added, changed, removed,
moved), the bytes a player on that release downloads at most (compressed copies where there
are, before patches and bundles; `diff` tells those apart), and the SHA-256 of the manifest
published. Launchers never read it.
"""
import hashlib
import json
import os
import time

from . import onepass, status

SUMMARY = "list the releases of a served folder or bucket and what each changed"
NAME = "history.json"


def read_text(data):
    """The records of a history.json's bytes ([] for none); raises ValueError."""
    if not data:
        return []
    document = json.loads(data.decode("utf-8"))
    releases = document.get("releases") if isinstance(document, dict) else None
    if not isinstance(releases, list):
        raise ValueError(f'{NAME}: no "releases" list')
    return releases


def read_folder(folder):
    try:
        with open(os.path.join(os.fsencode(folder), NAME.encode()), "rb") as f:
            return read_text(f.read())
    except FileNotFoundError:
        return []


def text_of(releases):
    # One release a line: a long history stays readable with grep and diff.
    return '{"releases": [\n' + ",\n".join(json.dumps(r, sort_keys=False) for r in releases) + "\n]}\n"


def record(out_dir, old_rows, new_rows, version, manifest_bytes, release=None, channel=None):
    """Adds the release just published to OUT_DIR's history; returns its record. RELEASE is
    the head's number for it; without one the history counts on from its last record."""
    try:
        releases = read_folder(out_dir)
    except ValueError:
        releases = []  # a broken history is started again rather than blocking a publish
    old_hashes = {r["hash"].lower() for r in old_rows.values()}
    added = [p for p in new_rows if p not in old_rows]
    moved = [p for p in added if new_rows[p]["hash"].lower() in old_hashes]
    changed = [p for p in new_rows if p in old_rows
               and (old_rows[p]["hash"].lower(), old_rows[p]["size"]) != (new_rows[p]["hash"].lower(), new_rows[p]["size"])]
    fetched = [new_rows[p] for p in changed + [p for p in added if p not in moved]]
    entry = {
        "release": release or (releases[-1].get("release", 0) if releases else 0) + 1,
        **({"channel": channel} if channel else {}),
        "published": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
        "version": version, "files": len(new_rows), "bytes": sum(r["size"] for r in new_rows.values()),
        "added": len(added) - len(moved), "changed": len(changed),
        "removed": sum(1 for p in old_rows if p not in new_rows), "moved": len(moved),
        "download_bytes": sum(int(r.get("zsize") or r["size"]) for r in fetched),
        "manifest_sha256": hashlib.sha256(manifest_bytes).hexdigest(),
    }
    releases.append(entry)
    path = os.path.join(os.fsencode(out_dir), NAME.encode())
    onepass.write_atomic(path, text_of(releases).encode("utf-8"))
    return entry


def add_arguments(parser):
    parser.add_argument("where", metavar="FOLDER|s3://BUCKET/PREFIX")
    parser.add_argument("--endpoint-url", metavar="URL", help="an S3-compatible service's address")
    parser.add_argument("--region", help="the bucket's region")


def run(args, out, err, result):
    try:
        if args.where.startswith("s3://"):
            status.need("boto3", "python3-boto3", "history of a bucket")
            from . import upload
            target = upload.Target(args.where)
            args.jobs = 1
            client = upload.make_client(args)
            try:
                body = client.get_object(Bucket=target.bucket, Key=target.key(NAME))["Body"].read()
            except client.exceptions.NoSuchKey:
                body = b""
            releases = read_text(body)
        else:
            if not os.path.isdir(args.where):
                print(f"zarvo-studio history: refused: {args.where}: not a folder", file=err)
                return status.REFUSED
            releases = read_folder(args.where)
    except (OSError, ValueError) as e:
        print(f"zarvo-studio history: refused: {e}", file=err)
        return status.REFUSED
    except Exception as e:  # botocore's own
        from .upload import describe
        print(f"zarvo-studio history: refused: {describe(e)}", file=err)
        return status.REFUSED
    result.update(where=args.where, releases=releases)
    if not releases:
        print(f"{args.where}: no history (published before history.json was kept, or never)", file=out)
        return status.NOTHING_TO_DO
    print("release  published             version  files      bytes  added changed removed moved"
          "  download", file=out)
    for r in releases:
        print(f"{r.get('release', '?'):>7}  {r.get('published', '?'):20}  {r.get('version', '?'):>7}"
              f"  {r.get('files', 0):>5} {r.get('bytes', 0):>10}  {r.get('added', 0):>5} "
              f"{r.get('changed', 0):>7} {r.get('removed', 0):>7} {r.get('moved', 0):>5}"
              f"  {r.get('download_bytes', 0):>8}", file=out)
    return status.OK
