#!/usr/bin/env python3
"""cmake/signing_keys.py, the configure step behind LAUNCHER_SIGNING_KEYS: the key bytes it
writes for the launcher, and the files it refuses with a message (configuring then fails)."""
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "..", "..", "cmake", "signing_keys.py")
KEYS = os.path.join(HERE, "keys")


def run(source, out):
    return subprocess.run([sys.executable, SCRIPT, source, out], capture_output=True, text=True,
                          timeout=30)


class SigningKeys(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zarvo_keys_test_")
        self.out = os.path.join(self.tmp, "signing_keys.h")

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def file(self, name, text):
        path = os.path.join(self.tmp, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def test_the_header_holds_x_and_y_of_each_key_as_openssl_prints_them(self):
        result = run(os.path.join(KEYS, "test_keys_ab.pub.pem"), self.out)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(self.out) as f:
            header = f.read()
        self.assertIn("kSigningKeyCount = 2;", header)
        got = [bytes(int(b, 16) for b in re.findall(r"0x([0-9a-f]{2})", block))
               for block in header.split("{ // key ")[1:]]
        for key, xy in zip(("a", "b"), got):
            text = subprocess.run(["openssl", "ec", "-pubin", "-in", os.path.join(KEYS, f"test_key_{key}.pub.pem"),
                                   "-text", "-noout"], capture_output=True, text=True, timeout=30).stdout
            point = bytes.fromhex("".join(re.findall(r"[0-9a-f]{2}", text.split("pub:")[1].split("ASN1")[0])))
            self.assertEqual(point, b"\x04" + xy)
        self.assertEqual(run("-", self.out).returncode, 0)
        with open(self.out) as f:
            self.assertIn("kSigningKeyCount = 0;", f.read())

    def test_a_key_file_under_a_spaced_non_ascii_folder_gives_the_same_header(self):
        folder = os.path.join(self.tmp, "claves del año", "otra carpeta más")
        os.makedirs(folder)
        moved = os.path.join(folder, "test_keys_ab.pub.pem")
        shutil.copy(os.path.join(KEYS, "test_keys_ab.pub.pem"), moved)
        self.assertEqual(run(os.path.join(KEYS, "test_keys_ab.pub.pem"), self.out).returncode, 0)
        with open(self.out, "rb") as f:
            here = f.read()
        result = run(moved, self.out)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(self.out, "rb") as f:
            self.assertEqual(f.read(), here)

    def test_anything_but_p256_public_keys_is_refused_with_the_reason(self):
        p384 = os.path.join(self.tmp, "p384.pem")
        subprocess.run("openssl ecparam -name secp384r1 -genkey -noout | openssl ec -pubout -out "
                       + shlex.quote(p384),
                       shell=True, check=True, capture_output=True, timeout=30)
        with open(os.path.join(KEYS, "test_key_a.pub.pem")) as f:
            key_a = f.read()
        cases = [
            (os.path.join(KEYS, "test_key_a.pem"), "EC PRIVATE KEY, not a PUBLIC KEY"),
            (p384, "not an ECDSA P-256 public key"),
            (self.file("empty.pem", ""), "holds no -----BEGIN PUBLIC KEY----- block"),
            (self.file("twice.pem", key_a + key_a), "the same key twice"),
            (self.file("broken.pem", key_a.replace("MFkw", "M!kw")), "not valid base64"),
            (os.path.join(self.tmp, "missing.pem"), "cannot read"),
        ]
        for path, reason in cases:
            with self.subTest(reason=reason):
                result = run(path, self.out)
                self.assertEqual(result.returncode, 1)
                self.assertIn("LAUNCHER_SIGNING_KEYS: ", result.stderr)
                self.assertIn(reason, result.stderr)
                self.assertFalse(os.path.exists(self.out))


if __name__ == "__main__":
    unittest.main()
