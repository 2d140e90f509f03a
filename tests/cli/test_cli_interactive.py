"""Tarnwick's interactive mode end to end: answers through a pipe, and the
unechoed password through a pseudo-terminal. Interactive mode connects to
port 2068, which a test may not take on the shared loopback, so each run
happens in a network namespace of its own (interactive_driver.py)."""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

import tarnwick_harness as h

HERE = os.path.dirname(os.path.abspath(__file__))


def namespace_command():
    """The unshare command that gives a private network, or None."""
    for cmd in (["unshare", "-n"], ["unshare", "-rn"]):
        try:
            if subprocess.run(cmd + ["true"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
                return cmd
        except OSError:
            return None
    return None


UNSHARE = namespace_command()


@unittest.skipIf(UNSHARE is None, "no private network namespace can be made here (unshare -n)")
class Interactive(unittest.TestCase):
    def setUp(self):
        self._dir = tempfile.TemporaryDirectory(prefix="tarnwick-i-")
        self.dir = self._dir.name
        self.addCleanup(self._dir.cleanup)

    def need_library(self):
        can = h.library_abilities(os.path.join(self.dir, "certs"))
        for half in ("session", "drives"):
            if not can[half]:
                self.skipTest("the library's facade has no %s half yet (it is still a stub)" % half)

    def drive(self, scenario, **args):
        args.setdefault("cwd", self.dir)
        args.setdefault("cert_dir", os.path.join(self.dir, "certs"))
        p = subprocess.run(UNSHARE + [sys.executable, os.path.join(HERE, "interactive_driver.py"), scenario,
                                      json.dumps(args)],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300, cwd=self.dir)
        self.assertEqual(p.returncode, 0, p.stderr.decode(errors="replace"))
        return json.loads(p.stdout.decode().strip().splitlines()[-1])

    def test_pipe_maps_only_the_last_medium_accepted(self):
        self.need_library()
        floppy = h.make_image(self.dir, "floppy.img", h.FLOPPY_SIZE, seed=5)
        removable = h.make_image(self.dir, "removable.img", h.REMOVABLE_SIZE, seed=6)
        typed = "1\n127.0.0.1\n%s\n%s\n2\n%s\n1\n%s\n4\n" % (h.USER, h.PASSWORD, removable, floppy)
        r = self.drive("pipe", input=typed)
        self.assertEqual(r["rc"], 0, r["out"])
        self.assertEqual(r["password"], h.PASSWORD)
        self.assertEqual(list(r["mapped"]), [str(h.FLOPPY)], r["out"])
        self.assertEqual(r["mapped"][str(h.FLOPPY)]["read_only"], 1)  # media chosen here are read-only
        with open(floppy, "rb") as f:
            self.assertEqual(r["head"], f.read(64 * 1024).hex())
        self.assertIn("Enter the media: \nFloppy path: ", r["out"])
        self.assertIn("\nAll Virtual Media Released.\nTerminating.\n", r["out"])
        self.assertNotIn("Stopping due to errors", r["out"])

    def test_pipe_last_validation_failing_is_an_error(self):
        self.need_library()
        floppy = h.make_image(self.dir, "floppy.img", h.FLOPPY_SIZE)
        missing = os.path.join(self.dir, "nothing.iso")
        typed = "1\n127.0.0.1\n%s\n%s\n1\n%s\n3\n%s\n4\n" % (h.USER, h.PASSWORD, floppy, missing)
        r = self.drive("pipe", input=typed)
        out = h.front_end_text(r["out"])
        self.assertIn("CD/DVD path: Local Device has no data: %s\n" % missing, out)
        # The floppy accepted before is mapped; the run still ends as failed.
        self.assertEqual(list(r["mapped"]), [str(h.FLOPPY)], out)
        self.assertTrue(out.endswith("Stopping due to errors\n"), out)
        self.assertEqual(r["rc"], 1)

    def test_terminal_password_is_not_echoed(self):
        self.need_library()
        iso = h.make_iso(self.dir)
        r = self.drive("pty", iso=iso, typed_password="s3cretX\x7f\n")
        self.assertTrue(r["steps"], r["out"])
        self.assertTrue(r["echo_before"])
        self.assertTrue(r["echo_off"], "echo stayed on at the password prompt")
        self.assertTrue(r["isig_kept"])
        self.assertEqual(r["password"], h.PASSWORD)  # Backspace (DEL) removed the X
        self.assertNotIn(h.PASSWORD[:3], r["out"].split("Password: ", 1)[1])
        self.assertEqual(list(r["mapped"]), [str(h.CD)])
        self.assertEqual(r["rc"], 0, r["out"])
        self.assertTrue(r["echo_after"] and r["icanon_after"], "the terminal was not restored")

    def test_terminal_kill_and_end_of_file_keys(self):
        # Ctrl-U clears what was typed; Ctrl-D ends the line and is no part of the password.
        self.need_library()
        iso = h.make_iso(self.dir)
        r = self.drive("pty", iso=iso, typed_password="wrong\x15" + h.PASSWORD + "\x04")
        self.assertTrue(r["steps"], r["out"])
        self.assertEqual(r["password"], h.PASSWORD)
        self.assertEqual(list(r["mapped"]), [str(h.CD)], r["out"])
        self.assertEqual(r["rc"], 0, r["out"])

    def test_terminal_quit_and_suspend_keys_are_password_characters(self):
        # Ctrl-\ and Ctrl-Z raise no signal at the prompt: they are stored like any key.
        self.need_library()
        iso = h.make_iso(self.dir)
        password = h.PASSWORD[:2] + "\x1c" + h.PASSWORD[2:] + "\x1a"
        r = self.drive("pty", iso=iso, typed_password=password + "\n")
        self.assertTrue(r["steps"], r["out"])
        self.assertEqual(r["password"], password)
        self.assertEqual(list(r["mapped"]), [str(h.CD)], r["out"])
        self.assertEqual(r["rc"], 0, r["out"])
        self.assertTrue(r["echo_after"] and r["icanon_after"], "the terminal was not restored")

    def test_signals_that_end_the_process_restore_the_terminal(self):
        # They end it as they would anyway (by the signal), but never with echo off.
        for sig in (signal.SIGQUIT, signal.SIGHUP):
            r = self.drive("pty", signal_at_password=int(sig))
            self.assertTrue(r["echo_off"], r["out"])
            self.assertTrue(r["echo_after"] and r["icanon_after"], "the terminal was not restored after %s" % sig)
            self.assertEqual(r["rc"], -sig, r["out"])
            self.assertIsNone(r["password"])

    def test_end_of_input_at_a_prompt_ends_on_a_new_line(self):
        r = self.drive("pty", eof_at_address=True)
        self.assertTrue(r["steps"], r["out"])
        self.assertTrue(r["out"].endswith("\nIP Address: \nStopping due to errors\n"), r["out"])
        self.assertEqual(r["rc"], 1, r["out"])

    def test_ctrl_c_at_the_password_prompt_ends_the_run(self):
        # One Ctrl-C is enough while nothing is connected.
        r = self.drive("pty", ctrl_c=True)
        self.assertTrue(r["echo_off"], r["out"])
        self.assertEqual(r["rc"], 130, r["out"])
        self.assertEqual(r["terminating"], 1, r["out"])
        self.assertTrue(r["echo_after"] and r["icanon_after"], "the terminal was not restored")
        self.assertIsNone(r["password"])  # never logged in
        self.assertEqual(r["mapped"], {})

    def test_sigterm_at_the_first_prompt_ends_the_run(self):
        r = self.drive("pty", signal_at_choice=15)
        self.assertTrue(r["prompt"], r["out"])
        self.assertEqual(r["rc"], 143, r["out"])
        self.assertEqual(r["terminating"], 1, r["out"])
        self.assertIsNone(r["password"])

    def test_ctrl_c_in_the_session_releases_the_medium(self):
        self.need_library()
        iso = h.make_iso(self.dir)
        r = self.drive("pty", iso=iso, typed_password=h.PASSWORD + "\n", ctrl_c_mapped=True)
        self.assertEqual(list(r["mapped"]), [str(h.CD)], r["out"])
        self.assertEqual(r["releases"], [h.CD], r["out"])
        self.assertEqual(r["terminating"], 1, r["out"])
        self.assertEqual(r["rc"], 0, r["out"])
        self.assertNotIn("Stopping due to errors", r["out"])


if __name__ == "__main__":
    unittest.main()
