"""A TLS (or plain) peer on loopback for the socket tests.

usage: tls_peer.py MODES CERT KEY [ARG]
Prints "PORT <n>" once listening, then serves one connection per entry of
the comma-separated MODES (each MODE or MODE:N, N overriding ARG) and exits.
Modes:
  echo         echo everything back until the client closes
  send_close N send N bytes, then drop TCP without close_notify
  unwrap N     send N bytes, then close_notify, then close
  hold         keep the connection open until the client closes it
"""
import socket
import ssl
import sys


def main():
    modes, cert, key = sys.argv[1], sys.argv[2], sys.argv[3]
    default_arg = int(sys.argv[4]) if len(sys.argv) > 4 else 0
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    listener.settimeout(60)
    print("PORT %d" % listener.getsockname()[1], flush=True)
    for entry in modes.split(","):
        mode, _, n = entry.partition(":")
        serve(listener, mode, cert, key, int(n) if n else default_arg)


def serve(listener, mode, cert, key, arg):
    plain = cert == "-"
    raw, _ = listener.accept()
    raw.settimeout(60)
    if plain:
        conn = raw
    else:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(cert, key)
        conn = ctx.wrap_socket(raw, server_side=True)
    try:
        if mode == "echo":
            while True:
                data = conn.recv(65536)
                if not data:
                    break
                conn.sendall(data)
        elif mode in ("send_close", "unwrap"):
            if arg:
                conn.sendall(b"x" * arg)
            if mode == "unwrap" and not plain:
                conn = conn.unwrap()
        elif mode == "hold":
            while conn.recv(65536):
                pass
    except (OSError, ssl.SSLError):
        pass
    conn.close()


if __name__ == "__main__":
    main()
