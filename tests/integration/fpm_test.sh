#!/usr/bin/env bash
# The PHP-FPM counter against a real php-fpm, on TCP and on a Unix socket: exact
# objects and the accepted-connection rate under load against the pages that an
# independent FastCGI client (cgi-fcgi) reads, then the failures (a wrong status
# path, nothing listening, a missing socket, an empty reply, no reply) while the
# cycle keeps its pace and the agent's memory stays flat.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/http_servers.sh"
at_exit stop_servers

check "php-fpm starts" start_fpm 9000
check "the Docker Engine starts" start_engine php
check "the odd servers start" start_odd_servers

# --- Exact figures, one-second cycles.
conf=$(web_conf exact 4601 1 <<EOF
fpm_tcp 127.0.0.1:9000 /status
fpm_unix local:$WORK/fpm.sock /status
fpm_box [php]:9000 /status
docker_sock $DOCKER_SOCK
EOF
)
load() {
    for _ in $(seq 20); do fpm_status 127.0.0.1:9000 >/dev/null; done
    after=$(fpm_status 127.0.0.1:9000)
    unix_page=$(fpm_status "$WORK/fpm.sock")
}
loaded_run "$conf" load

# A pool counts each connection, the status request's own included: two a cycle
# (the TCP and the container counters), plus the 20 of the load and the test's page
# read.
check_load_rates "accepted connections per second over the load" mycustoms.FPM_tcp.accepted 2 $((20 + 1))
# expected_object ID PAGE RATE: the report object of a quiet cycle, from a page read by the test.
expected_object() {
    mycustom_rows FPM "$1" accepted double "$3" active int64 "$(page_value "$2" 'active processes')" \
        idle int64 "$(page_value "$2" 'idle processes')" total int64 "$(page_value "$2" 'total processes')" \
        lqueue int64 "$(page_value "$2" 'listen queue len')" \
        max_children int64 "$(page_value "$2" 'max children reached')"
}
check_rates "a quiet report over TCP, exactly" "$(quiet_window)" "$(expected_object tcp "$after" '{d(2)}')" \
    "$(object exact $((last + 1)) mycustoms.FPM_tcp)"
check_rates "a quiet report over the socket, exactly" "$(quiet_window)" "$(expected_object unix "$unix_page" '{d(1)}')" \
    "$(object exact $((last + 1)) mycustoms.FPM_unix)"
check_rates "a container host is reached at the container's address" "$(quiet_window)" $'1\n{d(2)}\nrunning' \
    "$(for v in mycustoms.FPM_box.ok mycustoms.FPM_box.accepted docker.php.state; do value exact $((last + 1)) $v; done)"
check_eq "the pools as configured" "2 1" \
    "$(value exact $((last + 1)) mycustoms.FPM_tcp.total) $(value exact $((last + 1)) mycustoms.FPM_unix.total)"

# --- Failures, three-second cycles with a one-second time-out.
conf=$(web_conf failing 4602 3 <<EOF
fpm_tcp 127.0.0.1:9000 /status
fpm_wrongpath 127.0.0.1:9000 /nope
fpm_nosock local:$WORK/none.sock /status
$(unreachable_lines fpm " /status")
EOF
)
failing_run "$conf" mycustoms.FPM_tcp
check_said "$WORK/failing.out" "[fpm] wrongpath: the answer is not a status page"
check_unreachable fpm
check_said "$WORK/failing.err" "[fpm] Cannot connect to 127.0.0.1:8099: Connection refused" \
    "fpm socket connect failed: No such file or directory"

stop_servers
finish
