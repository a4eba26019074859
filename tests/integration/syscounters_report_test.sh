#!/usr/bin/env bash
# The os, mem and cpu parts of real reports: the agent runs on a fixture procfs
# root, the tree advances between two regular cycles, and the packets are decoded
# by bson2json (libbson).
. "$(dirname "$0")/lib.sh"

B2J="$VESK_BUILD/tests/tools/bson2json"
COLLECTOR="$VESK_BUILD/tests/tools/vesk_collector"
root="$WORK/proc"
cp -r "$VESK_FIXTURES/sysa-basic/proc" "$root"
echo "99999999.50 12.00" >"$root/uptime"
# Without /var/log/syslog and /var/log/messages the kill watch follows kmsg under
# the procfs root, which here is a plain file the test writes.
mount -t tmpfs tmpfs /var/log
echo "<3>[  10.0] Out of memory: Killed process 1 (old) before the start" >"$root/kmsg"

# Starts a collector for $1 reports (0: until stopped) and the agent on the fixture
# root with the further options; returns once the priming cycle has read the tree.
start_on_root() {
    local packets=$1 port conf
    shift
    rm -f "$WORK"/packet-*.bin "$WORK/collector.log"
    "$COLLECTOR" --port 0 --out "$WORK" --count "$packets" --timeout 40 >"$WORK/collector.log" 2>&1 &
    COLLECTOR_PID=$!
    wait_for_text "$WORK/collector.log" listening || fail "collector did not start"
    port=$(sed -n 's/^listening udp 127.0.0.1://p' "$WORK/collector.log")
    conf=$(printf 'id 4100\naddress 127.0.0.1\nport %s\ninterval 2\n' "$port" | write_conf)
    start_vesk --config "$conf" --conf-glob "$WORK/none/*.conf" --procfs "$root" --sysfs "$WORK/nosys" --debug "$@"
    wait_for_text "$WORK/out.log" "MyCustom Mem report" 15 || fail "no priming cycle"
}

# Two reports, the tree advancing after the first one's cycle: the second pairs two
# regular cycles, whose span its rates are taken over.
start_on_root 0 --no-oom --dump
check "a first report" wait_for_text "$WORK/collector.log" "packet 1:" 10
cp "$VESK_FIXTURES/sysa-basic/cycle2/proc/stat" "$VESK_FIXTURES/sysa-basic/cycle2/proc/vmstat" "$root/"
check "a second report" wait_for_text "$WORK/collector.log" "packet 2:" 10
stop_run dumped
check "the dump is the last packet sent" cmp -s "$(ls -v "$WORK"/packet-*.bin | tail -n 1)" /tmp/vesk.last

decoded=$("$B2J" --packet "$WORK/packet-2.bin")
check "bson2json accepts the packet" [ -n "$decoded" ]
# The elements whose keys match $1 (with what they hold), as key:type=value words.
flat() { printf '%s\n' "$decoded" | grep -P "^($1)[.\t]" | awk -F'\t' '{printf "%s%s:%s=%s", s, $1, $2, $3; s=" "}'; }
# Values as an independent reader prints them: doubles with 17 digits, the load
# average widened from single precision.
d17() { /usr/bin/python3 -c "import struct, sys; v = float(sys.argv[1]); v = struct.unpack('f', struct.pack('f', v))[0] if len(sys.argv) > 2 else v; print('%.17g' % v)" "$@"; }

check_eq "top-level keys in order" "id:int32 name:string time:int32 interval:int32 version:string custom_errors:int32 \
ok:int64 os_bit:string os_name:string os_version:string vesk_memory_used:int64 open_files:int64 uptime_sec:int64 \
vesk_uptime_sec:int64 mem:document lavg:double ncpu:int64 cpu:document socket:document mounts:document \
disks:document net:document memcaches:array beanstalks:array custom:array mycustoms:array mysqls:array redises:array" \
    "$(printf '%s\n' "$decoded" | awk -F'\t' '$1 !~ /\./ {printf "%s%s:%s", s, $1, $2; s=" "}')"
check_eq "os keys" "ok:int64=1 os_bit:string=$(uname -m) vesk_memory_used:int64=$((417 * $(getconf PAGESIZE) / 1024)) \
open_files:int64=854 uptime_sec:int64=99999999" "$(flat 'ok|os_bit|vesk_memory_used|open_files|uptime_sec')"
age=$(printf '%s\n' "$decoded" | sed -n 's/^vesk_uptime_sec\tint64\t//p')
real=$(cut -d. -f1 /proc/uptime)
check "agent uptime is the root's minus ours ($age)" [ $((99999999 - real - age)) -ge -60 -a $((99999999 - real - age)) -le 1 ]

# Over the cycle, 450 more pages swapped in; the swap-out count went back.
check_rates "mem object" "$(span_window "$WORK" 2)" "$(tr ' ' '\n' <<<"mem:document= mem.ok:int64=1 \
mem.free:int64=23864292 mem.used:int64=$((24682348 - 23864292 - 2860 - 454856)) mem.buffers:int64=2860 \
mem.cached:int64=454856 mem.swapfree:int64=0 mem.swapused:int64=0 mem.swapin:int64={r(450)} mem.swapout:int64=0 \
mem.killed_process:int64=0")" "$(flat mem | tr ' ' '\n')"

freq=""
i=0
for mhz in 2095.989 1800.0 2400.125 3100.5 1200.0 2200.25 2600.75 3500.0; do
    freq+=" cpu.freq.cpu$i:double=$(d17 $mhz)"
    i=$((i + 1))
done
# user +50, system +25, idle +25 ticks.
check_eq "load, CPU count and cpu object" "lavg:double=$(d17 1.74 float) ncpu:int64=8 cpu:document= cpu.ok:int64=1 \
cpu.guest:int64=0 cpu.idle:int64=25 cpu.iowait:int64=0 cpu.irq:int64=0 cpu.nice:int64=0 cpu.softirq:int64=0 \
cpu.steal:int64=0 cpu.system:int64=25 cpu.user:int64=50 cpu.uptime:double=$(d17 99999999.5) cpu.freq:document=$freq" \
    "$(flat 'lavg|ncpu|cpu')"

# Out-of-memory kills that the watch sees in the log reach "mem", each in one report.
start_on_root 3
check "kmsg under the root is the kill source" contains "$WORK/out.log" "OOM errors source: $root/kmsg"
{
    echo "<3>[ 100.1] Out of memory: Killed process 4242 (hog) total-vm:1048576kB"
    echo "<6>[ 100.2] oom_reaper: reaped process 4242 (hog)"
    echo "<3>[ 100.3] Memory cgroup out of memory: Killed process 4343 (hog2)"
} >>"$root/kmsg"
wait "$COLLECTOR_PID"
stop_vesk
counts=$(for k in 1 2 3; do "$B2J" --packet "$WORK/packet-$k.bin" | sed -n 's/^mem\.killed_process\tint64\t//p'; done)
check "every report carries the count ($(echo $counts))" [ "$(echo $counts | wc -w)" -eq 3 ]
check_eq "two kill lines after the start, counted once over the reports" 2 "$(($(echo $counts | tr ' ' '+')))"
check "the watch stopped with the agent" contains "$WORK/out.log" "[go] tailf stopped"

finish
