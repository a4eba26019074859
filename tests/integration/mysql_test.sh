# The real agent against a MariaDB primary and a replica of it: the report objects'
# keys, types and order, the rates against the server's own counters, the replica's
# figures with a stopped SQL thread, a restart that takes the server down for a
# while, a wrong password and a line without a port; passwords are never printed.
. "$(dirname "$0")/lib.sh"

TOOLS="$VESK_BUILD/tests/tools"
ORACLE="/usr/bin/python3 $(dirname "$0")/sql_oracle.py"
P1=3307
P2=3308
PASS='S3cret-pw'
BADPASS='Wr0ng-pw'

start_mariadb() { # N PORT
    mariadbd --no-defaults --user=root --datadir="$WORK/m$1" --socket="$WORK/m$1.sock" --port="$2" \
        --bind-address=127.0.0.1 --innodb-buffer-pool-size=32M --innodb-log-file-size=16M \
        --innodb-flush-log-at-trx-commit=0 --performance-schema=0 --skip-name-resolve \
        --log-bin="$WORK/m$1/bin" --server-id="$1" --pid-file="$WORK/m$1.pid" --tmpdir="$WORK/tmp$1" \
        >>"$WORK/mariadb$1.log" 2>&1 &
    eval "M$1_PID=$!"
}
sql() { mariadb --no-defaults -uroot -S "$WORK/m$1.sock" -e "$2"; }
ready() { sql "$1" "SELECT 1" >/dev/null 2>&1; }
wait_ready() {
    local i
    for ((i = 0; i < 200; i++)); do ready "$1" && return 0; sleep 0.1; done
    return 1
}
M1_PID= M2_PID=
cleanup() { for p in $M1_PID $M2_PID; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done; }
trap cleanup EXIT

# Each instance has a temporary directory of its own, so the two installs running side
# by side never meet in one.
for n in 1 2; do
    mkdir -p "$WORK/tmp$n"
    mariadb-install-db --no-defaults --user=root --datadir="$WORK/m$n" --auth-root-authentication-method=normal \
        --skip-test-db --tmpdir="$WORK/tmp$n" >"$WORK/install$n.log" 2>&1 &
done
wait
start_mariadb 1 $P1
start_mariadb 2 $P2
check "the primary starts" wait_ready 1
check "the replica starts" wait_ready 2

sql 1 "CREATE USER 'mon'@'%' IDENTIFIED BY '$PASS';
       GRANT PROCESS, REPLICATION CLIENT, SLAVE MONITOR ON *.* TO 'mon'@'%';
       CREATE USER 'nopass'@'localhost';
       GRANT PROCESS, REPLICATION CLIENT, SLAVE MONITOR ON *.* TO 'nopass'@'localhost';
       CREATE USER 'repl'@'%' IDENTIFIED BY 'r'; GRANT REPLICATION SLAVE ON *.* TO 'repl'@'%';
       CREATE DATABASE t; CREATE TABLE t.a (i INT PRIMARY KEY AUTO_INCREMENT, v INT) ENGINE=InnoDB;"
sql 2 "CHANGE MASTER TO MASTER_HOST='127.0.0.1', MASTER_PORT=$P1, MASTER_USER='repl', MASTER_PASSWORD='r',
       MASTER_USE_GTID=slave_pos, MASTER_CONNECT_RETRY=1; START SLAVE;"

mkdir -p "$WORK/packets"
"$TOOLS/vesk_collector" --port 0 --out "$WORK/packets" --timeout 300 >"$WORK/collector.log" 2>&1 &
COLLECTOR_PID=$!
check "the collector listens" wait_for_text "$WORK/collector.log" "listening udp" 10
port=$(sed -n 's/^listening udp 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$WORK/collector.log")

conf=$(write_conf <<EOF
id 4242
address 127.0.0.1
port $port
interval 2
mysql_main mon:$PASS@127.0.0.1:$P1
mysql_sock nopass:@localhost:$WORK/m1.sock
mysql_replica mon:$PASS@127.0.0.1:$P2
mysql_bad mon:$BADPASS@127.0.0.1:$P1
mysql_noport mon:$PASS@127.0.0.1
EOF
)
start_vesk --debug --config "$conf" --conf-glob "$WORK/none/*.conf"
check "the library is loaded" wait_for_text "$WORK/out.log" "Mysql found and loaded = libmysqlclient.so" 10
check "reports arrive" wait_for_text "$WORK/collector.log" "packet 2:" 20

$ORACLE mysql-shape "$WORK/packets" || fail "report layout"
$ORACLE mysql-rates "$WORK/packets" "$WORK/m1.sock" || fail "rates"
$ORACLE mysql-replica "$WORK/packets" "$WORK/m1.sock" "$WORK/m2.sock" || fail "replica"

# Down for a while, then back after a restart: absent while down and for the first
# cycle back, and the restart reported once.
first=$($ORACLE last "$WORK/packets")
kill -TERM "$M1_PID" && wait "$M1_PID"
$ORACLE wait "$WORK/packets" $((first + 2))
start_mariadb 1 $P1
check "the primary starts again" wait_ready 1
back=$($ORACLE last "$WORK/packets")
$ORACLE wait "$WORK/packets" $((back + 3))
for id in main sock; do
    $ORACLE down-and-back "$WORK/packets" "$first" "$id" mysqls restarted || fail "down and back: $id"
done

stop_vesk
kill "$COLLECTOR_PID" 2>/dev/null

check "the init line hides the password" contains "$WORK/out.log" \
    "Mysql main init with mon *** 127.0.0.1 $P1 "
check "the socket form" contains "$WORK/out.log" "Mysql sock init with nopass *** localhost 0 $WORK/m1.sock"
check "a wrong password is reported" contains "$WORK/err.log" \
    "Failed to connect to mysql(mon:***@127.0.0.1:$P1 ): Error: Access denied for user 'mon'@'127.0.0.1' (using password: YES)"
check "a line without a port never connects" contains "$WORK/err.log" \
    "Failed to connect to mysql(mon:***@127.0.0.1:(0 | )): Error: "
check "the down server is reported" contains "$WORK/err.log" "Failed to connect to mysql(mon:***@127.0.0.1:$P1 ): Error: Can't connect"
check_eq "no password is ever printed" "" "$(grep -hoE "$PASS|$BADPASS" "$WORK/out.log" "$WORK/err.log")"
check "the library is closed at the end" contains "$WORK/out.log" "Closing libmysql"
check_eq "no statement failed" "" "$(grep -F '[mysql] ERROR' "$WORK/err.log")"

finish
