"""Runs the real Tarnwick against the fake appliance on loopback: media images
to map, a running Tarnwick whose output can be waited for, and the server's
side of a session (wait for a map, read or write blocks, release)."""

import hashlib
import os
import shutil
import subprocess
import threading
import time

from appliance import Config, FakeAppliance, wire

TARNWICK = os.environ.get("TARNWICK_BIN", "Tarnwick")
USER = "admin"
PASSWORD = "s3cret"

CD, FLOPPY, REMOVABLE = 0, 1, 2          # drive ids of the appliance's list below
DRIVES = [(wire.DRIVE_CD, 0), (wire.DRIVE_FLOPPY, 0), (wire.DRIVE_REMOVABLE, 0)]
CHUNK = 64 * 1024                        # bytes per read request, as real servers ask
TIMEOUT = 60.0                           # upper bound of every wait; nothing waits it out


# ----- media -----------------------------------------------------------------

def pattern(size, seed=0):
    """Bytes that differ at every offset, so a misplaced block shows."""
    block = hashlib.sha256(b"%d" % seed).digest()
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(block + counter.to_bytes(8, "big")).digest()
        counter += 1
    return bytes(out[:size])


def make_iso(directory, name="disc.iso", payload=1 << 20):
    """An ISO-9660 image made by genisoimage from a few files."""
    src = os.path.join(directory, name + ".src")
    os.makedirs(src)
    with open(os.path.join(src, "README.TXT"), "w") as f:
        f.write("Served by Tarnwick.\n")
    with open(os.path.join(src, "DATA.BIN"), "wb") as f:
        f.write(pattern(payload, seed=len(name)))
    path = os.path.join(directory, name)
    subprocess.run(["genisoimage", "-quiet", "-r", "-J", "-V", "TARNWICK", "-o", path, src],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    shutil.rmtree(src)
    return path


def fat_boot_sector(blocks):
    """Block 0 of a FAT-formatted medium of `blocks` 512-byte blocks: the
    client takes a floppy view's size and geometry from it, as from a real
    formatted floppy or stick."""
    heads, per_track = (2, 18) if blocks <= 2880 else (64, 32)
    b = bytearray(512)
    b[0:3] = b"\xEB\x3C\x90"
    b[3:11] = b"TWTEST  "
    b[11:13] = (512).to_bytes(2, "little")
    b[13] = 1                                   # sectors per cluster
    b[14:16] = (1).to_bytes(2, "little")        # reserved sectors
    b[16] = 2                                   # FATs
    b[17:19] = (224).to_bytes(2, "little")      # root entries
    if blocks < 0x10000:
        b[19:21] = blocks.to_bytes(2, "little")
    else:
        b[32:36] = blocks.to_bytes(4, "little")
    b[21] = 0xF0 if blocks <= 2880 else 0xF8    # media descriptor
    b[22:24] = (9).to_bytes(2, "little")        # sectors per FAT
    b[24:26] = per_track.to_bytes(2, "little")
    b[26:28] = heads.to_bytes(2, "little")
    b[510:512] = b"\x55\xAA"
    return bytes(b)


def make_image(directory, name, size, seed=1):
    """A formatted-looking image: a FAT boot sector, then patterned bytes (the
    client serves blocks; no file system is needed behind block 0). Patterned
    bytes in block 0 would read as a junk partition table."""
    path = os.path.join(directory, name)
    with open(path, "wb") as f:
        f.write(fat_boot_sector(size // 512) + pattern(size - 512, seed))
    return path


FLOPPY_SIZE = 1474560                   # 2880 blocks: a floppy image
REMOVABLE_SIZE = 8 << 20                # 16384 blocks: more than a floppy holds


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def sha256_file(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


# ----- a running Tarnwick ----------------------------------------------------

class Output:
    """Collects a stream on a thread; lets a test wait for a text in it.
    echo, when given, is called with every chunk as it arrives."""

    def __init__(self, stream, echo=None):
        self._echo = echo
        self._data = b""
        self._cond = threading.Condition()
        self._done = False
        self._thread = threading.Thread(target=self._pump, args=(stream,), daemon=True)
        self._thread.start()

    def _pump(self, stream):
        while True:
            try:
                chunk = os.read(stream.fileno(), 65536)
            except OSError:
                chunk = b""
            with self._cond:
                if not chunk:
                    stream.close()
                    self._done = True
                    self._cond.notify_all()
                    return
                self._data += chunk
                self._cond.notify_all()
            if self._echo:
                self._echo(chunk)

    def text(self):
        with self._cond:
            return self._data.decode("utf-8", "replace")

    def wait_for(self, needle, timeout=TIMEOUT):
        """True once needle is in the output; False when the stream ended or time ran out."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while needle.encode() not in self._data:
                left = deadline - time.monotonic()
                if self._done or left <= 0:
                    return False
                self._cond.wait(left)
            return True

    def join(self, timeout=TIMEOUT):
        self._thread.join(timeout)


class Tarnwick:
    """One Tarnwick process with its standard output collected."""

    def __init__(self, args, cwd, stdin=subprocess.DEVNULL, user=None, echo=None):
        kwargs = {"user": user} if user is not None else {}
        self.args = args
        self.proc = subprocess.Popen([TARNWICK, *args], cwd=cwd, stdin=stdin, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, **kwargs)
        self.out = Output(self.proc.stdout, echo)
        self.err = Output(self.proc.stderr)

    def wait_for(self, needle, timeout=TIMEOUT):
        return self.out.wait_for(needle, timeout)

    def signal(self, sig):
        self.proc.send_signal(sig)

    def finish(self, timeout=TIMEOUT):
        """Waits for the end; returns (exit status, standard output)."""
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise AssertionError("Tarnwick did not end; output so far:\n" + self.out.text())
        self.out.join()
        self.err.join()
        return rc, self.out.text()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def system_error_line(line):
    """The library's system-error lines ("VMIO::OpenFile Error: 2: ...") are
    printed whatever else happens; tests compare the other lines."""
    head, sep, _ = line.partition(" ")
    return bool(sep) and "::" in head and line[len(head):].startswith(" Error: ")


def front_end_text(out):
    return "".join(line for line in out.splitlines(keepends=True) if not system_error_line(line))


# ----- the server's side -----------------------------------------------------

def start_appliance(cert_dir, tls=False, **settings):
    settings.setdefault("drives", list(DRIVES))
    cfg = Config(cert_dir=cert_dir, capabilities=0x8 if tls else 0x1, **settings)
    return FakeAppliance(cfg).start()


def wait_mapped(app, drive, timeout=TIMEOUT, tarnwick=None):
    """The fields of the map request for that drive id, or None (also as soon
    as the given Tarnwick has ended without it)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        fields = app.mapped.get(drive)
        if fields is not None:
            return fields
        if tarnwick is not None and tarnwick.proc.poll() is not None:
            return app.mapped.get(drive)
        time.sleep(0.01)
    return None


def read_image(app, drive, blocks, block_size):
    """Reads the whole medium in 64 KiB requests, as a server does; returns
    the bytes and the statuses that were not 0."""
    per = max(1, CHUNK // block_size)
    data = bytearray()
    bad = []
    start = 0
    while start < blocks:
        n = min(per, blocks - start)
        chunk, status = app.read_blocks(drive, start, n, max_blocks=n, timeout=TIMEOUT)
        if status != 0:
            bad.append((start, status))
        data += chunk
        start += n
    return bytes(data), bad


def release_all(app):
    for drive in sorted(app.mapped):
        app.send_release(drive)


def tarnwick_args(app, *media, user=USER, password=PASSWORD):
    return ["-a", "127.0.0.1", "-o", str(app.port), "-u", user, "-p", password, *media]


# ----- what the library can do yet -------------------------------------------

_abilities = {}


def library_abilities(cert_dir):
    """Whether the facade connects and logs in ("session") and whether it
    builds local drives ("drives"): the facade's halves land one after the
    other, and tests that need a missing half are skipped with that reason.
    Probed once per process with the real Tarnwick."""
    if _abilities:
        return _abilities
    import tempfile
    with tempfile.TemporaryDirectory(prefix="tarnwick-probe-") as d:
        iso = make_image(d, "probe.iso", 2048 * 16)
        t = Tarnwick(["-i"], d, stdin=subprocess.PIPE)
        t.proc.stdin.write(("1\nhost\nuser\npw\n3\n%s\n5\n" % iso).encode())
        t.proc.stdin.close()
        _, out = t.finish()
        _abilities["drives"] = "Local Device not found for" not in out
        app = start_appliance(cert_dir, login_status=2)
        try:
            t = Tarnwick(tarnwick_args(app, "-c", iso), d)
            t.finish()
            _abilities["session"] = bool(app.packets("LoginMessage"))
        finally:
            app.stop()
    return _abilities
