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
check "the odd servers start" start_odd_servers

# expected ID PORT NODE: the report object, from the two answers read (urllib undoes
# the chunked coding) and summed here.
expected() {
    python3 - "$@" <<'PY'
import json, sys, urllib.request
ident, port, node = sys.argv[1:]
get = lambda path: json.load(urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=5))
pools = get(f"/_nodes/{node}/stats/thread_pool")["nodes"].get(node, {}).get("thread_pool", {})
health = get("/_cluster/health")
search = pools.get("search", {})
print(ident, sum(p["queue"] for p in pools.values()), sum(p["active"] for p in pools.values()),
      search.get("queue", 0), search.get("active", 0), {"green": 3, "yellow": 2, "red": 1}[health["status"]],
      health["initializing_shards"], health["relocating_shards"], health["unassigned_shards"])
PY
}
# elastic_rows ID NQ NA SQ SA STATUS INIT RELOC UNASSIGNED: the lines of a good object.
elastic_rows() {
    mycustom_rows Elastic "$1" node_queue_size int64 "$2" node_active_size int64 "$3" threads_search_queue int64 "$4" \
        threads_search_active int64 "$5" status int64 "$6" initializing_shards int64 "$7" relocating_shards int64 "$8" \
        unassigned_shards int64 "$9"
}

# --- Exact figures, one-second cycles.
conf=$(web_conf exact 4701 1 <<EOF
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
# "local" names a node the answer does not hold: it reads 0 and still reports;
# "box" reaches a container host at the container's address.
for c in es8:9201:$NODE es7:9202:$NODE red:9203:$NODE local:9202:es01 box:9203:$NODE; do
    IFS=: read -r id p node <<<"$c"
    check_eq "the $id object, exactly" "$(elastic_rows $(expected "$id" "$p" "$node"))" \
        "$(object exact 3 "mycustoms.Elastic_$id")"
done
check "a queue total past 16 bits keeps its value" [ "$(value exact 3 mycustoms.Elastic_es8.node_queue_size)" -gt 70000 ]
check_eq "so do 100,000 unassigned shards" 100000 "$(value exact 3 mycustoms.Elastic_es8.unassigned_shards)"
check "that node's sums are reported missing" contains "$WORK/exact.out" "[elastic] Error: 'queue' not found in thread_pool object"
# The agent's first cycle, the first requests in the log (the test's own came after).
requests=$(grep 'HTTP/1\.1$' "$WORK/elastic-9202.log" | grep -v es01 | head -n 2)
conn=$(sed -n 's/^conn \([0-9]*\):.*/\1/p' <<<"$requests" | head -n1)
check_eq "both requests on one connection each cycle" \
    "$(printf 'conn %s: GET /_nodes/%s/stats/thread_pool HTTP/1.1\nconn %s: GET /_cluster/health HTTP/1.1' \
        "$conn" "$NODE" "$conn")" "$requests"

# --- Failures, three-second cycles with a one-second time-out.
conf=$(web_conf failing 4702 3 <<EOF
elastic_es7 127.0.0.1:9202 $NODE
elastic_nomaster 127.0.0.1:9204 $NODE
elastic_secured 127.0.0.1:9205 $NODE
$(unreachable_lines elastic " $NODE")
EOF
)
failing_run "$conf" mycustoms.Elastic_es7
check_said "$WORK/failing.out" "[elastic] nomaster: HTTP status 503" "[elastic] Response for /_cluster/health is NULL" \
    "[elastic] secured: HTTP status 401" "[elastic] Response for /_nodes/.../stats/thread_pool is NULL" \
    "elastic: could not bind socket or connect whatever: (Connection refused)111"
check_unreachable elastic

stop_servers
finish
