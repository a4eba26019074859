#!/usr/bin/env bash
# Runs build/bench/http_counters_bench against apache2, nginx, php-fpm and the
# Elasticsearch fake, started in private namespaces on loopback. As root:
#   bench/run_http_bench.sh [BUILD DIR] [benchmark options...]
set -u
SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$SRC/build}" && pwd)
shift || true
if [ -z "${VESK_IN_NS:-}" ]; then
    export VESK_IN_NS=1
    exec unshare --mount --ipc --net --fork --propagation private \
        bash -c 'mount -t tmpfs tmpfs /tmp && ip link set lo up && exec bash "$0" "$@"' "$0" "$BUILD" "$@"
fi
WORK=$(mktemp -d /tmp/vesk-bench.XXXXXX)
VESK_SRC=$SRC
. "$SRC/tests/integration/http_servers.sh"
trap stop_servers EXIT
start_apache 8081 8082 8083 8084 8085 && start_nginx 8090 && start_fpm 9000 && start_elastic 9201 --version 8 ||
    { echo "the servers did not start" >&2; exit 1; }
VESK_BENCH_APACHE=8081 VESK_BENCH_NGINX=8090 VESK_BENCH_FPM=9000 VESK_BENCH_ELASTIC="9201 Xk3dQ8pTRsOq1w-JvZ1h2A" \
    "$BUILD/bench/http_counters_bench" "$@" 2>&1 | grep -v ' init with '
