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
# The priming cycle and the first report's read the same sources: they move only
# between regular cycles, whose spans the interval and the reports' arrivals bound.
for k in 1 2 3; do
    check "cycle $k ran" wait_for_cycles $((k + 1))
    install_cycle $k
done
check "four reports sent" wait_for_text "$WORK/collector.log" "packet 4:" 20
stop_vesk
kill "$cpid" 2>/dev/null
wait "$cpid" 2>/dev/null

# The elements of report $1 whose keys match $2 (with what they hold), as key:type=value
# words; the decoder writes bytes beyond ASCII as \x escapes.
flat() {
    "$B2J" --packet "$WORK/packets/packet-$1.bin" | grep -P "^($2)[.\t]" |
        awk -F'\t' '{printf "%s%s:%s=%s", s, $1, $2, $3; s=" "}'
}
# check_flat DESCRIPTION K KEYS WANT: the elements of report K against WANT, whose
# rates are what the agent takes over the span behind that report.
check_flat() {
    check_rates "$1" "$(span_window "$WORK/packets" "$2")" "$(tr ' ' '\n' <<<"$4")" "$(flat "$2" "$3" | tr ' ' '\n')"
}
disk() { # name, then the cycle's counts: ops read, written, ms reading, writing, busy, sectors read, written
    local n=$1 r=$2 w=$3 t=$6 k
    shift
    printf ' disks.%s:document= disks.%s.ok:int64=1 disks.%s.name:string=%s' "$n" "$n" "$n" "$n"
    for k in rbytes wbytes rticks wticks tticks sread swrite; do
        printf ' disks.%s.%s:int64={r(%s)}' "$n" $k "$1"
        shift
    done
    # From the rates: busy ms per operation, and the busy share of the CPUs' ms.
    printf ' disks.%s.avio:double={f32(r(%s)/(r(%s)+r(%s))if(r(%s)+r(%s))else(0))}' "$n" $t $r $w $r $w
    printf ' disks.%s.busy:double={f32(r(%s)*(ms/1000)*100/15000)}' "$n" $t
}
net() { # name, bytes received and sent in the cycle; the report gives bits per second
    printf ' net.%s:document= net.%s.ok:int64=1 net.%s.name:string=%s' "$1" "$1" "$1" "$1"
    printf ' net.%s.rbytes:int64={8*r(%s)} net.%s.sbytes:int64={8*r(%s)}' "$1" "$2" "$1" "$3"
}
# The expected disks in the order the block directory lists them.
in_dir_order() { for name in $(ls -U "$ROOT/sys/block"); do printf '%s' "${DISK[$name]:-}"; done; }
# dump_of COUNTER K DEV: the lines on DEV in the counter's dump by the cycle of report K.
dump_of() {
    awk -v h="MyCustom $1 report" -v k=$(($2 + 1)) -v dev="$3" '
        index($0, h) == 1 { n++; on = 0; next }
        n != k { next }
        !/^\t/ { n++; next }
        /^\tok = / { ok = $0; on = 0; next }
        $0 == "\tdev = " dev { print ok; on = 1 }
        on' "$WORK/out.log"
}
# value K PATH: one value of report K.
value() { "$B2J" --packet "$WORK/packets/packet-$1.bin" | awk -F'\t' -v p="$2" '$1 == p { print $3 }'; }

check_eq "parts in report order after cpu" "cpu socket mounts disks net" \
    "$("$B2J" --packet "$WORK/packets/packet-1.bin" | cut -f1 | grep -xE 'cpu|socket|mounts|disks|net' | xargs)"
check_eq "socket counts are int32" "socket:document= socket.ok:int64=1 socket.tcp_inuse:int32=12 socket.tcp_tw:int32=7 \
socket.tcp_orphan:int32=1 socket.udp_inuse:int32=4" "$(flat 1 socket)"

# Kept: sda, sdb (removable but "sd"), mmcblk0 (no removable attribute), nvme0n1 once
# the statistics list it. Left out: sr0 (removable), loop0 (no device link), sdc (not
# in the statistics). sdb's counts went down (a replaced device): rates 0.
declare -A DISK
# Nothing moved since the priming cycle: zeros, over whatever span.
for d in sda sdb mmcblk0; do DISK[$d]=$(disk $d 0 0 0 0 0 0 0); done
check_eq "first report: disks paired with the priming cycle" \
    "disks:document=$(in_dir_order | sed 's/{[^}]*}/0/g')" "$(flat 1 disks)"
check_eq "first report: no interface yet" "net:document=" "$(flat 1 net)"

DISK[sda]=$(disk sda 300 150 300 200 900 2400 1200)
DISK[mmcblk0]=$(disk mmcblk0 30 0 30 0 15 240 0)
check_flat "second report: disks" 2 disks "disks:document=$(in_dir_order)"

DISK[sda]=$(disk sda 150 150 150 150 450 1200 1200)
DISK[sdb]=$(disk sdb 30 30 15 15 30 240 240)
DISK[mmcblk0]=$(disk mmcblk0 0 0 0 0 0 0 0)
DISK[nvme0n1]=$(disk nvme0n1 300 300 150 150 300 2400 2400)
check_flat "third report: disks, the new one included" 3 disks "disks:document=$(in_dir_order)"
check_flat "third report: interfaces, re-created one at 0, names made valid" 3 net "net:document=$(net lo 1500 1500)\
$(net eth0 1500000 30000)$(net veth1a2b 500 500)$(net eth1 0 0)$(net "br-$(printf 'x%.0s' $(seq 252))" 150 150)\
$(net 'weird\xef\xbf\xbd0' 30 30)"
check_flat "fourth report: the interface that appeared before it" 4 net.wlan0 "$(net wlan0 900 900 | sed 's/^ //')"
# The dumps of that cycle show what it sent, the net one in bytes a second.
figures() { for k in "${@:2}"; do value 3 "$1.$k"; done | paste -sd' '; }
check_eq "the cycle's net dump shows bytes per second" "$(figures net.lo rbytes sbytes |
    awk '{ printf "\tok = 1\n\tdev = lo\n\tbytes read = %d\n\tbytes write = %d", $1 / 8, $2 / 8 }')" "$(dump_of net 3 lo)"
check_eq "the cycle's disk dump" "$(figures disks.sda rbytes wbytes sread swrite avio busy | awk '{
    printf "\tok = 1\n\tdev = sda\n\tops read = %d\n\tops write = %d\n\tsectors read = %d\n", $1, $2, $3
    printf "\tsectors write = %d\n\tavio = %f\n\tbusy = %f", $4, $5, $6 }')" "$(dump_of disk 3 sda)"

# Mounts: / by its device, /tmp as tmpfs, /run left out by the default mask.
mounts=$("$B2J" --packet "$WORK/packets/packet-3.bin" | grep '^mounts\.')
read -r S b a c d < <(stat -f -c '%S %b %a %c %d' /)
check_eq "mounts./ total in MiB from the fragment size" "mounts./.total	int64	$(((S * b) >> 20))" \
    "$(grep -P '^mounts\./\.total\t' <<<"$mounts")"
check "mounts./tmp reported" grep -qP '^mounts\./tmp\.space_perc\tdouble\t' <<<"$mounts"
check "mounts./run left out" bash -c '! grep -qP "^mounts\./run\." <<<"$1"' _ "$mounts"

finish
