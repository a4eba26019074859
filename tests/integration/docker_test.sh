# The real agent against the fake Docker Engine (tests/fakes/fake_engine.py): the
# container table and the docker child, seen through the reports. Containers enter
# the table as a service counter's resolution puts them there (tests/fakes/
# docker_table.py writes the records); the parent then refreshes them from the Engine
# and the docker child streams their statistics.
. "$(dirname "$0")/lib.sh"

TOOLS="$VESK_BUILD/tests/tools"
FAKES="$VESK_SRC/tests/fakes"
ID=4242
KEY=$((ID + 1))
SOCK="$WORK/docker.sock"
STATE="$WORK/engine.json"

table() { /usr/bin/python3 "$FAKES/docker_table.py" "$@"; }
segment_line() { ipcs -m | awk -v k="$(printf '0x%08x' "$1")" '$1 == k'; }
segment_private() { segment_line "$KEY" | grep -q ' 600 '; }

# The fake Engine's world: "name": {fields} pairs, then the stalled names.
engine_state() {
    printf '{"containers":{%s},"stall":[%s]}' "$1" "${2:-}" >"$STATE.tmp" && mv "$STATE.tmp" "$STATE"
}
start_engine() {
    /usr/bin/python3 "$FAKES/fake_engine.py" --socket "$SOCK" --state "$STATE" --log "$WORK/engine-requests.log" \
        >"$WORK/engine.log" 2>&1 &
    ENGINE_PID=$!
    wait_for_file "$SOCK" 10
}

start_collector --timeout 170

# The number of the newest report, or nothing before the first.
newest() { ls "$WORK" | sed -n 's/^packet-\([0-9]*\)\.bin$/\1/p' | sort -n | tail -n 1; }
# The "docker" lines of the newest report.
docker_lines() {
    local k
    k=$(newest)
    [ -n "$k" ] && "$TOOLS/bson2json" --packet "$WORK/packet-$k.bin" | grep '^docker\.'
}
# The newest report's docker lines hold every line given.
report_has() {
    local lines line
    lines=$(docker_lines)
    for line in "$@"; do grep -qxF -- "$line" <<<"$lines" || return 1; done
}
# Waits up to $1 seconds for such a report.
wait_report() {
    local t=$1
    shift
    wait_until "$t" report_has "$@" && return 0
    echo "last docker lines:" >&2
    docker_lines >&2
    return 1
}
entry() { printf 'docker.%s.cpu_usage\tdouble\t%s\ndocker.%s.state\tstring\t%s\n' "$1" "$2" "$1" "$3"; }
wait_entries() {
    local t=$1 args=() l
    shift
    while [ $# -gt 0 ]; do
        while IFS= read -r l; do args+=("$l"); done < <(entry "$1" "$2" "$3")
        shift 3
    done
    wait_report "$t" "${args[@]}"
}

conf=$(write_conf <<EOF
id $ID
address 127.0.0.1
port $COLLECTOR_PORT
interval 1
docker_sock $SOCK
EOF
)

# A world-writable segment under the table's key is not ours: it is replaced.
table foreign "$KEY"
check "a foreign segment is there first" grep -q ' 666 ' <<<"$(segment_line "$KEY")"

# CPU figures: cpu_step / sys_step * ncpu * 100, exact in binary.
web() { printf '"web":{"state":"%s","ip":"%s","cpu_step":%s,"sys_step":4000000000,"ncpu":4,"gen":%s}' "$@"; }
DOWN='"down":{"state":"exited"}'
OTHERS='"held":{"state":"paused","cpu_step":250000000,"sys_step":4000000000,"ncpu":4},
"boot":{"state":"restarting"},"gone":{"state":"dead"},
"cache":{"state":"running","ip":"172.20.0.5","network":"backend","cpu_step":1500000000,"sys_step":8000000000,"ncpu":8,"percpu":640}'
LATE='"late":{"state":"running","cpu_step":125000000,"sys_step":1000000000,"ncpu":1}'
engine_state "$(web running 172.17.0.2 250000000 1),$DOWN,$OTHERS"

# The Engine is missing at start.
start_vesk --config "$conf" --conf-glob "$WORK/none/*.conf"
wait_until 5 segment_private
check_eq "the agent's table is private to root" "root 600" "$(segment_line "$KEY" | awk '{print $3, $4}')"
# Added before the docker child attaches (one second after the fork): it must stay.
table add "$KEY" web held boot down gone cache 'odd name/x?y'
check "an absent Engine is reported" wait_for_text "$WORK/err.log" "connect: No such file or directory" 10
check "records wait as exited" wait_entries 10 web 0 exited cache 0 exited

start_engine
check "states and CPU figures follow the Engine" wait_entries 15 \
    web 25 running held 0 paused boot 0 restarting down 0 exited gone 0 dead cache 150 running
check "every request is HTTP/1.0" test -z "$(grep -v ' HTTP/1.0$' "$WORK/engine-requests.log")"
check "a name never changes the request" grep -qxF 'GET /containers/odd%20name%2Fx%3Fy/json HTTP/1.0' \
    "$WORK/engine-requests.log"
check "statistics are streamed" grep -q '^GET /containers/cache/stats?stream=true HTTP/1.0$' "$WORK/engine-requests.log"

# A container named after the child started is streamed too.
engine_state "$(web running 172.17.0.2 250000000 1),$DOWN,$OTHERS,$LATE"
table add "$KEY" late
check "a container added later gets its figure" wait_entries 15 late 12.5 running

# Stopped: the state follows and the last figure stays (no zero, no NaN from the
# zeroed objects). Removed: the last state stays. Recreated elsewhere: the ended
# stream is opened again and the new figure comes.
engine_state "$(web exited 172.17.0.2 250000000 1),$OTHERS,$LATE"
check "a stopped container keeps its last figure" wait_entries 10 web 25 exited down 0 exited
sleep 2
check "and keeps it" wait_entries 1 web 25 exited
engine_state "$OTHERS,$LATE"
sleep 2
engine_state "$(web running 172.17.0.7 500000000 2),$OTHERS,$LATE"
check "a recreated container streams again" wait_entries 15 web 50 running

# Every inspection stalls: each cycle loses one time-out, not one per container.
n0=$(newest)
engine_state "$(web running 172.17.0.7 500000000 2),$OTHERS,$LATE" '"web","held","boot","down","gone","cache","late"'
sleep 10
n1=$(newest)
check "reports go on while the Engine stalls ($((n1 - n0)) in 10 s)" test $((n1 - n0)) -ge 3
check "the stall is reported" contains "$WORK/out.log" "select() returned 0"
engine_state "$(web running 172.17.0.7 500000000 2),$OTHERS,$LATE"

# A corrupted table: neither process falls, no report carries more than 100 entries.
table corrupt "$KEY"
sleep 3
check "the parent survives a corrupted table" kill -0 "$VESK_PID"
check "the docker child survives it" test -n "$(pgrep -P "$VESK_PID")"
check "the report after it is valid" grep -q "^packet $(newest): [0-9]* bytes, valid$" "$WORK/collector.log"
docker=$(docker_lines)
check_eq "at most 100 entries" 100 "$(grep -cP '^docker\.[^.]+\tdocument' <<<"$docker")"
check_eq "states are names" "" "$(grep -P '\.state\t' <<<"$docker" | grep -vP '\t(running|paused|restarting|oomkilled|dead|exited)$')"
check_eq "figures are numbers" "" "$(grep -P '\.cpu_usage\t' <<<"$docker" | grep -vP '\tdouble\t[0-9.e+]+$')"

# The stop removes the table.
stop_vesk
check "the agent stops" wait_gone "$VESK_PID" 10
check_eq "the table is removed at the stop" "" "$(segment_line "$KEY")"

# With a customs child there is no docker child: the parent removes the table.
conf2=$(write_conf customs <<EOF
id $ID
address 127.0.0.1
port $COLLECTOR_PORT
interval 1
docker_sock $SOCK
custom r one interval=1 echo 1
EOF
)
start_vesk --config "$conf2" --conf-glob "$WORK/none/*.conf"
wait_until 5 segment_private
table add "$KEY" web
check "the parent refreshes the table" wait_entries 10 web 0 running
stop_vesk
check "the customs agent stops" wait_gone "$VESK_PID" 10
check_eq "its table is removed too" "" "$(segment_line "$KEY")"

kill "$ENGINE_PID" "$COLLECTOR_PID" 2>/dev/null
wait "$ENGINE_PID" 2>/dev/null
finish
