# The real agent against PostgreSQL 15 that stalls for 20 s: the agent's backend is
# stopped while it runs a statement, and the postmaster with it, so that every later
# connection waits as well. Each update gives up when its deadline passes: the reports
# keep their pace, the PostgreSQL part is absent while the server is stopped and back
# right after, the other parts never miss, and no descriptor is left behind.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/sql_servers.sh"

PASS='Pg-s3cret'
STOPPED="$WORK/stopped.pids"
pg_resume() {
    local pid
    [ -e "$STOPPED" ] && while read -r pid; do kill -CONT "$pid" 2>/dev/null; done <"$STOPPED"
}
at_exit pg_stop
at_exit pg_resume
agent_fds() { ls "/proc/$VESK_PID/fd" | wc -l; }

pg_install
check "the server starts" pg_start
pg_sql "CREATE ROLE mon LOGIN PASSWORD '$PASS' IN ROLE pg_monitor" >>"$WORK/psql.log" 2>&1
# Under 2 s counts as 2.
sql_agent 4247 "Postgre found and loaded = libpq.so" <<EOF
counter_tcp_to 1
postgresql_tcp mon:$PASS@127.0.0.1:5432
EOF

oracle wait "$WORK/packets" $(($(oracle last "$WORK/packets") + 1))
fds=$(agent_fds)
stopped=$(oracle pg-stall "$WORK/packets" "$PG_SOCK" "$WORK/pg/postmaster.pid" "$STOPPED")
check "the agent's backend is stopped" [ -n "$stopped" ]
sleep 20
resumed=$(oracle last "$WORK/packets")
pg_resume
oracle wait "$WORK/packets" $((resumed + 4))
check_eq "no descriptor left behind" "$fds" "$(agent_fds)"
sql_agent_end "$PASS"

# interval 2 + the deadline of 2 s + 1 s
oracle pg-stall-check "$WORK/packets" "${stopped:-0}" "$resumed" 5 || fail "the stall"
check "each stalled update gives up with one line" contains "$WORK/err.log" \
    "[postgres] ERROR: no answer within 2 s from tcp"
check_eq "and no other" "" "$(grep -F '[postgres]' "$WORK/err.log" | grep -vxF '[postgres] ERROR: no answer within 2 s from tcp')"

finish
