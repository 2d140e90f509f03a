"""The server side of the soak run (bench_soak_session starts it).

A reconnecting fake appliance (TLS, reconnection offered, a heartbeat every
--heartbeat seconds) with one removable drive. Once the client has mapped the
image, it sends random reads and writes, one at a time, for --seconds of
traffic (the waits for the client to come back are not counted), keeping its
own model of the image (the file's bytes at the start plus every acknowledged
write), and drops the connection every --drop-every seconds of traffic (RST
and FIN in turn, half of them while a long read is under way). Each read must
return the model's bytes; at the end every block is read back and compared.

Talks to the client program over standard input and output, one line each:
  -> "LISTENING <port>"            the client connects and maps the image
  <- "MAPPED"
  -> "SAMPLE start" / "SAMPLE end" the client takes its figures, answers
  <- "OK"
  -> "RESULT <json>"               the client disconnects
  <- "CHECKFILE"
  -> "FILE <json>"                 the image file compared with the model
  <- "QUIT"
Packets of the data path and heartbeats are counted, not kept, so that a
long run does not grow the appliance's records.
"""

import argparse
import json
import os
import random
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from appliance import wire  # noqa: E402
from appliance.reconnect import ReconnectingAppliance  # noqa: E402

BLOCK = 512
# TLS, the reconnect capability.
CAPABILITIES = 0x0608
IO_IN = {"ReadResponse", "ClientStatusMessage", "Heartbeat"}
IO_OUT = {"ReadRequest", "VDiskWrite", "Heartbeat"}


class SoakAppliance(ReconnectingAppliance):
    def __init__(self, **settings):
        super().__init__(None, **settings)
        self._io = threading.Condition()
        self._pending = None
        self.heartbeats_sent = 0
        self.heartbeats_answered = 0

    def _record(self, conn, direction, name, fields, raw=b"", magic=b"", ptype=None, param=None):
        if (direction == "in" and name in IO_IN) or (direction == "out" and name in IO_OUT):
            with self._io:
                if name == "Heartbeat":
                    if direction == "out":
                        self.heartbeats_sent += 1
                    else:
                        self.heartbeats_answered += 1
                p = self._pending
                if direction == "in" and p is not None and p["conn"] == conn.id:
                    if name == "ReadResponse":
                        p["data"].append(fields["data"])
                        p["values"].add(fields["block_value"])
                        p["drives"].add(fields["drive"])
                    elif name == "ClientStatusMessage" and p["status"] is None:
                        p["status"] = fields["status"]
                        p["drives"].add(fields["drive"])
                        self._io.notify_all()
            return None
        return super()._record(conn, direction, name, fields, raw, magic, ptype, param)

    def _close(self, conn):
        super()._close(conn)
        with self._io:
            self._io.notify_all()

    def live(self):
        return self._current()

    def request(self, conn, data, timeout):
        """Sends one read or write on conn and waits for its status: a dict
        with "status" (None: no answer), "data" and what the answers named."""
        with self._io:
            self._pending = p = {"conn": conn.id, "data": [], "status": None, "values": set(), "drives": set()}
        try:
            self.send(data, conn)
            deadline = time.monotonic() + timeout
            with self._io:
                while p["status"] is None and not conn.closed:
                    left = deadline - time.monotonic()
                    if left <= 0:
                        break
                    self._io.wait(left)
        except OSError:
            pass
        with self._io:
            self._pending = None
        p["data"] = b"".join(p["data"])
        return p

    def wait_mapped(self, after_conn, timeout):
        """The connection (newer than after_conn) on which the client mapped the drive again."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for r in self.records:
                    if r.direction == "in" and r.name in ("VDiskRequest2", "VDiskRequest") and r.conn > after_conn:
                        for c in self._conns:
                            if c.id == r.conn and not c.closed:
                                return c
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self._cond.wait(min(left, 0.5))


def connection_errors(app):
    return [r.fields.get("error") for r in app.records
            if r.direction == "event" and r.name in ("error", "heartbeat-error")][:10]


def say(line):
    print(line, flush=True)


def hear():
    line = sys.stdin.readline()
    if not line:
        raise SystemExit("client went away")
    return line.strip()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--image", required=True)
    ap.add_argument("--seconds", type=float, default=600)
    ap.add_argument("--drop-every", type=float, default=20)
    ap.add_argument("--heartbeat", type=float, default=1.0)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--cert-dir", default=None)
    args = ap.parse_args()

    with open(args.image, "rb") as f:
        model = bytearray(f.read())
    blocks = len(model) // BLOCK
    rng = random.Random(args.seed)
    app = SoakAppliance(capabilities=CAPABILITIES, heartbeat_interval=args.heartbeat,
                        drives=[(wire.DRIVE_REMOVABLE, 0)], cert_dir=args.cert_dir, io_timeout=120)
    app.start()
    result = {"reads": 0, "writes": 0, "blocks_read": 0, "blocks_written": 0, "bad_reads": 0,
              "failed_requests": 0, "drops": 0, "reconnections": 0, "lost_connections": 0,
              "blocks_verified": 0, "blocks_differing": 0, "errors": []}

    def error(text):
        if len(result["errors"]) < 20:
            result["errors"].append(text)

    try:
        say("LISTENING %d" % app.port)
        if hear() != "MAPPED":
            raise SystemExit("expected MAPPED")
        conn = app.wait_mapped(0, 60)
        if conn is None:
            raise SystemExit("the client never mapped the drive")

        outage = [0.0]  # time spent waiting for the client to come back

        def reconnected(old):
            began = time.monotonic()
            new = app.wait_mapped(old.id, 180)
            if new is None:
                error("no reconnection after connection %d" % old.id)
                raise SystemExit("the client did not come back")
            took = time.monotonic() - began
            outage[0] += took
            result["reconnections"] += 1
            waits.append(took)
            return new

        waits = []

        def read(start, count, max_blocks):
            p = app.request(conn, wire.read_request(0, start, count, max_blocks), 60)
            result["reads"] += 1
            if p["status"] != 0:
                result["failed_requests"] += 1
                error("read %d+%d: status %r" % (start, count, p["status"]))
                return None
            if p["values"] != {start + count} or p["drives"] != {0}:
                error("read %d+%d: answers carry %r / %r" % (start, count, p["values"], p["drives"]))
                result["bad_reads"] += 1
            result["blocks_read"] += count
            return p["data"]

        start_time = time.monotonic()

        def traffic_time():
            return time.monotonic() - start_time - outage[0]

        next_drop = args.drop_every
        sampled = False
        faults = ("drop", "fin")
        while traffic_time() < args.seconds:
            if traffic_time() >= next_drop:
                fault = faults[result["drops"] % 2]
                if result["drops"] % 4 >= 2:
                    # A long read, cut off: its answer is lost with the connection.
                    try:
                        app.send(wire.read_request(0, 0, min(blocks, 2048), 1), conn)
                    except OSError:
                        pass
                getattr(app, fault)()
                result["drops"] += 1
                conn = reconnected(conn)
                next_drop = traffic_time() + args.drop_every
                # The figures at the start are taken once a reconnection has
                # run: what it sets up once is not growth.
                if not sampled:
                    say("SAMPLE start")
                    hear()
                    sampled = True
                continue
            start = rng.randrange(blocks)
            count = rng.randint(1, min(128, blocks - start))
            if rng.random() < 0.5:
                data = read(start, count, rng.choice((0, 1, 7, 16, 64, 128)))
                if data is not None and data != bytes(model[start * BLOCK:(start + count) * BLOCK]):
                    result["bad_reads"] += 1
                    error("read %d+%d: data differs from the model" % (start, count))
            else:
                count = min(count, 64)
                data = rng.randbytes(count * BLOCK)
                p = app.request(conn, wire.vdisk_write(0, start, count, data), 60)
                result["writes"] += 1
                if p["status"] == 0:
                    model[start * BLOCK:(start + count) * BLOCK] = data
                    result["blocks_written"] += count
                else:
                    result["failed_requests"] += 1
                    error("write %d+%d: status %r" % (start, count, p["status"]))
                    if p["status"] is None:
                        # Nobody knows whether it landed: the model cannot say.
                        raise SystemExit("a write was never answered")
            if conn.closed:
                # Not one of ours.
                result["lost_connections"] += 1
                error("connection %d lost" % conn.id)
                conn = reconnected(conn)
        if not sampled:
            say("SAMPLE start")
            hear()

        # Every block, read back through the client.
        for start in range(0, blocks, 128):
            count = min(128, blocks - start)
            data = read(start, count, 64)
            expect = bytes(model[start * BLOCK:(start + count) * BLOCK])
            if data is None or len(data) != len(expect):
                result["blocks_differing"] += count
                continue
            for b in range(count):
                if data[b * BLOCK:(b + 1) * BLOCK] != expect[b * BLOCK:(b + 1) * BLOCK]:
                    result["blocks_differing"] += 1
            result["blocks_verified"] += count
        result["seconds"] = round(time.monotonic() - start_time, 1)
        result["traffic_seconds"] = round(traffic_time(), 1)
        if waits:
            result["reconnect_seconds"] = [round(min(waits), 1), round(sum(waits) / len(waits), 1),
                                           round(max(waits), 1)]
        result["heartbeats_sent"] = app.heartbeats_sent
        result["heartbeats_answered"] = app.heartbeats_answered
        result["connections"] = len(app.events("connect"))
        result["connection_errors"] = connection_errors(app)
        say("SAMPLE end")
        hear()
        say("RESULT " + json.dumps(result))
        if hear() == "CHECKFILE":
            with open(args.image, "rb") as f:
                on_disk = f.read()
            differing = sum(1 for b in range(blocks)
                            if on_disk[b * BLOCK:(b + 1) * BLOCK] != model[b * BLOCK:(b + 1) * BLOCK])
            say("FILE " + json.dumps({"size": len(on_disk), "blocks_differing": differing}))
            hear()
    except SystemExit as e:
        result["errors"].append(str(e))
        result["connection_errors"] = connection_errors(app)
        say("RESULT " + json.dumps(result))
        raise
    finally:
        app.stop()


if __name__ == "__main__":
    main()
