"""Make a signing key pair, or show the public keys a launcher would be built with.

    zarvo-studio keys new KEY.pem PUB.pem     a new ECDSA P-256 private key (mode 600) and its
                                              public key added to PUB.pem (created if missing)
    zarvo-studio keys show PUB.pem|KEY.pem    the key ids ("key" in a signed document's first
                                              line) of every key in the file

KEY.pem signs publications (publish --sign KEY.pem); PUB.pem is what a launcher is built with
(-DLAUNCHER_SIGNING_KEYS=PUB.pem) and what check --keys takes. Rotation (docs/signing.md): add
the new public key to PUB.pem, release that launcher, then sign with the new key. Needs
python3-cryptography.
"""
import os

from . import onepass, status

SUMMARY = "make a signing key pair, or list the ids of the keys in a PEM file"


def add_arguments(parser):
    parser.add_argument("action", choices=("new", "show"))
    parser.add_argument("files", metavar="FILE", nargs="+", help="new: KEY.pem PUB.pem; show: a PEM file")


def run(args, out, err, result):
    status.need("cryptography", "python3-cryptography", "keys")
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import ec

    from . import sign

    if args.action == "show":
        if len(args.files) != 1:
            args.parser.error("show takes one PEM file")
        path = args.files[0]
        try:
            keys = [sign.load_private_key(path).public_key()]
        except sign.SignError:
            try:
                keys = sign.load_public_keys(path)
            except (sign.SignError, ValueError) as e:
                print(f"zarvo-studio keys: refused: {e}", file=err)
                return status.REFUSED
        result["keys"] = [sign.key_id(k) for k in keys]
        for k in result["keys"]:
            print(k, file=out)
        return status.OK

    if len(args.files) != 2:
        args.parser.error("new takes KEY.pem and PUB.pem")
    key_path, pub_path = args.files
    if os.path.lexists(key_path):
        print(f"zarvo-studio keys: refused: {key_path} exists; a private key is never replaced",
              file=err)
        return status.REFUSED
    key = ec.generate_private_key(ec.SECP256R1())
    private = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                serialization.NoEncryption())
    public = key.public_key().public_bytes(serialization.Encoding.PEM,
                                           serialization.PublicFormat.SubjectPublicKeyInfo)
    try:
        old = b""
        if os.path.exists(pub_path):
            with open(pub_path, "rb") as f:
                old = f.read()
        fd = os.open(key_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "wb") as f:
            f.write(private)
            f.flush()
            os.fsync(f.fileno())
        onepass.write_atomic(pub_path, old + (b"" if not old or old.endswith(b"\n") else b"\n") + public)
    except OSError as e:
        print(f"zarvo-studio keys: failed: {e}", file=err)
        return status.FAILED
    result.update(key=key_path, public=pub_path, key_id=sign.key_id(key.public_key()))
    print(f"{key_path}: new private key {result['key_id']} (keep it secret; it signs releases)",
          file=out)
    print(f"{pub_path}: its public key added (build the launcher with it)", file=out)
    return status.OK
