"""One virtual-media session, narrated: the fake appliance (the server's
management controller) listens on loopback with TLS, Tarnwick maps an ISO
image made here as the server's CD/DVD drive, the appliance reads the whole
image through Tarnwick and checks its SHA-256, then releases the drive and
Tarnwick ends. Exit status 0 only when every step worked.

Run by scripts/demo (PYTHONPATH: tests and tests/cli; TARNWICK_BIN set)."""

import hashlib
import os
import shutil
import sys
import tempfile
import time

import tarnwick_harness as h


def say(text=""):
    print(text, flush=True)


def echo_tarnwick(chunk, _pending=[b""]):
    """Tarnwick's own output, line by line, marked so it stands apart."""
    _pending[0] += chunk
    *lines, _pending[0] = _pending[0].split(b"\n")
    for line in lines:
        sys.stdout.write("    Tarnwick | " + line.decode("utf-8", "replace") + "\n")
    sys.stdout.flush()


def main():
    work = tempfile.mkdtemp(prefix="tarnwick-demo-")
    app = None
    t = None
    try:
        iso = h.make_iso(work, "demo.iso", payload=4 << 20)
        size = os.path.getsize(iso)
        want = h.sha256_file(iso)
        say("1. Made an ISO-9660 image with genisoimage: %s" % iso)
        say("   %d bytes (%d blocks of 2048), SHA-256 %s" % (size, size // 2048, want))

        app = h.start_appliance(os.path.join(work, "certs"), tls=True)
        say("2. Fake appliance listening on 127.0.0.1:%d (TLS only); it offers a CD/DVD," % app.port)
        say("   a floppy and a removable drive")

        args = h.tarnwick_args(app, "-c", iso, user="demo", password="demo")
        say("3. Starting Tarnwick (the password is shown here only because it is a demo):")
        say("   $ Tarnwick " + " ".join(args))
        t = h.Tarnwick(args, work, echo=echo_tarnwick)
        req = h.wait_mapped(app, h.CD, tarnwick=t)
        if req is None or not t.wait_for("Mapped CD!\n"):
            say("FAILED: Tarnwick did not map the image")
            return 1
        tls = app.events("tls")
        say("4. Appliance: the CD/DVD drive is mapped: %d-byte blocks, %d blocks, read-only %d, over %s"
            % (req["block_size"], req["blocks"], req["read_only"],
               tls[0].fields["version"] if tls else "plain TCP"))

        started = time.monotonic()
        data, bad = h.read_image(app, h.CD, req["blocks"], req["block_size"])
        took = max(time.monotonic() - started, 1e-6)
        got = hashlib.sha256(data).hexdigest()
        requests = -(-req["blocks"] // (h.CHUNK // req["block_size"]))
        say("5. Appliance: read %d bytes in %d requests of 64 KiB (%.1f MB/s)" % (len(data), requests,
                                                                              len(data) / took / 1e6))
        say("   SHA-256 %s" % got)
        if bad or got != want:
            say("FAILED: the bytes served differ from the image (statuses %s)" % bad[:5])
            return 1
        say("   matches the image: the server saw exactly the file's bytes")

        say("6. Appliance: releasing the drive; with nothing left mapped Tarnwick ends")
        h.release_all(app)
        rc, _ = t.finish()
        say("7. Tarnwick exit status: %d" % rc)
        return 0 if rc == 0 else 1
    finally:
        if t is not None:
            t.kill()
        if app is not None:
            app.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
