"""Bytes of the virtual-media protocol as the appliance sees them.

Every integer is big-endian. A packet is a 12-byte header (magic, total
length, type, 16-bit parameter) and a body of length - 12 bytes.
"""

import struct

TUVO = b"TUVO"
ZELK = b"ZELK"
HEADER = 12
# Largest packet this peer accepts from the client.
MAX_LENGTH = 16 * 1024 * 1024 + 12

# The fixed table of contents a client sends for an ISO image.
ISO_TOC = bytes.fromhex("0012010100140100000000000014AA00001176E0")

# Remote drive types and statuses of the drive list.
DRIVE_REMOVABLE = 1
DRIVE_CD = 2
DRIVE_FLOPPY = 4

CLIENT_NAMES = {
    (TUVO, 0x0100): "SessionRequest",
    (TUVO, 0x0101): "SessionRequestEx",
    (TUVO, 0x0102): "SessionIdRequest",
    (TUVO, 0x0103): "OTPRequest",
    (TUVO, 0x01FF): "SessionClose",
    (TUVO, 0x0400): "Heartbeat",
    (ZELK, 0x0100): "LoginMessage",
    (ZELK, 0x0104): "LoginMessage",
    (ZELK, 0x0101): "LoginCertificateMessage",
    (ZELK, 0x0102): "RandomLoginMessage",
    (ZELK, 0x0120): "PreemptResponse",
    (ZELK, 0x0200): "GetVDiskInfo",
    (ZELK, 0x0210): "VDiskRequest",
    (ZELK, 0x0211): "VDiskRequest2",
    (ZELK, 0x0220): "VDiskRelease",
    (ZELK, 0x0300): "ReadResponse",
    (ZELK, 0x0320): "VDiskAlternateTocData",
    (ZELK, 0x0400): "Heartbeat",
    (ZELK, 0x0410): "ClientStatusMessage",
    (ZELK, 0x0550): "ServerImageDelete",
}

SERVER_NAMES = {
    0x0400: "Heartbeat", 0x8400: "Heartbeat", 0x8102: "SessionIdResponse", 0x8103: "OTPResponse",
    0x8100: "LoginResponse", 0x8110: "Disconnect", 0x8200: "VDiskInfo", 0x8240: "VDiskRelease",
    0x8241: "SetDeviceCountResponse", 0x8300: "ReadRequest", 0x8310: "VDiskWrite",
    0x8320: "VDiskGetAlternateTocData", 0x8410: "DeviceStatus", 0x8430: "DeviceConfigurationOption",
    0x8500: "ServerImageInfoResponse", 0x8530: "ServerImageSpaceResponse",
    0x8540: "ServerImageCreateResponse", 0x8570: "ServerImageDataResponse",
}


class ProtocolError(Exception):
    """The client sent something the protocol does not allow."""


def header(magic, length, ptype, param=0):
    return struct.pack(">4sIHH", magic, length, ptype, param & 0xFFFF)


def packet(magic, ptype, param=0, body=b""):
    return header(magic, HEADER + len(body), ptype, param) + body


def parse_header(data):
    magic, length, ptype, param = struct.unpack(">4sIHH", data[:HEADER])
    return magic, length, ptype, param


# --- server to client -------------------------------------------------------

def session_reply(ptype=0x8100, tuvo_version=0x0103, major=1, minor=14, capabilities=0x0001,
                  new_port=0, random=None, first_timeout=20, second_timeout=120, length=68):
    """Session-setup reply. Offsets 54 and 56 hold the timeouts whatever the
    random length; bytes beyond the given length are cut off."""
    if random is None:
        random = bytes(range(0x40, 0x60))
    body = bytearray(max(length, 68) - HEADER)
    struct.pack_into(">BBIHB", body, 0, major, minor, capabilities & 0xFFFFFFFF, new_port, len(random))
    body[9:9 + len(random)] = random
    struct.pack_into(">HH", body, 54 - HEADER, first_timeout, second_timeout)
    data = header(TUVO, length, ptype, tuvo_version) + bytes(body)
    return data[:length]


def proxy_reply(status=0):
    return b"\x01OmKK\x01" + struct.pack(">I", 6) + b"\x01" + struct.pack(">Hh", 2, status) + b"\xff\x0d"


def login_response(status=0, name=None, second=0):
    name = (name or "").encode()
    return packet(ZELK, 0x8100, 0, bytes([status, second, len(name)]) + name)


def session_id_response(session_id, timeout=None):
    body = struct.pack(">I", session_id & 0xFFFFFFFF)
    if timeout is not None:
        body += struct.pack(">H", timeout)
    return packet(TUVO, 0x8102, 0, body)


def otp_response(user, password):
    u, p = user.encode(), password.encode()
    return header(TUVO, HEADER + len(u) + len(p), 0x8103, (len(u) << 8) | len(p)) + u + p


def heartbeat(ptype=0x0400, magic=TUVO):
    return packet(magic, ptype, 0)


def vdisk_info(drives):
    """drives: list of (type, status) or (type, status, value)."""
    body = struct.pack(">H", len(drives))
    for d in drives:
        value = d[2] if len(d) > 2 else 0
        body += struct.pack(">BBH", d[0], d[1], value)
    return packet(ZELK, 0x8200, 0, body)


def server_release(drive_id):
    return packet(ZELK, 0x8240, drive_id)


def set_device_count(body=b""):
    return packet(ZELK, 0x8241, 0, body)


def read_request(index, start, count, max_blocks):
    return packet(ZELK, 0x8300, index, struct.pack(">III", start, count, max_blocks))


def vdisk_write(index, start, count, data):
    return packet(ZELK, 0x8310, index, struct.pack(">II", start, count) + data)


def alt_toc_request(index, msf=0, fmt=0, track=0):
    return packet(ZELK, 0x8320, index, bytes([msf, fmt, track]))


def device_status(drive_id, status):
    return packet(ZELK, 0x8410, drive_id, struct.pack(">I", status & 0xFFFFFFFF))


def config_option(option, value, size=1, index=0):
    fmt = {1: ">B", 2: ">H", 4: ">I"}.get(size)
    data = struct.pack(fmt, value) if fmt else b""
    return packet(ZELK, 0x8430, index, struct.pack(">II", option, size) + data)


def disconnect(reason, preempt=False, timeout=0, message=None):
    msg = (message or "").encode()
    return packet(ZELK, 0x8110, 0, bytes([reason, 0x80 if preempt else 0, timeout, len(msg)]) + msg)


def image_record(index, vdisk, blocks, flags, itype, fmt, store, name):
    n = name.encode()[:252]
    return struct.pack(">HHIIBBB", index, vdisk, blocks, flags, itype, fmt, store) + n + bytes(253 - len(n))


def server_image_info(records):
    return packet(ZELK, 0x8500, len(records), b"".join(records))


def server_image_space(store, total_blocks, free_blocks):
    return packet(ZELK, 0x8530, store, struct.pack(">II", total_blocks, free_blocks))


def server_image_create(index, status):
    return packet(ZELK, 0x8540, index, bytes([status]))


def server_image_data(index, status):
    return packet(ZELK, 0x8570, index, bytes([status]))


# --- client to server -------------------------------------------------------

def _need(body, n, name):
    if len(body) < n:
        raise ProtocolError("%s body of %d bytes, need %d" % (name, len(body), n))


def decode_proxy_request(data):
    if len(data) != 23 or data[0] != 1 or data[1:5] != b"OmKK":
        raise ProtocolError("bad proxy request " + data.hex())
    (session,) = struct.unpack(">Q", data[13:21])
    return {"session": session, "tail": data[21:23].hex()}


def decode_session_request(magic, ptype, param, body):
    if magic != TUVO or ptype not in (0x0100, 0x0101):
        raise ProtocolError("expected a session request, got %s 0x%04x" % (magic, ptype))
    _need(body, 56, "session request")
    kind, major, minor = body[0], body[1], body[2]
    (caps,) = struct.unpack(">I", body[4:8])
    rlen = body[8]
    t1, t2, sid = struct.unpack(">HHI", body[44:52])
    return {"kind": kind, "major": major, "minor": minor, "capabilities": caps, "random_length": rlen,
            "random": body[9:9 + min(rlen, 32)].hex(), "timeout1": t1, "timeout2": t2,
            "session_id": sid, "version_param": param}


def decode_client(magic, ptype, param, body):
    """Fields of a client packet after session setup, as a dict."""
    name = CLIENT_NAMES.get((magic, ptype))
    f = {}
    if name is None:
        return "Unknown", {"magic": magic.decode("latin-1"), "type": ptype, "param": param}
    if name in ("SessionRequest", "SessionRequestEx"):
        f = decode_session_request(magic, ptype, param, body)
    elif name == "SessionIdRequest":
        f = {"form": len(body) + HEADER, "value": struct.unpack(">I", body[:4])[0] if len(body) >= 4 else None}
    elif name == "OTPRequest":
        _need(body, 36, name)
        f = {"method": body[4]}
    elif name == "SessionClose":
        _need(body, 4, name)
        f = {"session_id": struct.unpack(">I", body[:4])[0]}
    elif name == "LoginMessage" and ptype == 0x0100:
        _need(body, 141, name)
        n = body[0]
        if n > 95:
            raise ProtocolError("user name length %d" % n)
        f = {"form": 0x0100, "user": body[1:1 + n].decode("latin-1"),
             "password": body[97:129].rstrip(b"\0").decode("latin-1"),
             "rip_id": body[129:137].hex(), "appliance_port": body[137], "appliance_channel": body[138],
             "preempt": body[140]}
    elif name == "LoginMessage":
        _need(body, 52, name)
        total = len(body) + HEADER
        u, uoff, p, poff = struct.unpack(">HHHH", body[:8])
        if uoff + u > total or poff + p > total:
            raise ProtocolError("login strings run past the packet")
        raw = header(ZELK, total, ptype) + body
        f = {"form": 0x0104, "user": raw[uoff:uoff + u].decode("latin-1"),
             "password": raw[poff:poff + p].decode("latin-1"), "user_offset": uoff, "password_offset": poff,
             "rip_id": raw[52:60].hex(), "appliance_port": raw[60], "appliance_channel": raw[61],
             "preempt": raw[63]}
    elif name == "RandomLoginMessage":
        _need(body, 10, name)
        c, a = struct.unpack(">II", body[:8])
        f = {"client_random": c, "appliance_random": a, "preempt": body[9]}
    elif name == "PreemptResponse":
        _need(body, 1, name)
        f = {"accepted": body[0] == 0x34}
    elif name == "GetVDiskInfo":
        f = {"param": param}
    elif name == "VDiskRequest":
        _need(body, 12, name)
        bs, count, ro, b9, d = struct.unpack(">IIBBH", body[:12])
        if 12 + d > len(body):
            raise ProtocolError("TOC length %d past the packet" % d)
        f = {"drive": param, "block_size": bs, "blocks": count, "read_only": ro, "byte9": b9,
             "toc": body[12:12 + d].hex()}
    elif name == "VDiskRequest2":
        _need(body, 14, name)
        bs, count, ro, b9, cyl, heads, sectors = struct.unpack(">IIBBHBB", body[:14])
        f = {"drive": param, "block_size": bs, "blocks": count, "read_only": ro, "byte9": b9,
             "cylinders": cyl, "heads": heads, "sectors": sectors}
    elif name == "VDiskRelease":
        f = {"drive": param}
    elif name == "ReadResponse":
        _need(body, 8, name)
        value, blocks = struct.unpack(">II", body[:8])
        f = {"drive": param, "block_value": value, "blocks": blocks, "data": body[8:]}
    elif name == "VDiskAlternateTocData":
        _need(body, 12, name)
        (t,) = struct.unpack(">H", body[10:12])
        if 12 + t > len(body):
            raise ProtocolError("TOC length %d past the packet" % t)
        f = {"drive": param, "toc": body[12:12 + t].hex()}
    elif name == "Heartbeat":
        f = {"magic": magic.decode()}
    elif name == "ClientStatusMessage":
        _need(body, 4, name)
        f = {"drive": param, "status": struct.unpack(">i", body[:4])[0]}
    elif name == "ServerImageDelete":
        f = {"image": param}
    return name, f
