# The real agent against PostgreSQL 15, over TCP with a password and over the Unix
# socket without one: the report object's keys, types and order, transaction rates
# and checkpoint figures against the server's own statistics, a statement slower than
# slow_query_sec (a setting that takes numbers only), a wrong password, and the server
# down for a while; passwords are never printed.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/sql_servers.sh"

PASS='Pg-s3cret'
BADPASS='Pg-wr0ng'
SOCK="$PG_SOCK"
at_exit pg_stop

pg_install
check "the server starts" pg_start
pg_sql "CREATE ROLE mon LOGIN PASSWORD '$PASS' IN ROLE pg_monitor" >>"$WORK/psql.log" 2>&1
sql_agent 4243 "Postgre found and loaded = libpq.so" <<EOF
slow_query_sec 1.5
slow_query_sec 1';select(1);--
postgresql_tcp mon:$PASS@127.0.0.1:5432
postgresql_sock mon:@localhost:$SOCK
postgresql_bad mon:$BADPASS@127.0.0.1:5432
EOF

oracle pg-rates "$WORK/packets" "$SOCK" || fail "rates"
oracle pg-slow "$WORK/packets" "$SOCK" || fail "slow statements"

# A statement cut by the server's shutdown fails; none before it.
check_eq "no statement failed" "" "$(grep -F 'query failed' "$WORK/err.log")"
down_and_back pg_stop pg_start mycustoms Postgre_tcp Postgre_sock

sql_agent_end "$PASS|$BADPASS"

check "slow_query_sec takes a number only" contains "$WORK/err.log" \
    "[warn] slow_query_sec '1';select(1);--' is not a number of seconds (kept '1.5') in config file $conf at line 6"
check "the init line hides the password" contains "$WORK/out.log" \
    "Postgre tcp init with user='mon' pass='***' host='127.0.0.1' port='5432' socket=''"
check "the socket form" contains "$WORK/out.log" \
    "Postgre sock init with user='mon' pass='***' host='localhost' port='' socket='$SOCK'"
check "a wrong password is reported" contains "$WORK/err.log" \
    "[postgres] ERROR: Failed to connect to database: mon *** 127.0.0.1 5432 Error: connection to server at \"127.0.0.1\", port 5432 failed: FATAL:  password authentication failed for user \"mon\""
check "the down server is reported" contains "$WORK/err.log" \
    "[postgres] ERROR: Failed to connect to database [using socket]: mon *** $SOCK Error: connection to server on socket"
check_eq "the wrong password never reports" $'mycustoms.Postgre_sock\nmycustoms.Postgre_tcp' "$(reported_mycustoms)"
check "the library is closed at the end" contains "$WORK/out.log" "Closing libpq"

finish
