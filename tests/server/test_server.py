#!/usr/bin/env python3
"""Tests of the local HTTPS test server, its certificates and server_ctl."""
import datetime
import http.client
import os
import shutil
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import make_certs  # noqa: E402
import server_ctl  # noqa: E402

TIMEOUT = 10  # seconds for any one connection


class ServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="zarvo_server_test_")
        cls.addClassCleanup(shutil.rmtree, cls.tmp, True)
        cls.certs = os.path.join(cls.tmp, "certs")
        cls.root = os.path.join(cls.tmp, "root")
        os.makedirs(os.path.join(cls.root, "update", "sub dir"))
        cls.big = os.urandom(300000)
        cls.put("update/big.bin", cls.big)
        cls.put("update/sub dir/a b.txt", b"spaced")
        cls.put("manifest_light.json", b'{"files": []}')
        with open(os.path.join(cls.tmp, "secret.txt"), "wb") as f:
            f.write(b"outside")
        cls.control = os.path.join(cls.tmp, "control.json")
        cls.log = os.path.join(cls.tmp, "requests.log")
        cls.https_port, cls.http_port = server_ctl.free_port(), server_ctl.free_port()
        cls.errlog = os.path.join(cls.tmp, "server.stderr")
        cls.proc = server_ctl.start(cls.root, cls.https_port, cls.http_port, cls.certs,
                                    cls.control, cls.log, errlog=cls.errlog)
        cls.addClassCleanup(server_ctl.stop, cls.proc)
        cls.tls = ssl.create_default_context(cafile=os.path.join(cls.certs, "ca.pem"))

    @classmethod
    def put(cls, rel, data, root=None):
        with open(os.path.join(root or cls.root, rel), "wb") as f:
            f.write(data)

    def setUp(self):
        server_ctl.set_faults(self.control, {})

    def connect(self, plain=False):
        if plain:
            conn = http.client.HTTPConnection("localhost", self.http_port, timeout=TIMEOUT)
        else:
            conn = http.client.HTTPSConnection("localhost", self.https_port,
                                               timeout=TIMEOUT, context=self.tls)
        self.addCleanup(conn.close)
        return conn

    def get(self, path, method="GET", plain=False, headers=None):
        """One request on a fresh connection: (response, body)."""
        conn = self.connect(plain)
        conn.request(method, path, headers=headers or {})
        resp = conn.getresponse()
        return resp, resp.read()

    def faults(self, faults, root=None):
        server_ctl.set_faults(self.control, faults, root)

    # --- plain serving ---

    def test_get_head_and_keep_alive(self):
        conn = self.connect()
        conn.request("GET", "/update/big.bin?nocache=123")
        resp = conn.getresponse()
        self.assertEqual(200, resp.status)
        self.assertEqual(str(len(self.big)), resp.getheader("Content-Length"))
        self.assertEqual(self.big, resp.read())
        first_socket = conn.sock
        conn.request("HEAD", "/update/sub%20dir/a%20b.txt")
        resp = conn.getresponse()
        self.assertEqual(200, resp.status)
        self.assertEqual("6", resp.getheader("Content-Length"))
        self.assertEqual(b"", resp.read())
        self.assertIs(first_socket, conn.sock, "second request reconnected")
        conn.request("GET", "/update/sub%20dir/a%20b.txt?x=1&y=2")
        self.assertEqual(b"spaced", conn.getresponse().read())
        self.assertIs(first_socket, conn.sock)

    def test_plain_http_port(self):
        resp, body = self.get("/manifest_light.json", plain=True)
        self.assertEqual((200, b'{"files": []}'), (resp.status, body))

    def test_missing_and_escaping_paths_are_404(self):
        for path in ("/nothing.bin", "/update", "/../secret.txt", "/update/../../secret.txt",
                     "/%2e%2e/secret.txt", "/update/%2E%2E/%2e%2e/secret.txt"):
            resp, body = self.get(path)
            self.assertEqual(404, resp.status, path)
            self.assertNotIn(b"outside", body)

    def test_other_methods_are_refused(self):
        resp, _ = self.get("/manifest_light.json", method="POST")
        self.assertEqual(405, resp.status)

    # --- faults ---

    def test_status_faults(self):
        self.faults({"/manifest_light.json": {"status": 404},
                     "/update/big.bin": {"status": 500},
                     "/part": {"status": 206, "body": "partial"}})
        resp, body = self.get("/manifest_light.json?nocache=5")
        self.assertEqual(404, resp.status)
        self.assertNotIn(b"files", body)
        self.assertEqual(500, self.get("/update/big.bin")[0].status)
        resp, body = self.get("/part")
        self.assertEqual((206, b"partial"), (resp.status, body))

    def test_304_has_no_body_and_keeps_the_connection(self):
        self.faults({"/manifest_light.json": {"status": 304}})
        conn = self.connect()
        conn.request("GET", "/manifest_light.json")
        resp = conn.getresponse()
        self.assertEqual((304, b""), (resp.status, resp.read()))
        conn.request("GET", "/update/sub%20dir/a%20b.txt")
        self.assertEqual(b"spaced", conn.getresponse().read())

    def test_cut_after_announces_full_length_then_breaks(self):
        for plain in (False, True):
            self.faults({"/update/big.bin": {"cut_after": 1000}})
            conn = self.connect(plain)
            conn.request("GET", "/update/big.bin")
            resp = conn.getresponse()
            self.assertEqual(str(len(self.big)), resp.getheader("Content-Length"))
            with self.assertRaises(http.client.IncompleteRead) as cm:
                resp.read()
            self.assertEqual(self.big[:1000], cm.exception.partial)

    def test_ranges_like_nginx_and_their_faults(self):
        big = self.big
        resp, body = self.get("/update/big.bin", headers={"Range": "bytes=100-199"})
        self.assertEqual((206, "bytes 100-199/%d" % len(big), big[100:200]),
                         (resp.status, resp.getheader("Content-Range"), body))
        resp, body = self.get("/update/big.bin", headers={"Range": "bytes=299990-"})
        self.assertEqual((206, big[299990:]), (resp.status, body))
        resp, body = self.get("/update/big.bin", headers={"Range": "bytes=0-9,1000-1009"})
        self.assertEqual(206, resp.status)
        self.assertTrue(resp.getheader("Content-Type").startswith("multipart/byteranges"))
        self.assertIn(b"Content-Range: bytes 1000-1009/%d\r\n\r\n" % len(big) + big[1000:1010],
                      body)
        self.assertEqual(416, self.get("/update/big.bin", headers={"Range": "bytes=300000-"})[0].status)
        self.assertEqual((200, big), (lambda r: (r[0].status, r[1]))(
            self.get("/update/big.bin", headers={"Range": "lines=1-2"})))

        self.faults({"/update/big.bin": {"ignore_range": True}})
        resp, body = self.get("/update/big.bin", headers={"Range": "bytes=100-199"})
        self.assertEqual((200, big), (resp.status, body))
        self.faults({"/update/big.bin": {"single_range_only": True}})
        resp, body = self.get("/update/big.bin", headers={"Range": "bytes=0-9,1000-1009"})
        self.assertEqual((200, big), (resp.status, body))
        resp, body = self.get("/update/big.bin", headers={"Range": "bytes=100-199"})
        self.assertEqual((206, big[100:200]), (resp.status, body))
        self.faults({"/update/big.bin": {"wrong_range": 1, "corrupt_range": True}})
        resp, body = self.get("/update/big.bin", headers={"Range": "bytes=100-199"})
        self.assertEqual("bytes 101-200/%d" % len(big), resp.getheader("Content-Range"))
        self.assertEqual(1, sum(a != b for a, b in zip(body, big[100:200])))

    def test_length_longer_or_shorter_than_the_data(self):
        self.faults({"/manifest_light.json": {"length": 1000}})
        resp = self.connect()
        resp.request("GET", "/manifest_light.json")
        resp = resp.getresponse()
        self.assertEqual("1000", resp.getheader("Content-Length"))
        with self.assertRaises(http.client.IncompleteRead) as cm:
            resp.read()
        self.assertEqual(b'{"files": []}', cm.exception.partial)

        self.faults({"/update/big.bin": {"length": 10}})
        resp, body = self.get("/update/big.bin")
        self.assertEqual(self.big[:10], body)

    def test_no_length_ends_by_closing(self):
        self.faults({"/update/big.bin": {"no_length": True}})
        for plain in (False, True):
            resp, body = self.get("/update/big.bin", plain=plain)
            self.assertEqual(200, resp.status)
            self.assertIsNone(resp.getheader("Content-Length"))
            self.assertEqual("close", resp.getheader("Connection"))
            self.assertEqual(self.big, body)

    def test_endless_sends_filler_after_the_body(self):
        self.faults({"/update/big.bin": {"endless": True},
                     "/manifest_light.json": {"endless": True, "length": 10 ** 12}})
        conn = self.connect()
        conn.request("GET", "/update/big.bin", headers={"Range": "bytes=299990-"})
        resp = conn.getresponse()
        self.assertEqual((206, None), (resp.status, resp.getheader("Content-Length")))
        self.assertEqual(self.big[299990:] + b"z" * 4 * 65536, resp.read(10 + 4 * 65536))
        conn.close()
        conn = self.connect()
        conn.request("GET", "/manifest_light.json")
        resp = conn.getresponse()
        self.assertEqual(str(10 ** 12), resp.getheader("Content-Length"))
        self.assertEqual(b'{"files": []}zzz', resp.read(16))

    def test_body_and_body_hex_replace_the_file(self):
        self.faults({"/manifest_light.json": {"body": "{\"files\": \"\u00e9\"}"},
                     "/update/new.bin": {"body_hex": "00ff10"}})
        self.assertEqual('{"files": "\u00e9"}'.encode(), self.get("/manifest_light.json")[1])
        resp, body = self.get("/update/new.bin")
        self.assertEqual((200, "3", b"\x00\xff\x10"),
                         (resp.status, resp.getheader("Content-Length"), body))

    def test_delay_and_trickle(self):
        self.faults({"/manifest_light.json": {"delay_ms": 300},
                     "/update/sub dir/a b.txt": {"trickle_bytes": 2, "trickle_ms": 200}})
        start = time.monotonic()
        self.assertEqual(b'{"files": []}', self.get("/manifest_light.json")[1])
        self.assertGreaterEqual(time.monotonic() - start, 0.3)

        conn = self.connect()
        conn.request("GET", "/update/sub%20dir/a%20b.txt")
        resp = conn.getresponse()
        pieces = []
        while True:
            piece = resp.read1(100)
            if not piece:
                break
            pieces.append(piece)
        self.assertEqual([b"sp", b"ac", b"ed"], pieces)

    def test_times_limits_a_fault_until_the_next_load(self):
        self.faults({"/update/big.bin": {"status": 500, "times": 2}})
        statuses = [self.get("/update/big.bin")[0].status for _ in range(3)]
        self.assertEqual([500, 500, 200], statuses)
        self.faults({"/update/big.bin": {"status": 500, "times": 1}})
        statuses = [self.get("/update/big.bin")[0].status for _ in range(2)]
        self.assertEqual([500, 200], statuses)

    def test_control_reload_root_and_half_written_file(self):
        other = os.path.join(self.tmp, "other_root")
        os.makedirs(other, exist_ok=True)
        self.put("manifest_light.json", b"other", root=other)
        self.faults({}, root=other)
        self.assertEqual(b"other", self.get("/manifest_light.json")[1])

        self.faults({"/manifest_light.json": {"status": 500}})
        self.assertEqual(500, self.get("/manifest_light.json")[0].status)
        with open(self.control, "w") as f:
            f.write('{"faults": {"/manifest_light.json": ')  # not finished yet
        self.assertEqual(500, self.get("/manifest_light.json")[0].status)
        with open(self.errlog) as f:
            self.assertIn("control file not used", f.read())
        with open(self.control, "w") as f:
            f.write('{"faults": {}}')
        self.assertEqual(b'{"files": []}', self.get("/manifest_light.json")[1])

        os.remove(self.control)  # no control file: no faults, the --root folder
        self.assertEqual(200, self.get("/manifest_light.json")[0].status)

    # --- request log ---

    def test_log_records_each_request(self):
        mark = len(server_ctl.read_log(self.log))
        self.get("/manifest_light.json?nocache=42", headers={"User-Agent": "ZarvoLauncher/1.0"})
        self.get("/update/sub%20dir/a%20b.txt", method="HEAD", plain=True)
        entries = server_ctl.read_log(self.log)[mark:]
        self.assertEqual(2, len(entries))
        first, second = entries
        self.assertEqual(("https", "GET", "/manifest_light.json?nocache=42", "ZarvoLauncher/1.0"),
                         (first["scheme"], first["method"], first["path"], first["user_agent"]))
        self.assertEqual("ZarvoLauncher/1.0", first["headers"]["User-Agent"])
        self.assertEqual("localhost:%d" % self.https_port, first["headers"]["Host"])
        self.assertEqual(("http", "HEAD", "/update/sub%20dir/a%20b.txt"),
                         (second["scheme"], second["method"], second["path"]))
        self.assertLessEqual(abs(time.time() - first["t"]), 60)

    def test_log_is_written_before_the_answer(self):
        self.faults({"/manifest_light.json": {"delay_ms": 1500}})
        mark = len(server_ctl.read_log(self.log))
        conn = self.connect()
        conn.request("GET", "/manifest_light.json?slow")
        deadline = time.monotonic() + 1.2
        while len(server_ctl.read_log(self.log)) == mark and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertEqual("/manifest_light.json?slow", server_ctl.read_log(self.log)[mark]["path"])
        self.assertEqual(200, conn.getresponse().status)

    def test_parallel_requests(self):
        self.faults({"/manifest_light.json": {"delay_ms": 1000}})
        results = []

        def fetch():
            results.append(self.get("/manifest_light.json")[0].status)

        threads = [threading.Thread(target=fetch) for _ in range(8)]
        start = time.monotonic()
        for t in threads:
            t.start()
        for t in threads:
            t.join(TIMEOUT)
        self.assertEqual([200] * 8, results)
        self.assertLess(time.monotonic() - start, 6, "requests were served one at a time")


class CertificateTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="zarvo_certs_test_")
        cls.addClassCleanup(shutil.rmtree, cls.dir, True)
        make_certs.ensure_certs(cls.dir)

    def openssl(self, *args):
        return subprocess.run(["openssl", *args], capture_output=True, text=True,
                              timeout=TIMEOUT, check=True).stdout

    def path(self, name):
        return os.path.join(self.dir, name)

    def test_server_certificate_verifies_for_tls_servers(self):
        self.openssl("verify", "-CAfile", self.path("ca.pem"), "-purpose", "sslserver",
                     "-verify_hostname", "localhost", self.path("server.pem"))

    def test_extensions_and_dates(self):
        ca = self.openssl("x509", "-in", self.path("ca.pem"), "-noout", "-text")
        server = self.openssl("x509", "-in", self.path("server.pem"), "-noout", "-text")
        for text in ("CA:TRUE", "Certificate Sign, CRL Sign", "sha256WithRSAEncryption",
                     "Public-Key: (2048 bit)", "Subject Key Identifier"):
            self.assertIn(text, ca)
        for text in ("CA:FALSE", "Digital Signature, Key Encipherment",
                     "TLS Web Server Authentication", "DNS:localhost", "Subject Key Identifier",
                     "Authority Key Identifier", "sha256WithRSAEncryption",
                     "Public-Key: (2048 bit)"):
            self.assertIn(text, server)
        self.assertNotIn("IP Address", server)
        dates = self.openssl("x509", "-in", self.path("server.pem"), "-noout", "-dates")
        fields = dict(line.split("=", 1) for line in dates.split("\n") if line)
        parse = lambda s: datetime.datetime.strptime(s, "%b %d %H:%M:%S %Y %Z")
        now = datetime.datetime.utcnow()
        self.assertLess(parse(fields["notBefore"]), now - datetime.timedelta(hours=12))
        self.assertGreater(parse(fields["notAfter"]), now + datetime.timedelta(days=3600))

    def test_der_copy_and_second_run_changes_nothing(self):
        with open(self.path("ca.pem")) as f:
            pem_der = ssl.PEM_cert_to_DER_cert(f.read())
        with open(self.path("ca.der"), "rb") as f:
            self.assertEqual(pem_der, f.read())
        names = ("ca.key", "ca.pem", "ca.der", "server.key", "server.pem")

        def contents():
            result = {}
            for name in names:
                with open(self.path(name), "rb") as f:
                    result[name] = f.read()
            return result

        before = contents()
        make_certs.ensure_certs(self.dir)
        self.assertEqual(before, contents())


class LifecycleTest(unittest.TestCase):
    def test_cli_start_and_stop_with_pidfile(self):
        tmp = tempfile.mkdtemp(prefix="zarvo_server_cli_")
        self.addCleanup(shutil.rmtree, tmp, True)
        pidfile = os.path.join(tmp, "server.pid")
        port = server_ctl.free_port()
        ctl = [sys.executable, os.path.join(HERE, "server_ctl.py")]
        self.addCleanup(subprocess.run, ctl + ["stop", "--pidfile", pidfile], timeout=TIMEOUT)
        out = subprocess.run(ctl + ["start", "--root", tmp, "--https-port", str(port),
                                    "--certdir", os.path.join(tmp, "certs"),
                                    "--pidfile", pidfile],
                             capture_output=True, text=True, timeout=30, check=True).stdout
        pid = int(out.strip())
        with open(pidfile) as f:
            self.assertEqual(pid, int(f.read()))
        tls = ssl.create_default_context(cafile=os.path.join(tmp, "certs", "ca.pem"))
        conn = http.client.HTTPSConnection("localhost", port, timeout=TIMEOUT, context=tls)
        self.addCleanup(conn.close)
        conn.request("GET", "/nothing")
        self.assertEqual(404, conn.getresponse().status)
        conn.close()
        subprocess.run(ctl + ["stop", "--pidfile", pidfile], timeout=TIMEOUT, check=True)
        self.assertFalse(os.path.exists("/proc/%d" % pid))
        self.assertFalse(os.path.exists(pidfile))

    def test_sigterm_exits_cleanly(self):
        tmp = tempfile.mkdtemp(prefix="zarvo_server_term_")
        self.addCleanup(shutil.rmtree, tmp, True)
        proc = server_ctl.start(tmp, server_ctl.free_port(), 0, os.path.join(tmp, "certs"))
        self.addCleanup(server_ctl.stop, proc)
        self.assertEqual(0, server_ctl.stop(proc))


if __name__ == "__main__":
    unittest.main()
