"""Self-test of the fake appliance with a hand-written client: the bytes it
sends are the protocol reference's examples, so a wrong appliance shows here
before it can hide a client fault."""

import os
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import unittest

from appliance import Config, FakeAppliance, wire

HERE = os.path.dirname(os.path.abspath(__file__))
CERT_DIR = tempfile.mkdtemp(prefix="appliance-test-")

SESSION_REQUEST = bytes.fromhex("545556 4F 00000044 0100 0103 02 01 0E 00 0000060D 20".replace(" ", "")) \
    + bytes(range(32)) + bytes.fromhex("000000 00B4 0000 00000000 00000000".replace(" ", ""))
LOGIN_ADMIN = bytes.fromhex("5A454C4B0000004B0104000000050040000600 45".replace(" ", "")) + bytes(44) + b"adminsecret"
GET_VDISK_INFO = bytes.fromhex("5A454C4B0000000C0200FFFF")
HEARTBEAT = bytes.fromhex("54555 64F0000000C04000000".replace(" ", ""))
MAP_FLOPPY = bytes.fromhex("5A454C4B0000001A02110001000002000000 0B40 00 FF 0050 02 12".replace(" ", ""))


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise EOFError("closed after %d bytes" % len(data))
        data += chunk
    return data


def recv_packet(sock):
    head = recv_exact(sock, 12)
    (length,) = struct.unpack(">I", head[4:8])
    return head + recv_exact(sock, length - 12)


def client_tls(sock):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx.wrap_socket(sock)


class ApplianceTest(unittest.TestCase):
    def start(self, **settings):
        app = FakeAppliance(Config(cert_dir=CERT_DIR, **settings)).start()
        self.addCleanup(app.stop)
        return app

    def connect(self, port):
        s = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.addCleanup(s.close)
        return s

    def test_plain_session_login_drive_list_and_map(self):
        app = self.start(capabilities=0x1)
        s = self.connect(app.port)
        s.sendall(SESSION_REQUEST)
        reply = recv_exact(s, 68)
        expected = bytes.fromhex("5455564F0000004481000103010E00000001000020") + bytes(range(0x40, 0x60)) \
            + bytes.fromhex("0000140078") + bytes(10)
        self.assertEqual(reply.hex(), expected.hex())
        req = app.packets("SessionRequest")[0].fields
        self.assertEqual((req["capabilities"], req["major"], req["minor"], req["timeout1"]), (0x060D, 1, 14, 180))

        s.sendall(LOGIN_ADMIN)
        self.assertEqual(recv_packet(s).hex(), "5a454c4b0000000f810000000000 00".replace(" ", ""))
        login = app.packets("LoginMessage")[0].fields
        self.assertEqual((login["user"], login["password"], login["form"]), ("admin", "secret", 0x0104))

        s.sendall(HEARTBEAT + GET_VDISK_INFO)  # the heartbeat gets no answer
        self.assertEqual(recv_packet(s).hex(), "5a454c4b000000168200000000020200000004000000")
        s.sendall(MAP_FLOPPY + GET_VDISK_INFO)
        self.assertEqual(recv_packet(s)[-4:].hex(), "04010000")  # the mapped floppy shows as attached
        m = app.packets("VDiskRequest2")[0].fields
        self.assertEqual((m["drive"], m["blocks"], m["read_only"], m["byte9"], m["cylinders"]), (1, 2880, 0, 255, 80))
        self.assertEqual(len(app.packets("Heartbeat")), 1)
        self.assertEqual(len(app.packets(direction="out")), 4)

    def test_tls_session_and_block_reads_reassembled_in_order(self):
        app = self.start(capabilities=0x8)
        s = self.connect(app.port)
        s.sendall(SESSION_REQUEST)
        recv_exact(s, 68)
        t = client_tls(s)
        self.addCleanup(t.close)
        t.sendall(LOGIN_ADMIN)
        recv_packet(t)
        self.assertEqual(app.events("tls")[0].name, "tls")

        image = bytes(i % 251 for i in range(512 * 5))

        def serve():
            req = recv_packet(t)
            start, count, most = struct.unpack(">III", req[12:24])
            index = struct.unpack(">H", req[10:12])[0]
            sent = 0
            while sent < count:
                n = min(most, count - sent)
                data = image[(start + sent) * 512:(start + sent + n) * 512]
                body = struct.pack(">II", start + count, n) + data
                t.sendall(wire.header(wire.ZELK, 20 + len(data), 0x0300, index) + body)
                sent += n
            t.sendall(wire.header(wire.ZELK, 16, 0x0410, index) + struct.pack(">I", 0))

        th = threading.Thread(target=serve)
        th.start()
        data, status = app.read_blocks(1, 1, 4, max_blocks=3)
        th.join()
        self.assertEqual(status, 0)
        self.assertEqual(data, image[512:512 * 5])

    def test_port_move_proxy_and_refused_first_tls(self):
        app = self.start(capabilities=0x8, move_port=True, fail_tls_handshakes=1, proxy_status=-1)
        s = self.connect(app.port)
        s.sendall(b"\x01OmKK\x01\x00\x00\x00\x0c\x01\x00\x08" + struct.pack(">Q", 1) + b"\xff\x0d")
        proxy = recv_exact(s, 17)
        self.assertEqual(struct.unpack(">h", proxy[13:15])[0], -1)
        self.assertEqual(app.packets("ProxyRequest")[0].fields["session"], 1)
        s.sendall(SESSION_REQUEST)
        reply = recv_exact(s, 68)
        self.assertEqual(struct.unpack(">H", reply[18:20])[0], app.moved_port)
        s.close()

        moved = self.connect(app.moved_port)
        with self.assertRaises((ssl.SSLError, OSError)):
            client_tls(moved)
        self.assertIsNotNone(app.wait_for("tls-refused", direction="event"))

        again = self.connect(app.moved_port)
        again.sendall(SESSION_REQUEST)  # the fallback asks again on the moved port
        self.assertEqual(struct.unpack(">H", recv_exact(again, 68)[18:20])[0], 0)
        t = client_tls(again)
        self.addCleanup(t.close)
        t.sendall(LOGIN_ADMIN)
        self.assertEqual(recv_packet(t)[8:10], b"\x81\x00")

    def test_login_statuses_and_malformed_packets(self):
        app = self.start(login_status=[6, 0], login_name="holder")
        s = self.connect(app.port)
        s.sendall(SESSION_REQUEST)
        recv_exact(s, 68)
        s.sendall(LOGIN_ADMIN)
        first = recv_packet(s)
        self.assertEqual((first[12], first[15:].decode()), (6, "holder"))
        s.sendall(LOGIN_ADMIN)
        self.assertEqual(recv_packet(s)[12], 0)
        self.assertIsNotNone(app.wait_for("LoginMessage", 2))
        app.send_malformed("bad_magic")
        self.assertEqual(recv_exact(s, 12)[:4], b"ZELX")
        app.drop()
        self.assertEqual(s.recv(1), b"")

    def test_silent_server_and_short_reply(self):
        app = self.start(silent=True)
        s = self.connect(app.port)
        s.sendall(SESSION_REQUEST)
        s.settimeout(0.3)
        with self.assertRaises(socket.timeout):
            s.recv(1)
        short = self.start(reply_length=20)
        s2 = self.connect(short.port)
        s2.sendall(SESSION_REQUEST)
        reply = recv_exact(s2, 20)
        self.assertEqual(struct.unpack(">I", reply[4:8])[0], 20)

    def test_command_line_prints_its_port_and_logs_records(self):
        log = os.path.join(CERT_DIR, "records.log")
        proc = subprocess.Popen([sys.executable, HERE, "--tls", "--cert-dir", CERT_DIR, "--log", log, "--stdin"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            words = proc.stdout.readline().split()
            self.assertEqual(words[0], "LISTENING")
            s = self.connect(int(words[1]))
            s.sendall(SESSION_REQUEST)
            reply = recv_exact(s, 68)
            self.assertEqual(struct.unpack(">I", reply[14:18])[0], 0x8)
        finally:
            proc.stdin.close()
            self.assertEqual(proc.wait(timeout=10), 0)
            proc.stdout.close()
        with open(log) as f:
            text = f.read()
        self.assertIn("in 1 SessionRequest type=0x0100", text)
        self.assertIn("capabilities=0x060d", text)


if __name__ == "__main__":
    unittest.main()
