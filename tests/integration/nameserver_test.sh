#!/usr/bin/env bash
# The collector's name: configured name servers asked in turn through udns (two
# dnsmasq instances on loopback addresses), a failing lookup that keeps the last
# good address, and the system resolver.
. "$(dirname "$0")/lib.sh"

COLLECTOR=$VESK_BUILD/tests/tools/vesk_collector
NOGLOB="$WORK/none/*.conf"
NAME=collector.test

# dns ADDRESS ANSWER...: a dnsmasq on ADDRESS:53 with the given answer options.
DNS_PIDS=()
dns() {
    local addr=$1
    shift
    dnsmasq --keep-in-foreground --no-resolv --no-hosts --bind-interfaces --listen-address="$addr" --port=53 \
        --user=root --log-queries --log-facility="$WORK/dns-$addr.log" --pid-file="$WORK/dns-$addr.pid" "$@" &
    DNS_PIDS+=($!)
}
dns 127.0.0.2 --address=/$NAME/127.0.0.5
dns 127.0.0.3 --local=/$NAME/ # answers NXDOMAIN
dns 127.0.0.4 --address=/$NAME/127.0.0.6
for a in 127.0.0.2 127.0.0.3 127.0.0.4; do wait_for_text "$WORK/dns-$a.log" "started" || fail "dnsmasq on $a"; done

# collectors: one per destination, counting what reaches it.
COLLECTOR_PIDS=()
start_collectors() {
    COLLECTOR_PIDS=()
    for a in 127.0.0.5 127.0.0.6 127.0.0.7; do
        "$COLLECTOR" --addr "$a" --timeout 60 >"$WORK/$1-$a.log" 2>&1 &
        COLLECTOR_PIDS+=($!)
        wait_for_text "$WORK/$1-$a.log" listening
    done
}
stop_collectors() {
    sleep 0.5
    kill "${COLLECTOR_PIDS[@]}" 2>/dev/null
    wait "${COLLECTOR_PIDS[@]}" 2>/dev/null
}
received() { grep -c ', valid$' "$WORK/$1-$2.log"; }

# run NAME SENDS CONFIG-LINES: the agent runs until it has sent SENDS reports.
run() {
    local name=$1 sends=$2 conf
    conf=$(write_conf "$name" <<C
id 4302
domain $NAME
address 127.0.0.7
port 8641
interval 1
$3
C
)
    start_collectors "$name"
    start_vesk --config "$conf" --conf-glob "$NOGLOB" --debug
    local i
    for ((i = 0; i < 400; i++)); do
        [ "$(grep -c '^sending via UDP to' "$WORK/out.log")" -ge "$sends" ] && break
        sleep 0.1
    done
    stop_vesk
    stop_collectors
    cp "$WORK/out.log" "$WORK/$name.out"
}

# What the agent says it asked and where it sent, one line per cycle.
asked() { grep -o 'Updating server ip via [^ ]*' "$WORK/$1.out" | awk '{print $5}' | sed 's/\.\.\.$//'; }
sent_to() { grep -o '^sending via UDP to [0-9.]*' "$WORK/$1.out" | awk '{print $5}'; }
alternating() { for ((i = 0; i < $3; i++)); do if ((i % 2 == 0)); then echo "$1"; else echo "$2"; fi; done; }

# --- Two name servers, asked in turn whatever they answer.
run turn 6 "nameserver 127.0.0.2
nameserver 127.0.0.4"
n=$(sent_to turn | wc -l)
check "six reports sent" [ "$n" -ge 6 ]
check_eq "servers asked in turn" "$(alternating 127.0.0.2 127.0.0.4 "$n")" "$(asked turn | head -n "$n")"
check_eq "each report goes to the address just resolved" "$(alternating 127.0.0.5 127.0.0.6 "$n")" "$(sent_to turn)"
check_eq "collectors .5, .6 and the configured .7 got their shares" "$(((n + 1) / 2)) $((n / 2)) 0" \
    "$(received turn 127.0.0.5) $(received turn 127.0.0.6) $(received turn 127.0.0.7)"
check_eq "first server was queried for each of its turns" "$(((n + 1) / 2))" \
    "$(grep -c "query\[A\] $NAME" "$WORK/dns-127.0.0.2.log")"

# --- The first server fails: the configured address is used until the first
# success, and later failures keep the last good address.
run keep 6 "nameserver 127.0.0.3
nameserver 127.0.0.2"
n=$(sent_to keep | wc -l)
check_eq "failed lookups print error 2" "$(((n + 1) / 2))" "$(grep -o 'error 2' "$WORK/keep.out" | wc -l)"
check_eq "first report to the configured address" "127.0.0.7" "$(sent_to keep | head -n1)"
check_eq "later reports to the last good address" "$(for ((i = 1; i < n; i++)); do echo 127.0.0.5; done)" \
    "$(sent_to keep | tail -n +2)"
check_eq "collector .7 got only the first, .5 the rest" "1 $((n - 1))" \
    "$(received keep 127.0.0.7) $(received keep 127.0.0.5)"

# --- No name server configured: the system resolver (here /etc/hosts).
printf '127.0.0.6 %s\n' "$NAME" >"$WORK/hosts"
mount --bind "$WORK/hosts" /etc/hosts
run system 3 ""
check_eq "system resolver used" "$(sent_to system | wc -l)" "$(grep -c 'Updating server ip via local dns... 127.0.0.6 ... done' "$WORK/system.out")"
check "reports reach the resolved address" [ "$(received system 127.0.0.6)" -ge 3 ]
check_eq "none to the configured address" 0 "$(received system 127.0.0.7)"
umount /etc/hosts

kill "${DNS_PIDS[@]}" 2>/dev/null
finish
