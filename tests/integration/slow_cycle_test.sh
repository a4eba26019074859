#!/usr/bin/env bash
# A cycle longer than the interval: four Memcached lines whose listeners have a full
# accept queue cost a one-second connect time-out each, so with `interval 3` every
# cycle lasts about 4 s. The next cycle then runs at once, not at the next due second
# after it, so a report comes every ~4 s; and its rates are taken over the real
# time between the two reads, checked against a real memcached's own counts.
# The customs child keeps its own clock by the same rule: a script of 3.5 s due in
# every cycle runs again at once, not 6 s later.
. "$(dirname "$0")/lib.sh"

TOOLS=$VESK_BUILD/tests/tools
KV_SCRIPT="$(dirname "$0")/kvstores.py"
kv() { /usr/bin/python3 "$KV_SCRIPT" "$@"; }
export MC_PORT=11211

memcached -u root -l 127.0.0.1 -p $MC_PORT -U 0 -m 2 -t 1 &
MC_PID=$!
at_exit 'kill $MC_PID ${HOLD_PID:-} ${COLLECTOR_PID:-} 2>/dev/null'
check "memcached starts" wait_port $MC_PORT
kv hold 4 >"$WORK/hold.log" &
HOLD_PID=$!
check "the full listeners hold" wait_for_text "$WORK/hold.log" ready 10
read -r _ _ full1 full2 full3 full4 <"$WORK/hold.log"

start_collector --timeout 120
conf=$(write_conf <<EOF
id 4320
address 127.0.0.1
port $COLLECTOR_PORT
interval 3
counter_tcp_to 1
memcache 127.0.0.1:$full1
memcache 127.0.0.1:$full2
memcache 127.0.0.1:$full3
memcache 127.0.0.1:$full4
memcache 127.0.0.1:$MC_PORT
custom r slow interval=1 uid=0 gid=0 timeout=10 date +%s.%N >> $WORK/runs; sleep 3.5; echo 1
EOF
)
start_vesk --config "$conf" --conf-glob "$WORK/none/*"

packet() { echo "$WORK/packet-$1.bin"; }
wait_packet() { wait_for_text "$WORK/collector.log" "packet $1:" "$2"; }
arrival() { stat -c %.3Y "$(packet "$1")"; }

# --- The pace: the first eight reports within 30 s, none more than 5 s apart
# (a cycle lost to the time-outs would leave a gap of 6 s).
check "a first report" wait_packet 1 20
check "eight reports" wait_packet 8 40
gaps=$(for k in 1 2 3 4 5 6 7 8; do arrival $k; done |
    awk 'NR > 1 { printf "%s%.2f", sep, $1 - prev; sep = " " } { prev = $1 }')
check "a report every ~4 s ($gaps)" awk -v g="$gaps" \
    'BEGIN { n = split(g, a, " "); for (i = 1; i <= n; i++) { if (a[i] < 3.5 || a[i] > 5) exit 1; s += a[i] }
             exit !(n == 7 && s <= 30) }'

script_gaps=$(awk 'NR > 1 { printf "%s%.2f", sep, $1 - prev; sep = " " } { prev = $1 }' "$WORK/runs")
check "the script runs every ~3.5 s ($script_gaps)" awk -v g="$script_gaps" \
    'BEGIN { n = split(g, a, " "); for (i = 1; i <= n; i++) if (a[i] < 3.4 || a[i] > 4.6) exit 1; exit n < 6 }'

# --- Rates over the real seconds: load between two reads, the server's own counts
# around them, divided by the seconds between the agent's two reads.
kv sample "$WORK/before.json" mc_tcp && kv burst mc_tcp
check "the agent reads after the load" wait_packet 9 10
kv sample "$WORK/after.json" mc_tcp
stop_vesk
seconds=$(awk -v a="$(arrival 8)" -v b="$(arrival 9)" 'BEGIN { printf "%.3f", b - a }')
check_eq "the late cycle came 4 s after the one before" 4 "$(printf %.0f "$seconds")"
"$TOOLS/bson2json" --packet "$(packet 9)" >"$WORK/9.tsv"
check "Memcached rates are the server's counts over those 4 s" env INTERVAL="$seconds" \
    /usr/bin/python3 "$KV_SCRIPT" compare "$WORK/before.json" "$WORK/after.json" "$WORK/9.tsv"
check_eq "only the real memcached is reported" "memcaches.127.0.0.1:$MC_PORT" \
    "$(grep -P '^memcaches\.[^\t]*\tdocument\t' "$WORK/9.tsv" | cut -f1)"

finish
