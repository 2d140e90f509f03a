"""Tarnwick's entry: no arguments, unknown options, help, version and the
debug log switched on by kxrtdebug.cfg in the current directory."""

import os
import re
import resource
import subprocess
import tempfile
import unittest

TARNWICK = os.environ.get("TARNWICK_BIN", "Tarnwick")

SHORT_USAGE = (
    "Usage:   -a <IP-address>\n"
    "         -u <user-name>\n"
    "         -p <user-password>\n"
    "         -o <port>\n"
    "         -f[w] {<floppy device-name> or <image-file-name>} {writable} and/or\n"
    "         -r[w] {<removable device name> or <image-file-name>} {writable} and/or\n"
    "         -c {<CD/DVD device-name> or <iso-file-name>}\n"
    "         [-i] interactive\n"
    "         [-v] version\n"
    "         [-h] help\n\n"
    "Exit:    Ctrl-C\n\n"
)

OPTIONS = (
    "Options:\n-a \t<IP-address> is a valid, unique IP address or the Dynamic\n"
    "\tDomain Naming System(DDNS) name(if supported).\n"
    "-u \tuser name that will run Virtual Media\n"
    "-p \tPassword for specified user.\n\n"
    "-f \t<floppy device-name> is a valid drive letter(for Windows) or valid\n"
    "\tdevice file name, including the mountable file system partition number,\n"
    "\tif applicable(for Linux), and <image-file> is the file name and\n"
    "\tpath of a valid image file.\n"
    "\tFor example, an image file is specified as\n\t-f c:\\temp\\floppy.img (Windows)\n"
    "\t-f /temp/floppy.img (Linux)\n\n\tFor example, a device is specified as:\n"
    "\t-f /Volumes/floppy.img (Mac)\n"
    "\t-f a: (Windows)\n\t-f /dev/sdb4  4th partition on device /dev/sdb (Linux)\n"
    "\tThis option may also be used for USB devices or USB Image files.\n\n"
    "-r \t<removable-device-name> is a valid drive letter(for Windows) or valid\n"
    "\tdevice file name, including the mountable file system partition number,\n"
    "\tif applicable(for Linux), and <image-file> is the file name and\n"
    "\tpath of a valid image file.\n"
    "\tFor example, an image file is specified as\n\t-r c:\\temp\\removable.img (Windows)\n"
    "\t-r /temp/removable.img (Linux)\n\n\tFor example, a device is specified as:\n"
    "\t-r /Volumes/removable.img (Mac)\n"
    "\t-r a: (Windows)\n\t-r /dev/sdb4  4th partition on device /dev/sdb (Linux)\n"
    "\tThis option may also be used for Floppy devices or Floppy Image files.\n\n"
    "-c \t<cd-dvd-device-name> is a valid CD/DVD drive letter(Windows systems) or\n"
    "\ta valid CD/DVD device file name(Linux systems) and <image-file> is the\n"
    "\tfile name and path of a valid ISO-9660 image file.\n\n"
    "\tFor example, an image file is specified as:\n\t-c c:\\temp\\cd_dvd.iso (Windows)\n"
    "\t-c /temp/cd_dvd.iso (Linux)\n\n"
    "\t-c /Volumes/cd_dvd.iso (Mac)\n\n"
    "\tFor example, a device file is specified as:\n\t-c d: (Windows)\n\t-c /dev/cdrom (Linux)\n\n"
    "-i\tAllows the IP address, user name, password, and media type to be\n"
    "\tentered interactively.\n\n"
    "-v\tDisplays the program version.\n"
    "-h\tDisplays this help information.\n"
)

BANNER_FIRST_LINE = "MOSKA. Version: 5.04.04 (Build 354)\n"

STAMP = re.compile(r"^\d{2}-\d{2}-\d{4} \d{2}:\d{2}:\d{2}\.\d{3} TID\[\d+\]:\S")


class TarnwickEntry(unittest.TestCase):
    def setUp(self):
        self._dir = tempfile.TemporaryDirectory()
        self.cwd = self._dir.name

    def tearDown(self):
        self._dir.cleanup()

    def run_tarnwick(self, *args):
        p = subprocess.run([TARNWICK, *args], cwd=self.cwd, stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        return p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")

    def test_no_arguments(self):
        rc, out, _ = self.run_tarnwick()
        self.assertEqual(out, "Required arguments are missing!\n\n" + SHORT_USAGE)
        self.assertEqual(rc, 1)
        self.assertEqual(len(SHORT_USAGE.splitlines()), 13)  # eleven lines, two ending in a blank one

    def test_unsupported_option(self):
        for args, shown in ((["-x"], "-x"), (["-a", "host", "-rw", "-o", "2068", "-zz"], "-zz"),
                            (["-5", "-Q"], "-Q")):
            rc, out, _ = self.run_tarnwick(*args)
            self.assertEqual(out, "Unsupported options %s provided.\n" % shown, args)
            self.assertEqual(rc, 1, args)

    def test_help(self):
        for args in (["-h"], ["-a", "127.0.0.1", "-u", "u", "-p", "p", "-v", "-h", "-c", "/tmp/x.iso"]):
            rc, out, _ = self.run_tarnwick(*args)
            self.assertEqual(out, SHORT_USAGE + OPTIONS, args)
            self.assertEqual(rc, 0, args)

    def test_version_banner_comes_first(self):
        rc, out, _ = self.run_tarnwick("-v")
        lines = out.splitlines(keepends=True)
        self.assertEqual(lines[0], BANNER_FIRST_LINE)
        notice = "".join(lines[1:3])
        self.assertEqual(len(lines[1:3]), 2)
        self.assertTrue(all(line.strip() for line in lines[1:3]), notice)
        self.assertEqual(lines[3], "\n")
        # Without address, user, password and media the run cannot succeed.
        self.assertTrue(out.endswith("Stopping due to errors\n"), out)
        self.assertEqual(rc, 1)

    def write_config(self, value):
        with open(os.path.join(self.cwd, "kxrtdebug.cfg"), "w") as f:
            f.write("[DEBUG]\nVirtualMedia=%s\n" % value)

    def log_path(self):
        return os.path.join(self.cwd, "VirtualMedia.LOG")

    @unittest.skipIf(os.path.exists("/kxrtdebug.cfg"), "a debug config in / would take precedence")
    def test_debug_log_switched_on_in_the_current_directory(self):
        self.write_config(1)
        rc, out, _ = self.run_tarnwick("-v")
        self.assertEqual(rc, 1)
        with open(self.log_path(), "rb") as f:
            data = f.read()
        self.assertTrue(data, "the log is empty")
        self.assertTrue(data.endswith(b"\r\n"))
        lines = data.decode("utf-8").split("\r\n")[:-1]
        for line in lines:
            self.assertRegex(line, STAMP)
        self.assertTrue(any("5.04.04 (Build 354)" in line for line in lines), lines)
        self.assertTrue(any("VMConnectionInfo:: m_port=2068" in line for line in lines), lines)
        self.assertNotIn(b"\n", data.replace(b"\r\n", b""))  # every line ends with CR LF
        # The same lines reach the console with the thread id in front.
        self.assertRegex(out, r"(?m)^TID\[\d+\]::VMConnectionInfo:: m_port=2068$")
        # The name's case matters on Linux: nothing else appeared.
        self.assertEqual(sorted(os.listdir(self.cwd)), ["VirtualMedia.LOG", "kxrtdebug.cfg"])

    @unittest.skipIf(os.path.exists("/kxrtdebug.cfg"), "a debug config in / would take precedence")
    def test_no_log_without_a_positive_value(self):
        for value in (None, "0", "-1", "off"):
            if value is not None:
                self.write_config(value)
            rc, out, _ = self.run_tarnwick("-v")
            self.assertEqual(rc, 1)
            self.assertFalse(os.path.exists(self.log_path()), value)
            self.assertNotIn("TID[", out, value)

    @unittest.skipIf(os.path.exists("/kxrtdebug.cfg"), "a debug config in / would take precedence")
    def test_debug_config_that_is_not_a_regular_file(self):
        # Neither may hold up or exhaust the start: the log simply stays off.
        def cap_memory():
            if os.environ.get("TW_VARIANT") == "plain":  # sanitizers need the address space
                resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))

        config = os.path.join(self.cwd, "kxrtdebug.cfg")
        for make in (os.mkfifo, lambda path: os.symlink("/dev/zero", path)):
            make(config)
            p = subprocess.run([TARNWICK, "-h"], cwd=self.cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, timeout=30, preexec_fn=cap_memory)
            self.assertEqual(p.stdout.decode(), SHORT_USAGE + OPTIONS, make)
            self.assertEqual(p.returncode, 0, make)
            self.assertFalse(os.path.exists(self.log_path()))
            os.unlink(config)

    def test_passwords_never_reach_the_log(self):
        if os.path.exists("/kxrtdebug.cfg"):
            self.skipTest("a debug config in / would take precedence")
        self.write_config(15)
        rc, out, _ = self.run_tarnwick("-a", "127.0.0.1", "-u", "someone", "-p", "pw-d0-not-log",
                                       "-c", "/nonexistent.iso")
        self.assertNotIn("pw-d0-not-log", out)
        if os.path.exists(self.log_path()):
            with open(self.log_path(), "rb") as f:
                self.assertNotIn(b"pw-d0-not-log", f.read())


if __name__ == "__main__":
    unittest.main()
