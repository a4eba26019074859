#!/usr/bin/env bash
# Runs bench/sql_bench against a MariaDB, a PostgreSQL and a searchd started here, in
# private namespaces (as the black-box tests start them), then its soak of N cycles.
#   bench/sql_bench.sh [BUILD_DIR] [SOAK_CYCLES]     (as root; defaults: build 10000)
root=$(cd "$(dirname "$0")/.." && pwd)
export VESK_BUILD=${VESK_BUILD:-$(cd "${1:-$root/build}" && pwd)}
export VESK_BIN=${VESK_BIN:-$VESK_BUILD/vesk}
SOAK=${2:-10000}
. "$root/tests/integration/lib.sh"
. "$root/tests/integration/sql_servers.sh"
at_exit mariadb_stop 1
at_exit pg_stop
at_exit searchd_stop

mariadb_install 1
check "MariaDB starts" mariadb_start 1 3306
mariadb_sql 1 "CREATE USER 'mon'@'%' IDENTIFIED BY 'bench'; GRANT PROCESS, REPLICATION CLIENT, SLAVE MONITOR ON *.* TO 'mon'@'%';"
pg_install
check "PostgreSQL starts" pg_start
pg_sql "CREATE ROLE mon LOGIN PASSWORD 'bench' IN ROLE pg_monitor" >/dev/null
check "searchd starts" searchd_start

export VESK_BENCH_MYSQL="mon:bench@127.0.0.1:3306" VESK_BENCH_PG="mon:bench@127.0.0.1:5432" \
    VESK_BENCH_SPHINX="mon:bench@127.0.0.1:$SPHINX_PORT"
"$VESK_BUILD/bench/sql_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true | grep -v ' init with '
check "nothing piles up over $SOAK cycles" "$VESK_BUILD/bench/sql_bench" --soak "$SOAK"
finish
