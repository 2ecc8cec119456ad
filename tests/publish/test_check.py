#!/usr/bin/env python3
"""zarvo-studio check against the nginx example and against a badly configured server.

    test_check.py NGINX_PORT SAMPLES_DIR CERTDIR

nginx (nginx_ctl.py up) serves SAMPLES_DIR/published, signed with the test key A, on
https://localhost:NGINX_PORT with the certificate of CERTDIR, whose CA is CERTDIR/ca.pem.
The bad server is a small HTTPS server of this test over a copy of the same folder.
"""
import gzip
import hashlib
import http.server
import io
import os
import shutil
import socket
import ssl
import sys
import tempfile
import threading
import unittest
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
# The studio's command from this checkout, for this process and the ones it starts.
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, ROOT)
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, (ROOT, os.environ.get("PYTHONPATH"))))
STUDIO = [sys.executable, "-m", "zarvo_studio"]
from zarvo_studio import check as zarvo_check  # noqa: E402

KEYS = os.path.join(HERE, "..", "sign", "keys")
PORT = SAMPLES = CERTS = None


def run_check(*args):
    out = io.StringIO()
    status = zarvo_check.main(list(args), out)
    return status, out.getvalue()


class BadHandler(http.server.BaseHTTPRequestHandler):
    """Serves the folder with the mistakes a server is often set up with."""
    protocol_version = "HTTP/1.1"
    root = None
    wrong_object = None

    def log_message(self, *args):
        pass

    def send_body(self, body, extra=(), length=True):
        self.send_response(200)
        for name, value in extra:
            self.send_header(name, value)
        if length:
            self.send_header("Content-Length", str(len(body)))
        else:
            self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)
        if not length:
            self.close_connection = True

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        path = urllib.parse.unquote(url.path)
        if path == "/update/data/pak0.pak":  # moved elsewhere and redirected
            self.send_response(301)
            self.send_header("Location", "/files/data/pak0.pak")
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        with open(os.path.join(self.root, *path.strip("/").split("/")), "rb") as f:
            body = f.read()
        if path == f"/objects/{self.wrong_object}":  # an object rewritten with other bytes
            body = body[::-1]
        if path == "/update/config/version.txt":  # stale: not what the manifest says
            body = body.replace(b"1", b"0")
        if path == "/displayinfo.json" and url.query:  # a cache keyed on the query
            body = body.replace(b'"enabled": 0', b'"enabled": 1')
        if path == "/update/config/servers.cfg":
            return self.send_body(body, length=False)
        if path == "/manifest_full.json" and "gzip" in self.headers.get("Accept-Encoding", ""):
            return self.send_body(gzip.compress(body), [("Content-Encoding", "gzip")])
        self.send_body(body)


class Check(unittest.TestCase):
    def test_the_nginx_example_serving_a_signed_publication_passes(self):
        status, out = run_check(f"https://localhost:{PORT}", "--all", "--cafile",
                                os.path.join(CERTS, "ca.pem"), "--keys",
                                os.path.join(KEYS, "test_keys_ab.pub.pem"))
        self.assertEqual(status, 0, out)
        self.assertEqual(out.count("signed by key"), 3, out)
        self.assertIn("files checked whole and right (all", out)

    def test_keys_the_publication_was_not_signed_with_fail(self):
        status, out = run_check(f"https://localhost:{PORT}", "--sample", "1", "--cafile",
                                os.path.join(CERTS, "ca.pem"), "--keys",
                                os.path.join(KEYS, "test_key_c.pub.pem"))
        self.assertEqual(status, 1)
        self.assertEqual(out.count("does not verify with any given key"), 3, out)

    def test_a_badly_configured_server_fails_with_each_mistake_named(self):
        root = tempfile.mkdtemp(prefix="zarvo_check_")
        try:
            shutil.copytree(os.path.join(SAMPLES, "published"), os.path.join(root, "pub"))
            BadHandler.root = os.path.join(root, "pub")
            with open(os.path.join(root, "pub", "update", "data", "maps", "zona2.map"), "rb") as f:
                BadHandler.wrong_object = hashlib.md5(f.read()).hexdigest()
            server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), BadHandler)
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(os.path.join(CERTS, "server.pem"), os.path.join(CERTS, "server.key"))
            server.socket = context.wrap_socket(server.socket, server_side=True)
            thread = threading.Thread(target=server.serve_forever, daemon=True)
            thread.start()
            try:
                base = f"https://localhost:{server.server_address[1]}"
                status, out = run_check(base, "--all", "--cafile", os.path.join(CERTS, "ca.pem"),
                                        "--keys", os.path.join(KEYS, "test_key_a.pub.pem"))
                self.assertEqual(status, 1, out)
                for expected in ("update/data/pak0.pak: 301 redirect to /files/data/pak0.pak",
                                 "update/config/version.txt: MD5 differs",
                                 "update/config/servers.cfg: no Content-Length",
                                 f"objects/{BadHandler.wrong_object}: other bytes than "
                                 "update/data/maps/zona2.map",
                                 "manifest_full.json: compressed (gzip) when a client asks",
                                 "displayinfo.json: another answer without the nocache query",
                                 # what it serves with the query is not what the studio signed
                                 "displayinfo.json: the signature does not verify"):
                    self.assertIn(expected, out)
                self.assertEqual(out.count("PROBLEM"), 7, out)
                # Without the test CA the certificate is not trusted, and that is a problem too.
                status, out = run_check(base, "--sample", "0")
                self.assertEqual(status, 1)
                self.assertIn("HTTPS certificate of localhost", out)
            finally:
                server.shutdown()
                server.server_close()
        finally:
            shutil.rmtree(root)


if __name__ == "__main__":
    PORT, SAMPLES, CERTS = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    unittest.main(argv=sys.argv[:1])
