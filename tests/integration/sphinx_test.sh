# The real agent against sphinxsearch's searchd through its MySQL-protocol listener,
# with a password and with the empty-password form: the report object's keys, types
# and order, the rates and the query wall time against searchd's own status, a port
# where nothing listens, and searchd down for a while; passwords are never printed.
. "$(dirname "$0")/lib.sh"

TOOLS="$VESK_BUILD/tests/tools"
ORACLE="/usr/bin/python3 $(dirname "$0")/sql_oracle.py"
PORT=9306
PASS='Sph-s3cret'

cat >"$WORK/sphinx.conf" <<EOF
index rt
{
    type = rt
    path = $WORK/rt
    rt_field = title
    rt_attr_uint = gid
}
searchd
{
    listen = 127.0.0.1:$PORT:mysql41
    log = $WORK/searchd.log
    query_log = $WORK/query.log
    pid_file = $WORK/searchd.pid
    binlog_path = $WORK
    workers = threads
}
EOF
SEARCHD_PID=
start_searchd() {
    searchd --config "$WORK/sphinx.conf" --nodetach >>"$WORK/searchd.out.log" 2>&1 &
    SEARCHD_PID=$!
    local i
    for ((i = 0; i < 100; i++)); do
        (exec 3<>/dev/tcp/127.0.0.1/$PORT) 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}
stop_searchd() { [ -n "$SEARCHD_PID" ] && kill "$SEARCHD_PID" 2>/dev/null && wait "$SEARCHD_PID"; SEARCHD_PID=; }
trap stop_searchd EXIT

check "searchd starts" start_searchd

mkdir -p "$WORK/packets"
"$TOOLS/vesk_collector" --port 0 --out "$WORK/packets" --timeout 300 >"$WORK/collector.log" 2>&1 &
COLLECTOR_PID=$!
check "the collector listens" wait_for_text "$WORK/collector.log" "listening udp" 10
port=$(sed -n 's/^listening udp 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$WORK/collector.log")

conf=$(write_conf <<EOF
id 4244
address 127.0.0.1
port $port
interval 2
sphinx_main monitor:$PASS@127.0.0.1:$PORT
sphinx_nopass monitor:@127.0.0.1:$PORT
sphinx_nothere monitor:$PASS@127.0.0.1:9399
EOF
)
start_vesk --debug --config "$conf" --conf-glob "$WORK/none/*.conf"
check "the library is loaded" wait_for_text "$WORK/out.log" "Mysql found and loaded = libmysqlclient.so" 10
check "reports arrive" wait_for_text "$WORK/collector.log" "packet 2:" 20

$ORACLE sphinx-rates "$WORK/packets" $PORT || fail "rates"

# Down for a while: absent while down and for the first cycle back.
first=$($ORACLE last "$WORK/packets")
stop_searchd
$ORACLE wait "$WORK/packets" $((first + 2))
check "searchd starts again" start_searchd
back=$($ORACLE last "$WORK/packets")
$ORACLE wait "$WORK/packets" $((back + 3))
for id in Sphinx_main Sphinx_nopass; do
    $ORACLE down-and-back "$WORK/packets" "$first" "$id" mycustoms || fail "down and back: $id"
done

stop_vesk
kill "$COLLECTOR_PID" 2>/dev/null

check "a port where nothing listens is reported" contains "$WORK/err.log" \
    "Failed to connect to sphinx(monitor:***@127.0.0.1:9399): Error: Can't connect to server on '127.0.0.1'"
check_eq "no password is ever printed" "" "$(grep -hoE "$PASS" "$WORK/out.log" "$WORK/err.log")"
check_eq "nothing else reports" "" \
    "$(for f in "$WORK"/packets/*.bin; do "$TOOLS/bson2json" --packet "$f"; done |
        grep -P '^mycustoms\.[^.\t]+\t' | grep -vP '^mycustoms\.Sphinx_(main|nopass)\t')"

finish
