// The Sphinx counter: "SHOW STATUS;" as searchd answers it, and others, and the
// wall-time rate.
#include <gtest/gtest.h>

#include "counter_support.hpp"
#include "sql_support.hpp"
#include "vesk_sphinx.hpp"

using test_support::core_counter;

namespace {

const mycustom_ops kOps{.init = sphinx_init, .reinit = sphinx_reinit, .update = sphinx_update,
                        .delta = sphinx_delta, .tobson = sphinx_tobson, .dump = sphinx_dump, .free = sphinx_free};

using SphinxCounter = sql_counter_test<&vesk_config::mysql_handle>;

} // namespace

TEST_F(SphinxCounter, StatusRows)
{
    vesk_mycustom_data_sphinx d;
    d.Q = 99;
    ASSERT_TRUE(sphinx_apply_status(sql_fixture("sphinx/status"), d));
    EXPECT_EQ(d.C, 1u);
    EXPECT_EQ(d.C_S, 0u);
    EXPECT_EQ(d.Q, 0u);
    EXPECT_EQ(d.Q_W, 0.0);

    // "query_cpu" reads OFF and is not ours; a NULL value ends the reading, keeping
    // what came before it.
    vesk_mycustom_data_sphinx e;
    e.Q_W = 3.5;
    EXPECT_FALSE(sphinx_apply_status(
        sql_from_text("connections\t12\ncommand_search\t7\nquery_cpu\tOFF\nqueries\t\\N\nquery_wall\t9.125\n", false),
        e));
    EXPECT_EQ(e.C, 12u);
    EXPECT_EQ(e.C_S, 7u);
    EXPECT_EQ(e.Q_W, 3.5);
    // A one-column answer has no values at all.
    EXPECT_FALSE(sphinx_apply_status(sql_from_text("connections\n", false), e));
}

TEST_F(SphinxCounter, WallTimeRate)
{
    core_counter c(kOps, "main u:secret@127.0.0.1:9306\n");
    auto &d = c.data<vesk_mycustom_data_sphinx>();
    ASSERT_EQ(d.ok, 1);
    d.Q_W = 2.25;
    c.delta(0);
    d.Q_W = 3.75; // 1.5 s of wall time in 15 s
    c.delta(1, 15);
    EXPECT_NE(c.report().find(";Q_W:dbl=6;"), std::string::npos) << c.report();
    // A status without "query_wall" keeps the last value: its rate is 0.
    c.delta(2, 15);
    EXPECT_NE(c.report().find(";Q_W:dbl=0;"), std::string::npos) << c.report();
}
