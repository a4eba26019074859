// The Sphinx counter: its configuration forms, "SHOW STATUS;" as searchd answers it,
// the wall-time rate and the report object.
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

TEST_F(SphinxCounter, ConfigurationForms)
{
    struct {
        const char *cfg;
        const char *id, *user, *pass, *host;
        uint32_t port;
    } cases[] = {
        {"main u:p@127.0.0.1:9306\n", "main", "u", "p", "127.0.0.1", 9306},
        {"idx u:@10.1.1.1:9306\n", "idx", "u", "", "10.1.1.1", 9306},
        {"bad u:p@10.1.1.1:port\n", "bad", "u", "p", "10.1.1.1", 0},
    };
    for (const auto &c : cases) {
        vesk_mycustom_counter cnt{};
        vesk_copy(cnt.cfg_string, c.cfg);
        vesk_mycustom_data_sphinx d;
        sphinx_parse_conf(&cnt, d);
        EXPECT_STREQ(cnt.id, c.id) << c.cfg;
        EXPECT_EQ(d.user, c.user) << c.cfg;
        EXPECT_EQ(d.pass, c.pass) << c.cfg;
        EXPECT_EQ(d.host, c.host) << c.cfg;
        EXPECT_EQ(d.port, c.port) << c.cfg;
    }
}

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

TEST_F(SphinxCounter, RatesAndReport)
{
    core_counter c(kOps, "main u:secret@127.0.0.1:9306\n");
    auto &d = c.data<vesk_mycustom_data_sphinx>();
    ASSERT_EQ(d.ok, 1);
    d.C = 100, d.Q = 40, d.Q_W = 2.25;
    c.delta(0);
    EXPECT_EQ(c.report(), "");
    d.C = 103, d.C_S = 2, d.C_U = 1, d.Q = 70, d.Q_W = 3.75; // 1.5 s of wall time in 15 s
    c.delta(1, 15);
    EXPECT_EQ(c.report(), "Sphinx_main:{report:str=Sphinx;id:str=main;ok:i64=1;C:i64=12;C_S:i64=8;C_U:i64=4;"
                          "Q:i64=120;Q_W:dbl=6;};");
    EXPECT_EQ(c.dump(), "MyCustom Sphinx report main(1) :\n\tconnections = 12\n\tcommands_search = 8\n"
                        "\tcommands_update = 4\n\tqueries = 120\n\tquery_wall = 6.000000\n");
    // A status without "query_wall" keeps the last value: its rate is 0.
    d.Q = 71;
    c.delta(2, 15);
    EXPECT_NE(c.report().find("Q:i64=4;Q_W:dbl=0;"), std::string::npos);
    d.ok = 0;
    c.delta(3, 15);
    EXPECT_EQ(c.report(), "");
}
