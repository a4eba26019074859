#!/usr/bin/env python3
"""A fake Docker Engine on a Unix socket, written from the public Engine API
reference (v1.43), for the agent's black-box and unit tests.

    fake_engine.py --socket PATH --state FILE [--log FILE]

It serves
  GET [/vX.Y]/containers/{name or id}/json            the container's inspection
  GET [/vX.Y]/containers/{name or id}/stats[?stream=] its statistics stream
framed as the Engine's HTTP server frames them: an HTTP/1.0 request gets an HTTP/1.0
answer with Content-Length only for a small body, else the closed connection ends
it; HTTP/1.1 needs a Host header (else 400), sends big bodies and streams chunked
and keeps the connection open after the last chunk. Bare-LF requests are accepted.

The tests drive it through FILE, a JSON object read again whenever it changes:
  {"containers": {NAME: {"state": "running"|"paused"|"restarting"|"exited"|"dead"|
                                   "created"|"oomkilled",
                         "ip": "172.17.0.2", "network": "bridge" or a user network,
                         "cpu_step": ns a second, "sys_step": ns a second, "ncpu": 4,
                         "percpu": number of per-CPU entries (0: none),
                         "gen": a number that changes when the container is recreated}},
   "stall": [NAME, ...]}    inspections of these names are read and never answered
A container missing from "containers" does not exist (404). A statistics stream
sends one object a second, zeroed while the container does not run, and ends when
the container is removed or recreated. Every request line goes to the log.
"""

import argparse
import email.utils
import json
import os
import re
import socket
import socketserver
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import engine_docs  # noqa: E402

SMALL_BODY = 2048  # below this the Engine's server knows the length before it sends
RUNNING_STATES = ("running", "paused", "restarting")


class World:
    def __init__(self, path, log):
        self.path = path
        self.log_path = log
        self.lock = threading.Lock()
        self.mtime = None
        self.state = {"containers": {}, "stall": []}

    def current(self):
        with self.lock:
            try:
                m = os.stat(self.path).st_mtime_ns
                if m != self.mtime:
                    with open(self.path) as f:
                        self.state = json.load(f)
                    self.mtime = m
            except (OSError, ValueError):
                pass  # keep the last good state while the file is being replaced
            return self.state

    def find(self, name):
        containers = self.current().get("containers", {})
        if name in containers:
            return name, containers[name]
        for n, c in containers.items():
            if engine_docs.container_id(n) == name:
                return n, c
        return None, None

    def log(self, line):
        if not self.log_path:
            return
        with self.lock, open(self.log_path, "a") as f:
            f.write(line + "\n")


def http_date():
    return email.utils.formatdate(usegmt=True)


class Handler(socketserver.BaseRequestHandler):
    def setup(self):
        self.buf = b""

    def read_request(self):
        while True:
            m = re.search(b"\r?\n\r?\n", self.buf)
            if m:
                head, self.buf = self.buf[:m.start()], self.buf[m.end():]
                return head.decode("latin-1")
            data = self.request.recv(65536)
            if not data:
                return None
            self.buf += data

    def send(self, data):
        self.request.sendall(data)

    def head(self, version, code, reason, headers):
        lines = ["%s %d %s" % (version, code, reason)]
        lines += ["Api-Version: 1.43", "Content-Type: application/json", "Docker-Experimental: false",
                  "Ostype: linux", "Server: Docker/24.0.7 (linux)", "Date: " + http_date()]
        lines += headers
        return ("\r\n".join(lines) + "\r\n\r\n").encode()

    def answer(self, version, code, reason, body):
        body = body.encode()
        if len(body) < SMALL_BODY:
            self.send(self.head(version, code, reason, ["Content-Length: %d" % len(body)]) + body)
        elif version == "HTTP/1.1":
            self.send(self.head(version, code, reason, ["Transfer-Encoding: chunked"]) +
                      b"%x\r\n%s\r\n0\r\n\r\n" % (len(body), body))
        else:
            self.send(self.head(version, code, reason, []) + body)
            return False  # the close ends the body
        return version == "HTTP/1.1"

    def handle(self):
        world = self.server.world
        try:
            while True:
                req = self.read_request()
                if req is None:
                    return
                lines = req.split("\n")
                parts = lines[0].strip().split(" ")
                world.log(lines[0].strip())
                if len(parts) != 3 or not parts[2].startswith("HTTP/1."):
                    self.send(b"HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain; charset=utf-8\r\n"
                              b"Connection: close\r\n\r\n400 Bad Request")
                    return
                method, target, version = parts
                headers = {}
                for h in lines[1:]:
                    if ":" in h:
                        k, v = h.split(":", 1)
                        headers[k.strip().lower()] = v.strip()
                if version == "HTTP/1.1" and "host" not in headers:
                    self.send(b"HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain; charset=utf-8\r\n"
                              b"Connection: close\r\n\r\n400 Bad Request: missing required Host header")
                    return
                if version != "HTTP/1.1":
                    version = "HTTP/1.0"
                if not self.route(method, target, version):
                    return
        except (BrokenPipeError, ConnectionResetError):
            return

    def route(self, method, target, version):
        """Answers one request; False when the connection is to be closed."""
        world = self.server.world
        url = urllib.parse.urlsplit(target)
        path = re.sub(r"^/v\d+\.\d+(?=/)", "", url.path)
        m = re.fullmatch(r"/containers/([^/]+)/(json|stats)", path)
        if method != "GET" or not m:
            return self.answer(version, 404, "Not Found", engine_docs.error_body("page not found"))
        asked = urllib.parse.unquote(m.group(1))
        name, c = world.find(asked)
        if c is None:
            return self.answer(version, 404, "Not Found", engine_docs.error_body("No such container: " + asked))
        if m.group(2) == "json":
            if asked in world.current().get("stall", []):
                return self.stall(asked)
            doc = engine_docs.inspect(name, c.get("state", "running"), ip=c.get("ip", "172.17.0.2"),
                                      network=c.get("network", "bridge"))
            return self.answer(version, 200, "OK", engine_docs.go_json(doc))
        query = urllib.parse.parse_qs(url.query)
        stream = query.get("stream", ["1"])[0].lower() not in ("0", "false")
        return self.stats(version, name, c, stream)

    def stall(self, name):
        world = self.server.world
        self.request.settimeout(0.1)
        while name in world.current().get("stall", []):
            try:
                if self.request.recv(1) == b"":
                    return False
            except socket.timeout:
                pass
        return False

    def stats(self, version, name, c, stream):
        world = self.server.world
        gen = c.get("gen", 0)
        # The host's CPU time is counted since boot, the container's since its start.
        cpu, sys_ = 0, 7000000000000
        prev = None
        first = True
        chunked = version == "HTTP/1.1"
        while True:
            _, now = world.find(name)
            if now is None or now.get("gen", 0) != gen:
                break
            state = now.get("state", "running")
            if state in RUNNING_STATES:
                if state == "running":
                    cpu += now.get("cpu_step", 0)
                sys_ += now.get("sys_step", 1000000000)
                n = now.get("percpu", 0)
                percpu = [cpu // n] * n if n else None
                cur = engine_docs.cpu_stats(cpu, sys_, now.get("ncpu", 1), percpu)
                obj = engine_docs.stats(name, cur, prev or engine_docs.cpu_stats(0, None, 0))
            else:
                obj = engine_docs.zero_stats(name, prev)
                cur = obj["cpu_stats"]
            prev = cur
            body = engine_docs.go_json(obj).encode()
            data = b"%x\r\n%s\r\n" % (len(body), body) if chunked else body
            if first:
                # The headers go out in the same write as the first object.
                data = self.head(version, 200, "OK", ["Transfer-Encoding: chunked"] if chunked else []) + data
                first = False
            self.send(data)
            if not stream:
                break
            time.sleep(1)
        if first:
            return self.answer(version, 404, "Not Found", engine_docs.error_body("No such container: " + name))
        if chunked:
            self.send(b"0\r\n\r\n")
            return True
        return False


class Server(socketserver.ThreadingMixIn, socketserver.UnixStreamServer):
    daemon_threads = True


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--socket", required=True)
    ap.add_argument("--state", required=True)
    ap.add_argument("--log")
    args = ap.parse_args()
    try:
        os.unlink(args.socket)
    except FileNotFoundError:
        pass
    srv = Server(args.socket, Handler)
    srv.world = World(args.state, args.log)
    print("listening " + args.socket, flush=True)
    srv.serve_forever()


if __name__ == "__main__":
    main()
