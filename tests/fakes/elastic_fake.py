#!/usr/bin/env python3
"""A stand-in for one Elasticsearch node, written from the public REST reference.

It answers the two calls that monitoring agents make, on 127.0.0.1:

    GET /_nodes/{filter}/stats/thread_pool   node statistics, "nodes" keyed by node id
    GET /_cluster/health                     the cluster's health

as the real server frames them: HTTP/1.1 with kept-alive connections, lower-case
header names, Content-Length answers (7.x), and from 8.x the X-elastic-product
header and chunked transfer coding for large bodies. A secured node answers 401
with its three WWW-Authenticate challenges and a JSON error; a red cluster still
answers 200; a cluster without an elected master answers the health call with 503.

    elastic_fake.py --port P [--version 7|8] [--health green|yellow|red|nomaster]
                    [--secured] [--unassigned N] [--big-queue N]

It prints "ready" once it listens and logs each request line on standard error,
after the number of its connection: "conn N: GET ...".
"""
import argparse
import json
import sys

from odd_listener import listen_forever

NODE_ID = "Xk3dQ8pTRsOq1w-JvZ1h2A"
NODE_NAME = "es01"

POOLS_7 = ["analyze", "fetch_shard_started", "fetch_shard_store", "flush", "force_merge", "generic", "get",
           "listener", "management", "refresh", "search", "search_throttled", "snapshot", "warmer", "write"]
POOLS_8 = ["analyze", "auto_complete", "ccr", "cluster_coordination", "fetch_shard_started", "fetch_shard_store",
           "flush", "force_merge", "generic", "get", "management", "profiling", "refresh", "repository_azure",
           "rollup_indexing", "search", "search_coordination", "search_throttled", "searchable_snapshots_cache_fetch_async",
           "security-crypto", "security-token-key", "snapshot", "snapshot_meta", "system_critical_read",
           "system_critical_write", "system_read", "system_write", "warmer", "write"]


def thread_pools(version, big_queue):
    """Every pool with the six integer members; search has 5 active and 7 queued."""
    pools = {}
    for i, name in enumerate(POOLS_8 if version == 8 else POOLS_7):
        pools[name] = {"threads": i % 5, "queue": i % 3, "active": i % 2, "rejected": 0,
                       "largest": i % 5, "completed": 17 * i}
    pools["search"].update({"threads": 13, "queue": 7, "active": 5, "largest": 13})
    if big_queue:
        pools["write"]["queue"] = big_queue
    return pools


def node_stats(args, node_filter):
    nodes = {}
    if node_filter in ("_all", "_local", NODE_ID, NODE_NAME):
        nodes[NODE_ID] = {
            "timestamp": 1714637764125, "name": NODE_NAME, "transport_address": "127.0.0.1:9300",
            "host": "127.0.0.1", "ip": "127.0.0.1:9300",
            "roles": ["data", "ingest", "master", "ml", "remote_cluster_client", "transform"],
            "attributes": {"xpack.installed": "true"},
            "thread_pool": thread_pools(args.version, args.big_queue),
        }
    return {"_nodes": {"total": len(nodes), "successful": len(nodes), "failed": 0},
            "cluster_name": "vesk-test", "nodes": nodes}


def health(args):
    colour = args.health
    unassigned = args.unassigned
    return {"cluster_name": "vesk-test", "status": colour, "timed_out": False, "number_of_nodes": 1,
            "number_of_data_nodes": 1, "active_primary_shards": 12, "active_shards": 12,
            "relocating_shards": 1, "initializing_shards": 2, "unassigned_shards": unassigned,
            "delayed_unassigned_shards": 0, "number_of_pending_tasks": 0, "number_of_in_flight_fetch": 0,
            "task_max_waiting_in_queue_millis": 0,
            "active_shards_percent_as_number": 100.0 * 12 / (12 + unassigned + 3)}


def error(kind, reason, status, extra=None):
    cause = {"type": kind, "reason": reason}
    if extra:
        cause.update(extra)
    body = {"error": {"root_cause": [dict(cause)], **cause}, "status": status}
    return status, body


def route(args, path):
    """(status, JSON body, extra headers) for one GET."""
    challenge = ['Basic realm="security" charset="UTF-8"', 'Bearer realm="security"', "ApiKey"]
    if args.secured:
        status, body = error("security_exception",
                             "missing authentication credentials for REST request [%s]" % path, 401,
                             {"header": {"WWW-Authenticate": challenge}})
        return status, body, [("WWW-Authenticate", c) for c in challenge]
    parts = path.split("?")[0].strip("/").split("/")
    if len(parts) == 4 and parts[0] == "_nodes" and parts[2:] == ["stats", "thread_pool"]:
        return 200, node_stats(args, parts[1]), []
    if parts == ["_cluster", "health"]:
        if args.health == "nomaster":
            status, body = error("master_not_discovered_exception", None, 503)
            return status, body, []
        return 200, health(args), []
    return 400, {"error": "no handler found for uri [%s] and method [GET]" % path, "status": 400}, []


def answer(args, status, body, extra):
    reasons = {200: "OK", 400: "Bad Request", 401: "Unauthorized", 503: "Service Unavailable"}
    data = json.dumps(body, separators=(",", ":")).encode()
    head = ["HTTP/1.1 %d %s" % (status, reasons[status])]
    head += ["%s: %s" % h for h in extra]
    if args.version >= 8:
        head.append("X-elastic-product: Elasticsearch")
    head.append("content-type: application/json")
    if args.version >= 8 and len(data) > 1024:
        head.append("transfer-encoding: chunked")
        chunks = b"".join(b"%x\r\n%s\r\n" % (len(data[i:i + 512]), data[i:i + 512])
                          for i in range(0, len(data), 512))
        return ("\r\n".join(head) + "\r\n\r\n").encode() + chunks + b"0\r\n\r\n"
    head.append("content-length: %d" % len(data))
    return ("\r\n".join(head) + "\r\n\r\n").encode() + data


def serve(conn, number, args):
    buf = b""
    with conn:
        while True:
            while b"\r\n\r\n" not in buf and b"\n\n" not in buf:
                try:
                    more = conn.recv(65536)
                except OSError:
                    return
                if not more:
                    return
                buf += more
            end = buf.find(b"\r\n\r\n")
            end = end + 4 if end >= 0 else buf.find(b"\n\n") + 2
            request, buf = buf[:end].decode("latin-1"), buf[end:]
            line = request.splitlines()[0]
            print("conn %d: %s" % (number, line), file=sys.stderr, flush=True)
            status, body, extra = route(args, (line.split() + ["", ""])[1])
            conn.sendall(answer(args, status, body, extra))
            if "connection: close" in request.lower():
                return


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--version", type=int, choices=[7, 8], default=8)
    ap.add_argument("--health", choices=["green", "yellow", "red", "nomaster"], default="green")
    ap.add_argument("--secured", action="store_true")
    ap.add_argument("--unassigned", type=int, default=0)
    ap.add_argument("--big-queue", type=int, default=0)
    args = ap.parse_args()
    listen_forever(args.port, serve, args)
