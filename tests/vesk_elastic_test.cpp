// The Elasticsearch answers where the fake node of the black-box suite does not go:
// a pool without one of its members, a body that is not an object, an unknown colour.
#include <gtest/gtest.h>

#include "vesk_elastic.hpp"

TEST(ElasticAnswers, OtherShapes)
{
    // One pool without a queue spoils that sum only; the other keeps its full width.
    auto t = elastic_parse_node_items(
        R"({"nodes":{"n":{"thread_pool":{"a":{"queue":100000,"active":1},"b":{"active":70000}}}}})", "n");
    ASSERT_TRUE(t);
    EXPECT_TRUE(t->queue_missing);
    EXPECT_EQ(t->queue_sum, 0);
    EXPECT_FALSE(t->active_missing);
    EXPECT_EQ(t->active_sum, 70001);
    EXPECT_FALSE(elastic_parse_node_items("[1]", "n"));

    auto h = elastic_parse_cluster_health(R"({"status":"purple","unassigned_shards":3})");
    ASSERT_TRUE(h);
    EXPECT_FALSE(h->status);
    EXPECT_EQ(h->unassigned, 3);
    EXPECT_FALSE(elastic_parse_cluster_health("not json"));
    // \u escapes are kept as written: a stray one elsewhere never spoils the answer.
    EXPECT_TRUE(elastic_parse_cluster_health(R"({"cluster_name":"\uD800","status":"green"})"));
}
