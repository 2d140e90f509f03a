"""The fake appliance: listens on loopback, speaks the session set-up, TLS
and the packet layer, answers login, drive list and session-id/OTP requests,
records every packet both ways, and lets a test send anything it wants."""

import dataclasses
import hashlib
import select
import shutil
import socket
import ssl
import struct
import tempfile
import threading
import time

from . import certs, wire


@dataclasses.dataclass
class Config:
    host: str = "127.0.0.1"
    port: int = 0                   # 0: any free port
    # Session-setup reply.
    reply_type: int = 0x8100
    tuvo_version: int = 0x0103
    zelk_major: int = 1
    zelk_minor: int = 14
    capabilities: int = 0x0001      # 0x1 plain, 0x8 / 0x4 TLS, 0x600 reconnect, 0x800 clear-text reconnect
    random_length: int = 32
    reply_length: int = 68
    first_timeout: int = 20
    second_timeout: int = 120
    retry_capabilities: int = None  # capabilities of every reply after the first (None: the same)
    reply_bytes: bytes = None       # sent instead of the built reply (short, oversize, garbage)
    close_after_reply: bool = False  # close the connection right after the reply
    move_port: bool = False         # the reply moves the client to a second listener
    silent: bool = False            # never answer the session request
    fail_tls_handshakes: int = 0    # drop this many TLS attempts at their ClientHello
    silent_tls: bool = False        # take the ClientHello and never answer it
    fail_tls_after_certificate: int = 0  # fail this many handshakes after the certificate (client one demanded)
    proxy_status: int = 0
    # TLS.
    cert_dir: str = None            # where the self-signed certificate lives (made when missing)
    tls_minimum: str = "TLSv1_2"    # ssl.TLSVersion name; "TLSv1" enables the legacy fallback
    tls_maximum: str = None         # highest TLS version (None: the library's)
    certificate: str = None         # PEM chain (leaf first) served instead of the self-signed one
    private_key: str = None         # key of that leaf
    # Login and session.
    login_status: object = 0        # an int, or a list used one per login (last one repeats)
    login_name: str = None
    answer_login: bool = True
    session_id: int = 0x01020304
    session_timeout: int = 60
    otp_user: str = "otpuser"
    otp_password: str = "otppass"
    # Drive list: (type, status) pairs; mapped drives are reported with status 1.
    drives: list = dataclasses.field(default_factory=lambda: [(wire.DRIVE_CD, 0), (wire.DRIVE_FLOPPY, 0)])
    answer_drive_list: bool = True
    map_status: int = None          # DeviceStatus sent after each map request; None sends nothing
    heartbeat_interval: float = None  # seconds between server heartbeats; None: never
    io_timeout: float = 30.0        # a connection silent this long is closed


@dataclasses.dataclass
class Record:
    """One thing that happened on a connection."""
    conn: int
    direction: str      # "in" (from the client), "out" (to it) or "event"
    name: str
    fields: dict
    raw: bytes = b""
    magic: bytes = b""
    type: int = None
    param: int = None
    time: float = 0.0

    def line(self):
        """One text line: direction, connection, name, then key=value fields."""
        parts = [self.direction, str(self.conn), self.name]
        if self.type is not None:
            parts.append("type=0x%04x" % self.type)
        for k, v in self.fields.items():
            if isinstance(v, (bytes, bytearray)):
                v = "%d-bytes" % len(v)
            elif isinstance(v, int) and not isinstance(v, bool) and k in ("capabilities",):
                v = "0x%04x" % v
            parts.append("%s=%s" % (k, str(v).replace(" ", "_")))
        return " ".join(parts)


class _Conn:
    def __init__(self, cid, sock, listener):
        self.id = cid
        self.sock = sock
        self.listener = listener
        self.tls = False
        # Held for every write, and for every read once TLS is on: one SSL
        # object must not be used by two threads at once (a write racing a
        # read can make the read report a clean end of stream).
        self.io_lock = threading.Lock()
        self.closed = False
        self.in_packets = False


class FakeAppliance:
    """Start with start() (or use as a context manager); the port is .port."""

    def __init__(self, config=None, **overrides):
        self.config = config or Config()
        for k, v in overrides.items():
            if not hasattr(self.config, k):
                raise TypeError("unknown setting " + k)
            setattr(self.config, k, v)
        self.records = []
        self.mapped = {}            # drive id -> map request fields
        self._cond = threading.Condition()
        self._conns = []
        self._listeners = []
        self._threads = []
        self._stop = threading.Event()
        self._next_conn = 0
        self._tls_failures_left = self.config.fail_tls_handshakes
        self._late_tls_failures_left = self.config.fail_tls_after_certificate
        self._renewed_dirs = []
        self._replies_sent = 0
        self._logins = 0
        self._ssl_ctx = None
        self.port = None
        self.moved_port = None
        self.on_record = None       # optional callable(Record), called for every record
        self._digest = None         # set by read_digest while its answer arrives

    # --- life cycle ---------------------------------------------------------

    def start(self):
        c = self.config
        self._ssl_ctx = self._make_ssl_context()
        main = self._listen(c.port)
        self.port = main.getsockname()[1]
        if c.move_port:
            moved = self._listen(0)
            self.moved_port = moved.getsockname()[1]
        if c.heartbeat_interval:
            self._spawn(self._heartbeat_loop)
        return self

    def stop(self):
        self._stop.set()
        for s in self._listeners:
            _close_quietly(s)
        with self._cond:
            conns = list(self._conns)
        for conn in conns:
            self._close(conn)
        for t in self._threads:
            if t is not threading.current_thread():
                t.join(timeout=5)
        for directory in self._renewed_dirs:
            shutil.rmtree(directory, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # --- what happened ------------------------------------------------------

    def packets(self, name=None, direction="in"):
        with self._cond:
            return [r for r in self.records
                    if r.direction == direction and (name is None or r.name == name)]

    def events(self, name=None):
        return self.packets(name, direction="event")

    def wait_for(self, name, count=1, timeout=10.0, direction="in"):
        """Waits until count records of that name exist; returns the last, or None."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                found = [r for r in self.records if r.direction == direction and r.name == name]
                if len(found) >= count:
                    return found[count - 1]
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self._cond.wait(left)

    def wait_for_connections(self, count=1, timeout=10.0):
        return self.wait_for("connect", count, timeout, direction="event")

    # --- actions ------------------------------------------------------------

    def send(self, data, conn=None):
        """Sends raw bytes on the latest connection (or the given one)."""
        conn = conn or self._current()
        if conn is None:
            raise RuntimeError("no client connection")
        magic, ptype, param, name = b"", None, None, "raw"
        if len(data) >= 12:
            magic, _, ptype, param = wire.parse_header(data)
            name = wire.SERVER_NAMES.get(ptype, "raw") if magic in (wire.TUVO, wire.ZELK) else "raw"
        self._record(conn, "out", name, {"bytes": len(data)}, data, magic, ptype, param)
        with conn.io_lock:
            conn.sock.sendall(data)

    def send_heartbeat(self, ptype=0x0400):
        self.send(wire.heartbeat(ptype))

    def send_read(self, index, start, count, max_blocks=64):
        self.send(wire.read_request(index, start, count, max_blocks))

    def send_write(self, index, start, count, data):
        self.send(wire.vdisk_write(index, start, count, data))

    def send_alt_toc(self, index, msf=0, fmt=0, track=0):
        self.send(wire.alt_toc_request(index, msf, fmt, track))

    def send_release(self, drive_id):
        self.send(wire.server_release(drive_id))

    def send_disconnect(self, reason, preempt=False, timeout=0, message=None):
        self.send(wire.disconnect(reason, preempt, timeout, message))

    def send_device_status(self, drive_id, status):
        self.send(wire.device_status(drive_id, status))

    MALFORMED = {
        "bad_magic": wire.header(b"ZELX", 12, 0x8200, 0),
        "short_length": wire.header(wire.ZELK, 5, 0x8200, 0),
        "huge_length": wire.header(wire.ZELK, 0xFFFFFFF0, 0x8310, 0),
        "short_read_request": wire.packet(wire.ZELK, 0x8300, 0, b"\0\0\0\1"),
        "short_vdisk_info": wire.packet(wire.ZELK, 0x8200, 0, b"\0\x05\x02\0"),
        "otp_past_body": wire.header(wire.TUVO, 14, 0x8103, 0xFFFF) + b"ab",
        "unknown_type": wire.packet(wire.ZELK, 0x7777, 0, b"xyz"),
        "zelk_heartbeat": wire.heartbeat(0x0400, wire.ZELK),
        "cut_body": wire.header(wire.ZELK, 24, 0x8300, 0) + b"\0\0",
    }

    def change_drives(self, drives):
        """Replaces the drive list and sends it at once, as a server whose
        drives come and go does. A drive no longer listed, or listed with type
        0, is no longer mapped; the others keep their ids (their places)."""
        self.config.drives = [tuple(d) for d in drives]
        for i in list(self.mapped):
            if i >= len(self.config.drives) or self.config.drives[i][0] == 0:
                self.mapped.pop(i, None)
        self.send(wire.vdisk_info(self._listed_drives()))

    def clear_mapped(self):
        """Forgets every mapping, as a server does whose sessions have all
        ended (a client that went away without its releases)."""
        self.mapped.clear()

    def set_drives(self, drives):
        """The drive list of later drive-list answers, sent to nobody now;
        nothing stays mapped."""
        self.config.drives = [tuple(d) for d in drives]
        self.mapped.clear()

    def _listed_drives(self):
        return [(d[0], 1 if i in self.mapped else d[1]) for i, d in enumerate(self.config.drives)]

    def send_malformed(self, kind):
        """Sends one of MALFORMED by name."""
        self.send(self.MALFORMED[kind])

    def read_blocks(self, index, start, count, max_blocks=64, timeout=10.0):
        """Sends a ReadRequest and collects the answers: (data, status) with the
        data of every ReadResponse before the ClientStatusMessage that ends the
        request; status is None when no status came."""
        before_resp = len(self.packets("ReadResponse"))
        before_stat = len(self.packets("ClientStatusMessage"))
        self.send_read(index, start, count, max_blocks)
        status = self.wait_for("ClientStatusMessage", before_stat + 1, timeout)
        data = b"".join(r.fields["data"] for r in self.packets("ReadResponse")[before_resp:])
        return data, (status.fields["status"] if status else None)

    def read_digest(self, index, start, count, max_blocks=64, timeout=60.0):
        """As read_blocks, for reads too large to keep: the data of the
        ReadResponses is hashed as it arrives and left out of the records.
        Returns a dict: sha256 (hex), bytes, status (None: no status came),
        values (the set of block values), packets, largest (most blocks in
        one packet)."""
        before = len(self.packets("ClientStatusMessage"))
        digest = {"hash": hashlib.sha256(), "bytes": 0, "values": set(), "packets": 0, "largest": 0}
        self._digest = digest
        try:
            self.send_read(index, start, count, max_blocks)
            status = self.wait_for("ClientStatusMessage", before + 1, timeout)
        finally:
            self._digest = None
        return {"sha256": digest["hash"].hexdigest(), "bytes": digest["bytes"],
                "status": status.fields["status"] if status else None, "values": digest["values"],
                "packets": digest["packets"], "largest": digest["largest"]}

    def write_blocks(self, index, start, count, data, timeout=10.0):
        """Sends a VDiskWrite and returns the client's status (None: no answer)."""
        before = len(self.packets("ClientStatusMessage"))
        self.send_write(index, start, count, data)
        status = self.wait_for("ClientStatusMessage", before + 1, timeout)
        return status.fields["status"] if status else None

    def drop(self):
        """Closes the latest connection without a word (RST when possible)."""
        conn = self._current()
        if conn is not None:
            try:
                conn.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            except OSError:
                pass
            self._close(conn)

    # --- internals ----------------------------------------------------------

    def renew_certificate(self):
        """Later TLS handshakes present a new self-signed certificate with the
        same subject and another key (an impostor of the same name)."""
        directory = tempfile.mkdtemp(prefix="appliance-cert-")
        self._renewed_dirs.append(directory)
        cert, key = certs.make_certificate(directory)
        self._ssl_ctx = self._make_ssl_context(cert, key)
        return True

    def _make_ssl_context(self, cert=None, key=None):
        c = self.config
        if cert is None:
            cert, key = ((c.certificate, c.private_key) if c.certificate
                         else certs.make_certificate(c.cert_dir))
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        # A given chain may carry signatures OpenSSL no longer takes by default.
        if self.config.tls_minimum != "TLSv1_2" or c.certificate:
            ctx.set_ciphers("ALL:@SECLEVEL=0")
        ctx.load_cert_chain(cert, key)
        ctx.num_tickets = 0
        ctx.minimum_version = getattr(ssl.TLSVersion, self.config.tls_minimum)
        if self.config.tls_maximum:
            ctx.maximum_version = getattr(ssl.TLSVersion, self.config.tls_maximum)
        return ctx

    def _listen(self, port):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((self.config.host, port))
        s.listen(8)
        s.settimeout(0.05)
        self._listeners.append(s)
        self._spawn(self._accept_loop, s)
        return s

    def _spawn(self, fn, *args):
        t = threading.Thread(target=fn, args=args, daemon=True)
        self._threads.append(t)
        t.start()
        return t

    def _accept_loop(self, listener):
        while not self._stop.is_set():
            try:
                sock, _ = listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            sock.settimeout(self.config.io_timeout)
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            with self._cond:
                self._next_conn += 1
                conn = _Conn(self._next_conn, sock, listener.getsockname()[1])
                self._conns.append(conn)
            self._record(conn, "event", "connect", {"port": conn.listener})
            self._spawn(self._serve, conn)

    def _current(self):
        with self._cond:
            live = [c for c in self._conns if not c.closed]
            return live[-1] if live else None

    def _record(self, conn, direction, name, fields, raw=b"", magic=b"", ptype=None, param=None):
        r = Record(conn.id, direction, name, fields, raw, magic, ptype, param, time.monotonic())
        with self._cond:
            self.records.append(r)
            self._cond.notify_all()
        if self.on_record:
            try:
                self.on_record(r)
            except Exception:  # a broken observer must not stop the peer
                pass
        return r

    def _close(self, conn):
        if conn.closed:
            return
        conn.closed = True
        _close_quietly(conn.sock)
        self._record(conn, "event", "close", {})

    def _recv_some(self, conn, n):
        if not conn.tls:
            return conn.sock.recv(n)
        # Waits for data without the lock, so that a test thread can send
        # meanwhile; reads under it.
        deadline = time.monotonic() + self.config.io_timeout
        try:
            while True:
                with conn.io_lock:
                    if conn.sock.pending() or select.select([conn.sock], [], [], 0)[0]:
                        return conn.sock.recv(n)
                left = deadline - time.monotonic()
                if left <= 0:
                    raise socket.timeout("timed out")
                select.select([conn.sock], [], [], left)
        except ValueError as e:     # closed meanwhile (descriptor -1)
            raise OSError(str(e)) from e

    def _recv_exact(self, conn, n):
        data = bytearray()
        while len(data) < n:
            chunk = self._recv_some(conn, n - len(data))
            if not chunk:
                raise EOFError("peer closed after %d of %d bytes" % (len(data), n))
            data += chunk
        return bytes(data)

    def _peek(self, conn):
        try:
            return conn.sock.recv(1, socket.MSG_PEEK)
        except (OSError, ValueError):
            return b""

    def _serve(self, conn):
        try:
            self._serve_setup(conn)
        except (EOFError, OSError, ssl.SSLError, wire.ProtocolError) as e:
            if not self._stop.is_set() and not conn.closed:
                self._record(conn, "event", "error", {"error": str(e)})
        finally:
            self._close(conn)

    def _serve_setup(self, conn):
        """Before the packet layer: optional proxy request, the session request
        and reply, optional TLS. A fresh connection on the moved port starts
        with TLS or a packet, or (on a TLS fallback) with a session request."""
        c = self.config
        replied = False
        while True:
            first = self._peek(conn)
            if not first:
                return
            if first == b"\x01" and not replied:
                req = wire.decode_proxy_request(self._recv_exact(conn, 23))
                self._record(conn, "in", "ProxyRequest", req)
                reply = wire.proxy_reply(c.proxy_status)
                self._record(conn, "out", "ProxyReply", {"status": c.proxy_status}, reply)
                with conn.io_lock:
                    conn.sock.sendall(reply)
                continue
            if first == b"T" and not replied:
                head = self._recv_exact(conn, 12)
                magic, length, ptype, param = wire.parse_header(head)
                if length != 68:
                    raise wire.ProtocolError("session request of length %d" % length)
                body = self._recv_exact(conn, length - 12)
                fields = wire.decode_session_request(magic, ptype, param, body)
                name = "SessionRequest" if ptype == 0x0100 else "SessionRequestEx"
                self._record(conn, "in", name, fields, head + body, magic, ptype, param)
                if c.silent:
                    self._stop.wait(c.io_timeout)
                    return
                self._send_reply(conn)
                replied = True
                if c.close_after_reply:
                    return
                if c.move_port and conn.listener == self.port:
                    # The client closes this one and goes on at the moved port.
                    self._peek(conn)
                    return
                continue
            if first == b"\x16":
                if c.silent_tls:
                    self._record(conn, "event", "tls-silent", {})
                    self._stop.wait(c.io_timeout)
                    return
                if self._tls_failures_left > 0:
                    self._tls_failures_left -= 1
                    self._record(conn, "event", "tls-refused", {})
                    return
                if self._late_tls_failures_left > 0:
                    self._late_tls_failures_left -= 1
                    self._record(conn, "event", "tls-refused-late", {})
                    demanding = self._make_ssl_context()
                    demanding.verify_mode = ssl.CERT_REQUIRED
                    demanding.load_verify_locations(c.certificate or certs.make_certificate(c.cert_dir)[0])
                    try:
                        demanding.wrap_socket(conn.sock, server_side=True)
                    except (OSError, ssl.SSLError):
                        pass
                    return
                conn.sock = self._ssl_ctx.wrap_socket(conn.sock, server_side=True)
                conn.tls = True
                self._record(conn, "event", "tls", {"version": conn.sock.version(),
                                                    "cipher": conn.sock.cipher()[0]})
            return self._serve_packets(conn)

    def _send_reply(self, conn):
        c = self.config
        with self._cond:
            first = self._replies_sent == 0
            self._replies_sent += 1
        caps = c.capabilities if first or c.retry_capabilities is None else c.retry_capabilities
        if c.reply_bytes is not None:
            reply = c.reply_bytes
        else:
            new_port = self.moved_port if (c.move_port and conn.listener == self.port) else 0
            random = bytes((0x40 + i) & 0xFF for i in range(c.random_length))
            reply = wire.session_reply(c.reply_type, c.tuvo_version, c.zelk_major, c.zelk_minor,
                                       caps, new_port, random, c.first_timeout,
                                       c.second_timeout, c.reply_length)
        self._record(conn, "out", "SessionReply", {"capabilities": caps, "length": len(reply)}, reply)
        with conn.io_lock:
            conn.sock.sendall(reply)

    def _serve_packets(self, conn):
        conn.in_packets = True
        while not self._stop.is_set():
            try:
                head = self._recv_exact(conn, 12)
            except EOFError:
                return
            magic, length, ptype, param = wire.parse_header(head)
            if magic not in (wire.TUVO, wire.ZELK):
                raise wire.ProtocolError("bad magic %r" % magic)
            if length < 12 or length > wire.MAX_LENGTH:
                raise wire.ProtocolError("bad length %d" % length)
            body = self._recv_exact(conn, length - 12)
            name, fields = wire.decode_client(magic, ptype, param, body)
            raw = head + body
            digest = self._digest
            if digest is not None and name == "ReadResponse":
                digest["hash"].update(fields["data"])
                digest["bytes"] += len(fields["data"])
                digest["values"].add(fields["block_value"])
                digest["packets"] += 1
                digest["largest"] = max(digest["largest"], fields["blocks"])
                fields = dict(fields, data=b"")
                raw = head
            self._record(conn, "in", name, fields, raw, magic, ptype, param)
            self._answer(conn, name, fields, param)

    def _answer(self, conn, name, fields, param):
        c = self.config
        out = None
        if name in ("LoginMessage", "LoginCertificateMessage", "RandomLoginMessage") and c.answer_login:
            statuses = c.login_status if isinstance(c.login_status, list) else [c.login_status]
            status = statuses[min(self._logins, len(statuses) - 1)]
            self._logins += 1
            out = wire.login_response(status, c.login_name)
        elif name == "SessionIdRequest":
            out = wire.session_id_response(c.session_id, c.session_timeout)
        elif name == "OTPRequest":
            out = wire.otp_response(c.otp_user, c.otp_password)
        elif name == "GetVDiskInfo" and c.answer_drive_list:
            out = wire.vdisk_info(self._listed_drives())
        elif name in ("VDiskRequest", "VDiskRequest2"):
            self.mapped[param] = fields
            if c.map_status is not None:
                out = wire.device_status(param, c.map_status)
        elif name == "VDiskRelease":
            self.mapped.pop(param, None)
        if out is not None:
            self.send(out, conn)

    def _heartbeat_loop(self):
        while not self._stop.wait(self.config.heartbeat_interval):
            conn = self._current()
            if conn is not None and conn.in_packets and not conn.closed:
                try:
                    self.send(wire.heartbeat(), conn)
                except OSError:
                    pass


def _close_quietly(sock):
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except (OSError, ValueError):
        pass
    try:
        sock.close()
    except OSError:
        pass
