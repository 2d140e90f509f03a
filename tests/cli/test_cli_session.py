"""Tarnwick's command line end to end against the fake appliance: media
mapped and served (plain and TLS), writes only where asked for, media
refused with their lines, failures before and at the connection, the server
releasing the media, and Ctrl-C."""

import os
import shutil
import signal
import subprocess
import tempfile
import unittest

import tarnwick_harness as h

CERT_DIR = None


def setUpModule():
    global CERT_DIR
    CERT_DIR = tempfile.mkdtemp(prefix="tarnwick-certs-")


def tearDownModule():
    shutil.rmtree(CERT_DIR, ignore_errors=True)


class SessionCase(unittest.TestCase):
    TLS = False
    NEEDS = ("session", "drives")

    def setUp(self):
        can = h.library_abilities(CERT_DIR)
        for half in self.NEEDS:
            if not can[half]:
                self.skipTest("the library's facade has no %s half yet (it is still a stub)" % half)
        self._dir = tempfile.TemporaryDirectory(prefix="tarnwick-e2e-")
        self.dir = self._dir.name
        self.addCleanup(self._dir.cleanup)

    def appliance(self, **settings):
        app = h.start_appliance(CERT_DIR, tls=self.TLS, **settings)
        self.addCleanup(app.stop)
        return app

    def tarnwick(self, args, **kwargs):
        t = h.Tarnwick(args, self.dir, **kwargs)
        self.addCleanup(t.kill)
        return t

    def mapped(self, app, drive, tarnwick=None):
        fields = h.wait_mapped(app, drive, tarnwick=tarnwick)
        self.assertIsNotNone(fields, "drive %d was never mapped" % drive)
        return fields

    def end_by_release(self, app, t):
        h.release_all(app)
        rc, out = t.finish()
        self.assertIn("\nAll Virtual Media Released.\nTerminating.\n", out)
        return rc, out


class ServedMedia(SessionCase):
    def test_cd_image_served_whole_and_released(self):
        iso = h.make_iso(self.dir)
        size = os.path.getsize(iso)
        app = self.appliance()
        t = self.tarnwick(h.tarnwick_args(app, "-c", iso))
        self.assertTrue(t.wait_for("Mapped CD!\n"), t.out.text())
        req = self.mapped(app, h.CD)
        self.assertEqual((req["block_size"], req["blocks"]), (2048, size // 2048))
        self.assertEqual(req["read_only"], 1)
        data, bad = h.read_image(app, h.CD, req["blocks"], req["block_size"])
        self.assertEqual(bad, [])
        self.assertEqual(len(data), size)
        self.assertEqual(h.hashlib.sha256(data).hexdigest(), h.sha256_file(iso))
        login = app.packets("LoginMessage")[0].fields
        self.assertEqual((login["user"], login["password"]), (h.USER, h.PASSWORD))
        rc, out = self.end_by_release(app, t)
        self.assertEqual(rc, 0, out)
        self.assertIn("\n%s Released.\n" % iso, out)
        self.assertNotIn("Stopping due to errors", out)
        if self.TLS:
            self.assertTrue(app.events("tls"), "the session did not use TLS")

    def check_write(self, option, size, drive, seed):
        image = h.make_image(self.dir, "medium%s.img" % option, size, seed)
        before = h.read_file(image)
        app = self.appliance()
        t = self.tarnwick(h.tarnwick_args(app, option, image))
        kind = "Floppy" if option.startswith("-f") else "Removable"
        self.assertTrue(t.wait_for("Mapped %s!\n" % kind), t.out.text())
        req = self.mapped(app, drive)
        writable = option.endswith("w")
        self.assertEqual(req["read_only"], 0 if writable else 1, option)
        self.assertEqual(req["block_size"], 512)
        # What the server reads is the image.
        data, bad = h.read_image(app, drive, req["blocks"], 512)
        self.assertEqual(bad, [], option)
        self.assertEqual(data, before[:len(data)], option)
        # A write lands at its block only when the option asked for it.
        block = 5
        new = h.pattern(2 * 512, seed=99)
        status = app.write_blocks(drive, block, 2, new)
        after = h.read_file(image)
        self.assertEqual(len(after), len(before), option)
        if writable:
            self.assertEqual(status, 0, option)
            self.assertEqual(after, before[:block * 512] + new + before[(block + 2) * 512:], option)
        else:
            self.assertEqual(status, 7, option)
            self.assertEqual(after, before, option)
        rc, out = self.end_by_release(app, t)
        self.assertEqual(rc, 0, out)

    def test_floppy_image_read_only_and_writable(self):
        for option in ("-f", "-fw"):
            with self.subTest(option=option):
                self.check_write(option, h.FLOPPY_SIZE, h.FLOPPY, 3)

    def test_removable_image_read_only_and_writable(self):
        for option in ("-r", "-rw"):
            with self.subTest(option=option):
                self.check_write(option, h.REMOVABLE_SIZE, h.REMOVABLE, 4)


class ServedMediaTLS(ServedMedia):
    TLS = True


class MediaById(SessionCase):
    """The server lists a drive of a type the client does not know first, so
    the CD is drive 1 and the floppy drive 2, not the places they take in the
    client's list; later the server drops the CD."""
    UNKNOWN = 9
    CD_ID, FLOPPY_ID = 1, 2

    def test_each_medium_is_served_by_its_id(self):
        iso = h.make_iso(self.dir)
        floppy = h.make_image(self.dir, "floppy.img", h.FLOPPY_SIZE, 5)
        iso_bytes, floppy_bytes = h.read_file(iso), h.read_file(floppy)
        app = self.appliance(drives=[(self.UNKNOWN, 0), (h.wire.DRIVE_CD, 0), (h.wire.DRIVE_FLOPPY, 0)])
        t = self.tarnwick(h.tarnwick_args(app, "-c", iso, "-fw", floppy))
        self.assertTrue(t.wait_for("Mapped Floppy!\n"), t.out.text())
        cd = self.mapped(app, self.CD_ID, t)
        fl = self.mapped(app, self.FLOPPY_ID, t)
        self.assertEqual(sorted(app.mapped), [self.CD_ID, self.FLOPPY_ID])
        self.assertEqual((cd["block_size"], fl["block_size"], fl["read_only"]), (2048, 512, 0))
        # Each id reads its own medium.
        data, bad = h.read_image(app, self.CD_ID, cd["blocks"], 2048)
        self.assertEqual((bad, data), ([], iso_bytes))
        data, bad = h.read_image(app, self.FLOPPY_ID, fl["blocks"], 512)
        self.assertEqual((bad, data), ([], floppy_bytes))
        # The CD refuses a write, and nothing lands on either image.
        self.assertEqual(app.write_blocks(self.CD_ID, 0, 1, h.pattern(2048, seed=7)), 7)
        self.assertEqual(h.read_file(floppy), floppy_bytes)
        self.assertEqual(h.read_file(iso), iso_bytes)
        # The server drops the CD; the floppy keeps its id, now first in the
        # client's list. Requests are handled in order, so the merge is done
        # before the reads that follow it.
        app.change_drives([(self.UNKNOWN, 0), (0, 0), (h.wire.DRIVE_FLOPPY, 0)])
        data, status = app.read_blocks(self.FLOPPY_ID, 100, 8, max_blocks=8, timeout=h.TIMEOUT)
        self.assertEqual((status, data), (0, floppy_bytes[100 * 512:108 * 512]))
        data, status = app.read_blocks(self.CD_ID, 0, 1, max_blocks=1, timeout=h.TIMEOUT)
        self.assertEqual((status, data), (7, b""))
        self.assertEqual(app.write_blocks(self.CD_ID, 0, 1, h.pattern(2048, seed=8)), 7)
        self.assertEqual(h.read_file(floppy), floppy_bytes)
        rc, out = self.end_by_release(app, t)
        self.assertEqual(rc, 0, out)


class MediaByIdTLS(MediaById):
    TLS = True


class RefusedMedia(SessionCase):
    def test_second_medium_of_a_kind_is_refused(self):
        f1 = h.make_image(self.dir, "a.img", h.FLOPPY_SIZE)
        f2 = h.make_image(self.dir, "b.img", h.FLOPPY_SIZE)
        r1 = h.make_image(self.dir, "c.img", h.REMOVABLE_SIZE)
        r2 = h.make_image(self.dir, "d.img", h.REMOVABLE_SIZE)
        c1 = h.make_iso(self.dir, "e.iso")
        c2 = h.make_iso(self.dir, "f.iso")
        app = self.appliance(drives=h.DRIVES + [(h.wire.DRIVE_CD, 0), (h.wire.DRIVE_FLOPPY, 0),
                                                (h.wire.DRIVE_REMOVABLE, 0)])
        t = self.tarnwick(h.tarnwick_args(app, "-f", f1, "-fw", f2, "-r", r1, "-rw", r2, "-c", c1, "-c", c2))
        self.assertTrue(t.wait_for("Cannot map %s, because another CD is already mapped\n" % c2), t.out.text())
        for drive in (h.CD, h.FLOPPY, h.REMOVABLE):
            self.mapped(app, drive)
        self.assertEqual(sorted(app.mapped), [h.CD, h.FLOPPY, h.REMOVABLE])
        rc, out = self.end_by_release(app, t)
        self.assertEqual(rc, 0, out)
        lines = [line for line in h.front_end_text(out).splitlines(keepends=True)
                 if line.startswith(("Mapped", "Cannot"))]
        self.assertEqual(lines, [
            "Mapped Floppy!\n",
            "Cannot map %s, becuase another floppy is already mapped\n" % f2,
            "Mapped Removable!\n",
            "Cannot map %s, because another removable is already mapped\n" % r2,
            "Mapped CD!\n",
            "Cannot map %s, because another CD is already mapped\n" % c2,
        ])

    def read_only_image(self, name):
        """An image the Tarnwick process cannot write, and how to start it so.
        Root writes any file: the image is made immutable, or Tarnwick runs as
        nobody."""
        path = h.make_image(self.dir, name, h.FLOPPY_SIZE)
        os.chmod(path, 0o444)
        if os.geteuid() != 0:
            return path, {}
        if subprocess.run(["chattr", "+i", path], stderr=subprocess.DEVNULL).returncode == 0:
            self.addCleanup(subprocess.run, ["chattr", "-i", path])
            return path, {}
        os.chmod(self.dir, 0o755)
        return path, {"user": 65534}

    def test_media_that_fail_validation_keep_the_session(self):
        ro, how = self.read_only_image("locked.img")
        floppy = h.make_image(self.dir, "floppy.img", h.FLOPPY_SIZE)
        app = self.appliance()
        t = self.tarnwick(h.tarnwick_args(app, "-fw", ro, "-c", floppy), **how)
        self.assertTrue(t.wait_for("Cannot validate CD c...\n"), t.out.text())
        # Nothing mapped, yet the session runs until Ctrl-C.
        self.assertIsNotNone(app.wait_for("GetVDiskInfo"))
        self.assertEqual(app.mapped, {})
        self.assertIsNone(t.proc.poll())
        t.signal(signal.SIGINT)
        rc, out = t.finish()
        self.assertEqual(rc, 0, out)
        text = h.front_end_text(out)
        self.assertIn("Local Device not writable: %s\nCannot validate floppy fw...\n" % ro, text)
        self.assertIn("Local Device type is not compatible with -c: (CD/DVD) %s\nCannot validate CD c...\n" % floppy,
                      text)
        self.assertTrue(text.endswith("\nTerminating\n"), text)

    def test_cd_option_without_value(self):
        floppy = h.make_image(self.dir, "floppy.img", h.FLOPPY_SIZE)
        app = self.appliance()
        t = self.tarnwick(h.tarnwick_args(app, "-c", "-f", floppy))
        self.assertTrue(t.wait_for("Mapped Floppy!\n"), t.out.text())
        self.assertIn("Device or Image missing for key -c\n", t.out.text())
        self.mapped(app, h.FLOPPY)  # the line can come before the appliance has the request
        rc, out = self.end_by_release(app, t)
        self.assertTrue(out.endswith("Stopping due to errors\n"), out)
        self.assertEqual(rc, 1)


    def loop_device(self, size):
        """A loop device (a fixed disk to the kernel) over a new image, detached
        at the end; the test is skipped where none can be attached."""
        img = h.make_image(self.dir, "disk.raw", size)
        try:
            p = subprocess.run(["losetup", "-f", "--show", img], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               timeout=30)
        except OSError:
            self.skipTest("no losetup here")
        dev = p.stdout.decode().strip()
        if p.returncode != 0 or not dev.startswith("/dev/loop"):
            self.skipTest("no loop devices here (losetup failed)")
        self.addCleanup(subprocess.run, ["losetup", "-d", dev], timeout=30)
        return dev

    def test_fixed_disk_is_refused_as_the_wrong_type(self):
        dev = self.loop_device(h.REMOVABLE_SIZE)
        app = self.appliance()
        t = self.tarnwick(h.tarnwick_args(app, "-rw", dev, "-r", dev, "-f", dev))
        self.assertTrue(t.wait_for("Cannot validate floppy f...\n"), t.out.text())
        self.assertIsNotNone(app.wait_for("GetVDiskInfo"))
        t.signal(signal.SIGINT)
        rc, out = t.finish()
        self.assertEqual(rc, 0, out)
        self.assertEqual(app.mapped, {})
        self.assertNotIn(" Error: ", out)  # the disk is never opened as an image file
        noR = "Local Device type is not compatible with -r (removable): %s\n" % dev
        self.assertIn(noR + "Cannot validate removable rw...\n" + noR + "Cannot validate removable r...\n"
                      "Local Device type is not compatible with -f (floppy): %s\nCannot validate floppy f...\n" % dev,
                      out)

    def test_option_without_value_after_its_kind_is_mapped(self):
        # The kind is already mapped: that line comes first, and the run keeps its result.
        iso = h.make_iso(self.dir)
        floppy = h.make_image(self.dir, "floppy.img", h.FLOPPY_SIZE)
        app = self.appliance()
        t = self.tarnwick(h.tarnwick_args(app, "-c", iso, "-f", floppy, "-c", "-fw"))
        self.assertTrue(t.wait_for("Cannot map , becuase another floppy is already mapped\n"), t.out.text())
        self.mapped(app, h.CD)
        self.mapped(app, h.FLOPPY)
        rc, out = self.end_by_release(app, t)
        text = h.front_end_text(out)
        lines = [line for line in text.splitlines(keepends=True) if line.startswith(("Mapped", "Cannot"))]
        self.assertEqual(lines, ["Mapped CD!\n", "Mapped Floppy!\n",
                                 "Cannot map , because another CD is already mapped\n",
                                 "Cannot map , becuase another floppy is already mapped\n"])
        self.assertNotIn("Device or Image missing", text)
        self.assertNotIn("Stopping due to errors", text)
        self.assertEqual(rc, 0, out)


class Failures(SessionCase):
    NEEDS = ("session",)

    def test_wrong_password(self):
        app = self.appliance(login_status=2)
        iso = h.make_iso(self.dir)
        t = self.tarnwick(h.tarnwick_args(app, "-c", iso, password="wrong"))
        rc, out = t.finish()
        self.assertIn("\nConnection Failed\nStopping due to errors\n", out)
        # Tarnwick's own close at the end is not the server's doing.
        self.assertNotIn("Socket Closed by peer", out)
        self.assertNotIn("Mapped", out)
        self.assertEqual(rc, 1)
        self.assertEqual(app.packets("LoginMessage")[0].fields["password"], "wrong")
        self.assertEqual(app.packets("GetVDiskInfo"), [])


class NoConnection(SessionCase):
    NEEDS = ()

    def test_no_medium(self):
        app = self.appliance()
        t = self.tarnwick(h.tarnwick_args(app))
        rc, out = t.finish()
        self.assertEqual(out, "No drives specified\nStopping due to errors\n")
        self.assertEqual(rc, 1)
        self.assertEqual(app.events("connect"), [])


class CtrlC(SessionCase):
    def start_mapped(self):
        iso = h.make_iso(self.dir)
        floppy = h.make_image(self.dir, "floppy.img", h.FLOPPY_SIZE)
        app = self.appliance()
        t = self.tarnwick(h.tarnwick_args(app, "-c", iso, "-fw", floppy))
        self.assertTrue(t.wait_for("Mapped Floppy!\n"), t.out.text())
        self.mapped(app, h.CD)
        self.mapped(app, h.FLOPPY)
        return app, t

    def test_ctrl_c_releases_the_media(self):
        app, t = self.start_mapped()
        t.signal(signal.SIGINT)
        rc, out = t.finish()
        self.assertEqual(rc, 0, out)
        self.assertEqual(out.count("\nTerminating\n"), 1, out)
        self.assertNotIn("Stopping due to errors", out)
        released = sorted(r.fields["drive"] for r in app.packets("VDiskRelease"))
        self.assertEqual(released, [h.CD, h.FLOPPY])

    def test_second_ctrl_c_exits_at_once(self):
        app, t = self.start_mapped()
        t.signal(signal.SIGINT)
        # Two signals sent at once would merge into one pending signal.
        self.assertTrue(t.wait_for("\nTerminating\n"), t.out.text())
        t.signal(signal.SIGINT)
        rc, out = t.finish()
        self.assertEqual(rc, 130, out)
        self.assertEqual(out.count("\nTerminating\n"), 1, out)


if __name__ == "__main__":
    unittest.main()
