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

# Waits up to 10 s until something accepts on 127.0.0.1:$1.
wait_port() {
    local i
    for ((i = 0; i < 100; i++)); do
        (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

make_htpasswd() {
    [ -e "$WORK/htpasswd" ] || htpasswd -cbm "$WORK/htpasswd" watch 's3cret' 2>/dev/null
    chmod 644 "$WORK/htpasswd"
}

# apache2 on three ports: $1 serves the status page openly, $2 behind Basic
# credentials, $3 a virtual host whose /server-status/ is an HTML page and whose
# /server-status answers 500. $4 (optional) "Off" turns ExtendedStatus off.
start_apache() {
    local open=$1 auth=$2 odd=$3 ext=${4:-On} dir="$WORK/apache" m=/usr/lib/apache2/modules
    mkdir -p "$dir/html/server-status"
    chmod 755 "$WORK" "$dir" "$dir/html" "$dir/html/server-status"
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
LogLevel warn
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
DocumentRoot $dir/html
<Directory $dir/html>
    Require all granted
</Directory>
Listen 127.0.0.1:$open
Listen 127.0.0.1:$auth
Listen 127.0.0.1:$odd
<VirtualHost 127.0.0.1:$open>
    <Location /server-status>
        SetHandler server-status
        Require all granted
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
<VirtualHost 127.0.0.1:$odd>
    RewriteEngine On
    RewriteRule ^/server-status\$ - [R=500]
</VirtualHost>
CONF
    apache2 -f "$dir/apache.conf" -DFOREGROUND >"$dir/stdout.log" 2>&1 &
    SERVER_PIDS+=($!)
    wait_port "$open" && wait_port "$auth" && wait_port "$odd"
}

# nginx on port $1: /nginx_status open, /private_status behind Basic credentials,
# /html an HTML page, /boom a 500.
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

# The status page of an FPM pool through the independent client: fpm_status
# HOST:PORT|SOCKET [PATH].
fpm_status() {
    SCRIPT_NAME=${2:-/status} SCRIPT_FILENAME=${2:-/status} REQUEST_URI=${2:-/status} REQUEST_METHOD=GET \
        QUERY_STRING= cgi-fcgi -bind -connect "$1"
}
