#!/usr/bin/env bash
# The os, mem and cpu parts of a real report: the agent runs on a fixture procfs
# root, the tree advances between the priming cycle and the first report, and the
# packet is decoded by bson2json (libbson).
. "$(dirname "$0")/lib.sh"

B2J="$VESK_BUILD/tests/tools/bson2json"
COLLECTOR="$VESK_BUILD/tests/tools/vesk_collector"
root="$WORK/root"
mkdir -p "$root/sys"
cp -r "$VESK_FIXTURES/sysa-basic/proc" "$root/proc"
echo "99999999.50 12.00" >"$root/proc/uptime"

"$COLLECTOR" --port 0 --out "$WORK" --count 1 --timeout 40 >"$WORK/collector.log" 2>&1 &
wait_for_text "$WORK/collector.log" listening || fail "collector did not start"
port=$(sed -n 's/^listening udp 127.0.0.1://p' "$WORK/collector.log")
conf=$(write_conf <<C
id 4100
address 127.0.0.1
port $port
interval 2
C
)
start_vesk --config "$conf" --conf-glob "$WORK/none/*.conf" --procfs "$root/proc" --sysfs "$root/sys" \
    --no-oom --debug --dump
# The priming cycle has read the tree once it dumps; the next one reads the second version.
wait_for_text "$WORK/out.log" "MyCustom cpu report" 15 || fail "no priming cycle"
cp "$VESK_FIXTURES/sysa-basic/cycle2/proc/stat" "$VESK_FIXTURES/sysa-basic/cycle2/proc/vmstat" "$root/proc/"
wait_for_file "$WORK/packet-1.bin" 15 || fail "no report"
wait_for_file /tmp/vesk.last 5 || fail "no dump file"
kill -TERM "$VESK_PID"
wait_gone "$VESK_PID" 10 || fail "agent did not stop"

check "the dump is the packet sent" cmp -s "$WORK/packet-1.bin" /tmp/vesk.last
decoded=$("$B2J" --packet /tmp/vesk.last)
check "bson2json accepts the packet" [ -n "$decoded" ]

# Values as an independent reader prints them: doubles with 17 digits, the load
# average widened from single precision.
d17() { /usr/bin/python3 -c "import struct, sys; v = float(sys.argv[1]); v = struct.unpack('f', struct.pack('f', v))[0] if len(sys.argv) > 2 else v; print('%.17g' % v)" "$@"; }
page_kib=$(( $(getconf PAGESIZE) / 1024 ))

check_eq "top-level order" "id int32
name string
time int32
interval int32
version string
custom_errors int32
ok int64
os_bit string
os_name string
os_version string
vesk_memory_used int64
open_files int64
uptime_sec int64
vesk_uptime_sec int64
mem document
lavg double
ncpu int64
cpu document
socket document
mounts document
disks document
net document
memcaches array
beanstalks array
custom array
mycustoms array
mysqls array
redises array" "$(printf '%s\n' "$decoded" | awk -F'\t' '$1 !~ /\./ {print $1, $2}')"

check_eq "os keys" "ok	int64	1
os_bit	string	$(uname -m)
vesk_memory_used	int64	$((417 * page_kib))
open_files	int64	854
uptime_sec	int64	99999999" "$(printf '%s\n' "$decoded" | grep -P '^(ok|os_bit|vesk_memory_used|open_files|uptime_sec)\t')"
age=$(printf '%s\n' "$decoded" | sed -n 's/^vesk_uptime_sec\tint64\t//p')
real=$(cut -d. -f1 /proc/uptime)
check "agent uptime is the root's minus ours ($age)" [ $((99999999 - real - age)) -ge -60 -a $((99999999 - real - age)) -le 1 ]

used=$((24682348 - 23864292 - 2860 - 454856))
check_eq "mem object" "mem	document	
mem.ok	int64	1
mem.free	int64	23864292
mem.used	int64	$used
mem.buffers	int64	2860
mem.cached	int64	454856
mem.swapfree	int64	0
mem.swapused	int64	0
mem.swapin	int64	225
mem.swapout	int64	0
mem.killed_process	int64	0" "$(printf '%s\n' "$decoded" | grep -P '^mem[.\t]')"

freq=""
i=0
for mhz in 2095.989 1800.0 2400.125 3100.5 1200.0 2200.25 2600.75 3500.0; do
    freq+="cpu.freq.cpu$i	double	$(d17 $mhz)
"
    i=$((i + 1))
done
check_eq "load, CPU count and cpu object" "lavg	double	$(d17 1.74 float)
ncpu	int64	8
cpu	document	
cpu.ok	int64	1
cpu.guest	int64	0
cpu.idle	int64	25
cpu.iowait	int64	0
cpu.irq	int64	0
cpu.nice	int64	0
cpu.softirq	int64	0
cpu.steal	int64	0
cpu.system	int64	25
cpu.user	int64	50
cpu.uptime	double	$(d17 99999999.5)
cpu.freq	document	
${freq%
}" "$(printf '%s\n' "$decoded" | grep -P '^(lavg|ncpu|cpu)[.\t]')"

finish
