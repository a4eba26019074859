#!/usr/bin/env bash
# Out-of-memory kills that the host-events module sees in the log reach the "mem"
# part of the reports, each kill in exactly one report.
. "$(dirname "$0")/lib.sh"

B2J="$VESK_BUILD/tests/tools/bson2json"
COLLECTOR="$VESK_BUILD/tests/tools/vesk_collector"
# Without /var/log/syslog and /var/log/messages the watch follows kmsg under the
# procfs root, which here is a plain file this test writes.
mount -t tmpfs tmpfs /var/log
root="$WORK/root"
cp -r "$VESK_FIXTURES/sysa-basic/proc" "$root"
: >"$root/kmsg"
echo "<3>[  10.0] Out of memory: Killed process 1 (old) before the start" >>"$root/kmsg"

"$COLLECTOR" --port 0 --out "$WORK" --count 3 --timeout 40 >"$WORK/collector.log" 2>&1 &
COLLECTOR_PID=$!
wait_for_text "$WORK/collector.log" listening || fail "collector did not start"
port=$(sed -n 's/^listening udp 127.0.0.1://p' "$WORK/collector.log")
conf=$(write_conf <<C
id 4100
address 127.0.0.1
port $port
interval 2
C
)
start_vesk --config "$conf" --conf-glob "$WORK/none/*.conf" --procfs "$root" --sysfs "$WORK/nosys" --debug
wait_for_text "$WORK/out.log" "OOM errors source: $root/kmsg" 10 || fail "kmsg is not the source"
wait_for_text "$WORK/out.log" "MyCustom Mem report" 15 || fail "no priming cycle"
{
    echo "<3>[ 100.1] Out of memory: Killed process 4242 (hog) total-vm:1048576kB"
    echo "<6>[ 100.2] oom_reaper: reaped process 4242 (hog)"
    echo "<3>[ 100.3] Memory cgroup out of memory: Killed process 4343 (hog2)"
} >>"$root/kmsg"
wait "$COLLECTOR_PID"
check "three reports arrived" [ -e "$WORK/packet-3.bin" ]
kill -TERM "$VESK_PID"
wait_gone "$VESK_PID" 10 || fail "agent did not stop"

counts=""
for k in 1 2 3; do
    counts+="$("$B2J" --packet "$WORK/packet-$k.bin" | sed -n 's/^mem\.killed_process\tint64\t//p') "
done
total=0
for c in $counts; do total=$((total + c)); done
check_eq "two kill lines after the start, counted once over the reports ($counts)" 2 "$total"
check "every report carries the count" [ "$(echo $counts | wc -w)" -eq 3 ]
check "the watch stopped with the agent" contains "$WORK/out.log" "[go] tailf stopped"

finish
