// Path lookups and member sums on captured Engine and Elasticsearch answers.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "vesk_json.hpp"

namespace {

// A fixture answer parsed in place; the text lives as long as the tree.
struct parsed {
    explicit parsed(const std::string &name)
    {
        std::ifstream f(std::string(VESK_FIXTURES) + "/json/" + name, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(f), {});
        EXPECT_FALSE(text.empty()) << name;
        root = nx_json_parse(text.data(), nullptr);
        EXPECT_NE(root, nullptr) << name;
    }
    ~parsed() { nx_json_free(root); }
    std::string text;
    const nx_json *root = nullptr;
};

std::string str(const nx_json *js, const char *path, size_t len = 256)
{
    std::string buf(len, 'x');
    int r = json_get_str_by_path(js, path, buf.data(), len);
    std::string out = buf.c_str();
    return r ? out : "(" + out + ")";
}

} // namespace

// The container table's own reading of these answers is tested with the table; here
// what the reader must keep as sent.
TEST(JsonPaths, EngineAnswers)
{
    parsed inspect("docker-inspect-running.json");
    // Go escapes '&', '<' and '>'; without an encoder the escapes stay as sent.
    EXPECT_STREQ(nx_json_item(json_get_item_by_path(inspect.root, "Config.Env"), 1)->text_value,
                 "APP_SETTING_0=value-0\\u0026more\\u003c0\\u003e");
    EXPECT_EQ(str(inspect.root, "Config.Env"), "()");
    // The command-line client prints an indented array.
    parsed cli("docker-inspect-cli.json");
    EXPECT_EQ(cli.root->type, NX_JSON_ARRAY);
    EXPECT_EQ(str(nx_json_item(cli.root, 0), "NetworkSettings.Networks.bridge.IPAddress"), "172.17.0.2");
    parsed missing("docker-404.json");
    EXPECT_EQ(str(missing.root, "message"), "No such container: web");
    EXPECT_EQ(json_get_bool_by_path(missing.root, "State.Running"), -1);
    // An unsigned 64-bit limit beyond int64 saturates.
    parsed stats("docker-stats.json");
    EXPECT_EQ(json_get_long_by_path(stats.root, "pids_stats.limit"), INT64_MAX);
}

TEST(JsonPaths, ElasticsearchAnswers)
{
    parsed pools("elastic-thread-pool.json");
    const char *node = "nodes.Xk3dQ8pTRsOq1w-JvZ1h2A.thread_pool";
    EXPECT_EQ(json_get_long_by_path(pools.root, (std::string(node) + ".search.active").c_str()), 5);
    EXPECT_EQ(json_get_long_by_path(pools.root, (std::string(node) + ".search.queue").c_str()), 7);
    const nx_json *tp = json_get_item_by_path(pools.root, node);
    int error = -1;
    EXPECT_EQ(json_column_sum(tp, "queue", &error), 11);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(json_column_sum(tp, "active", &error), 11);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(json_column_sum(tp, "missing", &error), 0);
    EXPECT_EQ(error, 1);
    // A node named differently misses: the sum reports the error.
    EXPECT_EQ(json_column_sum(json_get_item_by_path(pools.root, "nodes.es01.thread_pool"), "queue", &error), 0);
    EXPECT_EQ(error, 1);
    EXPECT_EQ(json_get_long_by_path(pools.root, "nodes.es01.thread_pool.search.active"), 0);

    parsed health("elastic-health.json");
    EXPECT_EQ(str(health.root, "status", 99), "yellow");
    EXPECT_EQ(json_get_long_by_path(health.root, "relocating_shards"), 1);
    EXPECT_EQ(json_get_long_by_path(health.root, "initializing_shards"), 2);
    EXPECT_EQ(json_get_long_by_path(health.root, "unassigned_shards"), 9);
    EXPECT_EQ(json_get_long_by_path(health.root, "active_shards_percent_as_number"), 57);
    EXPECT_EQ(json_get_bool_by_path(health.root, "timed_out"), 0);

    parsed denied("elastic-401.json");
    EXPECT_EQ(json_get_long_by_path(denied.root, "status"), 401);
    EXPECT_EQ(str(denied.root, "status"), "()");
    EXPECT_EQ(str(denied.root, "error.type"), "security_exception");
}

TEST(JsonPaths, LookupRules)
{
    char text[] = "{\"a\":{\"b\":{\"c\":3}},\"t\":true,\"s\":\"true\",\"d\":4.5,\"long\":\"0123456789abcdefghij\","
                  "\"sum\":{\"x\":{\"v\":3},\"y\":{\"v\":4},\"z\":{\"v\":4.5},\"w\":{\"v\":-2}},\"a.b\":9}";
    const nx_json *js = nx_json_parse(text, nullptr);
    ASSERT_NE(js, nullptr);
    struct {
        const char *path;
        int64_t lng;
        int boolean;
    } cases[] = {
        {"a.b.c", 3, -1}, {"a..b.c.", 3, -1}, {".a.b.c", 3, -1}, {"a.x.c", 0, -1}, {"t", 1, 1},
        {"s", 0, -1},     {"d", 4, -1},       {"a.b", 0, -1},     {"a.b.c.d", 0, -1}, {"zz", 0, -1},
    };
    for (auto &t : cases) {
        EXPECT_EQ(json_get_long_by_path(js, t.path), t.lng) << t.path;
        EXPECT_EQ(json_get_bool_by_path(js, t.path), t.boolean) << t.path;
    }
    EXPECT_EQ(json_get_item_by_path(js, ""), js);
    EXPECT_EQ(json_get_item_by_path(js, "..."), js);
    EXPECT_EQ(json_get_item_by_path(js, "a.b")->type, NX_JSON_OBJECT);

    // Cut to len - 1 bytes, the rest of those bytes zeroed, then terminated.
    char buf[20];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(json_get_str_by_path(js, "long", buf, 16), 1);
    EXPECT_EQ(std::string(buf, 16), std::string("0123456789abcde") + '\0');
    EXPECT_EQ(buf[16], 'x');
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(json_get_str_by_path(js, "s", buf, 16), 1);
    EXPECT_EQ(std::string(buf, 16), std::string("true") + std::string(12, '\0'));
    EXPECT_EQ(json_get_str_by_path(js, "t", buf, 16), 0);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(json_get_str_by_path(js, "s", buf, 0), 0);

    int error = -1;
    EXPECT_EQ(json_column_sum(nx_json_get(js, "sum"), "v", &error), 5);
    EXPECT_EQ(error, 1);
    EXPECT_EQ(json_column_sum(nx_json_get(js, "t"), "v", &error), 0);
    EXPECT_EQ(error, 1);
    error = -1;
    EXPECT_EQ(json_column_sum(nullptr, "v", &error), 0);
    EXPECT_EQ(error, 1);
    nx_json_free(js);
}
