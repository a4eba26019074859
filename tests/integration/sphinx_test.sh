# The real agent against sphinxsearch's searchd through its MySQL-protocol listener,
# with a password and with the empty-password form: the report object's keys, types
# and order, the rates and the query wall time against searchd's own status, a port
# where nothing listens, and searchd down for a while; passwords are never printed.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/sql_servers.sh"

PORT=$SPHINX_PORT
PASS='Sph-s3cret'
at_exit searchd_stop

check "searchd starts" searchd_start
sql_agent 4244 "Mysql found and loaded = libmysqlclient.so" <<EOF
sphinx_main monitor:$PASS@127.0.0.1:$PORT
sphinx_nopass monitor:@127.0.0.1:$PORT
sphinx_nothere monitor:$PASS@127.0.0.1:9399
EOF

oracle sphinx-rates "$WORK/packets" $PORT || fail "rates"

down_and_back searchd_stop searchd_start mycustoms Sphinx_main Sphinx_nopass

sql_agent_end "$PASS"

check "a port where nothing listens is reported" contains "$WORK/err.log" \
    "Failed to connect to sphinx(monitor:***@127.0.0.1:9399): Error: Can't connect to server on '127.0.0.1'"
check_eq "nothing else reports" $'mycustoms.Sphinx_main\nmycustoms.Sphinx_nopass' "$(reported_mycustoms)"

finish
