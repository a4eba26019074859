// The PostgreSQL counter: slow_query_sec, the statements each server version gets,
// and their results as PostgreSQL 15 answered them, and in other shapes.
#include <gtest/gtest.h>

#include "sql_support.hpp"
#include "test_support.hpp"
#include "vesk_postgre.hpp"

namespace {

using PostgreCounter = sql_counter_test<&vesk_config::postgre_handle>;

sql_result pg_fixture(const char *name) { return sql_fixture(std::string("postgres15/") + name, true); }

} // namespace

TEST_F(PostgreCounter, SlowSecondsAreNumbers)
{
    // slow_query_sec goes into SQL: a plain number of seconds or nothing.
    temp_dir dir;
    std::string path = dir.write("vesk.conf", "id 5\nslow_query_sec 2.5\nslow_query_sec 1';select(1)--\n"
                                              "slow_query_sec 1e3\nslow_query_sec -4\nslow_query_sec .5\n"
                                              "postgresql_main mon:pw@127.0.0.1:5432\n");
    testing::internal::CaptureStderr();
    ASSERT_EQ(parse_config_file(path.c_str()), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_STREQ(config.slow_query_sec, "2.5");
    for (int line : {3, 4, 5, 6})
        EXPECT_NE(err.find("is not a number of seconds (kept '2.5') in config file " + path + " at line " +
                           std::to_string(line)),
                  std::string::npos)
            << err;
    EXPECT_EQ(config.postgre_on, 1);
    EXPECT_EQ(stats.nmycustoms, 1);
    EXPECT_EQ(stats.mycustom_counters[0].update, &postgre_update);
    for (const char *ok : {"0", "100", "0.25", "15.000"}) EXPECT_TRUE(postgre_valid_seconds(ok)) << ok;
    for (const char *bad : {"", ".", "1.", "1.2.3", " 1", "1 ", "+1", "1s"}) EXPECT_FALSE(postgre_valid_seconds(bad)) << bad;
}

TEST_F(PostgreCounter, StatementsByVersion)
{
    using s = pg_step;
    struct {
        int32_t version;
        std::vector<pg_step> plan;
    } cases[] = {
        {90199, {s::bgwriter_old, s::waiting_old, s::lag_old, s::slow_old}},
        {90200, {s::bgwriter_old, s::states, s::waiting_old, s::lag_old, s::slow_new}},
        {90600, {s::bgwriter_old, s::vacuum, s::wal_receiver, s::states, s::waiting_new, s::wal_size_old, s::lag_old,
                 s::slow_new}},
        {100000, {s::bgwriter_old, s::vacuum, s::wal_receiver, s::states, s::waiting_new, s::wal_size_new, s::lag_new,
                  s::slow_new}},
        {170000, {s::bgwriter_new, s::vacuum, s::wal_receiver, s::states, s::waiting_new, s::wal_size_new, s::lag_new,
                  s::slow_new}},
        {-5, {s::bgwriter_old, s::waiting_old, s::lag_old, s::slow_old}},
    };
    for (const auto &c : cases) EXPECT_EQ(postgre_plan(c.version), c.plan) << c.version;

    vesk_mycustom_data_postgre d;
    d.autovacuum = d.wal_receiver = 3, d.wal_size = 9, d.active_connections = d.idle_connections = 4;
    postgre_zero_unplanned(90200, d);
    EXPECT_EQ(d.autovacuum + d.wal_receiver, 0);
    EXPECT_EQ(d.wal_size, 0u);
    EXPECT_EQ(d.active_connections, 4u);
    postgre_zero_unplanned(90199, d);
    EXPECT_EQ(d.active_connections + d.idle_connections, 0u);

    EXPECT_EQ(get_query_str("100"),
              "select count(*), 'CNT_ALL' AS name from pg_stat_activity where state = 'active' and now() - query_start "
              "> '100 sec'::interval UNION select count(*), 'CNT_SEL' AS name from pg_stat_activity where state = "
              "'active' and query ilike 'select%' and now() - query_start > '100 sec'::interval UNION select "
              "count(*), 'CNT_DML' AS name  from pg_stat_activity where state = 'active' and now() - query_start > "
              "'100 sec'::interval and query ~* '^(insert|update|delete)'");
    EXPECT_EQ(get_query_str_old("2.5"),
              "select count(*), 'CNT_ALL' AS name from pg_stat_activity where current_query != '<IDLE>' and now() - "
              "query_start > '2.5 sec'::interval UNION select count(*), 'CNT_SEL' AS name from pg_stat_activity where "
              "current_query != '<IDLE>' and current_query ilike 'select%' and now() - query_start > '2.5 "
              "sec'::interval UNION select count(*), 'CNT_DML' AS name  from pg_stat_activity where current_query != "
              "'<IDLE>' and now() - query_start > '2.5 sec'::interval and current_query ~* '^(insert|update|delete)'");
}

TEST_F(PostgreCounter, ResultsIntoFields)
{
    vesk_mycustom_data_postgre d;
    postgre_apply_xact(pg_fixture("xact"), d);
    EXPECT_EQ(d.commited, 878u);
    EXPECT_EQ(d.rolled_back, 0u);
    EXPECT_EQ(postgre_first(pg_fixture("version")), 150020);

    // Background processes have no state (an empty text): they count nowhere.
    d.idle_in_transact_conn = 5;
    postgre_apply(pg_step::states, pg_fixture("states"), d);
    EXPECT_EQ(d.active_connections, 1u);
    EXPECT_EQ(d.idle_connections, 0u);
    EXPECT_EQ(d.idle_in_transact_conn, 0u);
    postgre_apply(pg_step::waiting_new, pg_fixture("waiting"), d);
    EXPECT_EQ(d.lock_waiting_connections, 4u);
    EXPECT_EQ(d.connections, 5u);
    postgre_apply(pg_step::wal_size_new, pg_fixture("walsize"), d);
    EXPECT_EQ(d.wal_size, 16777216u);
    d.replication_lag = 7; // a primary: the lag statement gives no value
    postgre_apply(pg_step::lag_new, pg_fixture("lag"), d);
    EXPECT_EQ(d.replication_lag, 0);

    postgre_apply(pg_step::slow_new, sql_from_text("count\tname\n3\tCNT_DML\n1\tCNT_SEL\n4\tCNT_ALL\n", true), d);
    EXPECT_EQ(d.cnt_all + 10 * d.cnt_sel + 100 * d.cnt_dml, 4u + 10 + 300);

    // PostgreSQL 17 sums times, with fractions; columns are found by name in any order.
    postgre_apply(pg_step::bgwriter_new,
                  sql_from_text("checkpoints_timed\tcheckpoints_req\tbuffers_checkpoint\tbuffers_clean\tmaxwritten_"
                                "clean\tbuffers_alloc\tbuffers_backend\tbuffers_backend_fsync\n"
                                "11\t2\t300\t40\t5\t6000\t1234.567\t0.5\n",
                                true),
                  d);
    EXPECT_EQ(d.checkpoint_timeout, 11u);
    EXPECT_EQ(d.checkpoint_segments, 2u);
    EXPECT_EQ(d.buffers_alloc, 6000u);
    EXPECT_EQ(d.buffers_backend, 1234u);
    EXPECT_EQ(d.buffers_backend_fsync, 0u);

    // Other shapes: no rows and no columns leave the fields alone.
    d.wal_size = 1;
    postgre_apply(pg_step::wal_size_new, sql_from_text("res\n", true), d);
    postgre_apply(pg_step::bgwriter_old, sql_from_text("other\n1\n", true), d);
    postgre_apply(pg_step::states, sql_from_text("state\nactive\n", true), d);
    EXPECT_EQ(d.wal_size, 1u);
    EXPECT_EQ(d.checkpoint_timeout, 11u);

    struct {
        const char *text;
        int64_t value;
    } numbers[] = {{"", 0}, {"42", 42}, {"-3", -3}, {"12.9", 12}, {"t", 0}, {"99999999999999999999", INT64_MAX}};
    for (const auto &n : numbers) EXPECT_EQ(postgre_number(n.text), n.value) << n.text;
}
