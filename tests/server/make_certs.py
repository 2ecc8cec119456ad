#!/usr/bin/env python3
"""Create a throwaway test CA and a server certificate for "localhost".

Usage: make_certs.py OUTDIR

Writes, only when missing:
  ca.key, ca.pem     the CA's private key and certificate (PEM)
  ca.der             the CA certificate in DER form, for importing into a Windows store
  server.key, server.pem   the server's key and certificate (PEM), signed by the CA

RSA 2048, SHA-256, valid from yesterday for ten years. The certificates are
issued with `openssl ca`, since only it can set the start date in OpenSSL 3.0.
"""
import datetime
import os
import subprocess
import sys
import tempfile

CA_SUBJECT = "/O=Zarvo Test/CN=Zarvo Test Root CA"
SERVER_SUBJECT = "/O=Zarvo Test/CN=localhost"

CONFIG = """\
[ ca ]
default_ca = test_ca

[ test_ca ]
dir = {workdir}
database = $dir/index.txt
new_certs_dir = $dir
serial = $dir/serial
default_md = sha256
policy = policy_any
unique_subject = no
copy_extensions = none
email_in_dn = no

[ policy_any ]
organizationName = optional
commonName = supplied

[ ca_ext ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always

[ server_ext ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid, issuer
subjectAltName = DNS:localhost
"""


def _openssl(*args):
    result = subprocess.run(["openssl", *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        raise RuntimeError("openssl %s failed:\n%s" % (args[0], result.stderr))


def _asn1_time(moment):
    return moment.strftime("%Y%m%d%H%M%SZ")


def _issue(workdir, csr, out, extensions, selfsign_key=None, ca=None):
    """Sign `csr` with `openssl ca` into `out`, valid from yesterday for ten years."""
    start = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(days=1)
    end = start + datetime.timedelta(days=3652)
    args = ["ca", "-batch", "-notext", "-config", os.path.join(workdir, "ca.cnf"),
            "-extensions", extensions, "-rand_serial",
            "-startdate", _asn1_time(start), "-enddate", _asn1_time(end),
            "-in", csr, "-out", out]
    if selfsign_key:
        args += ["-selfsign", "-keyfile", selfsign_key]
    else:
        args += ["-cert", ca + ".pem", "-keyfile", ca + ".key"]
    _openssl(*args)


def _new_key_and_csr(key, csr, subject):
    _openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
             "-out", key)
    os.chmod(key, 0o600)
    _openssl("req", "-new", "-sha256", "-key", key, "-subj", subject, "-out", csr)


def ensure_certs(outdir):
    """Create whatever is missing in `outdir`; returns `outdir`. Raises on failure."""
    os.makedirs(outdir, exist_ok=True)
    path = lambda name: os.path.join(outdir, name)
    have = lambda *names: all(os.path.isfile(path(n)) for n in names)
    new_ca = not have("ca.key", "ca.pem")
    if new_ca or not have("server.key", "server.pem"):
        with tempfile.TemporaryDirectory() as workdir:
            with open(os.path.join(workdir, "ca.cnf"), "w") as f:
                f.write(CONFIG.format(workdir=workdir))
            open(os.path.join(workdir, "index.txt"), "w").close()
            csr = os.path.join(workdir, "req.csr")
            if new_ca:
                _new_key_and_csr(path("ca.key"), csr, CA_SUBJECT)
                _issue(workdir, csr, path("ca.pem"), "ca_ext",
                       selfsign_key=path("ca.key"))
            _new_key_and_csr(path("server.key"), csr, SERVER_SUBJECT)
            _issue(workdir, csr, path("server.pem"), "server_ext", ca=path("ca"))
    if new_ca or not have("ca.der"):
        _openssl("x509", "-in", path("ca.pem"), "-outform", "DER", "-out", path("ca.der"))
    return outdir


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: make_certs.py OUTDIR")
    try:
        ensure_certs(sys.argv[1])
    except (RuntimeError, OSError) as e:
        sys.exit("make_certs: %s" % e)
