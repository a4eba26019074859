// The Elasticsearch counter: its configuration, the two answers, and whole updates
// against a scripted node that keeps its connection open.
#include <gtest/gtest.h>

#include <chrono>

#include "canned_server.hpp"
#include "counter_support.hpp"
#include "vesk_elastic.hpp"

using test_support::canned_reply;
using test_support::canned_server;
using test_support::fixture_text;

namespace {

const mycustom_ops kOps{.init = elastic_init, .reinit = elastic_reinit, .update = elastic_update,
                        .delta = elastic_delta, .tobson = elastic_tobson, .dump = elastic_dump,
                        .free = elastic_free};
const char *kNode = "Xk3dQ8pTRsOq1w-JvZ1h2A";

std::string with_length(int status, const std::string &body)
{
    return "HTTP/1.1 " + std::to_string(status) + " X\r\ncontent-type: application/json\r\ncontent-length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The chunked framing of 8.x, in chunks of 700 bytes.
std::string chunked(const std::string &body)
{
    std::string out = "HTTP/1.1 200 OK\r\nX-elastic-product: Elasticsearch\r\ntransfer-encoding: chunked\r\n\r\n";
    for (size_t at = 0; at < body.size(); at += 700) {
        std::string piece = body.substr(at, 700);
        char size[16];
        snprintf(size, sizeof size, "%zx\r\n", piece.size());
        out += size + piece + "\r\n";
    }
    return out + "0\r\n\r\n";
}

std::string health(const char *colour, long unassigned)
{
    return std::string("{\"cluster_name\":\"c\",\"status\":\"") + colour +
           "\",\"relocating_shards\":1,\"initializing_shards\":2,\"unassigned_shards\":" + std::to_string(unassigned) + "}";
}

} // namespace

TEST(ElasticConf, Forms)
{
    struct {
        const char *cfg, *id, *host, *node;
        uint16_t port;
        int in_docker;
    } cases[] = {
        {"es1 127.0.0.1:9200 node-1\n", "es1", "127.0.0.1", "node-1", 9200, 0},
        {"es1 127.0.0.1:70000 n", "es1", "127.0.0.1", "n", 4464, 0}, // kept in 16 bits
        {"es1 [search]:9200 n", "es1", "[search]", "n", 9200, 1},
        {"es1 127.0.0.1 node-1\n", "es1", "127.0.0.1 node-1\n", "", 0, 0},
    };
    for (const auto &c : cases) {
        std::string id;
        vesk_mycustom_data_elastic d;
        elastic_parse_conf(c.cfg, id, d);
        EXPECT_EQ(id, c.id);
        EXPECT_EQ(d.host, c.host);
        EXPECT_EQ(d.node_name, c.node);
        EXPECT_EQ(d.port, c.port);
        EXPECT_EQ(d.in_docker, c.in_docker);
    }
}

TEST(ElasticAnswers, FullWidthAndMissingMembers)
{
    const std::string pools = fixture_text("json/elastic-thread-pool.json");
    auto t = elastic_parse_node_items(pools, kNode);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->search_active, 5);
    EXPECT_EQ(t->search_queue, 7);
    EXPECT_EQ(t->queue_sum, 11);
    EXPECT_EQ(t->active_sum, 11);
    EXPECT_FALSE(t->queue_missing || t->active_missing);
    // Another node: nothing found, both sums marked.
    t = elastic_parse_node_items(pools, "es01");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->search_active + t->queue_sum + t->active_sum, 0);
    EXPECT_TRUE(t->queue_missing && t->active_missing);
    // One pool without a queue spoils that sum only; wide values keep their width.
    t = elastic_parse_node_items(
        R"({"nodes":{"n":{"thread_pool":{"a":{"queue":100000,"active":1},"b":{"active":70000}}}}})", "n");
    ASSERT_TRUE(t);
    EXPECT_TRUE(t->queue_missing);
    EXPECT_EQ(t->active_sum, 70001);
    EXPECT_FALSE(elastic_parse_node_items("[1]", "n"));

    auto h = elastic_parse_cluster_health(fixture_text("json/elastic-health.json"));
    ASSERT_TRUE(h);
    EXPECT_EQ(h->status, 2);
    EXPECT_EQ(h->unassigned, 9);
    EXPECT_EQ(elastic_parse_cluster_health(health("red", 100000))->unassigned, 100000);
    EXPECT_EQ(elastic_parse_cluster_health(health("green", 0))->status, 3);
    EXPECT_FALSE(elastic_parse_cluster_health(health("purple", 0))->status);
    EXPECT_FALSE(elastic_parse_cluster_health("not json"));
    // \u escapes are kept as written: a stray one elsewhere never spoils the answer.
    EXPECT_TRUE(elastic_parse_cluster_health(R"({"cluster_name":"\uD800","status":"green"})"));
}

TEST(ElasticCounter, TwoAnswersOnOneConnection)
{
    init_config();
    config.counter_tcp_to = 1;
    const std::string pools = fixture_text("json/elastic-thread-pool.json");
    const std::string error401 = fixture_text("json/elastic-401.json");
    canned_server server({{{chunked(pools)}, false},
                          {{with_length(200, health("red", 100000))}, false},
                          {{chunked(pools)}, false},
                          {{with_length(401, error401)}, false},
                          {{chunked(pools)}, false},
                          {{with_length(503, R"({"error":{"type":"master_not_discovered_exception"},"status":503})")},
                           false},
                          {{}, true, true}});
    test_support::core_counter c(kOps, ("es1 127.0.0.1:" + std::to_string(server.port()) + " " + kNode + "\n").c_str());
    EXPECT_EQ(c.cycle(0), 1);
    // A red cluster answers 200 and counts; 100,000 unassigned shards keep their value.
    EXPECT_EQ(c.report(), "Elastic_es1:{report:str=Elastic;id:str=es1;ok:i64=1;node_queue_size:i64=11;"
                          "node_active_size:i64=11;threads_search_queue:i64=7;threads_search_active:i64=5;"
                          "status:i64=1;initializing_shards:i64=2;relocating_shards:i64=1;"
                          "unassigned_shards:i64=100000;};");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], std::string("GET /_nodes/") + kNode + "/stats/thread_pool HTTP/1.1\r\n\r\n");
    EXPECT_EQ(requests[1], "GET /_cluster/health HTTP/1.1\r\n\r\n");
    // 401, 503 without a master, and no answer: each fails in time, and the object
    // is absent from that cycle's report only.
    for (int i = 1; i <= 3; i++) {
        auto t0 = std::chrono::steady_clock::now();
        testing::internal::CaptureStdout();
        EXPECT_EQ(c.cycle(static_cast<uint64_t>(i)), 0) << i;
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(out.ends_with("is NULL\nelastic error\n")) << out;
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1600)) << i;
        EXPECT_EQ(c.report(), "") << i;
    }

    // A container that does not resolve.
    test_support::core_counter boxed(kOps, "box [search]:9200 n\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(boxed.update(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[elastic] Cannot resolve IP for container 'search'\nelastic error\n");
}
