"""Upload a publication folder into S3-compatible object storage.

    zarvo-studio upload PUBLICATION s3://BUCKET/PREFIX [--endpoint-url URL] [--region R]
                 [--jobs N] [--dry-run] [--prune [--grace-days D]] [--json]

PUBLICATION is a folder `zarvo-studio publish` wrote; it is checked in full first (as `check
FOLDER` does) and refused, with nothing sent, if anything is wrong. PREFIX (may be empty) is
the folder of the bucket the CDN or the launcher's base address points at.

Order, so that a cut upload leaves players on the previous release and running it again
completes it:
  1. the objects the manifests name (objects/...), each under a name no other bytes get, and
     those the channels' heads and last releases need (their manifests, objects/*.zman);
  2. the classic files (update/, packed/, blocks/), each copied on the server from the object
     holding its bytes, so they cost no upload (sent instead where the server has no copy):
     one at a new path right after its object, one that replaces a stored file once every
     object is stored, which launchers of the default build that started on the previous
     manifest may see (docs/cdn-and-object-storage.md);
  3. the files the outgoing manifests named and the new ones do not get their drop time in
     their metadata (a copy onto themselves, bytes and headers kept);
  4. history.json (the studio's record of its releases, for zarvo-studio history), then
     displayinfo.json, manifest_full.json, manifest_light.json, in that order, then the
     release records (releases/) and the heads (heads/<channel>.json) last;
  5. with --prune: files under objects/, update/, packed/ and blocks/ that the manifests do not
     name, stored and dropped more than --grace-days (default 7) ago, are deleted.
Each phase waits for all of its transfers; a failure stops the upload before the next one.

Incremental: an object already stored under its name with its length is not sent again (its
name is its content); any other file is not sent again when its metadata "zarvo-md5" is the
MD5 of the local bytes. ETags are not used (multipart ETags differ between providers). A
classic file stored before the live manifest_full.json (an earlier second: servers date to
the second), whose row there is the new row, is taken as current without asking: a complete
upload had checked it before storing that manifest, and anything written since is not older.

Headers: objects/ "Cache-Control: public, max-age=31536000, immutable", heads/ "public,
max-age=60", everything else "no-cache"; "Content-Type: application/json" for the documents, application/octet-stream for
the rest. Files of 16 MiB and more go as multipart uploads; --jobs (default 8) transfers run
at once (and as many parts of a big file). Credentials and region the AWS way (environment, ~/.aws/credentials and config,
AWS_PROFILE). Needs boto3 (Debian: apt-get install python3-boto3). Nothing to store and
nothing to mark or prune ends with status 3; a failed prune, after the manifests are in place,
with 5.
"""
import os
import sys
import threading
import time

from . import objects, status
from .progress import Progress

MIB = 1 << 20
PART = 16 * MIB
COPY_LIMIT = 5 * (1 << 30)      # S3's largest single copy; bigger ones are copied in parts
OBJECT_CACHE = "public, max-age=31536000, immutable"
OTHER_CACHE = "no-cache"
DIGEST_KEY = "zarvo-md5"
DROPPED_KEY = "zarvo-dropped"
LAYOUT_FOLDERS = ("objects/", "update/", "packed/", "blocks/")


class UploadError(Exception):
    """The upload stopped; code says how far it came (status.py)."""

    def __init__(self, text, code=status.FAILED):
        super().__init__(text)
        self.code = code


def human(size):
    return f"{size / MIB:.1f} MiB" if size >= MIB else f"{size / 1024:.1f} KiB"


def headers_for(entry_rel):
    from . import heads
    cache = OBJECT_CACHE if entry_rel.startswith("objects/") else \
        heads.HEAD_CACHE if entry_rel.startswith("heads/") else OTHER_CACHE
    kind = "application/json" if entry_rel.endswith(".json") and \
        ("/" not in entry_rel or entry_rel.startswith(("heads/", "releases/"))) else "application/octet-stream"
    return {"CacheControl": cache, "ContentType": kind}


class _Collect:
    def __init__(self):
        self.problems = []

    def ok(self, text):
        pass

    note = ok

    def problem(self, text):
        self.problems.append(text)


def with_releases(pub, keep):
    """pub's entries with what the heads need: their objects (the manifests among them) after
    the classic objects, then the classic files and documents, the records, the heads last.
    Returns (entries, problems check finds in the heads)."""
    from . import releases
    report = _Collect()
    releases.check(pub.folder, report)
    stored, records, heads = releases.served_files(pub.folder, keep)
    have = {e.rel for e in pub.entries}

    def entry(rel, kind):
        made = objects.Entry(rel, os.path.join(pub.folder, *os.fsencode(rel).split(b"/")), kind)
        made.md5, made.size = pub.digest(made.path)
        return made
    extra = [entry(rel, "object") for rel in stored if rel not in have]
    documents = [entry(rel, "document") for rel in records + heads]
    first = [e for e in pub.entries if e.kind == "object"]
    return first + extra + [e for e in pub.entries if e.kind != "object"] + documents, report.problems


def describe(error):
    """A boto3/botocore failure in words a studio can act on."""
    from botocore.exceptions import ClientError, EndpointConnectionError, NoCredentialsError
    if isinstance(error, NoCredentialsError):
        return ("no credentials: set AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY, or a profile "
                "in ~/.aws/credentials (AWS_PROFILE)")
    if isinstance(error, EndpointConnectionError):
        return f"cannot reach the storage ({error})"
    if isinstance(error, ClientError):
        code = error.response.get("Error", {}).get("Code", "")
        text = error.response.get("Error", {}).get("Message", "") or str(error)
        if code == "NoSuchBucket":
            return f"the bucket does not exist ({text})"
        if code in ("InvalidAccessKeyId", "SignatureDoesNotMatch", "InvalidToken",
                    "ExpiredToken", "AuthorizationHeaderMalformed"):
            return f"the storage refused the credentials: {code} ({text})"
        if code in ("AccessDenied", "403", "Forbidden"):
            return f"access denied: these credentials may not do this here ({text})"
        return f"{code or 'error'}: {text}"
    return str(error)


class Target:
    def __init__(self, url):
        if not url.startswith("s3://") or not url[5:].split("/", 1)[0]:
            raise UploadError(f"{url}: the destination is s3://BUCKET or s3://BUCKET/PREFIX")
        bucket, _, prefix = url[5:].partition("/")
        self.bucket, self.prefix = bucket, prefix.strip("/")

    def key(self, rel):
        return f"{self.prefix}/{rel}" if self.prefix else rel

    def rel(self, key):
        return key[len(self.prefix) + 1:] if self.prefix else key


def make_client(args):
    import boto3
    from botocore.config import Config
    options = {"retries": {"max_attempts": 5, "mode": "standard"}, "parameter_validation": False,
               "max_pool_connections": args.jobs * 2 + 4}
    if args.endpoint_url:
        options["s3"] = {"addressing_style": "path"}  # MinIO, s3rver and most others need it
    try:  # botocore 1.36+ adds checksums that many S3-compatible servers refuse
        Config(request_checksum_calculation="when_required")
        options.update(request_checksum_calculation="when_required",
                       response_checksum_validation="when_required")
    except TypeError:
        pass
    session = boto3.session.Session(region_name=args.region)
    return session.client("s3", endpoint_url=args.endpoint_url,
                          region_name=session.region_name or "us-east-1", config=Config(**options))


class Upload:
    def __init__(self, args, client, out, err):
        self.args, self.client, self.out, self.err = args, client, out, err
        self.target = Target(args.destination)
        self.lock = threading.Lock()
        self.sent = self.sent_bytes = self.copied = self.copied_bytes = 0
        self.skipped = self.skipped_bytes = 0
        self.dropped = self.pruned = self.pruned_bytes = self.to_store = 0
        self.bar = Progress(0, "", err)
        self.started = time.monotonic()

    def figures(self):
        """What --json reports."""
        return {"destination": self.args.destination, "dry_run": self.args.dry_run,
                "sent": self.sent, "sent_bytes": self.sent_bytes, "copied": self.copied,
                "copied_bytes": self.copied_bytes, "skipped": self.skipped,
                "skipped_bytes": self.skipped_bytes, "marked_dropped": self.dropped,
                "pruned": self.pruned, "pruned_bytes": self.pruned_bytes,
                "would_store": self.to_store, "seconds": round(time.monotonic() - self.started, 3)}

    def say(self, text):
        with self.lock:
            print(text, file=self.out, flush=True)

    # ---- reading the bucket -------------------------------------------------------------------

    def listing(self):
        """{rel: (size, LastModified as seconds)} of everything under the prefix."""
        found = {}
        prefix = self.target.key("") if self.target.prefix else ""
        pages = self.client.get_paginator("list_objects_v2").paginate(
            Bucket=self.target.bucket, Prefix=prefix)
        for page in pages:
            for item in page.get("Contents", []):
                found[self.target.rel(item["Key"])] = (item["Size"], item["LastModified"].timestamp())
        return found

    def head(self, rel):
        return self.client.head_object(Bucket=self.target.bucket, Key=self.target.key(rel))

    def parallel(self, work, items):
        """work(item) for every item on --jobs threads; results in order; the first failure raises."""
        from concurrent.futures import ThreadPoolExecutor
        with ThreadPoolExecutor(max_workers=self.args.jobs) as pool:
            return list(pool.map(work, items))

    def stored_digest(self, rel):
        return self.head(rel).get("Metadata", {}).get(DIGEST_KEY)

    def outgoing(self, remote):
        """(everything the manifests now in the bucket name, the rows of its full manifest)."""
        named, full = set(), {}
        for name in objects.MANIFESTS:
            if name not in remote:
                continue
            body = self.client.get_object(Bucket=self.target.bucket,
                                          Key=self.target.key(name))["Body"].read()
            for row in objects.rows_of(body) or []:
                if objects._row_problem(row) is not None:
                    continue
                if name == "manifest_full.json":
                    full[row["path"]] = row
                for obj, classic in objects.row_objects(row, lambda r: True):
                    named.update(n for n in (f"objects/{obj}", classic) if n)
        return named, full

    # ---- writing ------------------------------------------------------------------------------

    def multipart(self):
        from boto3.s3.transfer import TransferConfig
        return TransferConfig(multipart_threshold=PART, multipart_chunksize=PART,
                              max_concurrency=self.args.jobs)

    def store(self, entry, how):
        """Sends entry's bytes, or copies them on the server from its object."""
        extra = dict(headers_for(entry.rel), Metadata={DIGEST_KEY: entry.md5})
        bucket, key = self.target.bucket, self.target.key(entry.rel)
        begun = time.monotonic()
        if how == "copy":
            from botocore.exceptions import ClientError
            source = {"Bucket": bucket, "Key": self.target.key(entry.source)}
            try:
                if entry.size < COPY_LIMIT:
                    self.client.copy_object(Bucket=bucket, Key=key, CopySource=source,
                                            MetadataDirective="REPLACE", **extra)
                else:
                    self.client.copy(source, bucket, key, ExtraArgs=dict(extra, MetadataDirective="REPLACE"),
                                     Config=self.multipart())
                return self.done(entry, how, time.monotonic() - begun)
            except ClientError as e:
                if e.response.get("Error", {}).get("Code") not in ("NotImplemented", "501"):
                    raise
                how = "send"  # a service without server-side copies: the bytes again
        if entry.size < PART:
            with open(entry.path, "rb") as f:
                self.client.put_object(Bucket=bucket, Key=key, Body=f, **extra)
            self.bar.update(entry.size)
        else:
            self.client.upload_file(os.fsdecode(entry.path), bucket, key, ExtraArgs=extra,
                                    Config=self.multipart(), Callback=self.bar.update)
        self.done(entry, how, time.monotonic() - begun)

    def run_phase(self, tasks):
        """tasks: lists of (entry, "send" | "copy"), each list done in its order, the lists on
        --jobs threads. Waits for every one; raises on the first failure once all have ended,
        so that no later phase starts."""
        failures = []

        def work(task):
            for job in task:
                try:
                    self.store(*job)
                except Exception as e:  # reported below, once every transfer has ended
                    failures.append((job[0], e))
                    return

        self.parallel(work, tasks)
        if failures:
            entry, error = failures[0]
            raise UploadError(f"{entry.rel}: {describe(error)}"
                              + (f" (and {len(failures) - 1} more failed)" if len(failures) > 1 else ""))

    def done(self, entry, how, seconds):
        with self.lock:
            if how == "copy":
                self.copied += 1
                self.copied_bytes += entry.size
            else:
                self.sent += 1
                self.sent_bytes += entry.size
        if how == "copy":
            self.say(f"copied {entry.rel} from {entry.source} on the server ({human(entry.size)})")
        else:
            rate = f", {entry.size / seconds / MIB:.1f} MiB/s" if seconds > 0.001 else ""
            self.say(f"sent   {entry.rel} ({human(entry.size)} in {seconds:.2f} s{rate})")

    def mark_dropped(self, rel, now):
        """The drop time into the file's metadata, its bytes and headers kept."""
        head = self.head(rel)
        metadata = dict(head.get("Metadata", {}), **{DROPPED_KEY: str(int(now))})
        key = self.target.key(rel)
        extra = {"MetadataDirective": "REPLACE", "Metadata": metadata,
                 "CacheControl": head.get("CacheControl", OTHER_CACHE),
                 "ContentType": head.get("ContentType", "application/octet-stream")}
        source = {"Bucket": self.target.bucket, "Key": key}
        if head["ContentLength"] < COPY_LIMIT:
            self.client.copy_object(Bucket=self.target.bucket, Key=key, CopySource=source, **extra)
        else:
            self.client.copy(source, self.target.bucket, key, ExtraArgs=extra)

    def dropped_at(self, rel, stored_at):
        """When the file stopped being named: its drop mark, else the time it was stored."""
        value = self.head(rel).get("Metadata", {}).get(DROPPED_KEY)
        try:
            return max(stored_at, float(value)) if value else stored_at
        except ValueError:
            return stored_at

    # ---- the whole upload ---------------------------------------------------------------------

    def run(self):
        args = self.args
        pub = objects.read_publication(args.publication, keep_releases=args.keep_releases)
        if pub.problems:
            for p in pub.problems:
                print(f"zarvo-studio upload: refused: {p}", file=self.err)
            raise UploadError(f"{args.publication} is not a publication check passes "
                              f"({len(pub.problems)} problems); nothing was sent", status.REFUSED)
        try:
            pub.entries, problems = with_releases(pub, args.keep_releases)
        except OSError as e:
            problems = [f"{os.fsdecode(e.filename or '')}: {e.strerror or e}"]
        if problems:
            for p in problems:
                print(f"zarvo-studio upload: refused: {p}", file=self.err)
            raise UploadError(f"{args.publication}: its heads name what is not in place "
                              f"({len(problems)} problems); nothing was sent", status.REFUSED)
        where = f"s3://{self.target.bucket}/{self.target.prefix}"
        try:
            remote = self.listing()
        except Exception as e:
            raise UploadError(f"{where}: {describe(e)}; nothing was changed", status.REFUSED)
        entries = pub.entries
        wanted = {e.rel for e in entries}
        self.say(f"{args.publication}: {len(pub.rows)} listed files, {len(entries)} files to store "
                 f"({human(sum(e.size for e in entries))}); {where} holds {len(remote)} files")

        try:
            outgoing, live_rows = self.outgoing(remote)
        except Exception as e:
            raise UploadError(f"{where}: {describe(e)}; nothing was changed", status.REFUSED)
        live_since = remote.get("manifest_full.json", (0, 0))[1]

        def current(entry):
            have = remote.get(entry.rel)
            if have is None or have[0] != entry.size:
                return False
            if entry.kind == "object":
                return True
            if entry.kind == "file" and have[1] < live_since:
                row = pub.rows[entry.row_path]
                live = live_rows.get(entry.row_path)
                if live and (live["hash"].lower(), live["size"], live.get("zsize")) == \
                        (row["hash"].lower(), row["size"], row.get("zsize")):
                    return True
            return self.stored_digest(entry.rel) == entry.md5

        try:
            fresh = self.parallel(current, entries)
        except Exception as e:
            raise UploadError(f"{where}: {describe(e)}; nothing was changed", status.REFUSED)
        todo = [e for e, ok in zip(entries, fresh) if not ok]
        for e, ok in zip(entries, fresh):
            if ok:
                self.skipped += 1
                self.skipped_bytes += e.size
        object_entries = [e for e in todo if e.kind == "object"]
        files = [e for e in todo if e.kind == "file"]
        documents = [e for e in todo if e.kind == "document"]
        dropped = sorted(rel for rel in outgoing - wanted if rel in remote)

        if args.dry_run:
            for e in object_entries + files + documents:
                how = f"copy on the server from {e.source}" if e.kind == "file" else "send"
                self.say(f"would {how}: {e.rel} ({human(e.size)})")
            for rel in dropped:
                self.say(f"would mark as dropped: {rel}")
            if args.prune:
                for rel in self.prunable(remote, wanted, set(dropped)):
                    self.say(f"would delete: {rel}")
            self.say(f"dry run: {len(todo)} to store, {self.skipped} already stored "
                     f"({human(self.skipped_bytes)}); nothing was changed")
            self.to_store = len(todo)
            return status.OK

        # Classic files are the objects' bytes again: copied on the server. One at a path that
        # is not stored yet is named by no live manifest, so it follows its object at once;
        # one replaced in place waits for every object, to keep the moment short in which
        # launchers of the default build may get bytes their manifest does not list.
        placed = {e.rel: [(e, "send")] for e in object_entries}
        first, replaced = [], []
        for e in files:
            if e.rel in remote:
                replaced.append([(e, "copy")])
            elif e.source in placed:
                placed[e.source].append((e, "copy"))
            else:
                first.append([(e, "copy")])
        self.bar = Progress(sum(e.size for e in object_entries + files + documents
                                if e.kind != "file"), "uploading", self.err)
        try:
            self.run_phase(list(placed.values()) + first)
            self.run_phase(replaced)
            now = time.time()
            self.parallel(lambda rel: self.mark_dropped(rel, now), dropped)
            for e in documents:  # one at a time, in order: the light manifest last
                self.run_phase([[(e, "send")]])
        except UploadError as e:
            raise UploadError(f"{e}; the manifests were not all replaced: players stay on the "
                              "previous release; upload again to complete")
        except Exception as e:
            raise UploadError(f"{describe(e)}; the manifests were not all replaced: players "
                              "stay on the previous release; upload again to complete")
        finally:
            self.bar.close()
        seconds = time.monotonic() - self.started
        self.say(f"sent {self.sent} files ({human(self.sent_bytes)}, "
                 f"{self.sent_bytes / max(seconds, 1e-3) / MIB:.1f} MiB/s over {seconds:.1f} s), "
                 f"copied {self.copied} on the server ({human(self.copied_bytes)}), skipped "
                 f"{self.skipped} already stored ({human(self.skipped_bytes)})"
                 + (f"; {len(dropped)} no longer named, marked dropped" if dropped else ""))
        self.dropped = len(dropped)
        if args.prune:
            self.prune(wanted, set(dropped))
        return status.OK if todo or dropped or self.pruned else status.NOTHING_TO_DO

    def prunable(self, remote, wanted, just_dropped):
        limit = time.time() - self.args.grace_days * 86400
        candidates = [rel for rel, (_, stored) in sorted(remote.items())
                      if rel.startswith(LAYOUT_FOLDERS) and rel not in wanted
                      and rel not in just_dropped and stored < limit]
        ages = self.parallel(lambda rel: self.dropped_at(rel, remote[rel][1]), candidates)
        return [rel for rel, at in zip(candidates, ages) if at < limit]

    def prune(self, wanted, just_dropped):
        try:
            remote = self.listing()
            doomed = self.prunable(remote, wanted, just_dropped)
            self.parallel(lambda rel: self.client.delete_object(
                Bucket=self.target.bucket, Key=self.target.key(rel)), doomed)
        except Exception as e:
            raise UploadError(f"prune: {describe(e)}; the release is in place, some old files "
                              "may be left", status.LIVE_BUT_FAILED)
        kept = sum(1 for rel in remote if rel.startswith(LAYOUT_FOLDERS) and rel not in wanted) \
            - len(doomed)
        self.pruned, self.pruned_bytes = len(doomed), sum(remote[r][0] for r in doomed)
        self.say(f"pruned {len(doomed)} files no manifest named for {self.args.grace_days:g} days"
                 f" ({human(sum(remote[r][0] for r in doomed))}); kept {kept} younger ones")


SUMMARY = "upload a publication folder to S3-compatible object storage (needs python3-boto3)"


def add_arguments(parser):
    parser.add_argument("publication", metavar="PUBLICATION",
                        help="a folder `zarvo-studio publish` wrote")
    parser.add_argument("destination", metavar="s3://BUCKET/PREFIX")
    parser.add_argument("--endpoint-url", metavar="URL",
                        help="an S3-compatible service's address (R2, B2, MinIO, ...); default AWS")
    parser.add_argument("--region", help="the bucket's region (default: the AWS configuration's)")
    parser.add_argument("--jobs", type=int, default=8, help="transfers at once (default 8)")
    parser.add_argument("--dry-run", action="store_true", help="list what would change, change nothing")
    parser.add_argument("--prune", action="store_true",
                        help="delete files no manifest names, dropped more than --grace-days ago")
    parser.add_argument("--grace-days", metavar="D", type=float, default=objects.GRACE_DAYS,
                        help=f"see --prune (default {objects.GRACE_DAYS:g})")
    parser.add_argument("--keep-releases", metavar="N", type=int, default=3,
                        help="also store (and keep from --prune) the objects of each channel's last "
                             "N releases, besides what the heads name (default 3)")


def run(args, out, err, result, client=None):
    if args.jobs < 1 or args.grace_days < 0:
        args.parser.error("--jobs must be 1 or more, --grace-days 0 or more")
    try:
        Target(args.destination)
    except UploadError as e:
        args.parser.error(str(e))
    status.need("boto3", "python3-boto3", "upload")
    upload = None
    try:
        if client is None:
            try:
                client = make_client(args)
            except Exception as e:  # botocore's own: partial credentials, a bad profile
                raise UploadError(f"{describe(e)}; nothing was changed", status.REFUSED)
        upload = Upload(args, client, out, err)
        return upload.run()
    except UploadError as e:
        print(f"zarvo-studio upload: {e}", file=err)
        result["error"] = str(e)
        return e.code
    finally:
        if upload:
            result.update(upload.figures())


def main(argv, out=None, err=None, client=None):
    """The upload command in this process; client: a boto3 client to use (tests)."""
    from . import cli
    if client is None:
        return cli.main(["upload"] + list(argv), out, err)
    parser = cli.build_parser()
    args = parser.parse_args(["upload"] + list(argv))
    result = {}
    return run(args, out or sys.stdout, err or sys.stderr, result, client)


def parse_args(argv):
    """The parsed upload command line (tests make their own clients from it)."""
    from . import cli
    return cli.build_parser().parse_args(["upload"] + list(argv))
