#!/usr/bin/env bash
# A stop signal ends the agent within about a second, whatever its services and
# scripts do. Services whose listeners accept and never answer, with a time-out of
# 5 s each: the wait in progress ends with the signal, the services after it are
# not asked, and within 1.5 s the agent has stopped, pid file and shared memory
# removed. The same for a connect to a full accept queue, while the customs child
# runs a script that sleeps: the child stops as soon, and the script's process
# group is gone. And while the collector's name waits on a name server that never
# answers.
. "$(dirname "$0")/lib.sh"

KV_SCRIPT="$(dirname "$0")/kvstores.py"
PID_FILE=/var/run/vesk.pid

/usr/bin/python3 "$KV_SCRIPT" hold >"$WORK/hold.log" &
HOLD_PID=$!
at_exit 'kill $HOLD_PID 2>/dev/null'
check "the listeners hold" wait_for_text "$WORK/hold.log" ready 10
read -r _ hang full <"$WORK/hold.log"

segment() { ipcs -m | awk -v k="$(printf '0x%08x' "$1")" '$1 == k'; }
# The agent's own connections to PORT in STATE (ss's names).
agent_conns() { ss -Htn state "$2" "( dport = :$1 )" | grep -q .; }

ms_since() { echo $((($(date +%s%N) - $1) / 1000000)); }

# stop_within NAME CHILD TEST...: sends SIGTERM to the agent's parent alone, as a
# service manager does. Within 1.5 s the parent has done its last act, removing the
# pid file, and TEST holds (the child's last act); then both end, the parent with
# status 0 (under the sanitizers their leak checks at exit take a while more).
stop_within() {
    local name=$1 child=$2 t0 ms status
    shift 2
    t0=$(date +%s%N)
    kill -TERM "$VESK_PID"
    wait_until 10 stop_done "$@"
    ms=$(ms_since "$t0")
    check "$name: the agent stops within 1.5 s of SIGTERM (${ms} ms)" [ "$ms" -le 1500 ]
    wait "$VESK_PID"
    status=$?
    check_eq "$name: the parent exits with status 0 ($(ms_since "$t0") ms after SIGTERM)" 0 "$status"
    check "$name: its child ends" wait_gone "$child" 10
}
stop_done() { [ ! -e "$PID_FILE" ] && "$@"; }

# --- Services that accept and never answer, each allowed 5 s.
conf=$(write_conf services <<EOF
id 4330
address 127.0.0.1
port 9
interval 2
counter_tcp_to 5
memcache 127.0.0.1:$hang
memcache 127.0.0.1:$hang
redis_r monitor:@127.0.0.1:$hang
EOF
)
start_vesk --config "$conf" --conf-glob "$WORK/none/*"
check "the agent waits on the first service" wait_until 10 agent_conns "$hang" established
stop_within "silent services" "$(pgrep -P "$VESK_PID")" true
check_eq "the container table is removed" "" "$(segment 4331)"
cp "$WORK/err.log" "$WORK/services.err"
check_eq "the interrupted read says so once; the services not asked say nothing" \
    "read() failed: Operation canceled" "$(grep -F 'failed' "$WORK/services.err")"

# --- A connect to a full accept queue, while a script sleeps in the customs child.
conf=$(write_conf customs <<EOF
id 4332
address 127.0.0.1
port 9
interval 3
counter_tcp_to 5
memcache 127.0.0.1:$full
custom r long interval=1 uid=0 gid=0 timeout=600 echo \$\$ > $WORK/script.pid; sleep 300; echo 1
EOF
)
start_vesk --config "$conf" --conf-glob "$WORK/none/*"
check "the script runs" wait_for_text "$WORK/script.pid" "" 10
group=$(cat "$WORK/script.pid")
# Processes of the group that still run (killed ones may linger as zombies).
group_runs() { pgrep -g "$group" -r D,R,S,T,t >/dev/null; }
group_gone() { ! group_runs; }
check "the script's group is there" group_runs
check "the agent connects to the full queue" wait_until 10 agent_conns "$full" syn-sent
segment_gone() { [ -z "$(segment "$1")" ]; }
stop_within "full accept queue and a sleeping script" "$(pgrep -P "$VESK_PID")" segment_gone 4332
check "the script's process group is gone" wait_until 1 group_gone
check_eq "the script's run is not reported as an error" "" "$(grep -F 'ERROR!' "$WORK/out.log")"

# --- The collector's name asked of a name server that never answers.
/usr/bin/python3 -c '
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 53))
print("ready", flush=True)
while True:
    s.recv(512)
    print("query", flush=True)' >"$WORK/dns.log" &
DNS_PID=$!
at_exit 'kill $DNS_PID 2>/dev/null'
check "the silent name server listens" wait_for_text "$WORK/dns.log" ready 5
conf=$(write_conf dns <<EOF
id 4334
domain collector.test
nameserver 127.0.0.1
address 127.0.0.1
port 9
interval 1
EOF
)
start_vesk --config "$conf" --conf-glob "$WORK/none/*"
check "the agent asks for the collector's address" wait_for_text "$WORK/dns.log" query 10
stop_within "a silent name server" "$(pgrep -P "$VESK_PID")" true
check_eq "the lookup given up says nothing" "" "$(grep -E "error [0-9]" "$WORK/out.log")"

finish
