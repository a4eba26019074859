// One full cycle (update, delta, report part) of a MySQL, a PostgreSQL and a Sphinx
// counter against local servers, beside the floor: the same statements through the
// same client libraries in a plain loop, every row fetched. With --soak N, runs N
// cycles of the three and prints what the process holds before and after (descriptors,
// resident memory) and the servers' client connections, to show nothing piles up.
//
// The servers come from the environment, as the counters' configuration values:
//   VESK_BENCH_MYSQL="user:pass@127.0.0.1:3306"  VESK_BENCH_SPHINX="u:p@127.0.0.1:9306"
//   VESK_BENCH_PG="user:pass@127.0.0.1:5432"     (bench/sql_bench.sh starts them)
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "bench_support.hpp"
#include "bson.hpp"
#include "vesk_config.hpp"
#include "vesk_mysql.hpp"
#include "vesk_mysqlclient.hpp"
#include "vesk_postgre.hpp"
#include "vesk_postgreclient.hpp"
#include "vesk_sphinx.hpp"

namespace {

const mycustom_ops kMysql{.init = mysql_init1, .update = mysql_update, .delta = mysql_delta,
                          .tobson = mysql_tobson, .dump = mysql_dump, .free = mysql_free};
const mycustom_ops kSphinx{.init = sphinx_init, .update = sphinx_update, .delta = sphinx_delta,
                           .tobson = sphinx_tobson, .dump = sphinx_dump, .free = sphinx_free};
const mycustom_ops kPostgre{.init = postgre_init, .update = postgre_update, .delta = postgre_delta,
                            .tobson = postgre_tobson, .dump = postgre_dump, .free = postgre_free};

// A counter set up from "id " and the environment's value; null when it is not set.
struct counter_deleter {
    void operator()(vesk_mycustom_counter *c) const
    {
        c->free(c);
        delete c;
    }
};
using counter_ptr = std::unique_ptr<vesk_mycustom_counter, counter_deleter>;

counter_ptr make_counter(const char *env, const mycustom_ops &ops)
{
    const char *v = getenv(env);
    if (!v) return nullptr;
    auto *c = new vesk_mycustom_counter{};
    mycustom_set(c, ("bench " + std::string(v)).c_str(), ops);
    if (!c->init(c)) {
        delete c;
        return nullptr;
    }
    return counter_ptr(c);
}

// One report cycle, the report part built as the report assembly builds it.
bool cycle(vesk_mycustom_counter *c, uint64_t iteration)
{
    int ok = c->update(c);
    c->delta(c, 1000, iteration);
    bson b;
    vesk_bson_init(&b);
    vesk_bson_append_start_array(&b, "mycustoms");
    c->tobson(c, &b);
    vesk_bson_append_finish_array(&b);
    vesk_bson_finish(&b);
    benchmark::DoNotOptimize(vesk_bson_size(&b));
    vesk_bson_destroy(&b);
    return ok != 0;
}

void counter_cycle(benchmark::State &state, const char *env, const mycustom_ops &ops)
{
    counter_ptr c = make_counter(env, ops);
    if (!c) {
        state.SkipWithError((std::string(env) + " not set or the library not loaded").c_str());
        return;
    }
    uint64_t iteration = 0;
    for (auto _ : state)
        if (!cycle(c.get(), iteration++)) state.SkipWithError("the update failed");
}

// The value's words: user, password (or none), host, last.
service_login parse_target(const char *env)
{
    std::string v = std::string("bench ") + (getenv(env) ? getenv(env) : "");
    return service_parse_login(v.data());
}

// Every row of a statement's result, fetched and dropped.
void mysql_drain(MYSQL *m, const char *stmt)
{
    mysql_query_stub(m, stmt);
    MYSQL_RES *res = mysql_store_result_stub(m);
    if (!res) return;
    unsigned n = mysql_num_fields_stub(res);
    while (MYSQL_ROW row = mysql_fetch_row_stub(res)) benchmark::DoNotOptimize(n ? row[0] : nullptr);
    mysql_free_result_stub(res);
}

void mysql_floor(benchmark::State &state, const char *env, bool sphinx)
{
    if (!getenv(env) || !config.mysql_handle) {
        state.SkipWithError((std::string(env) + " not set or the library not loaded").c_str());
        return;
    }
    service_login t = parse_target(env);
    const unsigned port = static_cast<unsigned>(atoi(t.last.c_str()));
    const unsigned connect_to = 10, rw_to = 3;
    const mysql_statement_texts &s = mysql_statements;
    for (auto _ : state) {
        MYSQL *m = mysql_init_stub(nullptr);
        mysql_options_stub(m, MYSQL_OPT_CONNECT_TIMEOUT, &connect_to);
        mysql_options_stub(m, MYSQL_OPT_WRITE_TIMEOUT, &rw_to);
        mysql_options_stub(m, MYSQL_OPT_READ_TIMEOUT, &rw_to);
        if (!mysql_real_connect_stub(m, t.host.c_str(), t.user.c_str(), t.pass.c_str(), nullptr, port, nullptr, 0)) {
            state.SkipWithError(mysql_error_stub(m));
            mysql_close_stub(m);
            break;
        }
        if (sphinx) {
            mysql_drain(m, "SHOW STATUS;");
        } else {
            for (const char *stmt : {s.status, s.version, s.innodb_version, "SHOW SLAVE STATUS", s.threads, s.crashed,
                                     s.long_queries})
                mysql_drain(m, stmt);
        }
        mysql_close_stub(m);
    }
}

void pg_floor(benchmark::State &state)
{
    if (!getenv("VESK_BENCH_PG") || !config.postgre_handle) {
        state.SkipWithError("VESK_BENCH_PG not set or the library not loaded");
        return;
    }
    service_login t = parse_target("VESK_BENCH_PG");
    const postgre_statement_texts &s = postgre_statements;
    for (auto _ : state) {
        PGconn *c = PQsetdbLogin_stub(t.host.c_str(), t.last.c_str(), nullptr, nullptr,
                                      "dbname=postgres connect_timeout=2", t.user.c_str(), t.pass.c_str());
        if (PQstatus_stub(c) != PG_CONNECTION_OK) {
            state.SkipWithError(PQerrorMessage_stub(c));
            PQfinish_stub(c);
            break;
        }
        auto drain = [&](const char *stmt) {
            PGresult *r = PQexec_stub(c, stmt);
            int rows = PQntuples_stub(r), fields = PQnfields_stub(r);
            for (int f = 0; f < fields; f++) benchmark::DoNotOptimize(PQfname_stub(r, f));
            for (int i = 0; i < rows; i++)
                for (int f = 0; f < fields; f++) benchmark::DoNotOptimize(PQgetvalue_stub(r, i, f));
            PQclear_stub(r);
        };
        for (const char *stmt : {s.xact, s.replication, s.recovery, s.version}) drain(stmt);
        for (pg_step step : postgre_plan(150000)) drain(postgre_statement(step, "100").text.c_str());
        PQfinish_stub(c);
    }
}

// The servers' own count of client connections, through a connection of its own.
long mysql_clients()
{
    service_login t = parse_target("VESK_BENCH_MYSQL");
    mysql_link l = mysql_open(t.host.c_str(), t.user.c_str(), t.pass.c_str(),
                              static_cast<unsigned>(atoi(t.last.c_str())), nullptr);
    if (!l.handle) return -1;
    auto r = mysql_run(l.handle.get(), "SHOW GLOBAL STATUS LIKE 'Threads_connected'");
    return r && !r->rows.empty() ? static_cast<long>(sql_u64(r->rows[0], 1).value_or(0)) : -1;
}

long pg_clients()
{
    service_login t = parse_target("VESK_BENCH_PG");
    pg_intake in(service_deadline(2));
    uint64_t notices = 0;
    pg_handle c;
    sql_result r;
    constexpr std::string_view count[] = {"count"};
    if (pg_open(c, t.host.c_str(), t.last.c_str(), t.user.c_str(), t.pass.c_str(), in, notices) !=
            pg_outcome::done ||
        pg_run(c.get(), "select count(*) from pg_stat_activity where backend_type = 'client backend'", count, in, r) !=
            pg_outcome::done)
        return -1;
    return static_cast<long>(postgre_first(r).value_or(-1));
}

int soak(long cycles)
{
    counter_ptr counters[] = {make_counter("VESK_BENCH_MYSQL", kMysql), make_counter("VESK_BENCH_PG", kPostgre),
                              make_counter("VESK_BENCH_SPHINX", kSphinx)};
    for (const auto &c : counters)
        if (!c) {
            fprintf(stderr, "soak: every VESK_BENCH_* must be set and its library loaded\n");
            return 1;
        }
    auto run = [&](long n, uint64_t &iteration) {
        long failed = 0;
        for (long i = 0; i < n; i++, iteration++)
            for (const auto &c : counters) failed += !cycle(c.get(), iteration);
        return failed;
    };
    uint64_t iteration = 0;
    long failed = run(100, iteration); // the libraries' first allocations
    const int fds = open_fds();
    const long rss = resident_kib(), my = mysql_clients(), pg = pg_clients();
    failed += run(cycles, iteration);
    printf("soak: %ld cycles of 3 counters, %ld failed updates\n", cycles, failed);
    printf("soak: descriptors %d -> %d\n", fds, open_fds());
    printf("soak: resident memory %ld KiB -> %ld KiB\n", rss, resident_kib());
    printf("soak: MySQL client connections %ld -> %ld, PostgreSQL client backends %ld -> %ld\n", my, mysql_clients(),
           pg, pg_clients());
    return failed == 0 && open_fds() == fds ? 0 : 1;
}

} // namespace

BENCHMARK_CAPTURE(counter_cycle, mysql, "VESK_BENCH_MYSQL", kMysql)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(mysql_floor, mysql, "VESK_BENCH_MYSQL", false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(counter_cycle, postgre, "VESK_BENCH_PG", kPostgre)->Unit(benchmark::kMicrosecond);
BENCHMARK(pg_floor)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(counter_cycle, sphinx, "VESK_BENCH_SPHINX", kSphinx)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(mysql_floor, sphinx, "VESK_BENCH_SPHINX", true)->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv)
{
    init_config();
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (getenv("VESK_BENCH_MYSQL") || getenv("VESK_BENCH_SPHINX")) vesk_mysql_load();
    if (getenv("VESK_BENCH_PG")) vesk_postgre_load();
    int rc = 0;
    if (argc == 3 && strcmp(argv[1], "--soak") == 0) {
        rc = soak(atol(argv[2]));
    } else {
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    }
    if (config.mysql_handle) vesk_mysql_unload();
    if (config.postgre_handle) vesk_postgre_unload();
    return rc;
}
