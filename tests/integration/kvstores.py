#!/usr/bin/python3
"""Load and oracle of the key-value service suite (memcached, beanstalkd, redis).

  kvstores.py sample OUT.json [SERVER...]
                                     the servers' own statistics, asked exactly as the
                                     agent asks them (all servers, or those named)
  kvstores.py burst [SERVER...]     load that moves every rate the agent reports
  kvstores.py compare BEFORE AFTER REPORT.tsv
                                     judges the report read between two samples, for
                                     the servers sampled
  kvstores.py zero REPORT.tsv ARRAY.NAME...
                                     every rate of those objects is 0, and they are there
  kvstores.py hold [N]              a listener that never answers and N (1) whose accept
                                     queue is full; prints "ready HANG FULL...", then waits

Servers and the interval come from the environment: MC_PORT, MC_SOCK, BS_PORT,
RD_MAIN, RD_PASS, RD_PRIMARY, RD_REPLICA, INTERVAL (about the seconds between the
two reads that a report's rates cover: the agent times its own reads to the
millisecond, so on a busy host a rate may differ from ours by a few percent).
"""
import json
import os
import socket
import sys
import threading
import time

E = os.environ
LO = "127.0.0.1"


class Conn:
    """One client connection that reads answers to their end."""

    def __init__(self, addr, family=socket.AF_INET):
        self.s = socket.socket(family, socket.SOCK_STREAM)
        self.s.settimeout(5)
        self.s.connect(addr)
        self.buf = b""

    def send(self, data):
        self.s.sendall(data)

    def _fill(self):
        chunk = self.s.recv(1 << 20)
        if not chunk:
            raise EOFError("closed")
        self.buf += chunk

    def line(self):
        while b"\r\n" not in self.buf:
            self._fill()
        out, self.buf = self.buf.split(b"\r\n", 1)
        return out

    def take(self, n):
        while len(self.buf) < n:
            self._fill()
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def close(self):
        self.s.close()


def resp(*args):
    out = b"*%d\r\n" % len(args)
    for a in args:
        a = a if isinstance(a, bytes) else str(a).encode()
        out += b"$%d\r\n%s\r\n" % (len(a), a)
    return out


def memcache_conn(which):
    return Conn(E["MC_SOCK"], socket.AF_UNIX) if which == "unix" else Conn((LO, int(E["MC_PORT"])))


def memcache_stats(which):
    c = memcache_conn(which)
    c.send(b"stats\r\n")
    out, size = {}, 5
    while (l := c.line()) != b"END":
        _, name, value = l.decode().split(" ", 2)
        out[name] = value
        size += len(l) + 2
    c.close()
    out["reply_size"] = str(size)
    return out


def beanstalk_stats():
    c = Conn((LO, int(E["BS_PORT"])))
    c.send(b"stats\r\n")
    n = int(c.line().split()[1])
    body = c.take(n).decode()
    c.close()
    return dict(l.split(": ", 1) for l in body.splitlines()[1:])


def redis_info(port, password=""):
    c = Conn((LO, int(port)))
    if password:  # AUTH and INFO on one connection, as the agent does
        c.send(resp("AUTH", password))
        assert c.line() == b"+OK"
    c.send(b"info\r\n")
    n = int(c.line()[1:])
    body = c.take(n).decode()
    c.close()
    return dict(l.split(":", 1) for l in body.splitlines() if ":" in l)


SAMPLERS = {
    "mc_tcp": lambda: memcache_stats("tcp"),
    "mc_unix": lambda: memcache_stats("unix"),
    "bs": beanstalk_stats,
    "main": lambda: redis_info(E["RD_MAIN"], E["RD_PASS"]),
    "replica": lambda: redis_info(E["RD_REPLICA"]),
}


def sample(servers):
    return {s: SAMPLERS[s]() for s in servers or SAMPLERS}


def burst_memcache(which, n):
    c = memcache_conn(which)
    value = b"v" * 120000  # 2 MB of memory: these evict each other
    for i in range(n):
        c.send(b"set k%d 0 0 %d\r\n%s\r\n" % (i, len(value), value))
        assert c.line() == b"STORED"
    for i in range(n + 5):
        c.send(b"get k%d\r\n" % i)
        while (l := c.line()) != b"END":
            c.take(int(l.split()[3]) + 2)
    c.close()


def burst_beanstalk():
    c = Conn((LO, int(E["BS_PORT"])))
    for _ in range(6):
        c.send(b"put 0 0 1 3\r\nabc\r\n")  # ttr 1 second
        assert c.line().startswith(b"INSERTED")
    for i in range(4):
        c.send(b"reserve-with-timeout 0\r\n")
        job = c.line().split()
        c.take(int(job[2]) + 2)
        if i < 3:
            c.send(b"delete %s\r\n" % job[1])
            assert c.line() == b"DELETED"
    # The fourth job stays reserved past its ttr: one job time-out, counted once the
    # server has seen it (a job released by the close would not count).
    for _ in range(30):
        time.sleep(0.1)
        c.send(b"stats-job %s\r\n" % job[1])
        n = int(c.line().split()[1])
        if "timeouts: 1" in c.take(n + 2).decode():
            break
    c.close()


def burst_redis():
    c = Conn((LO, int(E["RD_MAIN"])))
    c.send(resp("AUTH", E["RD_PASS"]))
    c.line()
    big = b"r" * 200000  # beyond maxmemory: evictions
    for i in range(25):
        c.send(resp("SET", "big%d" % i, big))
        c.line()
    for i in range(25):
        c.send(resp("GET", "big%d" % i))
        l = c.line()
        if l != b"$-1":
            c.take(int(l[1:]) + 2)
    for i in range(5):
        c.send(resp("SET", "exp%d" % i, "x", "PX", "1"))
        c.line()
    time.sleep(0.05)
    for i in range(5):  # expired keys, removed as they are read
        c.send(resp("GET", "exp%d" % i))
        c.line()
    c.close()
    p = Conn((LO, int(E["RD_PRIMARY"])))
    for i in range(3):  # reach the replica
        p.send(resp("SET", "rep%d" % i, i))
        p.line()
    p.close()


def burst(servers):
    servers = servers or ["mc_tcp", "mc_unix", "bs", "main"]
    # The job time-out takes a second: let the rest run meanwhile.
    bs = threading.Thread(target=burst_beanstalk)
    if "bs" in servers:
        bs.start()
    if "mc_tcp" in servers:
        burst_memcache("tcp", 30)
    if "mc_unix" in servers:
        burst_memcache("unix", 20)
    if "main" in servers:
        burst_redis()
    if "bs" in servers:
        bs.join()


def report(tsv, names):
    """{name: {field: int}} of the report's objects, from bson2json lines."""
    out = {n: {} for n in names}
    for line in open(tsv):
        path, typ, value = line.rstrip("\n").split("\t")
        for n in names:
            if path.startswith(n + ".") and typ == "int64":
                out[n][path[len(n) + 1:]] = int(value)
    return out


FAILS = []


def expect(what, cond, detail=""):
    if not cond:
        FAILS.append("%s %s" % (what, detail))


def compare(before, after, tsv):
    b, a = json.load(open(before)), json.load(open(after))
    seconds = float(E["INTERVAL"])
    mc = {"memcaches.127.0.0.1:%s" % E["MC_PORT"]: "mc_tcp", "memcaches.sock:%s" % E.get("MC_SOCK"): "mc_unix"}
    names = list(mc) + ["beanstalks.127.0.0.1:%s" % E.get("BS_PORT"), "redises.main", "redises.replica"]
    got = report(tsv, names)

    def rates(name, src, pairs):
        for key, stat in pairs:
            want = (int(a[src][stat]) - int(b[src][stat])) * 60 / seconds
            expect("%s %s" % (name, key), abs(got[name].get(key, -10) - want) <= 1 + want * 0.05 and want > 0,
                   "want %.1f got %s" % (want, got[name].get(key)))

    def same(name, src, pairs):
        for key, stat in pairs:
            want = int(a[src][stat].split(",")[0].split("=")[-1])
            expect("%s %s" % (name, key), got[name].get(key) == want, "want %d got %s" % (want, got[name].get(key)))

    for name, src in mc.items():
        if src not in a:
            continue
        expect(name + " keys", list(got[name]) == ["ok", "get", "set", "misses", "hits", "evictions", "connections",
                                                  "read", "write", "bytes", "max_bytes"], str(list(got[name])))
        rates(name, src, [("get", "cmd_get"), ("set", "cmd_set"), ("misses", "get_misses"), ("hits", "get_hits"),
                          ("evictions", "evictions"), ("read", "bytes_read")])
        same(name, src, [("connections", "curr_connections"), ("bytes", "bytes"), ("max_bytes", "limit_maxbytes")])
        # The agent's two replies count where ours did; they differ from ours
        # only in digits of times and resource usage.
        written = (int(a[src]["bytes_written"]) - int(b[src]["bytes_written"])
                   - int(a[src]["reply_size"]) + int(b[src]["reply_size"])) * 60 / seconds
        expect(name + " write", abs(got[name].get("write", 0) - written) <= 8 * 60 / seconds + written * 0.05,
               "want about %.1f got %s" % (written, got[name].get("write")))

    if set(a) != set(SAMPLERS):
        return  # only memcached was sampled
    bs = names[2]
    expect(bs + " keys", list(got[bs]) == ["ok", "put", "cdelete", "uptime", "timeout", "connections"],
           str(list(got[bs])))
    rates(bs, "bs", [("put", "cmd-put"), ("cdelete", "cmd-delete"), ("timeout", "job-timeouts")])
    same(bs, "bs", [("connections", "current-connections")])
    expect(bs + " uptime", int(b["bs"]["uptime"]) <= got[bs].get("uptime", -1) <= int(a["bs"]["uptime"]))

    main, replica = "redises.main", "redises.replica"
    keys = ["ok", "status", "uptime", "connected_clients", "total_connections_received", "total_commands_processed",
            "keyspace_hits", "keyspace_misses", "expired_keys", "evicted_keys", "connected_slaves",
            "master_sync_left_bytes", "rdb_last_bgsave_status", "memused", "keys"]
    expect(main + " keys", list(got[main]) == keys, str(list(got[main])))
    rates(main, "main", [(k, k) for k in keys[4:10]])
    same(main, "main", [("connected_clients", "connected_clients"), ("connected_slaves", "connected_slaves"),
                        ("keys", "db0")])
    expect(main + " status", got[main].get("status") == 1 and got[main].get("rdb_last_bgsave_status") == 1)
    expect(main + " uptime",
           int(b["main"]["uptime_in_seconds"]) <= got[main].get("uptime", -1) <= int(a["main"]["uptime_in_seconds"]))
    mem = int(a["main"]["used_memory"])
    expect(main + " memused", abs(got[main].get("memused", 0) - mem) < mem // 10, "%d %s" % (mem, got[main]))
    expect(replica + " keys", list(got[replica]) == keys[:11] + ["master_link_status"] + keys[11:],
           str(list(got[replica])))
    expect(replica + " link", got[replica].get("master_link_status") == 1 and a["replica"]["role"] == "slave")
    same(replica, "replica", [("keys", "db0")])
    expect(replica + " keys replicated", got[replica].get("keys") == 3)


def zero(tsv, names):
    got = report(tsv, names)
    fixed = {"ok", "status", "uptime", "connected_clients", "connections", "bytes", "max_bytes", "connected_slaves",
             "master_link_status", "master_sync_left_bytes", "rdb_last_bgsave_status", "memused", "keys"}
    for n in names:
        expect(n + " present", got[n].get("ok") == 1)
        for k, v in got[n].items():
            expect("%s %s" % (n, k), k in fixed or v == 0, "is %d" % v)


def full_listener():
    full = socket.socket()
    full.bind((LO, 0))
    full.listen(0)
    pending = socket.create_connection(full.getsockname())  # fills the queue
    probe = socket.socket()
    probe.settimeout(0.5)
    try:
        probe.connect(full.getsockname())
        sys.exit("the accept queue is not full")
    except socket.timeout:
        pass
    return full, pending


def hold(n):
    hang = socket.socket()
    hang.bind((LO, 0))
    hang.listen(16)  # accepted by the kernel, never answered
    fulls = [full_listener() for _ in range(n)]
    print("ready %d %s" % (hang.getsockname()[1], " ".join(str(f.getsockname()[1]) for f, _ in fulls)), flush=True)
    held = []
    while True:
        conn, _ = hang.accept()
        held.append(conn)


def main():
    cmd = sys.argv[1]
    if cmd == "sample":
        json.dump(sample(sys.argv[3:]), open(sys.argv[2], "w"))
    elif cmd == "burst":
        burst(sys.argv[2:])
    elif cmd == "compare":
        compare(*sys.argv[2:5])
    elif cmd == "zero":
        zero(sys.argv[2], sys.argv[3:])
    elif cmd == "hold":
        hold(int(sys.argv[2]) if len(sys.argv) > 2 else 1)
    for f in FAILS:
        print("mismatch: " + f, file=sys.stderr)
    sys.exit(1 if FAILS else 0)


main()
