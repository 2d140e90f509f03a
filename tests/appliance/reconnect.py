"""Reconnection for the fake appliance: a session request that carries the
issued session id resumes the session (and can be refused a number of times),
and a connection can die three ways: FIN, RST or a black hole."""

import socket
import threading
import time

from .server import FakeAppliance


class ReconnectingAppliance(FakeAppliance):
    """FakeAppliance plus:
    refuse_reconnects  close this many resumed-session requests unanswered;
    refuse_all         close every resumed-session request unanswered;
    plain_reconnect    answer a resumed session with plain text only;
    refuse_otp         never answer a one-time-password request (no pair to resume with);
    resume_delay       seconds before a resumed-session request is answered;
    resume_drives      the drive list from the first accepted resume on (a server whose
                       drives changed order or type across the drop; nothing stays mapped);
    resume_capabilities  capabilities of the reply to a resumed session (None: as the first);
    resume_drive_lists drive lists taken in turn, one per accepted resume (a server whose
                       drives change at every drop; nothing stays mapped when one changes).
    Records: "event" "resume" (fields: session_id, refused) per resumed request."""

    def __init__(self, config=None, refuse_reconnects=0, refuse_all=False, plain_reconnect=False,
                 refuse_otp=False, resume_delay=0.0, resume_drives=None, resume_capabilities=None,
                 resume_drive_lists=None, **overrides):
        super().__init__(config, **overrides)
        self.refuse_reconnects = refuse_reconnects
        self.refuse_all = refuse_all
        self.plain_reconnect = plain_reconnect
        self.refuse_otp = refuse_otp
        self.resume_delay = resume_delay
        self.resume_drives = [tuple(d) for d in resume_drives] if resume_drives is not None else None
        self.resume_capabilities = resume_capabilities
        self.resume_drive_lists = [[tuple(d) for d in l] for l in resume_drive_lists or []]
        self._resumes = 0
        self._logged_in = set()
        self._login_seen = 0
        self._holes = set()

    # --- faults on the latest connection -----------------------------------

    def fin(self):
        """Closes the latest connection in order (FIN)."""
        conn = self._current()
        if conn is not None:
            try:
                conn.sock.shutdown(socket.SHUT_RDWR)
            except (OSError, ValueError):
                pass
            self._close(conn)

    def black_hole(self):
        """From now on the latest connection is never answered (it stays open)."""
        conn = self._current()
        if conn is not None:
            self._holes.add(conn.id)
            self._record(conn, "event", "black-hole", {})
            # Later connections become the current ones.
            conn.in_packets = False

    def cut_later(self, how, delay):
        """Cuts the latest connection ("drop" or "fin") after delay seconds, on
        a thread of its own: the cut meets whatever that connection is doing."""
        timer = threading.Timer(delay, getattr(self, {"drop": "drop", "fin": "fin"}[how]))
        timer.daemon = True
        self._threads.append(timer)
        timer.start()

    def _current(self):
        with self._cond:
            live = [c for c in self._conns if not c.closed and c.id not in self._holes]
            return live[-1] if live else None

    # --- data helpers for a controller that speaks JSON -----------------------

    def write_pattern(self, index, start, count, value, block_size=512):
        """Writes count blocks filled with one byte value; returns the client's status."""
        return self.write_blocks(index, start, count, bytes([value]) * (block_size * count), timeout=30)

    def read_hex(self, index, start, count, max_blocks=64):
        """Reads blocks; returns {"data": hex text, "status": client's status}."""
        data, status = self.read_blocks(index, start, count, max_blocks, timeout=30)
        return {"data": data.hex(), "status": status}

    def read_checked(self, index, start, count, max_blocks=64, timeout=10.0):
        """A ReadRequest sent only to the latest connection whose login was
        answered. Returns {"sent": False} when there is none; else "conn",
        "status" (the client's, None: no answer) and "closed" (the connection
        closed before an answer came or the timeout passed)."""
        from . import wire
        conn = self._current()
        with self._cond:
            # Only the records since the last look are scanned: a run keeps many.
            for r in self.records[self._login_seen:]:
                if r.direction == "out" and r.name == "LoginResponse":
                    self._logged_in.add(r.conn)
            self._login_seen = len(self.records)
            if conn is None or conn.id not in self._logged_in or not conn.in_packets:
                return {"sent": False}
            seen = len(self.records)
        try:
            self.send(wire.read_request(index, start, count, max_blocks), conn)
        except (OSError, ValueError):
            return {"sent": True, "conn": conn.id, "status": None, "closed": True}
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for r in self.records[seen:]:
                    if r.conn == conn.id and r.direction == "in" and r.name == "ClientStatusMessage":
                        return {"sent": True, "conn": conn.id, "status": r.fields["status"], "closed": False}
                seen = len(self.records)
                left = deadline - time.monotonic()
                if conn.closed:
                    return {"sent": True, "conn": conn.id, "status": None, "closed": True}
                if left <= 0:
                    # What that connection carried last, and which are open, for the report.
                    recent = [r.direction + " " + r.name for r in self.records if r.conn == conn.id][-12:]
                    live = [c.id for c in self._conns if not c.closed]
                    return {"sent": True, "conn": conn.id, "status": None, "closed": False,
                            "recent": recent, "open": live}
                self._cond.wait(left)

    def resume_counts(self):
        """How many resumed-session requests came, were accepted, and changed the drives."""
        resumes = self.events("resume")
        return {"resumes": len(resumes), "accepted": sum(1 for r in resumes if not r.fields["refused"]),
                "drive_changes": len(self.events("drives-changed"))}

    # --- resumed sessions ---------------------------------------------------

    def _send_reply(self, conn):
        with self._cond:
            requests = [r for r in self.records if r.conn == conn.id and r.direction == "in"
                        and r.name in ("SessionRequest", "SessionRequestEx")]
        sid = requests[-1].fields.get("session_id") if requests else None
        if sid == self.config.session_id:
            refused = self.refuse_all or self.refuse_reconnects > 0
            if self.refuse_reconnects > 0:
                self.refuse_reconnects -= 1
            self._record(conn, "event", "resume", {"session_id": sid, "refused": refused})
            if refused:
                raise EOFError("resumed session refused")
            if self.resume_delay > 0:
                self._stop.wait(self.resume_delay)
                self._record(conn, "event", "resume-answered", {})
            drives = self.resume_drives
            if self.resume_drive_lists:
                drives = self.resume_drive_lists[self._resumes % len(self.resume_drive_lists)]
                self._resumes += 1
            if drives is not None and self.config.drives != drives:
                self.config.drives = list(drives)
                self.mapped.clear()
                self._record(conn, "event", "drives-changed", {"drives": self.config.drives})
            caps = 0x0601 if self.plain_reconnect else self.resume_capabilities
            if caps is not None:
                saved = (self.config.capabilities, self.config.retry_capabilities)
                self.config.capabilities, self.config.retry_capabilities = caps, None
                try:
                    return super()._send_reply(conn)
                finally:
                    self.config.capabilities, self.config.retry_capabilities = saved
        return super()._send_reply(conn)

    def _heartbeat_loop(self):
        # Connections come and go here: a send that races a close must not end
        # the heartbeats of the connections after it.
        from . import wire
        while not self._stop.wait(self.config.heartbeat_interval):
            conn = self._current()
            if conn is None or not conn.in_packets or conn.closed:
                continue
            try:
                self.send(wire.heartbeat(), conn)
            except Exception as e:  # noqa: BLE001
                self._record(conn, "event", "heartbeat-error", {"error": str(e)})

    def _answer(self, conn, name, fields, param):
        if conn.id in self._holes:
            return
        if name == "OTPRequest" and self.refuse_otp:
            return
        return super()._answer(conn, name, fields, param)
