#!/usr/bin/env python3
"""zarvo-studio publish --sign: the signature format checked with the openssl command (not
with the tool's own code), serials and expiry, the display document signed again, and keys
the tool refuses before writing anything."""
import base64
import contextlib
import hashlib
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
# The studio's command from this checkout, for this process and the ones it starts.
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, ROOT)
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, (ROOT, os.environ.get("PYTHONPATH"))))
STUDIO = [sys.executable, "-m", "zarvo_studio"]
from zarvo_studio import publish as zarvo_publish  # noqa: E402

KEYS = os.path.join(HERE, "..", "sign", "keys")
KEY_A = os.path.join(KEYS, "test_key_a.pem")
NAMES = ("manifest_light.json", "manifest_full.json", "displayinfo.json")


def der_signature(raw):
    """r||s as the DER SEQUENCE of two INTEGERs that openssl reads."""
    def integer(b):
        b = b.lstrip(b"\0") or b"\0"
        if b[0] & 0x80:
            b = b"\0" + b
        return b"\x02" + bytes([len(b)]) + b
    body = integer(raw[:32]) + integer(raw[32:])
    return b"\x30" + bytes([len(body)]) + body


def header_of(data):
    return json.loads(data[:data.index(b"\n")].rstrip(b",\n") + b"}")["signed"]


class Signing(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zarvo_sign_test_")
        self.game, self.out = os.path.join(self.tmp, "game"), os.path.join(self.tmp, "out")
        for path, data in (("Zarvo Vestra.exe", b"MZ"), ("data/a.bin", b"a" * 1000), ("b.txt", b"b")):
            full = os.path.join(self.game, *path.split("/"))
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "wb") as f:
                f.write(data)

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def publish(self, *args):
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            status = zarvo_publish.main([self.game, self.out] + list(args))
        return status, out.getvalue() + err.getvalue()

    def read(self, name):
        with open(os.path.join(self.out, name), "rb") as f:
            return f.read()

    def openssl_verifies(self, data, public_pem):
        sig_at = data.index(b'"signature": "') + len(b'"signature": "')
        raw = base64.b64decode(data[sig_at:sig_at + 88])
        covered = os.path.join(self.tmp, "covered")
        with open(covered, "wb") as f:
            f.write(data[:sig_at] + data[sig_at + 88:])
        sig = os.path.join(self.tmp, "sig.der")
        with open(sig, "wb") as f:
            f.write(der_signature(raw))
        result = subprocess.run(["openssl", "dgst", "-sha256", "-verify", public_pem, "-signature", sig,
                                 covered], capture_output=True, timeout=30)
        return result.returncode == 0

    def test_documents_verify_with_openssl_and_read_as_before(self):
        self.assertEqual(self.publish("--display-url", "https://example.com/news")[0], 0)
        unsigned = os.path.join(self.tmp, "unsigned")
        shutil.copytree(self.out, unsigned)
        start = int(time.time())
        status, out = self.publish("--display-url", "https://example.com/news", "--sign", KEY_A)
        self.assertEqual(status, 0, out)
        for name in NAMES:
            with self.subTest(name=name):
                data = self.read(name)
                self.assertTrue(self.openssl_verifies(data, os.path.join(KEYS, "test_key_a.pub.pem")))
                self.assertFalse(self.openssl_verifies(data, os.path.join(KEYS, "test_key_b.pub.pem")))
                flipped = data.replace(b"https://", b"https:/.") if name == "displayinfo.json" \
                    else data.replace(b'"version": 1', b'"version": 2', 1)
                self.assertNotEqual(flipped, data)
                self.assertFalse(self.openssl_verifies(flipped, os.path.join(KEYS, "test_key_a.pub.pem")))
                head = header_of(data)
                self.assertEqual(head["document"], name)
                self.assertAlmostEqual(head["expires"], start + 30 * 86400, delta=5)
                # The reader's keys are all after the first line; the rest is what it was.
                first_line = data[:data.index(b"\n")]
                for key in (b'"files"', b'"url"', b'"enabled"', b"[", b'"path"'):
                    self.assertNotIn(key, first_line)
                with open(os.path.join(unsigned, name), "rb") as f:
                    before = json.load(f)
                after = json.loads(data)
                del after["signed"]
                for row in after.get("files", []):
                    with open(os.path.join(self.game, *row["path"].split("/")), "rb") as f:
                        self.assertEqual(row.pop("sha256"), hashlib.sha256(f.read()).hexdigest())
                self.assertEqual(after, before)

    def test_serials_grow_past_what_is_published_and_expiry_follows_the_option(self):
        self.assertEqual(self.publish("--display-disabled", "--sign", KEY_A)[0], 0)
        first = {n: header_of(self.read(n))["serial"] for n in NAMES}
        self.assertEqual(len(set(first.values())), 1)  # one serial per publish
        self.assertEqual(self.publish("--sign", KEY_A, "--expires-days", "2")[0], 0)
        second = {n: header_of(self.read(n)) for n in NAMES}
        for name in NAMES:  # displayinfo.json too: signed again, or it would expire
            self.assertGreater(second[name]["serial"], first[name])
            self.assertAlmostEqual(second[name]["expires"], time.time() + 2 * 86400, delta=5)
        self.assertEqual(json.loads(self.read("displayinfo.json"))["enabled"], 0)
        self.assertEqual(self.read("displayinfo.json").count(b'"signed"'), 1)
        # A serial ahead of the clock (another machine's, say) is still passed.
        data = self.read("manifest_light.json").replace(
            b'"serial": %d' % second["manifest_light.json"]["serial"], b'"serial": 9000000000')
        with open(os.path.join(self.out, "manifest_light.json"), "wb") as f:
            f.write(data)
        self.assertEqual(self.publish("--sign", KEY_A)[0], 0)
        self.assertEqual(header_of(self.read("manifest_full.json"))["serial"], 9000000001)

    def test_keys_that_cannot_sign_are_refused_before_anything_is_written(self):
        for key in (os.path.join(KEYS, "test_key_a.pub.pem"), os.path.join(self.tmp, "missing.pem")):
            with self.subTest(key=key):
                status, out = self.publish("--sign", key)
                self.assertEqual(status, 1)
                self.assertIn("--sign", out)
                self.assertFalse(os.path.exists(self.out))
        status, out = self.publish("--sign", KEY_A, "--expires-days", "0")
        self.assertEqual(status, 1)
        self.assertFalse(os.path.exists(self.out))


if __name__ == "__main__":
    unittest.main()
