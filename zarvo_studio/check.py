"""Check a live update server the way the launcher sees it, or a publication folder.

    zarvo-studio check URL [--keys PUB.pem] [--all | --sample N] [--cafile CA.pem] [--json]
    zarvo-studio check FOLDER [--json]

URL is the launcher's LAUNCHER_UPDATE_BASE_URL. Fetches manifest_light.json,
manifest_full.json and displayinfo.json as the launcher does (GET, user agent
ZarvoLauncher/1.0, a "nocache=" query, no other headers of its own), then a sample of the
listed files (--all: every one), and reports what the launcher depends on:

  - an HTTPS certificate the system trusts for the host (--cafile: trust this CA instead);
  - status 200 straight away: the launcher follows no redirect;
  - a Content-Length, and the whole body: a download short of it is thrown away;
  - no compression, not even when a client (a proxy on the player's side) asks for it;
  - the "nocache=" query ignored: the same bytes with and without it;
  - each sampled file with the size, MD5 and (when listed) SHA-256 of its manifest row, and
    the light manifest's rows agreeing with the full one's;
  - each sampled file's compressed copy (rows with "zsize"), under packed/: as long as the
    row says, gzip members that inflate to the file;
  - the same files as launchers built with LAUNCHER_CACHEABLE_CONTENT fetch them, without a
    query: objects/<md5> with the file's bytes, objects/<md5>-<zsize>.gz with the copy's,
    objects/<md5>.zbi with the bytes of blocks/<path>.zbi (both there or neither), and a
    note when objects/ are not sent as cacheable for long;
  - with --keys (the PEM file the launcher was built with): each document signed by one of
    those keys for its own name, not expired, and each manifest row carrying its SHA-256.

FOLDER, a folder `zarvo-studio publish` wrote, is checked in full before it is served or uploaded:
manifests that read, every listed file with its rows' size and MD5, compressed copies and
block indexes that describe it, and each one's object with the same bytes.
"""
import hashlib
import json
import os
import random
import ssl
import time
import urllib.parse
import http.client

from . import status as codes

USER_AGENT = "ZarvoLauncher/1.0"
DOCUMENTS = ("manifest_light.json", "manifest_full.json", "displayinfo.json")
LAUNCHER = "Zarvo Vestra.exe"
MIN_INDEXED = 1 << 20  # the publisher writes block indexes for files from this size
SOON = 7 * 86400


class Report:
    def __init__(self, out):
        self.out = out
        self.problems = 0
        self.lines = {"problems": [], "notes": []}

    def ok(self, text):
        print(f"ok       {text}", file=self.out)

    def note(self, text):
        self.lines["notes"].append(text)
        print(f"note     {text}", file=self.out)

    def problem(self, text):
        self.problems += 1
        self.lines["problems"].append(text)
        print(f"PROBLEM  {text}", file=self.out)

    def verdict(self, where, preposition, result):
        result.update(self.lines, where=where)
        if self.problems:
            print(f"{self.problems} problem{'s' if self.problems != 1 else ''} found "
                  f"{preposition} {where}",
                  file=self.out)
            return codes.REFUSED
        print(f"{where}: nothing wrong found", file=self.out)
        return codes.OK


class Server:
    def __init__(self, base, cafile, timeout):
        self.noted_cache = False
        parts = urllib.parse.urlsplit(base)
        self.scheme, self.host = parts.scheme, parts.hostname
        self.port = parts.port or (443 if parts.scheme == "https" else 80)
        self.prefix = parts.path.rstrip("/")
        self.timeout = timeout
        self.context = ssl.create_default_context(cafile=cafile) if self.scheme == "https" else None

    def trust_nothing(self):
        """Go on without verifying, so the rest can still be checked and reported."""
        self.context = ssl._create_unverified_context()

    def get(self, path, query=True, headers=None, method="GET"):
        """(status, headers dict with lower-case names, body bytes)."""
        target = self.prefix + path
        if query:
            target += f"?nocache={random.getrandbits(63)}"
        if self.scheme == "https":
            conn = http.client.HTTPSConnection(self.host, self.port, context=self.context,
                                               timeout=self.timeout)
        else:
            conn = http.client.HTTPConnection(self.host, self.port, timeout=self.timeout)
        try:
            # As the launcher: Host and User-Agent only (http.client would add Accept-Encoding).
            conn.putrequest(method, target, skip_accept_encoding=True)
            conn.putheader("User-Agent", USER_AGENT)
            for name, value in (headers or {}).items():
                conn.putheader(name, value)
            conn.endheaders()
            response = conn.getresponse()
            body = response.read()
            return response.status, {k.lower(): v for k, v in response.getheaders()}, body
        finally:
            conn.close()


def check_answer(report, what, status, headers, body):
    """The rules every answer must keep; True when the body can be used."""
    if 300 <= status < 400:
        report.problem(f"{what}: {status} redirect to {headers.get('location', '?')}; the launcher "
                       "follows no redirect: serve the file at this address")
        return False
    if status != 200:
        report.problem(f"{what}: status {status}, the launcher takes only 200")
        return False
    good = True
    if headers.get("content-encoding", "identity") != "identity":
        report.problem(f"{what}: sent with Content-Encoding {headers['content-encoding']} although "
                       "the launcher did not ask for it")
        good = False
    if "content-length" not in headers:
        report.problem(f"{what}: no Content-Length (chunked or closed answer); the launcher needs "
                       "it to tell a whole download from a cut one")
    elif headers["content-length"] != str(len(body)):
        report.problem(f"{what}: Content-Length {headers['content-length']} but {len(body)} bytes came")
        good = False
    return good


def check_server_rules(report, server, path, body):
    """The nocache query is ignored and nothing comes compressed, even when asked for."""
    what = path.lstrip("/")
    status, headers, plain = server.get(path, query=False)
    if status == 200 and plain != body:
        report.problem(f"{what}: another answer without the nocache query than with it; the "
                       "server (or a cache) must ignore the query")
    status, headers, other = server.get(path)
    if status == 200 and other != body:
        report.problem(f"{what}: the answer changes from one nocache value to another (a stale "
                       "cache node, or a publish in progress)")
    status, headers, _ = server.get(path, headers={"Accept-Encoding": "gzip, deflate, br"})
    if headers.get("content-encoding", "identity") != "identity":
        report.problem(f"{what}: compressed ({headers['content-encoding']}) when a client asks; "
                       "a proxy asking on the launcher's behalf would break its downloads: turn "
                       "compression off (gzip off)")


def check_signature(report, name, body, keys):
    from . import sign
    fields, problem = sign.verify_document(body, name, keys)
    if fields is None:
        report.problem(f"{name}: not signed; a launcher built with these keys refuses it")
        return None
    if problem:
        report.problem(f"{name}: {problem}; a launcher built with these keys refuses it")
        return fields
    left = fields["expires"] - time.time()
    text = (f"{name}: signed by key {fields['key']}, serial {fields['serial']}, expires in "
            f"{left / 86400:.1f} days")
    if left < SOON:
        report.problem(text + ": publish again (signed) before it runs out")
    else:
        report.ok(text)
    return fields


def row_problem(row):
    if not isinstance(row, dict) or not isinstance(row.get("path"), str):
        return "a row without a path"
    if not isinstance(row.get("hash"), str) or len(row["hash"]) != 32:
        return f"{row['path']}: no 32-character hash"
    if not isinstance(row.get("size"), int):
        return f"{row['path']}: no size"
    return None


def check_file(report, server, row):
    path = "/update/" + urllib.parse.quote(row["path"].encode("utf-8"), safe="/")
    what = f"update/{row['path']}"
    status, headers, body = server.get(path)
    if not check_answer(report, what, status, headers, body):
        return False
    problems = []
    if len(body) != row["size"]:
        problems.append(f"{len(body)} bytes, the manifest says {row['size']}")
    if hashlib.md5(body).hexdigest() != row["hash"].lower():
        problems.append("MD5 differs from the manifest's")
    if row.get("sha256") and hashlib.sha256(body).hexdigest() != row["sha256"].lower():
        problems.append("SHA-256 differs from the manifest's")
    if problems:
        report.problem(f"{what}: {'; '.join(problems)} (a stale or half-copied file: publish again)")
        return False
    if row.get("zsize") and not check_copy(report, server, row, "/packed/" + quoted(row["path"]),
                                           f"packed/{row['path']}"):
        return False
    return check_objects(report, server, row, body)


def quoted(path):
    return urllib.parse.quote(path.encode("utf-8"), safe="/")


def check_objects(report, server, row, body):
    """The row's objects, asked for as cacheable launchers ask: the same address for everyone."""
    md5 = row["hash"].lower()
    what = f"objects/{md5}"
    status, headers, data = server.get("/" + what, query=False)
    if not check_answer(report, f"{what} (of {row['path']})", status, headers, data):
        return False
    if data != body:
        report.problem(f"{what}: other bytes than update/{row['path']}; an object must hold the "
                       "bytes its name says: publish and upload again")
        return False
    cache = headers.get("cache-control", "")
    if "immutable" not in cache and "max-age" not in cache and not server.noted_cache:
        server.noted_cache = True
        report.note(f"{what}: Cache-Control '{cache}': caches may ask the origin again; objects "
                    "never change (zarvo-studio upload sends 'max-age=31536000, immutable')")
    if row.get("zsize") and not check_copy(report, server, row, f"/objects/{md5}-{row['zsize']}.gz",
                                           f"objects/{md5}-{row['zsize']}.gz", query=False):
        return False
    if row["size"] < MIN_INDEXED:
        return True
    status, _, classic = server.get(f"/blocks/{quoted(row['path'])}.zbi")
    ostatus, oheaders, index = server.get(f"/objects/{md5}.zbi", query=False)
    if status == 200 and ostatus == 200 and classic == index:
        return True
    if status == 404 and ostatus == 404:
        return True  # published without block indexes
    if status == 200 and classic[20:36] != bytes.fromhex(md5) and ostatus == 404:
        return True  # an index left from an older version (launchers ignore it)
    report.problem(f"objects/{md5}.zbi: {ostatus}, blocks/{row['path']}.zbi: {status}; the two "
                   "must hold the same block index (or neither exist)")
    return False


def check_copy(report, server, row, path, what, query=True):
    """The compressed copy a row offers: launchers fall back to the raw file when it is wrong,
    so a wrong copy costs every player its bytes twice."""
    from . import packed
    status, headers, body = server.get(path, query=query)
    if not check_answer(report, what, status, headers, body):
        return False
    problems = []
    if len(body) != row["zsize"]:
        problems.append(f"{len(body)} bytes, the manifest's zsize says {row['zsize']}")
    if packed.inflated_md5(body) != (row["hash"].lower(), row["size"]):
        problems.append("does not inflate to the file")
    if problems:
        report.problem(f"{what}: {'; '.join(problems)} (launchers fall back to the raw file: "
                       "publish again)")
        return False
    return True


def check(args, out, err, result):
    report = Report(out)
    base = args.url.rstrip("/")
    if not base.startswith("https://"):
        report.problem(f"{base}: the launcher speaks HTTPS only")
    keys = None
    if args.keys:
        codes.need("cryptography", "python3-cryptography", "--keys")
        from . import sign
        try:
            keys = sign.load_public_keys(args.keys)
        except (sign.SignError, ValueError) as e:
            print(f"zarvo-studio check: refused: --keys: {e}", file=err)
            return codes.REFUSED
    server = Server(base, args.cafile, args.timeout)

    documents = {}
    for name in DOCUMENTS:
        path = "/" + name
        try:
            status, headers, body = server.get(path)
        except ssl.SSLCertVerificationError as e:
            report.problem(f"HTTPS certificate of {server.host}: {e.verify_message}; Windows "
                           "refuses it as well (checking the rest without trusting it)")
            server.trust_nothing()
            status, headers, body = server.get(path)
        except (OSError, http.client.HTTPException) as e:
            report.problem(f"{name}: no answer ({e})")
            continue
        if name == "displayinfo.json" and status == 404:
            report.note("displayinfo.json: none (404): the launcher shows no web panel")
            continue
        if not check_answer(report, name, status, headers, body):
            continue
        check_server_rules(report, server, path, body)
        try:
            parsed = json.loads(body.decode("utf-8"))
        except (UnicodeDecodeError, ValueError) as e:
            report.problem(f"{name}: not valid JSON ({e})")
            continue
        documents[name] = parsed
        report.ok(f"{name}: 200, {len(body)} bytes")
        if keys:
            check_signature(report, name, body, keys)
        elif body.startswith(b'{"signed": '):
            report.note(f"{name}: signed (not verified: give --keys)")

    rows = {}
    for name in ("manifest_full.json", "manifest_light.json"):
        files = documents.get(name, {}).get("files") if isinstance(documents.get(name), dict) else None
        if name in documents and not isinstance(files, list):
            report.problem(f"{name}: no \"files\" array")
            continue
        for row in files or []:
            problem = row_problem(row)
            if problem:
                report.problem(f"{name}: {problem}")
                continue
            if keys and not row.get("sha256"):
                report.problem(f"{name}: {row['path']}: no sha256, a signed launcher drops the row")
            known = rows.setdefault(row["path"], row)
            if known is not row and (known["hash"].lower(), known["size"]) != (row["hash"].lower(), row["size"]):
                report.problem(f"{row['path']}: the light and the full manifest disagree on it "
                               "(one of them is stale)")

    listed = sorted(rows)
    if args.all:
        sample = listed
    else:
        rest = [p for p in listed if p != LAUNCHER]
        sample = ([LAUNCHER] if LAUNCHER in rows else []) + random.sample(rest, min(args.sample, len(rest)))
    good = 0
    for path in sample:
        try:
            good += check_file(report, server, rows[path])
        except (OSError, http.client.HTTPException) as e:
            report.problem(f"update/{path}: no answer ({e})")
    if sample:
        report.ok(f"{good} of {len(sample)} files checked whole and right "
                  f"({'all' if args.all else 'a sample of'} {len(listed)} listed)")
    result.update(listed=len(listed), checked=len(sample), good=good)
    return report.verdict(base, "at", result)


def check_folder(report, folder, result):
    from . import objects
    publication = objects.read_publication(folder)
    for problem in publication.problems:
        report.problem(problem)
    stored = [e for e in publication.entries if e.kind == "object"]
    files = [e for e in publication.entries if e.kind != "object"]
    report.ok(f"{len(publication.rows)} listed files: {len(files)} classic files and documents, "
              f"{len(stored)} objects, {sum(e.size for e in publication.entries)} bytes, read whole")
    result.update(listed=len(publication.rows), files=len(files), objects=len(stored),
                  bytes=sum(e.size for e in publication.entries))
    return report.verdict(folder, "in", result)


SUMMARY = "check a live update server, or a publication folder, as the launcher reads it"


def add_arguments(parser):
    parser.add_argument("url", metavar="URL|FOLDER",
                        help="the launcher's update base address, or a publication folder")
    parser.add_argument("--keys", metavar="PUB.pem", help="public keys the launcher is built with")
    parser.add_argument("--all", action="store_true", help="check every listed file")
    parser.add_argument("--sample", metavar="N", type=int, default=8,
                        help="files to check besides the launcher (default 8)")
    parser.add_argument("--cafile", metavar="CA.pem", help="trust this CA instead of the system's")
    parser.add_argument("--timeout", metavar="S", type=float, default=30, help="per request (default 30)")


def run(args, out, err, result):
    if "://" not in args.url and os.path.isdir(args.url):
        return check_folder(Report(out), args.url, result)
    return check(args, out, err, result)


def main(argv, out=None, err=None):
    """The check command in this process (what tests call)."""
    from . import cli
    return cli.main(["check"] + list(argv), out, err)
