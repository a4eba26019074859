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
    pg_fake.py --port P --mode huge-row   a row of 300 MB
    pg_fake.py --port P --mode wide-rows  1,600 columns, and rows of 1,600 NULLs
                                          without end
    pg_fake.py --port P --mode type-zero  a message whose type byte is 0

A well-formed answer holds the columns the statement names, as a server names them,
and one row of 0s ("150000" for the version). The big answers are written as they
are read, never held whole. It prints "ready" once it listens, "closed after N ms"
when a client hangs up, and serves until it is stopped.
"""
import argparse
import os
import socket
import struct
import sys
import time

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


def description(names=(b"res",)):
    return message(b"T", struct.pack("!H", len(names)) + b"".join(
        n + b"\0" + struct.pack("!IhIhih", 0, 0, 25, -1, -1, 0) for n in names))


def data_row(*texts):
    return message(b"D", struct.pack("!H", len(texts)) + b"".join(struct.pack("!I", len(t)) + t for t in texts))


# The columns a server names in its answer to each statement, by the statement's start.
COLUMNS = [
    (b"select sum(xact_commit)", b"commincnt rollbackcnt"),
    (b"select pg_is_in_recovery()", b"pg_is_in_recovery"),
    (b"show server_version_num", b"server_version_num"),
    (b"select checkpoints_timed", b"checkpoints_timed checkpoints_req buffers_checkpoint buffers_clean "
     b"maxwritten_clean buffers_backend buffers_backend_fsync buffers_alloc"),
    (b"select count(pid)", b"count"),
    (b"select state, count(*)", b"state cnt"),
    (b"SELECT CASE WHEN wait_event_type", b"waiting cnt"),
    (b"SELECT CASE WHEN pg_last_wal_receive_lsn()", b"replication_lag"),
    (b"select count(*), 'CNT_ALL'", b"count name"),
    (b"select count(*)", b"res"),
]


def names_of(query):
    return next(n for start, n in COLUMNS if query.startswith(start)).split()


def answer(query):
    """A well-formed answer to the counter's statement `query`."""
    names = names_of(query)
    value = b"150000" if query.startswith(b"show") else b"0"
    return description(names) + data_row(*[value] * len(names)) + message(b"C", b"SELECT 1\0") + ready()


HUGE = 300 << 20
CHUNK = b"0" * (1 << 20)
WIDE = 1600
NULL_ROWS = message(b"D", struct.pack("!H", WIDE) + struct.pack("!i", -1) * WIDE) * 100


def stream(conn, mode, query):
    """The answers that are written as they are read, without end or too big to hold;
    but for the 1,600 columns, they have the columns the statement asks for."""
    names = names_of(query)
    if mode == "rows":
        rows = data_row(*[b"0" * 100] * len(names)) * 10000
        conn.sendall(description(names))
        while True:
            conn.sendall(rows)
    elif mode == "wide-rows":
        conn.sendall(description(names + [b"c%d" % i for i in range(len(names), WIDE)]))
        while True:
            conn.sendall(NULL_ROWS)
    else:  # huge-row: the first cell holds it
        rest = data_row(*[b"0"] * (len(names) - 1))[7:]
        conn.sendall(description(names) + b"D" + struct.pack("!IHI", 4 + 2 + 4 + HUGE + len(rest), len(names), HUGE))
        for _ in range(HUGE // len(CHUNK)):
            conn.sendall(CHUNK)
        conn.sendall(rest + message(b"C", b"SELECT 1\0") + ready())


NOTICE = message(b"N", fields(S=b"NOTICE", V=b"NOTICE", C=b"00000", M=b"chatty " + HOSTILE * 4))
ANSWERS = {
    "copy-out": lambda _: message(b"H", struct.pack("!bHH", 0, 1, 0)),
    "copy-in": lambda _: message(b"G", struct.pack("!bHH", 0, 1, 0)),
    "notices": lambda q: NOTICE * 1000 + answer(q),
    "error": lambda _: message(b"E", fields(S=b"ERROR", V=b"ERROR", C=b"XX000",
                                            M=(HOSTILE * (200000 // len(HOSTILE) + 1))[:200000])) + ready(),
    # A message type of ESC whose length reads as 1.5 GB.
    "desync": lambda _: b"\x1b[2J\x1b[31m" + HOSTILE,
    # The library quotes the type byte into its error text, whose NUL then ends it.
    "type-zero": lambda _: message(b"\0") + ready(),
}
STREAMS = ["rows", "huge-row", "wide-rows"]


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
    start = time.monotonic()
    with conn:
        try:
            startup(conn)
            while True:
                kind = read_exact(conn, 1)
                body = read_exact(conn, struct.unpack("!I", read_exact(conn, 4))[0] - 4)
                if kind == b"X":
                    break
                if kind == b"Q" and mode in STREAMS:
                    stream(conn, mode, body)
                elif kind == b"Q":
                    conn.sendall(ANSWERS[mode](body))
        except (OSError, EOFError):
            pass  # the client hung up, in the middle of an answer as likely as not
    print("closed after %d ms" % ((time.monotonic() - start) * 1000), flush=True)


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--mode", choices=sorted(ANSWERS) + STREAMS, required=True)
    args = ap.parse_args()
    listen_forever(args.port, serve, args.mode)
