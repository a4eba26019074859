#!/usr/bin/env python3
"""A PostgreSQL server that misbehaves, for the PostgreSQL counter's suites, on 127.0.0.1.

It speaks the frontend/backend protocol 3.0 up to ReadyForQuery like a server that
trusts everyone, then answers every statement as the mode says:

    pg_fake.py --port P --mode copy-out   a CopyOutResponse, and no row ever
    pg_fake.py --port P --mode copy-in    a CopyInResponse, and no row ever
    pg_fake.py --port P --mode notices    a thousand NoticeResponses, then one row
    pg_fake.py --port P --mode error      an ErrorResponse of 200 kB of escape
                                          sequences and bytes that are no UTF-8
    pg_fake.py --port P --mode desync     bytes that are no message at all
    pg_fake.py --port P --mode rows       rows without end, as fast as they are read
    pg_fake.py --port P --mode type-zero  a message whose type byte is 0

A well-formed answer holds one column "res" with the text 0 ("150000" for the
version). It prints "ready" once it listens, and serves until it is stopped.
"""
import argparse
import os
import socket
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from odd_listener import listen_forever  # noqa: E402

SSL_REQUEST = 80877103
GSSENC_REQUEST = 80877104
# Bytes a terminal acts on, and bytes of no UTF-8 sequence; none of them is NUL.
HOSTILE = b"\x1b[2J\x1b]0;owned\x07\x9b31m\xff\xfe\xc3\x28\xe2\x82\xed\xa0\x80"


def message(kind, body=b""):
    return kind + struct.pack("!I", len(body) + 4) + body


def fields(**f):
    """The fields of an ErrorResponse or NoticeResponse, by their one-letter codes."""
    return b"".join(k.encode() + v + b"\0" for k, v in f.items()) + b"\0"


def ready():
    return message(b"Z", b"I")


def description():
    return message(b"T", struct.pack("!H", 1) + b"res\0" + struct.pack("!IhIhih", 0, 0, 25, -1, -1, 0))


def data_row(text):
    return message(b"D", struct.pack("!HI", 1, len(text)) + text)


def row(text):
    return description() + data_row(text) + message(b"C", b"SELECT 1\0") + ready()


ROWS = data_row(b"0" * 100) * 10000


NOTICE = message(b"N", fields(S=b"NOTICE", V=b"NOTICE", C=b"00000", M=b"chatty " + HOSTILE * 4))
ANSWERS = {
    "copy-out": lambda _: message(b"H", struct.pack("!bHH", 0, 1, 0)),
    "copy-in": lambda _: message(b"G", struct.pack("!bHH", 0, 1, 0)),
    "notices": lambda q: NOTICE * 1000 + row(b"150000" if q.startswith(b"show") else b"0"),
    "error": lambda _: message(b"E", fields(S=b"ERROR", V=b"ERROR", C=b"XX000",
                                            M=(HOSTILE * (200000 // len(HOSTILE) + 1))[:200000])) + ready(),
    # A message type of ESC whose length reads as 1.5 GB.
    "desync": lambda _: b"\x1b[2J\x1b[31m" + HOSTILE,
    # The library quotes the type byte into its error text, whose NUL then ends it.
    "type-zero": lambda _: message(b"\0") + ready(),
}


def read_exact(conn, n):
    data = b""
    while len(data) < n:
        piece = conn.recv(n - len(data))
        if not piece:
            raise EOFError
        data += piece
    return data


def startup(conn):
    """Declines encryption until the startup packet comes, then lets the client in."""
    while True:
        length, code = struct.unpack("!II", read_exact(conn, 8))
        read_exact(conn, length - 8)
        if code not in (SSL_REQUEST, GSSENC_REQUEST):
            break
        conn.sendall(b"N")
    status = b"".join(message(b"S", k + b"\0" + v + b"\0") for k, v in (
        (b"server_version", b"15.0"), (b"server_encoding", b"UTF8"), (b"client_encoding", b"UTF8"),
        (b"DateStyle", b"ISO, MDY"), (b"integer_datetimes", b"on"), (b"standard_conforming_strings", b"on")))
    conn.sendall(message(b"R", struct.pack("!I", 0)) + status + message(b"K", struct.pack("!II", 4242, 1)) + ready())


def serve(conn, _number, mode):
    with conn:
        try:
            startup(conn)
            while True:
                kind = read_exact(conn, 1)
                body = read_exact(conn, struct.unpack("!I", read_exact(conn, 4))[0] - 4)
                if kind == b"X":
                    return
                if kind == b"Q" and mode == "rows":
                    conn.sendall(description())
                    while True:
                        conn.sendall(ROWS)
                elif kind == b"Q":
                    conn.sendall(ANSWERS[mode](body))
        except (OSError, EOFError):
            pass


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--mode", choices=sorted(ANSWERS) + ["rows"], required=True)
    args = ap.parse_args()
    listen_forever(args.port, serve, args.mode)
