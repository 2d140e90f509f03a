"""Drives the fake appliance for the C++ session tests over a pipe.

python3 appliance_ctl.py '<json settings>'   (settings are Config fields, and
"factory": "module:Class" for a subclass in the appliance package)

Prints "LISTENING <port>", then answers one JSON line per JSON command line
read from standard input:
  {"op": "wait_for", "name": N, "count": 1, "timeout": 10, "direction": "in"}
      -> {"ok": true/false, "record": {...}, "index": i}
  {"op": "records"}                       -> {"records": [...]} (every record, in order)
  {"op": "send", "builder": B, "args": [...]}  a builder of appliance.wire
  {"op": "drop"}                           close the connection at once
  {"op": M, "args": [...]}                 any other public method M of the appliance
      -> {"ok": true, "result": what it returned}
  {"op": "quit"}
Ends when standard input closes.
"""

import importlib
import json
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))

from appliance import wire  # noqa: E402
from appliance.server import FakeAppliance  # noqa: E402


def plain(value):
    if isinstance(value, (bytes, bytearray)):
        return value.hex()
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    return value


def record(rec):
    # Top-level keys first: the C++ side reads the first occurrence of a key.
    return {"conn": rec.conn, "direction": rec.direction, "name": rec.name, "type": rec.type,
            "param": rec.param, "fields": plain(rec.fields)}


def main():
    settings = json.loads(sys.argv[1]) if len(sys.argv) > 1 else {}
    if "drives" in settings:
        settings["drives"] = [tuple(d) for d in settings["drives"]]
    # "factory": "module:Class" picks a FakeAppliance subclass of the appliance package.
    factory = FakeAppliance
    if "factory" in settings:
        module, cls = settings.pop("factory").split(":")
        factory = getattr(importlib.import_module("appliance." + module), cls)
    app = factory(**settings)
    app.start()
    print("LISTENING %d" % app.port, flush=True)
    try:
        for line in sys.stdin:
            line = line.strip()
            if not line:
                continue
            cmd = json.loads(line)
            op = cmd.get("op")
            out = {"ok": True}
            try:
                if op == "wait_for":
                    rec = app.wait_for(cmd["name"], cmd.get("count", 1), cmd.get("timeout", 10.0),
                                       cmd.get("direction", "in"))
                    out = {"ok": rec is not None, "record": record(rec) if rec else None,
                           "index": app.records.index(rec) if rec else -1}
                elif op == "records":
                    out = {"ok": True, "records": [record(r) for r in list(app.records)]}
                elif op == "send":
                    app.send(getattr(wire, cmd["builder"])(*cmd.get("args", [])))
                elif op == "drop":
                    app.drop()
                elif op == "quit":
                    print(json.dumps(out), flush=True)
                    break
                elif op and hasattr(app, op) and callable(getattr(app, op)) and not op.startswith("_"):
                    # Any other public method of the appliance, with "args".
                    out = {"ok": True, "result": plain(getattr(app, op)(*cmd.get("args", [])))}
                else:
                    out = {"ok": False, "error": "unknown op %r" % op}
            except Exception as e:  # the test reads the error
                out = {"ok": False, "error": "%s: %s" % (type(e).__name__, e)}
            print(json.dumps(out), flush=True)
    finally:
        app.stop()


if __name__ == "__main__":
    main()
