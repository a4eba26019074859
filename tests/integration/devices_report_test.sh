#!/usr/bin/env bash
# The socket, mount, disk and net parts of real reports: the agent runs on a fixture
# root that the test advances between cycles, and its packets are decoded by
# bson2json (libbson), never by the agent's own code.
. "$(dirname "$0")/lib.sh"

B2J=$VESK_BUILD/tests/tools/bson2json
COLLECTOR=$VESK_BUILD/tests/tools/vesk_collector
F=$VESK_FIXTURES/devices
ROOT=$WORK/root

mkdir -p "$ROOT/proc/net"
cp -r "$VESK_FIXTURES/sysa-basic/proc/." "$ROOT/proc/"
cp -a "$F/disk/sys" "$ROOT/sys"
cp "$F/socket/ok/proc/net/sockstat" "$ROOT/proc/net/sockstat"

# The sources of cycle K. The CPUs (four of them) count 6000 ticks a cycle, so the
# disks' busy share divides by 6000 * 1000 / 100 / 4 = 15000 ms.
install_cycle() {
    local k=$1 t=$(($1 * 6000))
    cp "$F/net/c$k/proc/net/dev" "$ROOT/proc/net/dev.new" && mv "$ROOT/proc/net/dev.new" "$ROOT/proc/net/dev"
    cp "$F/disk/c$((k < 2 ? k : 2))/proc/diskstats" "$ROOT/proc/diskstats"
    printf 'cpu  %d 0 %d %d 0 0 0 0 0 0\n' $((1000 + t / 10)) $((500 + t / 20)) $((9000 + t * 17 / 20)) >"$ROOT/proc/stat"
    for c in 0 1 2 3; do echo "cpu$c 1 0 1 1 0 0 0 0 0 0" >>"$ROOT/proc/stat"; done
}
install_cycle 0

# Waits until the agent has dumped the counters of N cycles.
wait_for_cycles() {
    local i
    for ((i = 0; i < 100; i++)); do
        [ "$(grep -c '^MyCustom net report' "$WORK/out.log" 2>/dev/null)" -ge "$1" ] && return 0
        sleep 0.1
    done
    return 1
}

conf=$(printf 'id 4302\naddress 127.0.0.1\nport 8641\ninterval 2\n' | write_conf devices)
mkdir -p "$WORK/packets"
"$COLLECTOR" --out "$WORK/packets" --timeout 60 >"$WORK/collector.log" 2>&1 &
cpid=$!
wait_for_text "$WORK/collector.log" listening
start_vesk --procfs "$ROOT/proc" --sysfs "$ROOT/sys" --config "$conf" --conf-glob "$WORK/none/*.conf" --debug
for k in 1 2 3; do
    check "cycle $((k - 1)) ran" wait_for_cycles $k
    install_cycle $k
done
check "three reports sent" wait_for_text "$WORK/collector.log" "packet 3:" 20
stop_vesk
kill "$cpid" 2>/dev/null
wait "$cpid" 2>/dev/null

# The elements of report $1 whose keys match $2 (with what they hold), as key:type=value
# words; the decoder writes bytes beyond ASCII as \x escapes.
flat() {
    "$B2J" --packet "$WORK/packets/packet-$1.bin" | grep -P "^($2)[.\t]" |
        awk -F'\t' '{printf "%s%s:%s=%s", s, $1, $2, $3; s=" "}'
}
f32() { /usr/bin/python3 -c 'import struct,sys; print("%.17g" % struct.unpack("f", struct.pack("f", eval(sys.argv[1])))[0])' "$1"; }
disk() { # name, then per second: ops read, written, ms reading, writing, busy, sectors read, written; avio; busy
    local n=$1 k
    shift
    printf ' disks.%s:document= disks.%s.ok:int64=1 disks.%s.name:string=%s' "$n" "$n" "$n" "$n"
    for k in rbytes wbytes rticks wticks tticks sread swrite; do
        printf ' disks.%s.%s:int64=%s' "$n" $k "$1"
        shift
    done
    printf ' disks.%s.avio:double=%s disks.%s.busy:double=%s' "$n" "$(f32 "$1")" "$n" "$(f32 "$2")"
}
net() { # name, bytes received and sent per second
    printf ' net.%s:document= net.%s.ok:int64=1 net.%s.name:string=%s' "$1" "$1" "$1" "$1"
    printf ' net.%s.rbytes:int64=%s net.%s.sbytes:int64=%s' "$1" $(($2 * 8)) "$1" $(($3 * 8))
}
# The expected disks in the order the block directory lists them.
in_dir_order() { for name in $(ls -U "$ROOT/sys/block"); do printf '%s' "${DISK[$name]:-}"; done; }
in_log() { grep -qzP "$1" "$WORK/out.log"; }

check_eq "parts in report order after cpu" "cpu socket mounts disks net" \
    "$("$B2J" --packet "$WORK/packets/packet-1.bin" | cut -f1 | grep -xE 'cpu|socket|mounts|disks|net' | xargs)"
check_eq "socket counts are int32" "socket:document= socket.ok:int64=1 socket.tcp_inuse:int32=12 socket.tcp_tw:int32=7 \
socket.tcp_orphan:int32=1 socket.udp_inuse:int32=4" "$(flat 1 socket)"

# Kept: sda, sdb (removable but "sd"), mmcblk0 (no removable attribute), nvme0n1 once
# the statistics list it. Left out: sr0 (removable), loop0 (no device link), sdc (not
# in the statistics). sdb's counts went down (a replaced device): rates 0.
declare -A DISK
DISK[sda]=$(disk sda 150 75 150 100 450 1200 600 2 '450*2*100/15000.0')
DISK[sdb]=$(disk sdb 0 0 0 0 0 0 0 0 0)
DISK[mmcblk0]=$(disk mmcblk0 15 0 15 0 7 120 0 '7/15.0' '7*2*100/15000.0')
check_eq "first report: disks paired with the priming cycle" "disks:document=$(in_dir_order)" "$(flat 1 disks)"
check_eq "first report: no interface yet" "net:document=" "$(flat 1 net)"

DISK[sda]=$(disk sda 75 75 75 75 225 600 600 1.5 3)
DISK[sdb]=$(disk sdb 15 15 7 7 15 120 120 '15/30.0' '15*2*100/15000.0')
DISK[mmcblk0]=$(disk mmcblk0 0 0 0 0 0 0 0 0 0)
DISK[nvme0n1]=$(disk nvme0n1 150 150 75 75 150 1200 1200 0.5 2)
check_eq "second report: disks, the new one included" "disks:document=$(in_dir_order)" "$(flat 2 disks)"
check_eq "second report: interfaces, re-created one at 0, names made valid" "net:document=$(net lo 750 750)$(net eth0 750000 15000)\
$(net veth1a2b 250 250)$(net eth1 0 0)$(net "br-$(printf 'x%.0s' $(seq 252))" 75 75)$(net 'weird\xef\xbf\xbd0' 15 15)" \
    "$(flat 2 net)"
check_eq "third report: the interface that appeared before it" "$(net wlan0 450 450)" "$(flat 3 net.wlan0 | sed 's/^/ /')"
check "the cycle's net dump shows bytes per second" \
    in_log 'MyCustom net report \(1\) :\n\tNet interfaces:\n\tok = 1\n\tdev = lo\n\tbytes read = 750\n\tbytes write = 750\n'
check "the cycle's disk dump" in_log 'MyCustom disk report \(1\) :\n(\t.*\n)*\tok = 1\n\tdev = sda\n\tops read = 75\n\tops write = 75\n\tsectors read = 600\n\tsectors write = 600\n\tavio = 1.500000\n\tbusy = 3.000000\n'

# Mounts: / by its device, /tmp as tmpfs, /run left out by the default mask.
mounts=$("$B2J" --packet "$WORK/packets/packet-3.bin" | grep '^mounts\.')
read -r S b a c d < <(stat -f -c '%S %b %a %c %d' /)
check_eq "mounts./ total in MiB from the fragment size" "mounts./.total	int64	$(((S * b) >> 20))" \
    "$(grep -P '^mounts\./\.total\t' <<<"$mounts")"
check "mounts./tmp reported" grep -qP '^mounts\./tmp\.space_perc\tdouble\t' <<<"$mounts"
check "mounts./run left out" bash -c '! grep -qP "^mounts\./run\." <<<"$1"' _ "$mounts"

finish
