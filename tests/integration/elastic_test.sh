#!/usr/bin/env bash
# The Elasticsearch counter against a faithful fake of 7.x and 8.x nodes: exact
# objects against the answers the test reads and sums itself (Content-Length and
# chunked, a red cluster, figures past 16 bits, a node the answer does not hold),
# then the failures (401 with its challenges, 503 without a master, nothing
# listening, an empty reply, no reply) while the cycle keeps its pace and the
# agent's memory stays flat.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/http_servers.sh"
at_exit stop_servers

NODE=Xk3dQ8pTRsOq1w-JvZ1h2A
check "the fakes start" eval 'start_elastic 9201 --version 8 --health yellow --unassigned 100000 --big-queue 70000 &&
    start_elastic 9202 --version 7 && start_elastic 9203 --version 8 --health red &&
    start_elastic 9204 --version 8 --health nomaster && start_elastic 9205 --version 8 --secured'
check "the Docker Engine starts" start_engine search
check "the odd servers start" eval 'start_odd 8097 silent && start_odd 8098 close'

# expected ID PORT NODE: the report object, from the two answers read and summed here.
expected() {
    local nodes health
    nodes=$(http_get "$2" "/_nodes/$3/stats/thread_pool")
    health=$(http_get "$2" /_cluster/health)
    NODES=$nodes HEALTH=$health python3 - "$1" "$3" <<'PY'
import json, os, sys
def body(answer):
    head, _, rest = answer.partition("\r\n\r\n")
    if "transfer-encoding: chunked" not in head.lower():
        return json.loads(rest)
    out = ""
    while True:
        size, _, rest = rest.partition("\r\n")
        n = int(size, 16)
        if n == 0:
            return json.loads(out)
        out, rest = out + rest[:n], rest[n + 2:]
ident, node = sys.argv[1], sys.argv[2]
pools = body(os.environ["NODES"])["nodes"].get(node, {}).get("thread_pool", {})
health = body(os.environ["HEALTH"])
o = "mycustoms.Elastic_" + ident
rows = [(o, "document", ""), (o + ".report", "string", "Elastic"), (o + ".id", "string", ident), (o + ".ok", "int64", 1),
        (o + ".node_queue_size", "int64", sum(p["queue"] for p in pools.values())),
        (o + ".node_active_size", "int64", sum(p["active"] for p in pools.values())),
        (o + ".threads_search_queue", "int64", pools.get("search", {}).get("queue", 0)),
        (o + ".threads_search_active", "int64", pools.get("search", {}).get("active", 0)),
        (o + ".status", "int64", {"green": 3, "yellow": 2, "red": 1}[health["status"]]),
        (o + ".initializing_shards", "int64", health["initializing_shards"]),
        (o + ".relocating_shards", "int64", health["relocating_shards"]),
        (o + ".unassigned_shards", "int64", health["unassigned_shards"])]
print("\n".join("%s\t%s\t%s" % r for r in rows))
PY
}

# --- Exact figures, one-second cycles.
conf=$(write_conf exact <<EOF
id 4701
address 127.0.0.1
port 8641
interval 1
counter_tcp_to 1
elastic_es8 127.0.0.1:9201 $NODE
elastic_es7 127.0.0.1:9202 $NODE
elastic_red 127.0.0.1:9203 $NODE
elastic_local 127.0.0.1:9202 es01
elastic_box [search]:9203 $NODE
docker_sock $DOCKER_SOCK
EOF
)
start_run exact "$conf" --debug
check "three reports" wait_packet exact 3
end_run exact
for id in es8:9201 es7:9202 red:9203; do
    check_eq "the $id object, exactly" "$(expected "${id%:*}" "${id#*:}" "$NODE")" \
        "$(report exact 3 | grep -P "^mycustoms\.Elastic_${id%:*}[.\t]")"
done
check "a queue total past 16 bits keeps its value" [ "$(value exact 3 mycustoms.Elastic_es8.node_queue_size)" -gt 70000 ]
check_eq "so do 100,000 unassigned shards" 100000 "$(value exact 3 mycustoms.Elastic_es8.unassigned_shards)"
check_eq "a node the answer does not hold reads 0 and still reports" "0 0 0 3" \
    "$(for v in node_queue_size node_active_size threads_search_active status; do value exact 3 mycustoms.Elastic_local.$v; done | xargs)"
check_eq "a container host is reached at the container's address" \
    "$(report exact 3 | grep -P '^mycustoms\.Elastic_red\.' | cut -f2- | tail -n +3)" \
    "$(report exact 3 | grep -P '^mycustoms\.Elastic_box\.' | cut -f2- | tail -n +3)"
check "that node's sums are reported missing" contains "$WORK/exact.out" "[elastic] Error: 'queue' not found in thread_pool object"
# The agent's first cycle (the test reads with HTTP/1.0).
requests=$(grep 'HTTP/1\.1$' "$WORK/elastic-9202.log" | grep -v es01 | head -n 2)
conn=$(sed -n 's/^conn \([0-9]*\):.*/\1/p' <<<"$requests" | head -n1)
check_eq "both requests on one connection each cycle" \
    "$(printf 'conn %s: GET /_nodes/%s/stats/thread_pool HTTP/1.1\nconn %s: GET /_cluster/health HTTP/1.1' \
        "$conn" "$NODE" "$conn")" "$requests"

# --- Failures, two-second cycles with a one-second time-out.
conf=$(write_conf failing <<EOF
id 4702
address 127.0.0.1
port 8641
interval 2
counter_tcp_to 1
elastic_es7 127.0.0.1:9202 $NODE
elastic_nomaster 127.0.0.1:9204 $NODE
elastic_secured 127.0.0.1:9205 $NODE
elastic_down 127.0.0.1:9299 $NODE
elastic_empty 127.0.0.1:8098 $NODE
elastic_silent 127.0.0.1:8097 $NODE
EOF
)
failing_run "$conf" mycustoms.Elastic_es7
check_said "$WORK/failing.out" "[elastic] nomaster: HTTP status 503" "[elastic] Response for /_cluster/health is NULL" \
    "[elastic] secured: HTTP status 401" "[elastic] Response for /_nodes/.../stats/thread_pool is NULL" \
    "elastic: could not bind socket or connect whatever: (Connection refused)111" \
    "[elastic] empty: the connection closed before the whole answer" "[elastic] silent: no whole answer in time"

stop_servers
finish
