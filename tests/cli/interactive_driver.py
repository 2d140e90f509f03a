"""Drives Tarnwick's interactive mode against the fake appliance and prints
what happened as JSON. Interactive mode always connects to port 2068, so this
runs inside a network namespace of its own (see test_cli_interactive.py):
its loopback, and the port, belong to this run alone.

    python3 interactive_driver.py SCENARIO JSON-ARGUMENTS
"""

import fcntl
import json
import os
import pty
import select
import socket
import struct
import subprocess
import sys
import termios
import time

import tarnwick_harness as h

PORT = 2068


def loopback_up():
    SIOCGIFFLAGS, SIOCSIFFLAGS, IFF_UP = 0x8913, 0x8914, 0x1
    with socket.socket() as s:
        ifr = struct.pack("16sh14x", b"lo", 0)
        flags = struct.unpack("16sh14x", fcntl.ioctl(s, SIOCGIFFLAGS, ifr))[1]
        fcntl.ioctl(s, SIOCSIFFLAGS, struct.pack("16sh14x", b"lo", flags | IFF_UP))


def appliance(args):
    return h.start_appliance(args["cert_dir"], port=PORT)


def mapped_now(app):
    """The drives mapped at this moment (a release takes them off the list)."""
    return {str(k): {f: v for f, v in d.items() if f != "toc"} for k, d in app.mapped.items()}


def session_facts(app, mapped):
    logins = app.packets("LoginMessage")
    return {"mapped": mapped,
            "password": logins[0].fields["password"] if logins else None,
            "releases": [r.fields["drive"] for r in app.packets("VDiskRelease")]}


def first_bytes(app, drive, fields, count=64 * 1024):
    blocks = min(fields["blocks"], count // fields["block_size"])
    data, bad = h.read_image(app, drive, blocks, fields["block_size"])
    return data.hex() if not bad else None


def run_pipe(args):
    """Answers every prompt from a pipe, maps what the input chose, reads the
    start of the mapped medium and releases it."""
    app = appliance(args)
    t = h.Tarnwick(["-i"], args["cwd"], stdin=subprocess.PIPE)
    t.proc.stdin.write(args["input"].encode())
    t.proc.stdin.close()
    result = {}
    mapped = {}
    drive = None
    deadline = time.monotonic() + h.TIMEOUT
    while time.monotonic() < deadline and t.proc.poll() is None and not app.mapped:
        time.sleep(0.01)
    if app.mapped:
        mapped = mapped_now(app)
        drive = sorted(app.mapped)[0]
        result["head"] = first_bytes(app, drive, app.mapped[drive])
        h.release_all(app)
    elif t.proc.poll() is None and args.get("interrupt"):
        app.wait_for("GetVDiskInfo")
        t.signal(2)
    rc, out = t.finish()
    result.update(session_facts(app, mapped), rc=rc, out=out)
    app.stop()
    return result


class Terminal:
    """Tarnwick on a pseudo-terminal of its own (controlling terminal, so
    Ctrl-C typed there raises SIGINT)."""

    def __init__(self, args, cwd):
        pid, fd = pty.fork()
        if pid == 0:
            os.chdir(cwd)
            os.execv(h.TARNWICK, [h.TARNWICK, *args])
        self.pid, self.fd = pid, fd
        self.data = b""

    def wait_for(self, needle, timeout=h.TIMEOUT):
        deadline = time.monotonic() + timeout
        # The terminal turns each line end into CR LF.
        while needle.encode() not in self.data.replace(b"\r\n", b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                return False
            try:
                chunk = os.read(self.fd, 4096)
            except OSError:
                return False
            if not chunk:
                return False
            self.data += chunk
        return True

    def type(self, text):
        os.write(self.fd, text.encode())

    def lflag(self):
        return termios.tcgetattr(self.fd)[3]

    def wait_echo(self, on, timeout=h.TIMEOUT):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if bool(self.lflag() & termios.ECHO) == on:
                return True
            time.sleep(0.005)
        return False

    def finish(self, timeout=h.TIMEOUT):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.wait_for("\0", 0.05)  # drain what it prints
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                self.wait_for("\0", 0.2)
                return os.waitstatus_to_exitcode(status)
        os.kill(self.pid, 9)
        os.waitpid(self.pid, 0)
        return None


def run_pty(args):
    """Types the answers on a terminal; the password without echo. Options:
    "signal_at_choice" sends that signal at the first prompt; "eof_at_address"
    types the end-of-file key at the address; "ctrl_c" types one Ctrl-C at
    the password prompt; "signal_at_password" sends that signal there; "ctrl_c_mapped" types one once the medium is mapped
    (else the appliance releases it)."""
    app = appliance(args)
    term = Terminal(["-i"], args["cwd"])
    result = {"steps": True}
    mapped = {}
    steps = [("Enter the choice: ", "1\n"), ("IP Address: ", "127.0.0.1\n"), ("Username: ", h.USER + "\n")]
    if args.get("signal_at_choice"):
        result["prompt"] = term.wait_for("Enter the choice: ")
        os.kill(term.pid, args["signal_at_choice"])
        steps = []
    elif args.get("eof_at_address"):
        steps = steps[:1] + [("IP Address: ", "\x04")]
    for prompt, answer in steps:
        if not term.wait_for(prompt):
            result["steps"] = False
            break
        # Echo is on while the user name is asked (read before answering:
        # once answered, the password prompt may already have turned it off).
        result["echo_before"] = bool(term.lflag() & termios.ECHO)
        term.type(answer)
    if len(steps) == 3:
        result["prompt"] = term.wait_for("Password: ")
        result["echo_off"] = term.wait_echo(False)
        lflag = term.lflag()
        result["isig_kept"] = bool(lflag & termios.ISIG)
        if args.get("ctrl_c"):
            term.type("\x03")
        elif args.get("signal_at_password"):
            os.kill(term.pid, args["signal_at_password"])
        else:
            term.type(args["typed_password"])
            for prompt, answer in (("Enter the media: ", "3\n"), ("CD/DVD path: ", args["iso"] + "\n"),
                                   ("Enter the media: ", "4\n")):
                if not term.wait_for(prompt):
                    result["steps"] = False
                    break
                term.type(answer)
            if h.wait_mapped(app, h.CD) is not None:
                mapped = mapped_now(app)
                if args.get("ctrl_c_mapped"):
                    term.type("\x03")
                else:
                    h.release_all(app)
    rc = term.finish()
    result["echo_after"] = bool(term.lflag() & termios.ECHO)
    result["icanon_after"] = bool(term.lflag() & termios.ICANON)
    out = term.data.replace(b"\r\n", b"\n").decode("utf-8", "replace")
    result["terminating"] = out.count("\nTerminating\n")
    result.update(session_facts(app, mapped), rc=rc, out=out)
    os.close(term.fd)
    app.stop()
    return result


def main():
    scenario, args = sys.argv[1], json.loads(sys.argv[2])
    loopback_up()
    result = {"pipe": run_pipe, "pty": run_pty}[scenario](args)
    print(json.dumps(result))


if __name__ == "__main__":
    main()
