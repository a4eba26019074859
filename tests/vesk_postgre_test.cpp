// The PostgreSQL counter where the real-server suite cannot reach it: what
// slow_query_sec takes, the statements of other server versions, and results of
// other versions and shapes.
#include <gtest/gtest.h>

#include "sql_support.hpp"
#include "vesk_postgre.hpp"

// slow_query_sec goes into SQL: a plain number of seconds or nothing.
TEST(PostgreSlowSeconds, PlainNumbersOnly)
{
    for (const char *ok : {"0", "100", "0.25", "15.000"}) EXPECT_TRUE(postgre_valid_seconds(ok)) << ok;
    for (const char *bad : {"", ".", ".5", "1.", "1.2.3", " 1", "1 ", "+1", "-4", "1e3", "1s", "1';select(1)--"})
        EXPECT_FALSE(postgre_valid_seconds(bad)) << bad;
}

TEST(PostgreStatements, ByVersion)
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
}

TEST(PostgreResults, OtherVersionsAndShapes)
{
    vesk_mycustom_data_postgre d;
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

    // No rows, no known column, one column only: the fields stay.
    d.wal_size = 1;
    postgre_apply(pg_step::wal_size_new, sql_from_text("res\n", true), d);
    postgre_apply(pg_step::bgwriter_old, sql_from_text("other\n1\n", true), d);
    postgre_apply(pg_step::slow_new, sql_from_text("count\n4\n", true), d);
    EXPECT_EQ(d.wal_size, 1u);
    EXPECT_EQ(d.checkpoint_timeout, 11u);
    EXPECT_EQ(d.cnt_all, 0u);
    // A primary's lag is NULL, which the client library gives as an empty text.
    d.replication_lag = 7;
    postgre_apply(pg_step::lag_new, sql_from_text("replication_lag\n", true), d);
    EXPECT_EQ(d.replication_lag, 7);
    postgre_apply(pg_step::lag_new, sql_from_text("replication_lag\n\n", true), d);
    EXPECT_EQ(d.replication_lag, 0);

    struct {
        const char *text;
        int64_t value;
    } numbers[] = {{"", 0}, {"42", 42}, {"-3", -3}, {"12.9", 12}, {"t", 0}, {"99999999999999999999", INT64_MAX}};
    for (const auto &n : numbers) EXPECT_EQ(postgre_number(n.text), n.value) << n.text;
}
