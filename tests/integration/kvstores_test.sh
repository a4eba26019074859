#!/usr/bin/env bash
# The Memcached (TCP and Unix socket), Beanstalkd and Redis (password, empty password,
# replica, wrong password) counters against the real servers: every figure against
# the servers' own statistics sampled around the agent's read; a restart gives rates
# of 0; a server down for a cycle is absent for that cycle and the next; TCP sockets
# that cannot be created for a cycle fail only that cycle; a listener that never
# answers and one whose accept queue is full cost one time-out and keep the pace.
. "$(dirname "$0")/lib.sh"

TOOLS=$VESK_BUILD/tests/tools
KV_SCRIPT="$(dirname "$0")/kvstores.py"
kv() { /usr/bin/python3 "$KV_SCRIPT" "$@"; }
export MC_PORT=11211 MC_SOCK=$WORK/mc.sock BS_PORT=11300 RD_MAIN=6379 RD_PRIMARY=6381 RD_REPLICA=6380
export RD_PASS='s3cr"et' INTERVAL=3
declare -A PIDS

start() {
    case $1 in
    mc_tcp) memcached -u root -l 127.0.0.1 -p $MC_PORT -U 0 -m 2 -t 1 & ;;
    mc_unix) rm -f "$MC_SOCK"; memcached -u root -s "$MC_SOCK" -m 2 -t 1 & ;;
    bs) beanstalkd -l 127.0.0.1 -p $BS_PORT & ;;
    main) redis-server --port $RD_MAIN --bind 127.0.0.1 --save '' --appendonly no --dir "$WORK" \
        --requirepass "$RD_PASS" --maxmemory 3mb --maxmemory-policy allkeys-random >/dev/null & ;;
    primary) redis-server --port $RD_PRIMARY --bind 127.0.0.1 --save '' --appendonly no --dir "$WORK" >/dev/null & ;;
    replica) redis-server --port $RD_REPLICA --bind 127.0.0.1 --save '' --appendonly no --dir "$WORK" \
        --replicaof 127.0.0.1 $RD_PRIMARY >/dev/null & ;;
    esac
    PIDS[$1]=$!
    case $1 in
    mc_tcp) wait_port $MC_PORT ;; mc_unix) wait_until 5 test -S "$MC_SOCK" ;; bs) wait_port $BS_PORT ;;
    main) wait_port $RD_MAIN ;; primary) wait_port $RD_PRIMARY ;; replica) wait_port $RD_REPLICA ;;
    esac
}
halt() { for s in "$@"; do kill "${PIDS[$s]}" && wait "${PIDS[$s]}"; done 2>/dev/null; }
cleanup() {
    halt "${!PIDS[@]}"
    kill ${COLLECTOR_PID:-} ${HOLD_PID:-} ${ENGINE_PID:-} 2>/dev/null
}
# Servers go with the suite, however it ends.
at_exit cleanup

for s in mc_tcp mc_unix bs main primary replica; do check "$s starts" start $s; done

"$TOOLS/vesk_collector" --port 0 --out "$WORK/p" --timeout 120 >"$WORK/collector.log" 2>&1 &
COLLECTOR_PID=$!
mkdir -p "$WORK/p"
wait_for_text "$WORK/collector.log" listening
cport=$(sed -n 's/^listening udp 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$WORK/collector.log")

# A new collector on the same port, its packets in an empty $WORK/p.
restart_collector() {
    kill "$COLLECTOR_PID" && wait "$COLLECTOR_PID" 2>/dev/null
    rm -rf "$WORK/p" && mkdir -p "$WORK/p"
    "$TOOLS/vesk_collector" --port "$cport" --out "$WORK/p" --timeout 60 >"$WORK/collector.log" 2>&1 &
    COLLECTOR_PID=$!
}
wait_packet() { wait_for_text "$WORK/collector.log" "packet $1:" 20; }
tsv() { "$TOOLS/bson2json" --packet "$WORK/p/packet-$1.bin" >"$WORK/p/$1.tsv"; echo "$WORK/p/$1.tsv"; }
objects() { grep -P '^(memcaches|beanstalks|redises)\.[^\t]*\tdocument\t' "$(tsv $1)" | cut -f1 | sort | tr '\n' ' '; }

MC_T="memcaches.127.0.0.1:$MC_PORT" MC_U="memcaches.sock:$MC_SOCK" BS="beanstalks.127.0.0.1:$BS_PORT"
ALL=$(printf '%s\n' "$MC_T" "$MC_U" "$BS" redises.main redises.primary redises.replica | sort | tr '\n' ' ')

conf=$(write_conf <<EOF
id 4310
address 127.0.0.1
port $cport
interval $INTERVAL
counter_tcp_to 1
memcache 127.0.0.1:$MC_PORT
memcache sock:$MC_SOCK
beanstalk 127.0.0.1:$BS_PORT
redis_main monitor:$RD_PASS@127.0.0.1:$RD_MAIN
redis_primary monitor:@127.0.0.1:$RD_PRIMARY
redis_replica monitor:@127.0.0.1:$RD_REPLICA
redis_wrong monitor:nope@127.0.0.1:$RD_MAIN
redis_noauth monitor:@127.0.0.1:$RD_MAIN
EOF
)
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
FLAG=$WORK/fail_socket
# LD_PRELOAD splits at blanks: the library is named from $WORK, wherever the checkout is.
cp "$TOOLS/libvesk_fail_socket.so" "$WORK/"
LD_PRELOAD=$WORK/libvesk_fail_socket.so VESK_FAIL_SOCKET=$FLAG start_vesk --config "$conf" --conf-glob "$WORK/none/*"

# --- Every figure, from load between two reads.
check "a first report" wait_packet 1
wait_packet 2
kv sample "$WORK/before.json" && kv burst && check "the agent reads after the load" wait_packet 3 &&
    kv sample "$WORK/after.json"
# The agent times its two reads itself: the reports' arrivals tell that span.
span=$(stat -c %.3Y "$WORK/p/packet-2.bin" "$WORK/p/packet-3.bin" | awk 'NR == 1 { a = $1 } NR == 2 { printf "%.3f", $1 - a }')
check "the figures are the servers' own" env INTERVAL="$span" \
    /usr/bin/python3 "$KV_SCRIPT" compare "$WORK/before.json" "$WORK/after.json" "$(tsv 3)"
check_eq "every server has its object; the refused ones have none" "$ALL" "$(objects 3)"

# --- Restarts between two reads: rates 0, not huge.
halt mc_tcp bs main
start mc_tcp && start bs && start main
check "restarted servers report" wait_packet 4
check "rates after a restart are 0" kv zero "$(tsv 4)" "$MC_T" "$BS" redises.main

# --- Down for one cycle: absent for that cycle and the next, then back.
halt mc_unix bs primary
check "a report while they are down" wait_packet 5
check_eq "down: absent" "$(printf '%s ' "$MC_T" redises.main redises.replica)" "$(objects 5)"
check "the replica's link is down" grep -qP '^redises\.replica\.master_link_status\tint64\t0$' "$WORK/p/5.tsv"
start mc_unix && start bs && start primary
wait_packet 6
check_eq "back, but no previous sample: absent" "$(printf '%s ' "$MC_T" redises.main redises.replica)" "$(objects 6)"
wait_packet 7
check_eq "back after two good reads" "$ALL" "$(objects 7)"

# --- No TCP socket for one cycle: those counters fail, the agent goes on.
touch "$FLAG"
wait_packet 8
rm -f "$FLAG"
check_eq "no TCP socket: only the Unix socket counter" "$MC_U " "$(objects 8)"
wait_packet 10
check_eq "sockets again: all back" "$ALL" "$(objects 10)"
check "the agent is still running" kill -0 "$VESK_PID"
stop_vesk
check "redis says socket() error!" contains "$WORK/err.log" "socket() error!"
check "memcache says socket() failed" contains "$WORK/err.log" "socket() failed: Too many open files"

# --- What the agent printed.
check "memcache init line" contains "$WORK/out.log" \
    "Memcache 127.0.0.1:$MC_PORT init with ip = 127.0.0.1  port = $MC_PORT, socket = "
check "memcache socket init line" contains "$WORK/out.log" \
    "Memcache sock:$MC_SOCK init with ip = sock  port = 0, socket = $MC_SOCK"
check "beanstalk init line" contains "$WORK/out.log" \
    "Beanstalk 127.0.0.1:$BS_PORT init with ip = 127.0.0.1  port = $BS_PORT "
check "a wrong password is told" contains "$WORK/out.log" \
    "[WARN] redis auth failed -WRONGPASS invalid username-password pair or user is disabled."
check "AUTH is told with the password masked" contains "$WORK/out.log" "[INFO] redis auth with ***"
check "the password is never printed" bash -c "! grep -qF 's3cr' '$WORK/out.log' '$WORK/err.log'"

# --- Misbehaving listeners cost one time-out each; the cycle keeps its pace. Hosts
# named as containers go through the (fake) Docker Engine: a running one is read at
# its address, a stopped one is not.
printf '{"containers":{"cache":{"state":"running","ip":"127.0.0.1"},"rcache":{"state":"exited","ip":""}}}' \
    >"$WORK/engine.json"
/usr/bin/python3 "$VESK_SRC/tests/fakes/fake_engine.py" --socket "$WORK/docker.sock" --state "$WORK/engine.json" \
    >"$WORK/engine.log" 2>&1 &
ENGINE_PID=$!
check "the fake Engine listens" wait_for_file "$WORK/docker.sock" 10
kv hold >"$WORK/hold.log" &
HOLD_PID=$!
check "the listeners hold" wait_for_text "$WORK/hold.log" ready 10
read -r _ hang full <"$WORK/hold.log"
restart_collector
conf=$(write_conf slow <<EOF
id 4311
address 127.0.0.1
port $cport
interval 6
counter_tcp_to 1
memcache 127.0.0.1:$hang
redis_full monitor:@127.0.0.1:$full
beanstalk 127.0.0.1:$BS_PORT
docker_sock $WORK/docker.sock
memcache [cache]:$MC_PORT
redis_stopped monitor:@[rcache]:$RD_PRIMARY
EOF
)
start_vesk --config "$conf" --conf-glob "$WORK/none/*"
check "three reports" wait_for_text "$WORK/collector.log" "packet 3:" 40
stop_vesk
# "time" is read after the two time-outs, so it may stray by a second either way;
# a cycle lost to them would show as a gap of 12. The interval leaves room for the
# two time-outs even on a loaded machine under the sanitizers.
gaps=$(for k in 1 2 3; do grep -P '^time\t' "$(tsv $k)" | cut -f3; done |
    awk 'NR > 1 { printf "%s%d", sep, $1 - prev; sep = " " } { prev = $1 }')
check "one report every 6 seconds ($gaps)" grep -qxE '(6 6|5 7|7 5|6 5|5 6|6 7|7 6)' <<<"$gaps"
good="$BS memcaches.[cache]:$MC_PORT "
check_eq "only the good servers are reported" "$good$good$good" "$(for k in 1 2 3; do objects $k; done)"
check "the silent server's read timed out" contains "$WORK/err.log" "read() failed: Resource temporarily unavailable"
check "the container host is told at init" contains "$WORK/out.log" \
    "Memcache [cache]:$MC_PORT init with docker = cache, port = $MC_PORT"
check "the stopped container is told" contains "$WORK/out.log" "[redis] Cannot resolve IP for container 'rcache'"
check_eq "both containers are in the report" $'docker.cache.state\tstring\trunning\ndocker.rcache.state\tstring\texited' \
    "$(grep -P '^docker\.[a-z]+\.state\t' "$WORK/p/3.tsv")"

# --- Lines that cannot work are told once, at start, and never read (a name would
# reach the local server as 0.0.0.0). A Redis line may have no user: a password alone
# authenticates, and with none no AUTH is sent (this server would refuse it).
restart_collector
conf=$(write_conf lines <<EOF
id 4312
address 127.0.0.1
port $cport
interval 2
memcache 127.0.0.1
beanstalk localhost:$BS_PORT
redis_rx u:p@127.0.0.1
memcache 127.0.0.1:70000
redis_pass :$RD_PASS@127.0.0.1:$RD_MAIN
redis_open :@127.0.0.1:$RD_PRIMARY
EOF
)
start_vesk --config "$conf" --conf-glob "$WORK/none/*"
check "two reports" wait_for_text "$WORK/collector.log" "packet 2:" 30
stop_vesk
check_eq "only the Redis lines without a user are read" "redises.open redises.pass " "$(objects 2)"
check_eq "each line that cannot work is told once" "[memcache] ERROR: 127.0.0.1: no port
[memcache] ERROR: 127.0.0.1:70000: port '70000' is not a number from 1 to 65535
[beanstalk] ERROR: localhost:$BS_PORT: host 'localhost' is not a dotted IPv4 address
[redis] ERROR: rx: no port" "$(grep -F ERROR "$WORK/err.log")"
check_eq "the password alone is sent, masked in the log" "[INFO] redis auth with ***" "$(sort -u "$WORK/out.log" | grep -F redis)"

finish
