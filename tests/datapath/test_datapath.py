"""End-to-end data path: the real library (through tp_mapclient) maps image
files to the fake appliance's drives and serves its block reads and writes,
over plain TCP and over TLS. Every byte served is checked against the image
file, and every byte written is checked in the file."""

import hashlib
import os
import queue
import random
import shutil
import struct
import subprocess
import tempfile
import threading
import time
import unittest

from appliance import FakeAppliance, wire

API_SUCCESS = -1000
API_ERROR = -1003
REFUSED = 7

CD, FLOPPY, REMOVABLE = 0, 1, 2     # remote drive ids of the appliance below
DRIVES = [(wire.DRIVE_CD, 0), (wire.DRIVE_FLOPPY, 0), (wire.DRIVE_REMOVABLE, 0)]


def program():
    suffix = "" if os.environ.get("TW_VARIANT", "plain") == "plain" else "_" + os.environ["TW_VARIANT"]
    return os.path.join(os.environ.get("TW_PROGRAM_DIR", "."), "tp_mapclient" + suffix)


def sha(data):
    return hashlib.sha256(data).hexdigest()


def make_image(path, size, seed, sector0=None):
    data = bytearray(random.Random(seed).randbytes(size))
    data[:512] = bytes(512)     # no boot sector: the whole image is the view
    if sector0 is not None:
        data[:len(sector0)] = sector0
    with open(path, "wb") as f:
        f.write(data)
    return bytes(data)


def mbr(start, count):
    """Block 0 with one partition entry (type 0x0C) at start, count blocks."""
    s = bytearray(512)
    s[0] = 0xFA
    s[510], s[511] = 0x55, 0xAA
    entry = bytearray(16)
    entry[1], entry[2], entry[3], entry[4] = 1, 1, 0, 0x0C
    entry[5], entry[6], entry[7] = 3, 32, 31
    entry[8:16] = struct.pack("<II", start, count)
    s[446:462] = entry
    return bytes(s)


def file_bytes(path):
    with open(path, "rb") as f:
        return f.read()


class MapClient:
    """tp_mapclient: one command line in, one answer line out."""

    def __init__(self, port, workdir):
        self.proc = subprocess.Popen(
            [program(), "127.0.0.1", str(port), os.path.join(workdir, "certs")],
            cwd=workdir, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            text=True, bufsize=1)
        self.lines = queue.Queue()
        self.output = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.output.append(line)
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def expect(self, word, timeout=20):
        """The next line starting with word, as its fields."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("no %r line; output:\n%s" % (word, "".join(self.output)))
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                continue
            if line is None:
                raise AssertionError("client ended; output:\n%s" % "".join(self.output))
            if line.split(" ")[0] == word:
                return line.split(" ")[1:]

    def command(self, text, word):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()
        return self.expect(word)

    def map(self, path, mode):
        result, local_id, remote_id = self.command("map %s %s" % (path, mode), "map")
        return int(result), int(remote_id)

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write("quit\n")
                self.proc.stdin.close()
            except (BrokenPipeError, OSError):
                pass
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode


class DataPathBase:
    CAPABILITIES = 0x1

    @classmethod
    def setUpClass(cls):
        cls.certs = tempfile.mkdtemp(prefix="dp-certs-")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.certs, ignore_errors=True)

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="dp-")
        self.app = FakeAppliance(capabilities=self.CAPABILITIES, drives=DRIVES, cert_dir=self.certs)
        self.app.__enter__()
        self.client = MapClient(self.app.port, self.dir)
        self.assertEqual(self.client.expect("connect"), [str(API_SUCCESS)])
        self.assertEqual(self.client.expect("drives"), [str(API_SUCCESS)])

    def tearDown(self):
        code = self.client.close()
        self.app.__exit__(None, None, None)
        shutil.rmtree(self.dir, ignore_errors=True)
        self.assertEqual(code, 0, "".join(self.client.output))

    def path(self, name):
        return os.path.join(self.dir, name)

    def read(self, index, start, count, max_blocks):
        """(data, status, block values of the responses)."""
        before = len(self.app.packets("ReadResponse"))
        data, status = self.app.read_blocks(index, start, count, max_blocks)
        values = {r.fields["block_value"] for r in self.app.packets("ReadResponse")[before:]}
        return data, status, values

    def map_request(self, drive):
        name = "VDiskRequest" if drive == CD else "VDiskRequest2"
        self.assertIsNotNone(self.app.wait_for(name))
        return self.app.mapped[drive]

    def test_iso_served_whole_at_random_and_at_its_edges(self):
        iso = self.path("disc.iso")
        data = make_image(iso, 2048 * 2048, 1)
        self.assertEqual(self.client.map(iso, "rw"), (API_SUCCESS, CD))
        req = self.map_request(CD)
        self.assertEqual((req["block_size"], req["blocks"], req["read_only"]), (2048, 2048, 1))
        self.assertEqual(bytes.fromhex(req["toc"]), wire.ISO_TOC)

        got = bytearray()
        for start in range(0, 2048, 32):        # 64 KiB requests
            chunk, status, values = self.read(CD, start, 32, 16)
            self.assertEqual(status, 0)
            self.assertEqual(values, {start + 32})
            got += chunk
        self.assertEqual(sha(bytes(got)), sha(data))

        rnd = random.Random(7)
        for _ in range(25):
            start = rnd.randrange(2048)
            count = rnd.randint(1, min(64, 2048 - start))
            chunk, status, _ = self.read(CD, start, count, rnd.choice([0, 1, 5, 64]))
            self.assertEqual((status, sha(chunk)), (0, sha(data[start * 2048:(start + count) * 2048])))

        chunk, status, _ = self.read(CD, 2047, 1, 16)
        self.assertEqual((status, chunk), (0, data[-2048:]))
        for start, count in [(2047, 2), (2048, 1), (0xFFFFFFFF, 2), (0, 0)]:
            chunk, status, _ = self.read(CD, start, count, 16)
            self.assertEqual((status, chunk), (REFUSED, b""), (start, count))
        # Still serving, and a CD is never written.
        self.assertEqual(self.read(CD, 0, 1, 1)[:2], (data[:2048], 0))
        self.assertEqual(self.app.write_blocks(CD, 0, 1, b"\0" * 2048), REFUSED)
        self.assertEqual(sha(file_bytes(iso)), sha(data))

    def test_floppy_image_writable_then_read_only_after_a_remap(self):
        img = self.path("floppy.img")
        data = bytearray(make_image(img, 2880 * 512, 2))
        self.assertEqual(self.client.map(img, "rw"), (API_SUCCESS, FLOPPY))
        req = self.map_request(FLOPPY)
        self.assertEqual((req["block_size"], req["blocks"], req["read_only"]), (512, 2880, 0))

        new = bytes(random.Random(3).randbytes(4 * 512))
        self.assertEqual(self.app.write_blocks(FLOPPY, 100, 4, new), 0)
        data[100 * 512:104 * 512] = new
        self.assertEqual(sha(file_bytes(img)), sha(bytes(data)))
        self.assertEqual(self.read(FLOPPY, 100, 4, 2)[:2], (new, 0))
        self.assertEqual(self.app.write_blocks(FLOPPY, 2879, 1, new[:512]), 0)
        data[-512:] = new[:512]
        # Refused: past the end, and less data than the blocks named.
        for start, count, payload in [(2879, 2, new[:1024]), (2880, 1, new[:512]), (10, 4, new[:3 * 512]),
                                      (10, 1, b"")]:
            self.assertEqual(self.app.write_blocks(FLOPPY, start, count, payload), REFUSED, (start, count))
        self.assertEqual(os.path.getsize(img), 2880 * 512)
        self.assertEqual(sha(file_bytes(img)), sha(bytes(data)))

        self.assertEqual(self.client.command("unmap %d" % FLOPPY, "unmap"), [str(API_SUCCESS)])
        self.assertIsNotNone(self.app.wait_for("VDiskRelease"))
        self.assertEqual(self.read(FLOPPY, 0, 1, 1)[1], REFUSED)
        self.assertEqual(self.client.command("unmap %d" % FLOPPY, "unmap"), [str(API_ERROR)])

        self.assertEqual(self.client.map(img, "ro"), (API_SUCCESS, FLOPPY))
        self.assertIsNotNone(self.app.wait_for("VDiskRequest2", 2))
        self.assertEqual(self.app.mapped[FLOPPY]["read_only"], 1)
        self.assertEqual(self.app.write_blocks(FLOPPY, 0, 1, b"\xAA" * 512), REFUSED)
        self.assertEqual(sha(file_bytes(img)), sha(bytes(data)))
        self.assertEqual(self.read(FLOPPY, 0, 8, 8)[:2], (bytes(data[:8 * 512]), 0))
        # The same medium is never mapped twice.
        self.assertEqual(self.client.map(img, "ro")[0], API_ERROR)

        # The server releases the last drive: the console session ends.
        self.app.send_release(FLOPPY)
        self.assertIsNotNone(self.app.wait_for("VDiskRelease", 2))
        deadline = time.monotonic() + 15
        while self.client.command("running", "running") != ["0"]:
            self.assertLess(time.monotonic(), deadline, "session still running after the release")
            time.sleep(0.2)

    def test_removable_image_takes_large_writes(self):
        img = self.path("stick.img")
        data = bytearray(make_image(img, 8192 * 512, 4))
        self.assertEqual(self.client.map(img, "rw"), (API_SUCCESS, REMOVABLE))
        req = self.map_request(REMOVABLE)
        self.assertEqual((req["blocks"], req["read_only"]), (8192, 0))
        new = bytes(random.Random(5).randbytes(256 * 512))     # 128 KiB in one request
        self.assertEqual(self.app.write_blocks(REMOVABLE, 1000, 256, new), 0)
        data[1000 * 512:1256 * 512] = new
        self.assertEqual(sha(file_bytes(img)), sha(bytes(data)))
        self.assertEqual(self.read(REMOVABLE, 1000, 256, 64)[:2], (new, 0))

    def test_partitioned_image_is_served_as_its_partition(self):
        img = self.path("parted.img")
        data = bytearray(make_image(img, 2880 * 512, 6, mbr(63, 2048)))
        self.assertEqual(self.client.map(img, "rw"), (API_SUCCESS, FLOPPY))
        self.assertEqual(self.map_request(FLOPPY)["blocks"], 2048)
        chunk, status, values = self.read(FLOPPY, 0, 4, 2)
        self.assertEqual((status, chunk, values), (0, bytes(data[63 * 512:67 * 512]), {63 + 4}))
        self.assertEqual(self.read(FLOPPY, 2047, 1, 1)[:2], (bytes(data[2110 * 512:2111 * 512]), 0))
        self.assertEqual(self.read(FLOPPY, 2047, 2, 2)[:2], (b"", REFUSED))
        new = b"\x5A" * 512
        self.assertEqual(self.app.write_blocks(FLOPPY, 0, 1, new), 0)
        self.assertEqual(self.app.write_blocks(FLOPPY, 2048, 1, new), REFUSED)
        data[63 * 512:64 * 512] = new
        self.assertEqual(sha(file_bytes(img)), sha(bytes(data)))

    def test_reads_of_any_size_are_served_whole(self):
        img = self.path("big.img")
        data = make_image(img, 40 * 1024 * 1024, 8)
        self.assertEqual(self.client.map(img, "ro"), (API_SUCCESS, REMOVABLE))
        self.assertEqual(self.map_request(REMOVABLE)["blocks"], 81920)
        # One block over 16 MiB; the whole image without a packet maximum
        # (packets then keep to the client's piece size).
        for start, count, max_blocks in [(1, 32769, 64), (0, 81920, 0)]:
            got = self.app.read_digest(REMOVABLE, start, count, max_blocks)
            self.assertEqual((got["status"], got["bytes"]), (0, count * 512), (start, count))
            self.assertEqual(got["sha256"], sha(data[start * 512:(start + count) * 512]))
            self.assertEqual(got["values"], {start + count})
            self.assertLessEqual(got["largest"], max_blocks or 8192)
        self.assertEqual(self.read(REMOVABLE, 81919, 1, 1)[:2], (data[-512:], 0))

    def test_a_write_over_the_packet_limit_is_refused_in_step(self):
        img = self.path("floppy.img")
        data = make_image(img, 2880 * 512, 9)
        self.assertEqual(self.client.map(img, "rw"), (API_SUCCESS, FLOPPY))
        self.map_request(FLOPPY)
        # A body one byte over 16 MiB whose data would read as packets.
        fake = wire.read_request(FLOPPY, 0, 1, 1) * (16 * 1024 * 1024 // 24 + 1)
        big = fake[:16 * 1024 * 1024 - 7]
        self.assertEqual(self.app.write_blocks(FLOPPY, 5, 1, big, timeout=30), REFUSED)
        self.assertEqual(self.app.write_blocks(FLOPPY, 5, 1, b"\x5A" * 512), 0)
        self.assertEqual(self.read(FLOPPY, 5, 1, 1)[:2], (b"\x5A" * 512, 0))
        self.assertEqual(len(self.app.packets("ReadResponse")), 1)
        self.assertEqual(sha(file_bytes(img)), sha(data[:5 * 512] + b"\x5A" * 512 + data[6 * 512:]))


class PlainDataPathTest(DataPathBase, unittest.TestCase):
    CAPABILITIES = 0x1


class TlsDataPathTest(DataPathBase, unittest.TestCase):
    CAPABILITIES = 0x8


if __name__ == "__main__":
    unittest.main()
