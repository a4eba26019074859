#!/usr/bin/env bash
# The Apache counter against a real apache2 with mod_status: exact objects, the
# accesses rate under load against the pages the test reads itself, credentials,
# a page without ExtendedStatus, then every kind of failure (refused credentials,
# HTML, 500, 404, nothing listening, an empty reply, no reply) while the cycle
# keeps its pace and the agent's memory stays flat.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/http_servers.sh"
at_exit stop_servers

check "apache starts" start_apache 8081 8082 8083 8084 8085
check "apache without ExtendedStatus starts" start_apache 9081 9082 9083 9084 9085 Off
check "the odd servers start" start_odd_servers

# --- Exact figures, one-second cycles.
conf=$(web_conf exact 4401 1 <<EOF
apache_open 127.0.0.1:8081
apache_auth watch:s3cret@127.0.0.1:8082
apache_noext 127.0.0.1:9081
EOF
)
load() {
    ab -q -n 20 -c 2 http://127.0.0.1:8081/ >/dev/null 2>&1
    after=$(http_get 8081 /server-status?auto)
}
loaded_run "$conf" load

# The open counter reads the page at each cycle after its own request of the cycle
# before and the auth counter's: 2 accesses a cycle, plus the 20 of the load and the
# test's page read.
check_load_rates "accesses per second over the load" mycustoms.Apache_open.tA 2 $((20 + 1)) int
scoreboard=$(page_value "$after" Scoreboard)
waiting=${scoreboard//[^_]/}
check_rates "a quiet report, exactly" "$(quiet_window)" "$(mycustom_rows Apache open bW int64 \
    "$(page_value "$after" BusyWorkers)" iW int64 "$(page_value "$after" IdleWorkers)" tA int64 '{r(2)}' \
    sc_W int64 ${#waiting} sc_R int64 0 sc_K int64 0 sc_I int64 0 sc_D int64 0 sc_F int64 0 sc_C int64 0 sc_L int64 0)" \
    "$(object exact $((last + 1)) mycustoms.Apache_open)"
check_eq "the right credentials are accepted" 1 "$(value exact $((last + 1)) mycustoms.Apache_auth.ok)"
check_eq "without ExtendedStatus the page counts, with no rate" "0 3" \
    "$(value exact $((last + 1)) mycustoms.Apache_noext.tA) $(value exact $((last + 1)) mycustoms.Apache_noext.iW)"
check "the init line hides the password" contains "$WORK/exact.out" "Apache auth init with watch *** 127.0.0.1 8082 ***"

# --- Failures, three-second cycles with a one-second time-out.
conf=$(web_conf failing 4402 3 <<EOF
apache_open 127.0.0.1:8081
apache_badpass watch:wrong@127.0.0.1:8082
apache_nocreds 127.0.0.1:8082
apache_html 127.0.0.1:8083
apache_err 127.0.0.1:8084
apache_missing 127.0.0.1:8085
$(unreachable_lines apache "")
EOF
)
failing_run "$conf" mycustoms.Apache_open
check_http_failures apache

stop_servers
finish
