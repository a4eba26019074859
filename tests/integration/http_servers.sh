# Real HTTP and FastCGI servers for the black-box suites and the benchmark, each
# started from a minimal configuration of its own under $WORK, on 127.0.0.1, in the
# foreground in the background, and stopped by pid (stop_servers). Source it after
# lib.sh (or with WORK set). Every server serves one user "watch" with password
# "s3cret" on its protected page.
SERVER_PIDS=()

stop_servers() {
    local p
    for p in "${SERVER_PIDS[@]}"; do kill -TERM "$p" 2>/dev/null; done
    for p in "${SERVER_PIDS[@]}"; do
        for _ in $(seq 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$p" 2>/dev/null
    done
    SERVER_PIDS=()
}

make_htpasswd() {
    [ -e "$WORK/htpasswd" ] || htpasswd -cbm "$WORK/htpasswd" watch 's3cret' 2>/dev/null
    chmod 755 "$WORK"
    chmod 644 "$WORK/htpasswd"
}

# apache2 with five virtual hosts on 127.0.0.1: $1 serves the status page openly,
# $2 behind Basic credentials, $3 an HTML page in its place, $4 answers 500 and $5
# 404. $6 (optional) "Off" turns ExtendedStatus off.
start_apache() {
    local open=$1 auth=$2 html=$3 err=$4 missing=$5 ext=${6:-On} dir="$WORK/apache-$1" m=/usr/lib/apache2/modules
    mkdir -p "$dir/html/server-status" "$dir/empty"
    chmod 755 "$WORK" "$dir" "$dir/html" "$dir/html/server-status" "$dir/empty"
    echo '<html><body><h1>It works</h1></body></html>' >"$dir/html/server-status/index.html"
    make_htpasswd
    cat >"$dir/apache.conf" <<CONF
ServerRoot $dir
ServerName localhost
PidFile $dir/apache.pid
Mutex file:$dir
DefaultRuntimeDir $dir
User nobody
Group nogroup
ErrorLog $dir/error.log
LogLevel crit
LoadModule mpm_event_module $m/mod_mpm_event.so
LoadModule authz_core_module $m/mod_authz_core.so
LoadModule authz_user_module $m/mod_authz_user.so
LoadModule authn_core_module $m/mod_authn_core.so
LoadModule authn_file_module $m/mod_authn_file.so
LoadModule auth_basic_module $m/mod_auth_basic.so
LoadModule status_module $m/mod_status.so
LoadModule dir_module $m/mod_dir.so
LoadModule mime_module $m/mod_mime.so
LoadModule rewrite_module $m/mod_rewrite.so
TypesConfig /etc/mime.types
DirectoryIndex index.html
KeepAlive Off
StartServers 1
ServerLimit 1
ThreadLimit 4
ThreadsPerChild 4
MaxRequestWorkers 4
MinSpareThreads 1
MaxSpareThreads 4
ExtendedStatus $ext
DocumentRoot $dir/empty
<Directory $dir>
    Require all granted
</Directory>
Listen 127.0.0.1:$open
Listen 127.0.0.1:$auth
Listen 127.0.0.1:$html
Listen 127.0.0.1:$err
Listen 127.0.0.1:$missing
<VirtualHost 127.0.0.1:$open>
    <Location /server-status>
        SetHandler server-status
    </Location>
</VirtualHost>
<VirtualHost 127.0.0.1:$auth>
    <Location /server-status>
        SetHandler server-status
        AuthType Basic
        AuthName status
        AuthUserFile $WORK/htpasswd
        Require valid-user
    </Location>
</VirtualHost>
<VirtualHost 127.0.0.1:$html>
    DocumentRoot $dir/html
</VirtualHost>
<VirtualHost 127.0.0.1:$err>
    RewriteEngine On
    RewriteRule ^ - [R=500]
</VirtualHost>
<VirtualHost 127.0.0.1:$missing>
</VirtualHost>
CONF
    apache2 -f "$dir/apache.conf" -DFOREGROUND >"$dir/stdout.log" 2>&1 &
    SERVER_PIDS+=($!)
    wait_port "$open" && wait_port "$auth" && wait_port "$html" && wait_port "$err" && wait_port "$missing"
}

# nginx on port $1: /nginx_status open, /private_status behind Basic credentials,
# /html an HTML page, /boom a 500, anything else 404.
start_nginx() {
    local port=$1 dir="$WORK/nginx"
    mkdir -p "$dir/tmp"
    make_htpasswd
    cat >"$dir/nginx.conf" <<CONF
daemon off;
user nobody nogroup;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path $dir/tmp/body;
    proxy_temp_path $dir/tmp/proxy;
    fastcgi_temp_path $dir/tmp/fastcgi;
    uwsgi_temp_path $dir/tmp/uwsgi;
    scgi_temp_path $dir/tmp/scgi;
    server {
        listen 127.0.0.1:$port;
        server_name localhost;
        location = /nginx_status { stub_status; }
        location = /private_status {
            stub_status;
            auth_basic status;
            auth_basic_user_file $WORK/htpasswd;
        }
        location = /html { default_type text/html; return 200 "<html><body>Welcome</body></html>\n"; }
        location = /boom { return 500; }
        location / { return 404; }
    }
}
CONF
    nginx -p "$dir" -c "$dir/nginx.conf" >"$dir/stdout.log" 2>&1 &
    SERVER_PIDS+=($!)
    wait_port "$port"
}

# php-fpm with two static pools answering /status: "tcp" on port $1 (two
# children) and "unix" on the socket $WORK/fpm.sock (one child).
start_fpm() {
    local port=$1 dir="$WORK/fpm"
    mkdir -p "$dir"
    cat >"$dir/fpm.conf" <<CONF
[global]
pid = $dir/fpm.pid
error_log = $dir/error.log
daemonize = no
[tcp]
user = nobody
group = nogroup
listen = 127.0.0.1:$port
pm = static
pm.max_children = 2
pm.status_path = /status
[unix]
user = nobody
group = nogroup
listen = $WORK/fpm.sock
listen.mode = 0666
pm = static
pm.max_children = 1
pm.status_path = /status
CONF
    php-fpm8.2 -R -F -y "$dir/fpm.conf" >"$dir/stdout.log" 2>&1 &
    SERVER_PIDS+=($!)
    wait_port "$port" && for _ in $(seq 100); do [ -S "$WORK/fpm.sock" ] && return 0; sleep 0.1; done
    return 1
}

# A server that never answers on 8097, and one that closes without answering on 8098.
start_odd_servers() {
    local m
    for m in silent:8097 close:8098; do
        python3 "$VESK_SRC/tests/fakes/odd_listener.py" --mode ${m%:*} --port ${m#*:} >"$WORK/odd-${m#*:}.log" 2>&1 &
        SERVER_PIDS+=($!)
    done
    wait_port 8097 && wait_port 8098
}
# unreachable_lines KIND TAIL: configuration lines of three KIND counters, "down" where
# nothing listens, "empty" on the closing server, "silent" on the mute one; TAIL
# follows each address.
unreachable_lines() {
    printf '%s_down 127.0.0.1:8099%s\n%s_empty 127.0.0.1:8098%s\n%s_silent 127.0.0.1:8097%s\n' "$1" "$2" "$1" "$2" "$1" "$2"
}
# check_unreachable TAG: the failing run said why "empty" and "silent" failed.
check_unreachable() {
    check_said "$WORK/failing.out" "[$1] empty: the connection closed before the whole answer" \
        "[$1] silent: no whole answer in time"
}

# One HTTP/1.0 request on 127.0.0.1: http_get PORT PATH prints the whole answer.
http_get() {
    exec 9<>"/dev/tcp/127.0.0.1/$1" || return 1
    printf 'GET %s HTTP/1.0\r\nHost: localhost\r\nConnection: close\r\n\r\n' "$2" >&9
    timeout 5 cat <&9
    exec 9<&-
}

# ---- agent runs: a collector on 127.0.0.1:8641 gathers every report into $WORK/NAME/

# web_conf NAME ID INTERVAL: writes a configuration for the runs' collector, with a
# one-second time-out, whose counter lines come on standard input; prints its path.
web_conf() {
    { printf 'id %s\naddress 127.0.0.1\nport 8641\ninterval %s\ncounter_tcp_to 1\n' "$2" "$3"; cat; } | write_conf "$1"
}

# start_run NAME CONF [AGENT OPTIONS...]
start_run() {
    local name=$1 conf=$2
    shift 2
    mkdir -p "$WORK/$name"
    "$VESK_BUILD/tests/tools/vesk_collector" --port 8641 --out "$WORK/$name" --timeout 300 >"$WORK/$name.log" 2>&1 &
    RUN_COLLECTOR=$!
    wait_for_text "$WORK/$name.log" listening
    start_vesk --config "$conf" --conf-glob "$WORK/none/*.conf" "$@"
}

# wait_packet NAME K [SECONDS]: until report K has arrived.
wait_packet() { wait_for_text "$WORK/$1.log" "packet $2:" "${3:-20}"; }

# How many reports have arrived.
packets() { grep -c '^packet ' "$WORK/$1.log"; }

# end_run NAME: stops the agent and the run's collector, keeping the agent's logs.
end_run() { stop_run "$1" "$RUN_COLLECTOR"; }

# loaded_run CONF LOAD: the run "exact" on CONF; after its third report the function
# LOAD runs, and the run ends once the report after the last one LOAD may have
# reached is in. Sets $first, the last report before LOAD, and $last.
loaded_run() {
    start_run exact "$1" --debug
    check "three reports" wait_packet exact 3
    first=$(packets exact)
    $2
    last=$(($(packets exact) + 1))
    check "the reports after the load" wait_packet exact $((last + 1))
    end_run exact
}

# report NAME K: report K of the run as bson2json lines.
report() { "$VESK_BUILD/tests/tools/bson2json" --packet "$WORK/$1/packet-$2.bin"; }

# value NAME K PATH: one value of report K.
value() { report "$1" "$2" | awk -F'\t' -v p="$3" '$1 == p { print $3 }'; }

# The counter objects of "mycustoms" in report K.
mycustoms() { report "$1" "$2" | awk -F'\t' '$1 ~ /^mycustoms\.[^.]*$/ { print $1 }'; }

# object NAME K PATH: the lines of one object of report K.
object() { report "$1" "$2" | grep -P "^${3//./\\.}[.\t]"; }

# mycustom_rows KIND ID KEY TYPE VALUE...: the lines of a good "mycustoms" object.
mycustom_rows() {
    local o=mycustoms.$1_$2
    printf '%s\tdocument\t\n%s.report\tstring\t%s\n%s.id\tstring\t%s\n%s.ok\tint64\t1\n' "$o" "$o" "$1" "$o" "$2" "$o"
    shift 2
    while [ $# -gt 0 ]; do
        printf '%s.%s\t%s\t%s\n' "$o" "$1" "$2" "$3"
        shift 3
    done
}

# page_value PAGE NAME: the value of a "Name: value" line of a status page.
page_value() { tr -d '\r' <<<"$1" | sed -n "s/^$2: *//p"; }

# The sum of one integer or double value over reports FROM..TO.
value_sum() {
    local name=$1 from=$2 to=$3 path=$4 k
    for ((k = from; k <= to; k++)); do value "$name" "$k" "$path"; done | awk '{ s += $1 } END { printf "%.10g\n", s }'
}

# check_load_rates DESCRIPTION PATH PER_CYCLE LOAD [int]: the per-second rates at PATH
# of the reports of loaded_run's load add up to PER_CYCLE events a cycle and the LOAD
# more, over the spans behind them; integer rates, truncated, lose up to 1 each.
check_load_rates() {
    local n=$((last - first)) sum
    sum=$(value_sum exact $((first + 1)) $last "$2")
    check "$1 ($sum)" awk -v w="$(span_window "$WORK/exact" $((first + 1)) $last)" -v c=$(($3 * n + $4)) \
        -v lost=$([ "${5:-}" = int ] && echo $n || echo 0) -v s="$sum" \
        'BEGIN { split(w, ms, " "); exit !(s >= c * 1000 / ms[2] - lost - 1e-6 && s <= c * 1000 / ms[1] + 1e-6) }'
}

# quiet_window: the milliseconds the span behind loaded_run's quiet report may have lasted.
quiet_window() { span_window "$WORK/exact" $((last + 1)); }

# The resident memory of a process in kB.
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

# check_memory NAME RSS_BEFORE RSS_AFTER: the agent of run NAME used no more memory
# over its cycles; under AddressSanitizer the leak checker's verdict at exit counts.
check_memory() {
    if under_asan; then
        check "no leak at exit" eval '! grep -q LeakSanitizer "$WORK/$1.err"'
    else
        check "memory stays flat ($2 kB, then $3 kB)" [ $(($3 - $2)) -lt 256 ]
    fi
}

# The status page of an FPM pool through the independent client: fpm_status HOST:PORT|SOCKET.
fpm_status() {
    SCRIPT_NAME=/status SCRIPT_FILENAME=/status REQUEST_URI=/status REQUEST_METHOD=GET QUERY_STRING= \
        cgi-fcgi -bind -connect "$1"
}

# An Elasticsearch fake on port $1; the other arguments go to tests/fakes/elastic_fake.py.
start_elastic() {
    local port=$1
    shift
    python3 "$VESK_SRC/tests/fakes/elastic_fake.py" --port "$port" "$@" >"$WORK/elastic-$port.log" 2>&1 &
    SERVER_PIDS+=($!)
    wait_port "$port"
}

# failing_run CONF GOOD: runs the agent on CONF (three-second cycles, a one-second
# time-out, failing counters beside the one good counter whose object is GOOD) for
# six reports. A cycle lost to the failures would show as a gap of six seconds.
# Checks that the failures keep neither the cycle from its pace nor memory from
# being given back, and that each report holds GOOD alone.
failing_run() {
    local conf=$1 good=$2 t0 t1 rss0 rss1 n
    start_run failing "$conf" --debug
    check "a second report" wait_packet failing 2
    t0=$(date +%s.%N)
    rss0=$(rss_kb "$VESK_PID")
    check "six reports" wait_packet failing 6 40
    t1=$(date +%s.%N)
    rss1=$(rss_kb "$VESK_PID")
    end_run failing
    check "the cycle keeps its pace" awk -v a="$t0" -v b="$t1" 'BEGIN { exit !(b - a > 10.5 && b - a < 13.5) }'
    check_memory failing "$rss0" "$rss1"
    for n in 1 2 3 4 5 6; do
        check_eq "report $n holds $good only" "$good" "$(mycustoms failing $n)"
    done
}

# check_said FILE LINE...: each line stands in the file.
check_said() {
    local file=$1 line
    shift
    for line in "$@"; do check "said: $line" contains "$file" "$line"; done
}

# check_http_failures TAG: why the failing counters of an HTTP status page failed,
# "badpass", "nocreds", "html", "err", "missing" and the unreachable ones; and that no
# output of either run shows the password, plain or in Base64.
check_http_failures() {
    check_said "$WORK/failing.out" "[$1] badpass: HTTP status 401" "[$1] nocreds: HTTP status 401" \
        "[$1] html: the answer holds no status lines" "[$1] err: HTTP status 500" "[$1] missing: HTTP status 404" \
        "$1: could not bind socket or connect whatever: (Connection refused)111"
    check_unreachable "$1"
    check "no password in any output" eval '! grep -E "s3cret|wrong|d2F0Y2g6|OndyaW5n" "$WORK"/{exact,failing}.{out,err}'
}

# A fake Docker Engine on $WORK/docker.sock in which every named container runs at
# 127.0.0.1, for counters whose host is "[name]". Configuration: "docker_sock $DOCKER_SOCK".
DOCKER_SOCK=
start_engine() {
    local names="" n
    for n in "$@"; do names+="${names:+,}\"$n\":{\"state\":\"running\",\"ip\":\"127.0.0.1\"}"; done
    printf '{"containers":{%s},"stall":[]}' "$names" >"$WORK/engine.json"
    DOCKER_SOCK="$WORK/docker.sock"
    /usr/bin/python3 "$VESK_SRC/tests/fakes/fake_engine.py" --socket "$DOCKER_SOCK" --state "$WORK/engine.json" \
        >"$WORK/engine.log" 2>&1 &
    SERVER_PIDS+=($!)
    wait_for_file "$DOCKER_SOCK" 10
}
