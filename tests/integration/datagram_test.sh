#!/usr/bin/env bash
# Reports too large for one UDP datagram: a multicustom of 480 long names, then 400
# bind mounts of long paths. Every cycle still sends one signed datagram of at most
# 65,507 bytes, without the largest custom objects first and then the last mounts,
# and says so on standard error; over TCP nothing is left out. Packets are judged by
# libbson (the collector, bson2json) and by Python's bson module.
. "$(dirname "$0")/lib.sh"

B2J=$VESK_BUILD/tests/tools/bson2json
PY=/usr/bin/python3
NOGLOB="$WORK/none/*.conf"
INTERVAL=2
SECRET=0badc0de5ecre7
MAX=65507
LINE='is larger than one datagram: left out'
# 480 values named n000…0K, 170 characters each, valued K. The customs child runs
# it as nobody.
chmod 755 "$WORK"
cat >"$WORK/mc.sh" <<'S'
#!/bin/sh
seq 1 480 | awk '{printf "n%0169d %d\n", $1, $1}'
S
chmod 755 "$WORK/mc.sh"
MC="multicustom mc interval=1 $WORK/mc.sh"

# run_case NAME PACKETS [COLLECTOR OPTIONS...] -- [CONFIGURATION LINES...]: the
# agent sends until a collector holds PACKETS packets in $WORK/NAME/; its logs are
# kept as $WORK/NAME.out and $WORK/NAME.err, the collector's as $WORK/NAME.log.
run_case() {
    local name=$1 count=$2 opts=()
    shift 2
    while [ $# -gt 0 ] && [ "$1" != -- ]; do opts+=("$1"); shift; done
    shift
    mkdir -p "$WORK/$name"
    start_collector --out "$WORK/$name" --timeout 60 "${opts[@]}"
    local conf
    conf=$(printf '%s\n' "id 4310" "address 127.0.0.1" "port $COLLECTOR_PORT" "interval $INTERVAL" "$@" |
        write_conf "$name")
    start_vesk --config "$conf" --conf-glob "$NOGLOB" --no-oom
    wait_for_text "$WORK/collector.log" "packet $count:" 40 || fail "$name: fewer than $count packets"
    stop_run "$name"
    cp "$WORK/collector.log" "$WORK/$name.log"
}

packets() { ls "$WORK/$1"/packet-*.bin | sort -V; }
field() { "$B2J" --packet "$1" | awk -F'\t' -v k="$2" '$1 == k {print $3}'; }
# The names of the elements of "custom", in order.
customs() { "$B2J" --packet "$1" | awk -F'\t' '$1 ~ /^custom\.[^.]*$/ {print substr($1, 8)}'; }
# The mount points in "mounts", in order (they hold dots, which bson2json's paths
# cannot tell apart).
mount_points() {
    "$PY" -c 'import bson, sys
raw = open(sys.argv[1], "rb").read()
print("\n".join(bson.decode(raw[:int.from_bytes(raw[:4], "little")])["mounts"]))' "$1"
}

# Every packet: at most one datagram, valid and signed as configured, the system
# counters in it; reports keep coming.
check_udp_packets() {
    local name=$1 p sizes times='' prev='' t
    check "$name: every packet valid" [ -z "$(grep '^packet' "$WORK/$name.log" | grep -v ', valid$')" ]
    check "$name: no failed send" [ -z "$(grep 'FAILED' "$WORK/$name.out")" ]
    sizes=$(for p in $(packets "$name"); do stat -c %s "$p"; done | sort -n | tail -n1)
    check "$name: largest packet $sizes bytes, at most $MAX" [ "$sizes" -le $MAX ]
    for p in $(packets "$name"); do
        t=$(field "$p" time)
        # A slow cycle may stamp its report a second late, and the one-second tick,
        # which sleeps a whole second after its work, now and then steps over a
        # cycle's second; two cycles in a row without a report are a fault.
        if [ -n "$prev" ] && { [ $((t - prev)) -gt $((2 * INTERVAL)) ] || [ $((t - prev)) -lt 1 ]; }; then
            times="$times $prev->$t"
        fi
        prev=$t
        "$B2J" --packet "$p" | cut -f1,2 | grep -cxP 'mem\.free\tint64|cpu\.user\tint64|(disks|net)\tdocument' |
            grep -qx 4 || fail "$name: system counters missing in $p"
    done
    check_eq "$name: reports keep coming, cycle after cycle" "" "$times"
}

# --- A multicustom of 480 values beside a small custom counter, over UDP, signed.
# The mc objects are all of one size: the last ones go first, the small one stays.
run_case customs 5 --secret "$SECRET" -- "secret $SECRET" "custom r small interval=1 echo 5" "$MC"
check_udp_packets customs
last=$(packets customs | tail -n1)
check "customs: the small custom object stays" [ "$(field "$last" custom.r_small.value)" = 5 ]
# Each cut is one line on standard error, in the order of the packets that carry mc
# values: the kept ones are the first values in order, and the line's figures are
# the full report's size (rebuilt by Python from the packet) and 480 minus the kept.
cut_packets=()
for p in $(packets customs); do customs "$p" | grep -q '^mc_' && cut_packets+=("$p"); done
mapfile -t lines < <(grep -F "$LINE" "$WORK/customs.err")
check "customs: reports with mc values were sent (${#cut_packets[@]})" [ ${#cut_packets[@]} -ge 3 ]
check_eq "customs: one line per cut report" "${#cut_packets[@]}" "${#lines[@]}"
for k in "${!cut_packets[@]}"; do
    p=${cut_packets[$k]}
    got=$("$PY" - "$p" <<'PY'
import sys, bson
raw = open(sys.argv[1], "rb").read()
doc = raw[:int.from_bytes(raw[:4], "little")]
# Python reads an array as a list: the element keys are "mc_" and the name.
mcs = [o for o in bson.decode(doc)["custom"] if o["report"] == "mc"]
kept = len(mcs)
assert [o["name"] for o in mcs] == ["n%0169d" % i for i in range(1, kept + 1)], "kept values are not the first"
# The values are all alike: every one left out was as large as the last one kept.
element = bson.encode({"mc_" + mcs[-1]["name"]: mcs[-1]})[4:-1]
assert element in doc, "the element does not encode back to its bytes"
full = len(raw) + (480 - kept) * len(element)
print("report of %d bytes is larger than one datagram: left out %d custom objects and 0 mounts" % (full, 480 - kept))
PY
)
    check_eq "customs: line $((k + 1)) names the full size and what was left out" "$got" "${lines[$k]:-}"
done

# --- 400 bind mounts of long paths on one tmpfs (this suite's own mount namespace).
long="$WORK/$(printf 'mounted-file-systems-of-a-large-kubernetes-node-%.0s' 1 2)"
mkdir -p "$WORK/base" "$long"
mount -t tmpfs tmpfs "$WORK/base" || fail "cannot mount a tmpfs"
for ((i = 0; i < 400; i++)); do
    d=$(printf '%s/volume-%03d' "$long" $i)
    mkdir "$d" && mount --bind "$WORK/base" "$d" || { fail "bind mount $i"; break; }
done
check "mount paths are long (${#d} characters)" [ ${#d} -ge 110 ]

# Over TCP nothing is left out: all mounts and all 480 values, in a packet larger
# than a datagram, and no line.
run_case tcp 3 --tcp --secret "$SECRET" -- "proto tcp" "secret $SECRET" "$MC"
check "tcp: every packet valid" [ -z "$(grep '^packet' "$WORK/tcp.log" | grep -v ', valid$')" ]
# A report carries the multicustom's values whole, or none of them when they were
# not handed over in time for its cycle.
counts=$(for p in $(packets tcp); do customs "$p" | grep -c '^mc_'; done | sort -u | tr '\n' ' ')
check "tcp: every report with all 480 values or none, one with all ($counts)" \
    bash -c '[[ "$1" =~ ^(0\ )?480\ $ ]]' _ "$counts"
p=$(packets tcp | tail -n1)
check "tcp: the report is larger than a datagram ($(stat -c %s "$p") bytes)" [ "$(stat -c %s "$p")" -gt $MAX ]
check "tcp: no line" [ -z "$(grep -F "$LINE" "$WORK/tcp.err")" ]
mount_points "$p" >"$WORK/all-mounts"
check "tcp: all 400 bind mounts" [ "$(grep -c "^$long/volume-" "$WORK/all-mounts")" -eq 400 ]

# Over UDP the last mounts go: every packet holds the first ones, in order.
run_case mounts 4 --
check_udp_packets mounts
total=$(wc -l <"$WORK/all-mounts")
mapfile -t lines < <(grep -F "$LINE" "$WORK/mounts.err")
check_eq "mounts: one line per report" "$(packets mounts | wc -l)" "${#lines[@]}"
k=0
for p in $(packets mounts); do
    kept=$(mount_points "$p" | wc -l)
    check_eq "mounts: packet $((k + 1)) holds the first $kept mounts" "$(head -n "$kept" "$WORK/all-mounts")" \
        "$(mount_points "$p")"
    [[ ${lines[$k]:-} =~ ^report\ of\ ([0-9]+)\ bytes\ $LINE\ 0\ custom\ objects\ and\ ([0-9]+)\ mounts$ ]] &&
        [ "${BASH_REMATCH[1]}" -gt $MAX ] && [ $((kept + BASH_REMATCH[2])) -eq "$total" ] ||
        fail "mounts: line $((k + 1)) '${lines[$k]:-}' with $kept of $total mounts kept"
    k=$((k + 1))
done

finish
