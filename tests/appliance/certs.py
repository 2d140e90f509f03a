"""A self-signed server certificate made at test time with the openssl tool."""

import os
import subprocess
import tempfile


def make_certificate(directory=None, common_name="localhost"):
    """Returns (certificate path, key path), creating them when missing."""
    directory = directory or tempfile.mkdtemp(prefix="appliance-cert-")
    os.makedirs(directory, exist_ok=True)
    cert = os.path.join(directory, "appliance.crt")
    key = os.path.join(directory, "appliance.key")
    if not (os.path.exists(cert) and os.path.exists(key)):
        subprocess.run(
            ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
             "-subj", "/CN=" + common_name, "-keyout", key, "-out", cert],
            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key
