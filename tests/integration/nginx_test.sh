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
check "the odd servers start" start_odd_servers

# --- Exact figures, one-second cycles.
conf=$(web_conf exact 4501 1 <<EOF
nginx_open 127.0.0.1:8090/nginx_status localhost
nginx_auth watch:s3cret@127.0.0.1:8090/private_status localhost
nginx_box [web]:8090/nginx_status localhost
docker_sock $DOCKER_SOCK
EOF
)
page() { http_get 8090 /nginx_status | tr -d '\r'; }
load() {
    ab -q -n 20 -c 2 http://127.0.0.1:8090/nginx_status >/dev/null 2>&1
    after=$(page)
}
loaded_run "$conf" load

# Each cycle makes three requests, the open counter's own counted in its page; the
# load adds its 20 and the test's page read.
check_load_rates "requests per second over the load" mycustoms.Nginx_open.rps 3 $((20 + 1))
read -r _ reading _ writing _ waiting < <(grep '^Reading:' <<<"$after")
check_rates "a quiet report, exactly" "$(quiet_window)" "$(mycustom_rows Nginx open rps double '{d(3)}' \
    active int64 "$(sed -n 's/^Active connections: \([0-9]*\).*/\1/p' <<<"$after")" \
    reading int64 "$reading" writing int64 "$writing" keepalive int64 "$waiting")" \
    "$(object exact $((last + 1)) mycustoms.Nginx_open)"
check_eq "the right credentials are accepted" 1 "$(value exact $((last + 1)) mycustoms.Nginx_auth.ok)"
check_eq "a container host is reached at the container's address" "1 running" \
    "$(value exact $((last + 1)) mycustoms.Nginx_box.ok) $(value exact $((last + 1)) docker.web.state)"
check "the init line hides the password" contains "$WORK/exact.out" \
    "Nginx auth init with watch *** 127.0.0.1 8090 private_status ***"

# --- Failures, three-second cycles with a one-second time-out.
conf=$(web_conf failing 4502 3 <<EOF
nginx_open 127.0.0.1:8090/nginx_status localhost
nginx_badpass watch:wrong@127.0.0.1:8090/private_status localhost
nginx_nocreds 127.0.0.1:8090/private_status localhost
nginx_html 127.0.0.1:8090/html localhost
nginx_err 127.0.0.1:8090/boom localhost
nginx_missing 127.0.0.1:8090/missing localhost
$(unreachable_lines nginx "/nginx_status localhost")
EOF
)
failing_run "$conf" mycustoms.Nginx_open
check_http_failures nginx

stop_servers
finish
