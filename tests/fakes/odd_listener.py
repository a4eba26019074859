#!/usr/bin/env python3
"""Servers that misbehave, for the service counter suites, on 127.0.0.1.

    odd_listener.py --port P --mode close    reads the request, closes without a byte
    odd_listener.py --port P --mode silent   reads the request and never answers

It prints "ready" once it listens, and serves until it is stopped.
"""
import argparse
import socket
import threading


def listen_forever(port, serve, *args):
    """Accepts on 127.0.0.1:port, each connection served by serve(conn, number, *args)
    in a thread of its own; prints "ready" once it listens."""
    ls = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    ls.bind(("127.0.0.1", port))
    ls.listen(16)
    print("ready", flush=True)
    number = 0
    while True:
        conn, _ = ls.accept()
        number += 1
        threading.Thread(target=serve, args=(conn, number, *args), daemon=True).start()


def serve(conn, _number, mode):
    # close: the first read, then the close; silent: reads until the peer goes.
    with conn:
        try:
            while conn.recv(65536) and mode == "silent":
                pass
        except OSError:
            pass


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--mode", choices=["close", "silent"], required=True)
    args = ap.parse_args()
    listen_forever(args.port, serve, args.mode)
