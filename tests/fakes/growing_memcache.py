#!/usr/bin/env python3
"""A Memcached stand-in whose counts grow with time, on 127.0.0.1.

    growing_memcache.py --port P [--late-every-other S]

Each "stats" reply gives cmd_get = 100 x the seconds since it started, reckoned
when the request arrives. With --late-every-other S, every second connection is
answered S seconds late: a service that is slow in some cycles only. It prints
"ready" once it listens, and serves until it is stopped.
"""
import argparse
import time

from odd_listener import listen_forever

START = time.monotonic()


def serve(conn, number, late):
    with conn:
        request = b""
        while b"\r\n" not in request:
            piece = conn.recv(4096)
            if not piece:
                return
            request += piece
        gets = int(100 * (time.monotonic() - START))
        if late and number % 2 == 0:
            time.sleep(late)
        conn.sendall(b"STAT pid 1\r\nSTAT cmd_get %d\r\nSTAT curr_connections 1\r\nEND\r\n" % gets)


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--late-every-other", type=float, default=0)
    args = ap.parse_args()
    listen_forever(args.port, serve, args.late_every_other)
