#!/usr/bin/env python3
"""Local HTTPS (and plain HTTP) file server with fault injection, for tests and the demo.

zarvo_server.py --root DIR --https-port P --http-port Q --cert server.pem --key server.key
                [--control FILE] [--log FILE] [--pidfile FILE] [--ready-file FILE]

Binds 127.0.0.1 only. --http-port 0 disables the plain port. See README.md for the
control file (faults) and the request log format.
"""
import argparse
import email.utils
import hashlib
import http.server
import json
import mimetypes
import os
import signal
import socket
import ssl
import sys
import threading
import time
import urllib.parse

CHUNK = 65536
HERE = os.path.dirname(os.path.abspath(__file__))
IDLE_TIMEOUT = 120  # seconds a kept-alive connection may sit idle


def _write_atomic(path, text):
    tmp = "%s.tmp%d" % (path, os.getpid())
    with open(tmp, "w") as f:
        f.write(text)
    os.replace(tmp, path)


class Config:
    """The control file's content, reloaded when the file changes."""

    def __init__(self, root, control):
        self.default_root = root
        self.control = control
        self.lock = threading.Lock()
        self.stamp = None          # (inode, mtime, size) of the last file looked at
        self.root = root
        self.faults = {}
        self.counts = {}           # path -> requests seen since the last load

    def _reload(self):
        try:
            st = os.stat(self.control)
        except FileNotFoundError:
            st = None
        stamp = st and (st.st_ino, st.st_mtime_ns, st.st_size)
        if stamp == self.stamp:
            return
        self.stamp = stamp
        if st is None:
            self.root, self.faults, self.counts = self.default_root, {}, {}
            return
        try:
            with open(self.control, encoding="utf-8") as f:
                data = json.load(f)
            faults = data.get("faults") or {}
            if not all(isinstance(v, dict) for v in faults.values()):
                raise ValueError("every fault must be an object")
            root = data.get("root") or self.default_root
        except (OSError, ValueError, AttributeError) as e:
            # Possibly half-written: keep the previous configuration.
            sys.stderr.write("zarvo_server: control file not used (%s)\n" % e)
            return
        self.root, self.faults, self.counts = root, faults, {}

    def lookup(self, path):
        """Returns (root, fault or None) for one request, counting it for `times`."""
        with self.lock:
            if self.control:
                self._reload()
            fault = self.faults.get(path)
            if fault is not None and ("times" in fault or "after" in fault):
                seen = self.counts.get(path, 0)
                self.counts[path] = seen + 1
                if seen < int(fault.get("after", 0)):
                    fault = None
                elif "times" in fault and seen >= int(fault.get("after", 0)) + int(fault["times"]):
                    fault = None
            return self.root, fault


def parse_ranges(header, size):
    """[(first, last)] of "bytes=a-b,c-,-n" within size, [] when none fits, None when the
    header does not parse (a server then ignores it)."""
    if not header.startswith("bytes="):
        return None
    out = []
    for piece in header[6:].split(","):
        piece = piece.strip()
        first, dash, last = piece.partition("-")
        if not dash or not (first or last) or not (first + last).isdigit():
            return None
        if first:
            first = int(first)
            last = min(int(last), size - 1) if last else size - 1
            if first > last and last < size - 1:
                return None
        else:
            first, last = max(0, size - int(last)), size - 1
        if first < size and first <= last:
            out.append((first, last))
    return out


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "ZarvoTestServer/1.0"
    timeout = IDLE_TIMEOUT
    disable_nagle_algorithm = True  # trickled pieces leave at once
    abrupt = False

    def setup(self):
        if self.server.tls is not None:
            self.request.settimeout(self.timeout)  # bounds the handshake too
            self.request = self.server.tls.wrap_socket(self.request, server_side=True)
        super().setup()

    def finish(self):
        super().finish()
        if isinstance(self.request, ssl.SSLSocket):
            if not self.abrupt:
                # Send close_notify so that a body ended by closing reads as complete, without
                # waiting for the client's own (Wine's TLS never answers it).
                try:
                    self.request.setblocking(False)
                    self.request.unwrap()
                except (OSError, ValueError):
                    pass
            self.request.close()

    def log_message(self, fmt, *args):
        pass

    def log_error(self, fmt, *args):
        if not fmt.startswith("Request timed out"):
            sys.stderr.write("zarvo_server: %s\n" % (fmt % args))

    def do_GET(self):
        self.respond(head_only=False)

    def do_HEAD(self):
        self.respond(head_only=True)

    def do_other(self):
        self.log_request_line()
        self.send_simple(405, extra={"Allow": "GET, HEAD"})

    do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = do_other

    def log_request_line(self):
        log = self.server.log_path
        if not log:
            return
        entry = {"t": time.time(), "scheme": self.server.scheme, "method": self.command,
                 "path": self.path, "user_agent": self.headers.get("User-Agent", ""),
                 "headers": dict(self.headers.items())}
        with self.server.log_lock, open(log, "a", buffering=1) as f:
            f.write(json.dumps(entry) + "\n")

    def send_simple(self, status, extra=None):
        """A status with a one-line text body (none for 204 and 304)."""
        bodyless = status in (204, 304)
        reason = self.responses.get(status, ("",))[0]
        body = b"" if bodyless else ("%d %s\n" % (status, reason)).encode()
        self.send_response(status)
        for name, value in (extra or {}).items():
            self.send_header(name, value)
        if not bodyless:
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def respond(self, head_only):
        path = urllib.parse.unquote(self.path.split("?", 1)[0].split("#", 1)[0])
        root, fault = self.server.config.lookup(path)
        self.log_request_line()
        fault = fault or {}
        if "delay_ms" in fault:
            time.sleep(int(fault["delay_ms"]) / 1000.0)
        status = int(fault.get("status", 200))

        # The body: fault text, a status's small text, or the file.
        data = None
        if status in (204, 304):
            self.send_simple(status)
            return
        if "sign" in fault:
            data = self.signed_manifest(root, path, fault["sign"])
            if data is None:
                self.send_simple(404)
                return
        elif "body" in fault:
            data = str(fault["body"]).encode("utf-8")
        elif "body_hex" in fault:
            data = bytes.fromhex(fault["body_hex"])
        elif status != 200:
            self.send_simple(status)
            return
        if data is not None:
            source, size, ctype = None, len(data), "application/octet-stream"
        else:
            source = self.open_file(root, path)
            if source is None:
                self.send_simple(404)
                return
            size = os.fstat(source.fileno()).st_size
            ctype = mimetypes.guess_type(path)[0] or "application/octet-stream"
            if self.not_modified(source):
                source.close()
                self.send_simple(304)
                return
        if source is not None and self.headers.get("Range") and not fault.get("ignore_range"):
            ranged = self.ranged_body(source, size, ctype, fault)
            source.close()
            if ranged is None:
                return
            source = None
            status, ctype, data, size, extra = ranged
            self.extra_headers = extra
        try:
            self.send_body(status, ctype, data, source, size, fault, head_only)
        finally:
            if source:
                source.close()

    def signed_manifest(self, root, path, key_name):
        """The manifest at path signed with the test key tests/sign/keys/test_key_<name>.pem,
        every row given the SHA-256 of its file under /update/ (a signed publication)."""
        sys.path.insert(0, os.path.join(HERE, "..", ".."))
        from zarvo_studio import sign as zarvo_sign  # needs python3-cryptography: signing tests only
        source = self.open_file(root, path)
        if source is None:
            return None
        with source:
            manifest = json.loads(source.read().decode("utf-8"))
        for row in manifest.get("files", []):
            served = self.open_file(root, "/update/" + row.get("path", ""))
            if served is not None and "sha256" not in row:
                with served:
                    row["sha256"] = hashlib.sha256(served.read()).hexdigest()
        key = zarvo_sign.load_private_key(
            os.path.join(HERE, "..", "sign", "keys", "test_key_%s.pem" % key_name))
        now = int(time.time())
        text = json.dumps(manifest, indent=1) + "\n"
        return zarvo_sign.sign_document(text, os.path.basename(path), key, now,
                                        now + 3600).encode("utf-8")

    def not_modified(self, source):
        """True when If-Modified-Since names a time the file is not newer than (304)."""
        since = self.headers.get("If-Modified-Since")
        try:
            when = email.utils.parsedate_to_datetime(since).timestamp() if since else None
        except (TypeError, ValueError):
            when = None
        return when is not None and int(os.fstat(source.fileno()).st_mtime) <= when

    def ranged_body(self, source, size, ctype, fault):
        """(status, type, body, length, headers) answering the Range header like nginx does:
        one range as 206 with Content-Range, several as multipart/byteranges, none that fits
        as 416 (answered here, then None). A header that does not parse is ignored (None is
        not returned then: the whole file goes out), and so is one of several ranges with the
        fault single_range_only, as S3 does."""
        ranges = parse_ranges(self.headers["Range"], size)
        if ranges is None or (fault.get("single_range_only") and len(ranges) > 1):
            source.seek(0)
            return 200, ctype, source.read(), size, {}
        if not ranges:
            self.send_simple(416, extra={"Content-Range": "bytes */%d" % size})
            return None
        shift = int(fault.get("wrong_range", 0))  # Content-Range off by this many bytes
        pieces = []
        for first, last in ranges:
            source.seek(first)
            body = bytearray(source.read(last - first + 1))
            if fault.get("corrupt_range") and body:
                body[len(body) // 2] ^= 0xFF
            pieces.append(("bytes %d-%d/%d" % (first + shift, last + shift, size), bytes(body)))
        if len(pieces) == 1:
            return 206, ctype, pieces[0][1], len(pieces[0][1]), {"Content-Range": pieces[0][0]}
        boundary = "00000000000000000042"
        out = b""
        for content_range, body in pieces:
            out += ("\r\n--%s\r\nContent-Type: %s\r\nContent-Range: %s\r\n\r\n"
                    % (boundary, ctype, content_range)).encode() + body
        out += ("\r\n--%s--\r\n" % boundary).encode()
        return 206, "multipart/byteranges; boundary=" + boundary, out, len(out), {}

    def note_sent(self, fault, status, sent):
        """With the fault sent_log (a file path), appends what this answer's body put on the
        connection before it ended or the client went away."""
        if not fault.get("sent_log"):
            return
        line = json.dumps({"path": self.path, "range": self.headers.get("Range", ""),
                           "status": status, "sent": sent})
        with self.server.log_lock, open(fault["sent_log"], "a", buffering=1) as f:
            f.write(line + "\n")

    def open_file(self, root, path):
        parts = path.split("/")
        if ".." in parts or "\0" in path:
            return None
        full = os.path.join(root, *[p for p in parts if p not in ("", ".")])
        if not os.path.isfile(full):
            return None
        try:
            return open(full, "rb")
        except OSError:
            return None

    def send_body(self, status, ctype, data, source, size, fault, head_only):
        announced = int(fault.get("length", size))
        to_send = min(size, announced)
        if "cut_after" in fault:
            to_send = min(to_send, int(fault["cut_after"]))
        endless = bool(fault.get("endless"))
        no_length = bool(fault.get("no_length")) or (endless and "length" not in fault)
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        for name, value in getattr(self, "extra_headers", {}).items():
            self.send_header(name, value)
        self.extra_headers = {}
        if no_length:
            self.send_header("Connection", "close")
        else:
            self.send_header("Content-Length", str(announced))
        self.end_headers()
        if head_only:
            return

        piece = int(fault.get("trickle_bytes", 0)) or CHUNK
        pause = int(fault.get("trickle_ms", 0)) / 1000.0
        offset = 0
        try:
            while offset < to_send:
                n = min(piece, to_send - offset)
                chunk = data[offset:offset + n] if data is not None else source.read(n)
                if not chunk:
                    break
                self.wfile.write(chunk)
                offset += len(chunk)
                if pause and offset < to_send:
                    time.sleep(pause)
        finally:
            self.note_sent(fault, status, offset)
        if endless:
            # Filler after the body until the client gives up (a broken or hostile server).
            filler = b"z" * CHUNK
            self.close_connection = True
            try:
                while True:
                    self.wfile.write(filler)
            except (OSError, ValueError):
                return
        if not no_length and offset < announced:
            # Break the connection without a TLS close_notify: a truncated transfer.
            self.wfile.flush()
            self.abrupt = True
            self.close_connection = True
            try:
                self.request.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False

    def __init__(self, port, scheme, tls, config, log_path):
        self.scheme, self.tls, self.config = scheme, tls, config
        self.log_path, self.log_lock = log_path, threading.Lock()
        super().__init__(("127.0.0.1", port), Handler)

    def handle_error(self, request, client_address):
        exc = sys.exc_info()[1]
        if not isinstance(exc, (ConnectionError, TimeoutError)):
            sys.stderr.write("zarvo_server: %s %s: %r\n" % (self.scheme, client_address, exc))


def main(argv=None):
    p = argparse.ArgumentParser(description="Local HTTPS test server")
    p.add_argument("--root", required=True)
    p.add_argument("--https-port", type=int, required=True)
    p.add_argument("--http-port", type=int, default=0)
    p.add_argument("--cert", required=True)
    p.add_argument("--key", required=True)
    p.add_argument("--control")
    p.add_argument("--log")
    p.add_argument("--pidfile")
    p.add_argument("--ready-file")
    args = p.parse_args(argv)

    if args.ready_file and os.path.exists(args.ready_file):
        os.remove(args.ready_file)
    tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls.minimum_version = ssl.TLSVersion.TLSv1_2
    tls.load_cert_chain(args.cert, args.key)
    config = Config(os.path.abspath(args.root), args.control)
    log = os.path.abspath(args.log) if args.log else None
    servers = [Server(args.https_port, "https", tls, config, log)]
    if args.http_port:
        servers.append(Server(args.http_port, "http", None, config, log))

    stop = threading.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: stop.set())
    for server in servers:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    if args.pidfile:
        _write_atomic(args.pidfile, "%d\n" % os.getpid())
    if args.ready_file:
        _write_atomic(args.ready_file, "ready\n")

    while not stop.wait(1.0):
        pass
    for server in servers:
        server.shutdown()
        server.server_close()
    for path in (args.ready_file, args.pidfile):
        if path and os.path.exists(path):
            os.remove(path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
