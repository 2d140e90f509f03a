"""Command line: python3 -m appliance [options] (with tests/ on PYTHONPATH),
or python3 tests/appliance. Prints "LISTENING <port> [<moved port>]" once
ready, then one line per record when --log is given, and runs until
SIGTERM/SIGINT, --duration seconds, or standard input closes (--stdin)."""

import argparse
import os
import signal
import sys
import threading

if __package__ in (None, ""):
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    __package__ = "appliance"

from appliance.server import Config, FakeAppliance  # noqa: E402
from appliance import wire  # noqa: E402


def _int(text):
    return int(text, 0)


def _drives(text):
    names = {"cd": wire.DRIVE_CD, "floppy": wire.DRIVE_FLOPPY, "removable": wire.DRIVE_REMOVABLE}
    out = []
    for item in filter(None, text.split(",")):
        kind, _, status = item.partition(":")
        out.append((names[kind] if kind in names else _int(kind), _int(status or "0")))
    return out


def main(argv=None):
    p = argparse.ArgumentParser(prog="appliance", description="Fake management appliance for tests.")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--tls", action="store_true", help="offer TLS only (capabilities 0x8)")
    p.add_argument("--caps", type=_int, help="capabilities word of the reply (overrides --tls)")
    p.add_argument("--reply-type", type=_int, default=0x8100)
    p.add_argument("--tuvo-version", type=_int, default=0x0103)
    p.add_argument("--zelk", default="1.14", help="ZELK version major.minor")
    p.add_argument("--reply-length", type=int, default=68)
    p.add_argument("--random-length", type=int, default=32)
    p.add_argument("--reply-hex", help="raw session reply to send instead, as hex")
    p.add_argument("--close-after-reply", action="store_true")
    p.add_argument("--move-port", action="store_true")
    p.add_argument("--silent", action="store_true", help="never answer the session request")
    p.add_argument("--fail-tls", type=int, default=0, help="drop this many TLS attempts")
    p.add_argument("--silent-tls", action="store_true", help="never answer a TLS ClientHello")
    p.add_argument("--fail-tls-late", type=int, default=0,
                   help="fail this many TLS handshakes after the certificate (a client certificate is demanded)")
    p.add_argument("--certificate", help="PEM chain (leaf first) served instead of the self-signed one")
    p.add_argument("--private-key", help="key of that certificate")
    p.add_argument("--tls-minimum", default="TLSv1_2", help="TLSv1, TLSv1_1, TLSv1_2 or TLSv1_3")
    p.add_argument("--tls-maximum", help="highest TLS version, named as --tls-minimum")
    p.add_argument("--retry-caps", type=_int, help="capabilities of every reply after the first")
    p.add_argument("--cert-dir", help="folder of the self-signed certificate (made when missing)")
    p.add_argument("--login-status", default="0", help="status, or comma list one per login")
    p.add_argument("--no-login-answer", action="store_true")
    p.add_argument("--drives", default="cd,floppy", help="e.g. cd,floppy:0,removable:2")
    p.add_argument("--no-drive-answer", action="store_true")
    p.add_argument("--map-status", type=_int)
    p.add_argument("--heartbeat", type=float, help="seconds between server heartbeats")
    p.add_argument("--log", help="file for one line per record ('-' for standard output)")
    p.add_argument("--duration", type=float, help="stop after this many seconds")
    p.add_argument("--stdin", action="store_true", help="stop when standard input closes")
    a = p.parse_args(argv)

    major, _, minor = a.zelk.partition(".")
    statuses = [_int(s) for s in a.login_status.split(",")]
    cfg = Config(host=a.host, port=a.port, reply_type=a.reply_type, tuvo_version=a.tuvo_version,
                 zelk_major=int(major), zelk_minor=int(minor or 0),
                 capabilities=a.caps if a.caps is not None else (0x8 if a.tls else 0x1),
                 reply_length=a.reply_length, random_length=a.random_length,
                 reply_bytes=bytes.fromhex(a.reply_hex) if a.reply_hex else None,
                 close_after_reply=a.close_after_reply, move_port=a.move_port, silent=a.silent, fail_tls_handshakes=a.fail_tls,
                 silent_tls=a.silent_tls, fail_tls_after_certificate=a.fail_tls_late,
                 certificate=a.certificate, private_key=a.private_key,
                 tls_minimum=a.tls_minimum, tls_maximum=a.tls_maximum, cert_dir=a.cert_dir,
                 retry_capabilities=a.retry_caps,
                 login_status=statuses if len(statuses) > 1 else statuses[0],
                 answer_login=not a.no_login_answer, drives=_drives(a.drives),
                 answer_drive_list=not a.no_drive_answer, map_status=a.map_status,
                 heartbeat_interval=a.heartbeat)
    app = FakeAppliance(cfg)
    log = None
    lock = threading.Lock()
    if a.log:
        log = sys.stdout if a.log == "-" else open(a.log, "a", buffering=1)

        def write(record):
            with lock:
                log.write(record.line() + "\n")
                log.flush()
        app.on_record = write
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    signal.signal(signal.SIGINT, lambda *_: done.set())
    app.start()
    ports = [str(app.port)] + ([str(app.moved_port)] if app.moved_port else [])
    print("LISTENING " + " ".join(ports), flush=True)
    if a.stdin:
        threading.Thread(target=lambda: (sys.stdin.read(), done.set()), daemon=True).start()
    done.wait(a.duration)
    app.stop()
    if log and log is not sys.stdout:
        log.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
