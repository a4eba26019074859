# The real agent against sphinxsearch's searchd through its MySQL-protocol listener,
# with a password and with the empty-password form: the report object's keys, types
# and order, the rates and the query wall time against searchd's own status, a port
# where nothing listens, and searchd down for a while; passwords are never printed.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/sql_servers.sh"

TOOLS="$VESK_BUILD/tests/tools"
PORT=$SPHINX_PORT
PASS='Sph-s3cret'
at_exit searchd_stop

check "searchd starts" searchd_start
check "the collector listens" collect_reports

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

oracle sphinx-rates "$WORK/packets" $PORT || fail "rates"

down_and_back searchd_stop searchd_start mycustoms Sphinx_main Sphinx_nopass

stop_vesk
kill "$COLLECTOR_PID" 2>/dev/null

check "a port where nothing listens is reported" contains "$WORK/err.log" \
    "Failed to connect to sphinx(monitor:***@127.0.0.1:9399): Error: Can't connect to server on '127.0.0.1'"
check_eq "no password is ever printed" "" "$(grep -hoE "$PASS" "$WORK/out.log" "$WORK/err.log")"
check_eq "nothing else reports" "" \
    "$(for f in "$WORK"/packets/*.bin; do "$TOOLS/bson2json" --packet "$f"; done |
        grep -P '^mycustoms\.[^.\t]+\t' | grep -vP '^mycustoms\.Sphinx_(main|nopass)\t')"

finish
