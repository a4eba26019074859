#!/usr/bin/env bash
# The agent's wall clock set far forward halfway between two reports, as after the
# machine slept (libfaketime; the monotonic clock stays real): the customs child runs
# one cycle at once, the parent reports it two seconds later, and every run of a
# script reaches exactly one report, before the leap and after it.
. "$(dirname "$0")/lib.sh"

FAKETIME_LIB=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1
[ -e "$FAKETIME_LIB" ] || { fail "libfaketime is missing (Debian's faketime package)"; finish; }
B2J="$VESK_BUILD/tests/tools/bson2json"
INTERVAL=12
PACKETS=5

# A script that counts its runs in a file of its own and prints the count. It runs
# as root: the time library the agent's children inherit keeps a semaphore that only
# root may open.
mkdir "$WORK/runs"
cat >"$WORK/count.sh" <<'S'
#!/bin/sh
n=$(($(cat "$1" 2>/dev/null || echo 0) + 1))
echo $n >"$1"
echo $n
S
chmod 755 "$WORK/count.sh"

echo +0 >"$WORK/faketime"
# A new file renamed over the old one: the library reads it whole or not at all.
set_clock() {
    echo "$1" >"$WORK/faketime.new" && mv "$WORK/faketime.new" "$WORK/faketime"
}

start_collector --count $PACKETS --timeout 120
conf=$(write_conf <<C
id 4500
address 127.0.0.1
port $COLLECTOR_PORT
interval $INTERVAL
custom t plain interval=1 uid=0 gid=0 $WORK/count.sh $WORK/runs/plain
custom t delta interval=1 uid=0 gid=0 incremental $WORK/count.sh $WORK/runs/delta
C
)
# Under the sanitizers the library comes before their runtime.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
LD_PRELOAD=$FAKETIME_LIB FAKETIME_DONT_FAKE_MONOTONIC=1 FAKETIME_NO_CACHE=1 \
    FAKETIME_TIMESTAMP_FILE="$WORK/faketime" start_vesk --config "$conf" --conf-glob "$WORK/none/*.conf" --no-oom

field() { "$B2J" --packet "$WORK/packet-$1.bin" | awk -F'\t' -v k="$2" '$1 == k { print $3 }'; }
# The first report with the scripts' values: the first or the second, as the start
# falls between the two processes' first cycles. Halfway between it and the next,
# the wall clock leaps 499 s.
first=0
for k in 1 2; do
    wait_for_file "$WORK/packet-$k.bin" $((INTERVAL * 3)) || break
    [ -n "$(field $k custom.t_plain.value)" ] && { first=$k; break; }
done
[ "$first" -gt 0 ] || { fail "no report with the scripts' values"; stop_vesk; finish; }
sleep $(awk -v a="$(stat -c %.3Y "$WORK/packet-$first.bin")" -v n="$EPOCHREALTIME" -v h=$((INTERVAL / 2)) \
    'BEGIN { d = a + h - n; print d > 0 ? d : 0 }')
leap=$EPOCHREALTIME
set_clock +499
wait "$COLLECTOR_PID"
stop_vesk

next=$((first + 1))
at=$(stat -c %.3Y "$WORK/packet-$next.bin")
check "a report comes at once after the leap, not at the next due second ($(awk -v a="$at" -v l="$leap" \
    'BEGIN { printf "%.1f", a - l }') s)" awk -v a="$at" -v l="$leap" 'BEGIN { exit !(a - l >= 2 && a - l < 4) }'
check "its time is past the leap" [ "$(field $next time)" -ge "$(($(field $first time) + 499))" ]

# Each report holds the next run of each script: the values go up by one from
# report to report, and each increase is one run.
plain= deltas= want= ones=
base=$(field $first custom.t_plain.value)
for ((k = first; k <= PACKETS; k++)); do
    plain="$plain $(field $k custom.t_plain.value)"
    deltas="$deltas $(field $k custom.t_delta.value)"
    want="$want $((base + k - first))"
    ones="$ones 1"
done
check_eq "every run of the plain script in exactly one report" "$want" "$plain"
check_eq "every run of the incremental script in exactly one report, as an increase of 1" "$ones" "$deltas"
finish
