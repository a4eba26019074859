#!/usr/bin/env bash
# The nginx counter against a real nginx with stub_status: exact objects, the
# request rate under load against the pages the test reads itself, credentials,
# then every kind of failure (refused credentials, HTML, 500, 404, nothing
# listening, an empty reply, no reply). nginx keeps its connections open: a reader
# that waited for the close would lose the cycle's pace.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/http_servers.sh"
at_exit stop_servers

check "nginx starts" start_nginx 8090
check "the Docker Engine starts" start_engine web
check "the odd servers start" eval 'start_odd 8097 silent && start_odd 8098 close'

# "Name: value" and "Reading: r Writing: w Waiting: k" of a page read by the test.
page() { http_get 8090 /nginx_status | tr -d '\r'; }

# --- Exact figures, one-second cycles.
conf=$(write_conf exact <<EOF
id 4501
address 127.0.0.1
port 8641
interval 1
counter_tcp_to 1
nginx_open 127.0.0.1:8090/nginx_status localhost
nginx_auth watch:s3cret@127.0.0.1:8090/private_status localhost
nginx_box [web]:8090/nginx_status localhost
docker_sock $DOCKER_SOCK
EOF
)
start_run exact "$conf" --debug
check "three reports" wait_packet exact 3
first=$(packets exact)
before=$(page)
ab -q -n 20 -c 2 http://127.0.0.1:8090/nginx_status >/dev/null 2>&1
after=$(page)
last=$(($(packets exact) + 1))
check "the reports after the load" wait_packet exact $((last + 1))
end_run exact

requests() { awk 'f { print $3; exit } /^server accepts handled requests/ { f = 1 }' <<<"$1"; }
# Each cycle makes three requests, the open counter's own counted in its page.
check_eq "requests per second over the load" "$((3 * (last - first) + 20 + 2))" \
    "$(value_sum exact $((first + 1)) $last mycustoms.Nginx_open.rps)"
check "the test's own pages saw the load" [ $(($(requests "$after") - $(requests "$before"))) -ge 21 ]
read -r _ reading _ writing _ waiting < <(grep '^Reading:' <<<"$after")
check_eq "a quiet report, exactly" "$(printf '%s\n' \
    $'mycustoms.Nginx_open\tdocument\t' \
    $'mycustoms.Nginx_open.report\tstring\tNginx' \
    $'mycustoms.Nginx_open.id\tstring\topen' \
    $'mycustoms.Nginx_open.ok\tint64\t1' \
    $'mycustoms.Nginx_open.rps\tdouble\t3' \
    "mycustoms.Nginx_open.active	int64	$(sed -n 's/^Active connections: \([0-9]*\).*/\1/p' <<<"$after")" \
    "mycustoms.Nginx_open.reading	int64	$reading" \
    "mycustoms.Nginx_open.writing	int64	$writing" \
    "mycustoms.Nginx_open.keepalive	int64	$waiting")" \
    "$(report exact $((last + 1)) | grep -P '^mycustoms\.Nginx_open[.\t]')"
check_eq "the right credentials are accepted" 1 "$(value exact $((last + 1)) mycustoms.Nginx_auth.ok)"
check_eq "a container host is reached at the container's address" "1 running" \
    "$(value exact $((last + 1)) mycustoms.Nginx_box.ok) $(value exact $((last + 1)) docker.web.state)"
check "the init line hides the password" contains "$WORK/exact.out" \
    "Nginx auth init with watch *** 127.0.0.1 8090 private_status ***"

# --- Failures, two-second cycles with a one-second time-out.
conf=$(write_conf failing <<EOF
id 4502
address 127.0.0.1
port 8641
interval 2
counter_tcp_to 1
nginx_open 127.0.0.1:8090/nginx_status localhost
nginx_badpass watch:wrong@127.0.0.1:8090/private_status localhost
nginx_nocreds 127.0.0.1:8090/private_status localhost
nginx_html 127.0.0.1:8090/html localhost
nginx_boom 127.0.0.1:8090/boom localhost
nginx_missing 127.0.0.1:8090/missing localhost
nginx_down 127.0.0.1:8099/nginx_status localhost
nginx_empty 127.0.0.1:8098/nginx_status localhost
nginx_silent 127.0.0.1:8097/nginx_status localhost
EOF
)
failing_run "$conf" mycustoms.Nginx_open
check_said "$WORK/failing.out" "[nginx] badpass: HTTP status 401" "[nginx] nocreds: HTTP status 401" \
    "[nginx] html: the answer holds no status lines" "[nginx] boom: HTTP status 500" \
    "[nginx] missing: HTTP status 404" "nginx: could not bind socket or connect whatever: (Connection refused)111" \
    "[nginx] empty: the connection closed before the whole answer" "[nginx] silent: no whole answer in time"
check "no password in any output" eval '! grep -E "s3cret|wrong|d2F0Y2g6|OndyaW5n" "$WORK"/exact.out "$WORK"/exact.err "$WORK"/failing.out "$WORK"/failing.err'

stop_servers
finish
