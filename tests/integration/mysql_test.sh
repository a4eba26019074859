# The real agent against a MariaDB primary and a replica of it: the report objects'
# keys, types and order, the rates against the server's own counters, the replica's
# figures with a stopped SQL thread, a restart that takes the server down for a
# while, a wrong password and a line without a port; passwords are never printed.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/sql_servers.sh"

P1=3307
P2=3308
PASS='S3cret-pw'
BADPASS='Wr0ng-pw'
at_exit mariadb_stop 1
at_exit mariadb_stop 2

mariadb_install 1 2
check "the primary starts" mariadb_start 1 $P1
check "the replica starts" mariadb_start 2 $P2
mariadb_sql 1 "CREATE USER 'mon'@'%' IDENTIFIED BY '$PASS';
               GRANT PROCESS, REPLICATION CLIENT, SLAVE MONITOR ON *.* TO 'mon'@'%';
               CREATE USER 'nopass'@'localhost';
               GRANT PROCESS, REPLICATION CLIENT, SLAVE MONITOR ON *.* TO 'nopass'@'localhost';
               CREATE USER 'repl'@'%' IDENTIFIED BY 'r'; GRANT REPLICATION SLAVE ON *.* TO 'repl'@'%';
               CREATE DATABASE t; CREATE TABLE t.a (i INT PRIMARY KEY AUTO_INCREMENT, v INT) ENGINE=InnoDB;"
mariadb_sql 2 "CHANGE MASTER TO MASTER_HOST='127.0.0.1', MASTER_PORT=$P1, MASTER_USER='repl', MASTER_PASSWORD='r',
               MASTER_USE_GTID=slave_pos, MASTER_CONNECT_RETRY=1; START SLAVE;"

sql_agent 4242 "Mysql found and loaded = libmysqlclient.so" <<EOF
mysql_main mon:$PASS@127.0.0.1:$P1
mysql_sock nopass:@localhost:$WORK/m1.sock
mysql_replica mon:$PASS@127.0.0.1:$P2
mysql_bad mon:$BADPASS@127.0.0.1:$P1
mysql_noport mon:$PASS@127.0.0.1
EOF

oracle mysql-shape "$WORK/packets" || fail "report layout"
oracle mysql-rates "$WORK/packets" "$WORK/m1.sock" || fail "rates"
oracle mysql-replica "$WORK/packets" "$WORK/m1.sock" "$WORK/m2.sock" || fail "replica"
# A statement cut by the server's shutdown fails; none before it.
check_eq "no statement failed" "" "$(grep -F '[mysql] ERROR' "$WORK/err.log")"
RESTARTED=1 down_and_back "mariadb_stop 1" "mariadb_start 1 $P1" mysqls main sock

sql_agent_end "$PASS|$BADPASS"

check "the init line hides the password" contains "$WORK/out.log" \
    "Mysql main init with mon *** 127.0.0.1 $P1 "
check "the socket form" contains "$WORK/out.log" "Mysql sock init with nopass *** localhost 0 $WORK/m1.sock"
check "a wrong password is reported" contains "$WORK/err.log" \
    "Failed to connect to mysql(mon:***@127.0.0.1:$P1 ): Error: Access denied for user 'mon'@'127.0.0.1' (using password: YES)"
check "a line without a port never connects" contains "$WORK/err.log" \
    "Failed to connect to mysql(mon:***@127.0.0.1:(0 | )): Error: "
check "the down server is reported" contains "$WORK/err.log" \
    "Failed to connect to mysql(nopass:***@localhost/$WORK/m1.sock): Error: Can't connect"
check "the library is closed at the end" contains "$WORK/out.log" "Closing libmysql"

finish
