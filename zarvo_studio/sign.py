"""Signatures of a Zarvo Vestra publication (used by zarvo-studio publish --sign and its check).

A signed document is the unsigned one with a first line put in front of its own keys:

    {"signed": {"document": "manifest_light.json", "serial": 1765000000, "expires": 1767592000, "key": "96e2fd8bad7ad7f4", "signature": "BASE64"},
    "files": [
    ...

- "document": the name the launcher fetches it under, so one document cannot stand in for
  another; "serial": grows with every publish (seconds since 1970, at least the last
  published serial + 1); "expires": seconds since 1970 after which the launcher refuses it;
  "key": the first 16 hex digits of SHA-256 of the signing key's public key (DER), for people.
- "signature": ECDSA P-256 with SHA-256, r||s (32 bytes each, big-endian) in standard base64
  (88 characters), over the document's exact bytes with those 88 characters taken out
  (the quotes around them stay). Every other byte is covered, the first line included.

Older launchers read a signed document unchanged: their manifest reader ignores everything
before "files", and the line holds no "enabled" or "url" for the display reader. Each document
carries its own signature, so replacing it by one rename publishes both at once.
Signing uses python3-cryptography.
"""
import base64
import hashlib
import json
import os
import re
import time

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, utils

SIGNED_NAMES = ("manifest_light.json", "manifest_full.json", "displayinfo.json")
DEFAULT_EXPIRES_DAYS = 30
SIG_PLACEHOLDER = "=" * 88  # replaced in place; never a valid signature text
HEADER = ('{{"signed": {{"document": "{document}", "serial": {serial}, "expires": {expires}, '
          '"key": "{key}", "signature": "{signature}"}},\n')
HEADER_RX = re.compile(
    r'\{"signed": \{"document": "(?P<document>[^"]*)", "serial": (?P<serial>\d+), '
    r'"expires": (?P<expires>\d+), "key": "(?P<key>[0-9a-f]*)", "signature": "(?P<signature>[^"]*)"\},\n')


class SignError(Exception):
    pass


def key_id(public_key):
    der = public_key.public_bytes(serialization.Encoding.DER,
                                  serialization.PublicFormat.SubjectPublicKeyInfo)
    return hashlib.sha256(der).hexdigest()[:16]


def load_private_key(path):
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise SignError(f"{path}: {e.strerror}")
    try:
        key = serialization.load_pem_private_key(data, password=None)
    except (ValueError, TypeError) as e:
        raise SignError(f"{path}: not an unencrypted PEM private key ({e})")
    if not isinstance(key, ec.EllipticCurvePrivateKey) or key.curve.name != "secp256r1":
        raise SignError(f"{path}: not an ECDSA P-256 key (openssl ecparam -name prime256v1 -genkey -noout)")
    return key


def load_public_keys(path):
    """Every PUBLIC KEY block of a PEM file, as LAUNCHER_SIGNING_KEYS holds them."""
    try:
        with open(path, "rb") as f:
            text = f.read()
    except OSError as e:
        raise SignError(f"{path}: {e.strerror}")
    keys = []
    for block in re.findall(rb"-----BEGIN PUBLIC KEY-----.*?-----END PUBLIC KEY-----", text, re.DOTALL):
        key = serialization.load_pem_public_key(block)
        if not isinstance(key, ec.EllipticCurvePublicKey) or key.curve.name != "secp256r1":
            raise SignError(f"{path}: a key that is not ECDSA P-256")
        keys.append(key)
    if not keys:
        raise SignError(f"{path}: no PUBLIC KEY block")
    return keys


def split(data):
    """(header fields, body bytes) of a signed document, or (None, data) for an unsigned one."""
    line_end = data.find(b"\n")
    match = HEADER_RX.fullmatch(data[:line_end + 1].decode("utf-8", "replace")) if line_end >= 0 else None
    if not match:
        return None, data
    fields = match.groupdict()
    fields["serial"], fields["expires"] = int(fields["serial"]), int(fields["expires"])
    return fields, b"{" + data[line_end + 1:]


def sign_document(text, document, private_key, serial, expires):
    """The signed form of an unsigned document text (str, starting with "{")."""
    if not text.startswith("{"):
        raise SignError(f"{document}: a document must start with '{{'")
    header = HEADER.format(document=document, serial=serial, expires=expires,
                           key=key_id(private_key.public_key()), signature=SIG_PLACEHOLDER)
    data = (header + text[1:]).encode("utf-8")
    at = data.index(SIG_PLACEHOLDER.encode())
    covered = data[:at] + data[at + len(SIG_PLACEHOLDER):]
    der = private_key.sign(covered, ec.ECDSA(hashes.SHA256()))
    r, s = utils.decode_dss_signature(der)
    raw = r.to_bytes(32, "big") + s.to_bytes(32, "big")
    return (data[:at] + base64.b64encode(raw) + data[at + len(SIG_PLACEHOLDER):]).decode("utf-8")


def verify_document(data, document, public_keys, now=None):
    """(fields, problem): the header fields and "" when one of the keys signed data for this
    document name and it has not expired; otherwise what is wrong."""
    fields, _ = split(data)
    if fields is None:
        return None, "not signed"
    sig = fields["signature"]
    try:
        raw = base64.b64decode(sig, validate=True)
    except ValueError:
        raw = b""
    if len(sig) != 88 or len(raw) != 64:
        return fields, "the signature is not 64 bytes of base64"
    at = data.index(b'"signature": "') + len(b'"signature": "')
    covered = data[:at] + data[at + 88:]
    der = utils.encode_dss_signature(int.from_bytes(raw[:32], "big"), int.from_bytes(raw[32:], "big"))
    for key in public_keys:
        try:
            key.verify(der, covered, ec.ECDSA(hashes.SHA256()))
            break
        except InvalidSignature:
            continue
    else:
        return fields, f"the signature does not verify with any given key (signed by key {fields['key']})"
    if fields["document"] != document:
        return fields, f"signed as {fields['document']!r}, served as {document!r}"
    if (time.time() if now is None else now) >= fields["expires"]:
        return fields, f"expired at {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime(fields['expires']))}"
    return fields, ""


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def last_serial(out_dir):
    """The highest serial among the signed documents already in OUT_DIR (0 for none)."""
    highest = 0
    for name in SIGNED_NAMES:
        try:
            with open(os.path.join(out_dir, name), "rb") as f:
                fields, _ = split(f.readline())
        except OSError:
            continue
        if fields:
            highest = max(highest, fields["serial"])
    return highest


class Signer:
    """One publish's signing: one serial and one expiry for all its documents."""

    def __init__(self, key_path, out_dir, expires_days=DEFAULT_EXPIRES_DAYS, now=None):
        if not 0 < expires_days <= 3660:
            raise SignError(f"--expires-days {expires_days}: between 1 and 3660 days")
        self.key = load_private_key(key_path)
        now = int(time.time() if now is None else now)
        self.serial = max(now, last_serial(out_dir) + 1)
        self.expires = now + int(expires_days * 86400)
        self.key_id = key_id(self.key.public_key())

    def sign(self, document, text):
        return sign_document(text, document, self.key, self.serial, self.expires)

    @staticmethod
    def unsigned_text(path):
        """An existing document's own text without its signature line, or None."""
        try:
            with open(path, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            return None
        return split(data)[1].decode("utf-8")

    def describe(self):
        return (f"signed with key {self.key_id}, serial {self.serial}, expires "
                f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime(self.expires))}")


def manifest_rows(data):
    """The "files" rows of a (signed or unsigned) manifest as JSON objects."""
    return json.loads(data.decode("utf-8"))["files"]
