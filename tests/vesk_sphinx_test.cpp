// The Sphinx counter on status answers of other shapes than searchd's.
#include <gtest/gtest.h>

#include "sql_support.hpp"
#include "vesk_sphinx.hpp"

// "query_cpu" reads OFF and is not ours; a NULL value ends the reading, keeping what
// came before it; a one-column answer has no values at all.
TEST(SphinxStatus, AnswersOfAnotherShape)
{
    vesk_mycustom_data_sphinx e;
    e.Q_W = 3.5;
    EXPECT_FALSE(sphinx_apply_status(
        sql_from_text("connections\t12\ncommand_search\t7\nquery_cpu\tOFF\nqueries\t\\N\nquery_wall\t9.125\n", false),
        e));
    EXPECT_EQ(e.C, 12u);
    EXPECT_EQ(e.C_S, 7u);
    EXPECT_EQ(e.Q_W, 3.5);
    e.C = 5;
    EXPECT_FALSE(sphinx_apply_status(sql_from_text("connections\n", false), e));
    EXPECT_EQ(e.C, 5u);
    EXPECT_TRUE(sphinx_apply_status(sql_from_text("query_wall\tOFF\n", false), e));
    EXPECT_EQ(e.Q_W, 0.0);
}
