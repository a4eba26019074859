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
check "the odd servers start" eval 'start_odd 8097 silent && start_odd 8098 close'

# The figures of a status page read by the test: "Name: value".
page_value() { tr -d '\r' <<<"$1" | sed -n "s/^$2: //p"; }

# --- Exact figures, one-second cycles.
conf=$(write_conf exact <<EOF
id 4401
address 127.0.0.1
port 8641
interval 1
counter_tcp_to 1
apache_open 127.0.0.1:8081
apache_auth watch:s3cret@127.0.0.1:8082
apache_noext 127.0.0.1:9081
EOF
)
start_run exact "$conf" --debug
check "three reports" wait_packet exact 3
first=$(packets exact)
before=$(http_get 8081 /server-status?auto)
ab -q -n 20 -c 2 http://127.0.0.1:8081/ >/dev/null 2>&1
after=$(http_get 8081 /server-status?auto)
last=$(($(packets exact) + 1))
check "the reports after the load" wait_packet exact $((last + 1))
end_run exact

# The open counter reads the page at each cycle after its own request of the cycle
# before and the auth counter's: 2 accesses a cycle, plus the 20 of the load and the
# test's two page reads.
check_eq "accesses per second over the load" "$((2 * (last - first) + 20 + 2))" \
    "$(value_sum exact $((first + 1)) $last mycustoms.Apache_open.tA)"
check "the test's own pages saw the load" [ $(($(page_value "$after" 'Total Accesses') - \
    $(page_value "$before" 'Total Accesses'))) -ge 21 ]
scoreboard=$(page_value "$after" Scoreboard)
waiting=${scoreboard//[^_]/}
check_eq "a quiet report, exactly" "$(printf '%s\n' \
    $'mycustoms.Apache_open\tdocument\t' \
    $'mycustoms.Apache_open.report\tstring\tApache' \
    $'mycustoms.Apache_open.id\tstring\topen' \
    $'mycustoms.Apache_open.ok\tint64\t1' \
    "mycustoms.Apache_open.bW	int64	$(page_value "$after" BusyWorkers)" \
    "mycustoms.Apache_open.iW	int64	$(page_value "$after" IdleWorkers)" \
    $'mycustoms.Apache_open.tA\tint64\t2' \
    "mycustoms.Apache_open.sc_W	int64	${#waiting}" \
    $'mycustoms.Apache_open.sc_R\tint64\t0' $'mycustoms.Apache_open.sc_K\tint64\t0' \
    $'mycustoms.Apache_open.sc_I\tint64\t0' $'mycustoms.Apache_open.sc_D\tint64\t0' \
    $'mycustoms.Apache_open.sc_F\tint64\t0' $'mycustoms.Apache_open.sc_C\tint64\t0' \
    $'mycustoms.Apache_open.sc_L\tint64\t0')" \
    "$(report exact $((last + 1)) | grep -P '^mycustoms\.Apache_open[.\t]')"
check_eq "the right credentials are accepted" 1 "$(value exact $((last + 1)) mycustoms.Apache_auth.ok)"
check_eq "without ExtendedStatus the page counts, with no rate" "0 3" \
    "$(value exact $((last + 1)) mycustoms.Apache_noext.tA) $(value exact $((last + 1)) mycustoms.Apache_noext.iW)"
check "the init line hides the password" contains "$WORK/exact.out" "Apache auth init with watch *** 127.0.0.1 8082 ***"

# --- Failures, two-second cycles with a one-second time-out.
conf=$(write_conf failing <<EOF
id 4402
address 127.0.0.1
port 8641
interval 2
counter_tcp_to 1
apache_open 127.0.0.1:8081
apache_badpass watch:wrong@127.0.0.1:8082
apache_nocreds 127.0.0.1:8082
apache_html 127.0.0.1:8083
apache_err 127.0.0.1:8084
apache_missing 127.0.0.1:8085
apache_down 127.0.0.1:8099
apache_empty 127.0.0.1:8098
apache_silent 127.0.0.1:8097
EOF
)
failing_run "$conf" mycustoms.Apache_open
check_said "$WORK/failing.out" "[apache] badpass: HTTP status 401" "[apache] nocreds: HTTP status 401" \
    "[apache] html: the answer holds no status lines" "[apache] err: HTTP status 500" \
    "[apache] missing: HTTP status 404" "apache: could not bind socket or connect whatever: (Connection refused)111" \
    "[apache] empty: the connection closed before the whole answer" "[apache] silent: no whole answer in time"
check "no password in any output" eval '! grep -E "s3cret|wrong|d2F0Y2g6|OndyaW5n" "$WORK"/exact.out "$WORK"/exact.err "$WORK"/failing.out "$WORK"/failing.err'

stop_servers
finish
