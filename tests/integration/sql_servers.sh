# Real SQL servers for the suites and the benchmark, started inside the caller's
# namespace on 127.0.0.1 with their data under $WORK, and stopped by pid. Source it
# after lib.sh, and register the *_stop of each server started with at_exit; each is
# safe to call twice.

# ---- MariaDB: instance N listens on PORT and on $WORK/mN.sock ----

# Creates the data directories of the instances named, side by side; each instance
# has a temporary directory of its own, so two installs never meet in one.
mariadb_install() {
    local n
    for n in "$@"; do
        mkdir -p "$WORK/tmp$n"
        mariadb-install-db --no-defaults --user=root --datadir="$WORK/m$n" --auth-root-authentication-method=normal \
            --skip-test-db --tmpdir="$WORK/tmp$n" >"$WORK/install$n.log" 2>&1 &
    done
    wait
}
mariadb_start() { # N PORT; waits until it answers
    mariadbd --no-defaults --user=root --datadir="$WORK/m$1" --socket="$WORK/m$1.sock" --port="$2" \
        --bind-address=127.0.0.1 --innodb-buffer-pool-size=32M --innodb-log-file-size=16M \
        --innodb-flush-log-at-trx-commit=0 --performance-schema=0 --skip-name-resolve \
        --log-bin="$WORK/m$1/bin" --server-id="$1" --pid-file="$WORK/m$1.pid" --tmpdir="$WORK/tmp$1" \
        >>"$WORK/mariadb$1.log" 2>&1 &
    eval "MARIADB_PID_$1=$!"
    wait_until 20 mariadb_answers "$1"
}
mariadb_answers() { mariadb_sql "$1" "SELECT 1" >/dev/null 2>&1; }
mariadb_sql() { mariadb --no-defaults -uroot -S "$WORK/m$1.sock" -e "$2"; }
mariadb_stop() { # N
    local var="MARIADB_PID_$1"
    local pid=${!var:-}
    [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    eval "MARIADB_PID_$1="
}

# ---- PostgreSQL 15 on 127.0.0.1:5432 and the socket directory $PG_SOCK ----

PGBIN=/usr/lib/postgresql/15/bin
PG_SOCK="$WORK/pgsock"
pg_as_owner() { runuser -u postgres -- "$@"; }
# Local connections are trusted, TCP ones need a password.
pg_install() {
    chmod 755 "$WORK"
    mkdir -p "$PG_SOCK" "$WORK/pg"
    touch "$WORK/postgres.log"
    chown postgres "$PG_SOCK" "$WORK/pg" "$WORK/postgres.log"
    pg_as_owner "$PGBIN/initdb" --no-sync -D "$WORK/pg" -U postgres --auth-local=trust \
        --auth-host=scram-sha-256 >"$WORK/initdb.log" 2>&1
}
pg_start() {
    pg_as_owner "$PGBIN/pg_ctl" -w -D "$WORK/pg" -l "$WORK/postgres.log" \
        -o "-c fsync=off -c autovacuum=off -c listen_addresses=127.0.0.1 -p 5432 -k $PG_SOCK" start >/dev/null
}
pg_sql() { "$PGBIN/psql" -q -h "$PG_SOCK" -U postgres -c "$1"; }
pg_stop() {
    local pid
    pid=$(head -n 1 "$WORK/pg/postmaster.pid" 2>/dev/null)
    [ -n "$pid" ] && kill -INT "$pid" 2>/dev/null && wait_gone "$pid" 20
}

# ---- sphinxsearch searchd with a real-time index "rt", mysql41 on SPHINX_PORT ----

SPHINX_PORT=9306
SEARCHD_PID=
searchd_start() {
    [ -e "$WORK/sphinx.conf" ] || cat >"$WORK/sphinx.conf" <<EOF
index rt
{
    type = rt
    path = $WORK/rt
    rt_field = title
    rt_attr_uint = gid
}
searchd
{
    listen = 127.0.0.1:$SPHINX_PORT:mysql41
    log = $WORK/searchd.log
    query_log = $WORK/query.log
    pid_file = $WORK/searchd.pid
    binlog_path = $WORK
    workers = threads
}
EOF
    searchd --config "$WORK/sphinx.conf" --nodetach >>"$WORK/searchd.out.log" 2>&1 &
    SEARCHD_PID=$!
    wait_until 10 searchd_answers
}
searchd_answers() { (exec 3<>"/dev/tcp/127.0.0.1/$SPHINX_PORT") 2>/dev/null; }
searchd_stop() {
    [ -n "$SEARCHD_PID" ] && kill "$SEARCHD_PID" 2>/dev/null && wait "$SEARCHD_PID"
    SEARCHD_PID=
}

# ---- the agent and its reports ----

# sql_agent ID LOADED: a collector that writes every report to $WORK/packets, and the
# agent with --debug on two-second cycles reporting to it, with the counter lines of
# standard input; waits until the agent says LOADED and two reports are in. Sets $conf.
sql_agent() {
    mkdir -p "$WORK/packets"
    "$VESK_BUILD/tests/tools/vesk_collector" --port 0 --out "$WORK/packets" --timeout 300 \
        >"$WORK/collector.log" 2>&1 &
    COLLECTOR_PID=$!
    check "the collector listens" wait_for_text "$WORK/collector.log" "listening udp" 10
    local port
    port=$(sed -n 's/^listening udp 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$WORK/collector.log")
    conf=$({ printf 'id %s\naddress 127.0.0.1\nport %s\ninterval 2\n' "$1" "$port"; cat; } | write_conf)
    start_vesk --debug --config "$conf" --conf-glob "$WORK/none/*.conf"
    check "the library is loaded" wait_for_text "$WORK/out.log" "$2" 10
    check "reports arrive" wait_for_text "$WORK/collector.log" "packet 2:" 20
}
# sql_agent_end PATTERN: stops the agent and the collector; no output of the agent
# holds a password (PATTERN, an extended regular expression).
sql_agent_end() {
    stop_vesk
    kill "$COLLECTOR_PID" 2>/dev/null
    check_eq "no password is ever printed" "" "$(grep -hoE "$1" "$WORK/out.log" "$WORK/err.log")"
}
# The "mycustoms" objects of every report, as paths.
reported_mycustoms() {
    local f
    for f in "$WORK"/packets/*.bin; do "$VESK_BUILD/tests/tools/bson2json" --packet "$f"; done |
        grep -oP '^mycustoms\.[^.\t]+(?=\t)' | sort -u
}

SQL_ORACLE="$(dirname "${BASH_SOURCE[0]}")/sql_oracle.py"
# The servers' own views, sampled by an independent client (a function, so the
# checkout's path may hold blanks).
oracle() { /usr/bin/python3 "$SQL_ORACLE" "$@"; }

# Takes the server down after the last report, and up again two reports later; then
# checks that each object was absent while down and for the first cycle back.
# down_and_back STOP START ARRAY ID... (with RESTARTED=1, the restart flag too)
down_and_back() {
    local stop=$1 start=$2 array=$3 first back id
    shift 3
    first=$(oracle last "$WORK/packets")
    $stop
    oracle wait "$WORK/packets" $((first + 2))
    check "the server starts again" $start
    back=$(oracle last "$WORK/packets")
    oracle wait "$WORK/packets" $((back + 3))
    for id in "$@"; do
        oracle down-and-back "$WORK/packets" "$first" "$id" "$array" ${RESTARTED:+restarted} ||
            fail "down and back: $id"
    done
}
