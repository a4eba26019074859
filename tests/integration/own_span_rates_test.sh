#!/usr/bin/env bash
# Rates over each counter's own reads: a Memcached that answers 1.5 s late in every
# other cycle, ahead of one whose cmd_get grows by exactly 100 a second. The second
# one's reads are 4.5 s and 1.5 s apart in turn; its rate must be 6000 a minute in
# every report all the same (over the cycle's 3 s it would swing 9000 / 3000).
. "$(dirname "$0")/lib.sh"

FAKES=$(cd "$(dirname "$0")/../fakes" && pwd)
python3 "$FAKES/growing_memcache.py" --port 11301 --late-every-other 1.5 >"$WORK/late.log" 2>&1 &
LATE_PID=$!
python3 "$FAKES/growing_memcache.py" --port 11302 >"$WORK/steady.log" 2>&1 &
STEADY_PID=$!
at_exit 'kill $LATE_PID $STEADY_PID ${COLLECTOR_PID:-} 2>/dev/null'
check "the two stand-ins listen" wait_port 11301
check "the two stand-ins listen" wait_port 11302

start_collector --timeout 60
conf=$(write_conf <<CONF
id 4330
address 127.0.0.1
port $COLLECTOR_PORT
interval 3
counter_tcp_to 3
memcache 127.0.0.1:11301
memcache 127.0.0.1:11302
CONF
)
start_vesk --config "$conf" --conf-glob "$WORK/none/*"
check "six reports" wait_for_text "$WORK/collector.log" "packet 6:" 30
stop_run rates

rates=$(for k in 1 2 3 4 5 6; do
    "$VESK_BUILD/tests/tools/bson2json" --packet "$WORK/packet-$k.bin" |
        awk -F'\t' '$1 == "memcaches.127.0.0.1:11302.get" { print $3 }'
done | tr '\n' ' ')
check "6000 a minute in every report, within 1 % ($rates)" awk -v r="$rates" \
    'BEGIN { n = split(r, a, " "); if (n != 6) exit 1; for (i = 1; i <= n; i++) if (a[i] < 5940 || a[i] > 6060) exit 1 }'
finish
