// The reader on captured Engine and Elasticsearch answers; path lookups and member sums.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "canned_server.hpp"
#include "vesk_json.hpp"

using test_support::fixture_text;

namespace {

std::string str(const nx_json *js, const char *path, size_t len = 256)
{
    std::string buf(len, 'x');
    int r = json_get_str_by_path(js, path, buf.data(), len);
    std::string out = buf.c_str();
    return r ? out : "(" + out + ")";
}

} // namespace

// Every captured answer (Engine inspections, statistics objects and errors, the
// command-line client's indented array, Elasticsearch) parses with and without the
// encoder, silently; the values the agent looks up come out as sent.
TEST(JsonPaths, CapturedAnswers)
{
    int files = 0;
    for (const auto &e : std::filesystem::directory_iterator(std::string(VESK_FIXTURES) + "/json")) {
        std::string text = fixture_text("json/" + e.path().filename().string());
        ASSERT_FALSE(text.empty()) << e.path();
        for (nx_json_unicode_encoder enc : {nx_json_unicode_encoder(nullptr), nx_json_unicode_to_utf8}) {
            std::string copy = text;
            testing::internal::CaptureStderr();
            nx_json_ptr js(nx_json_parse(copy.data(), enc));
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << e.path();
            EXPECT_TRUE(js) << e.path();
        }
        files++;
    }
    EXPECT_GE(files, 17);

    std::string cli = fixture_text("json/docker-inspect-cli.json");
    nx_json_ptr js(nx_json_parse(cli.data(), nullptr));
    ASSERT_TRUE(js);
    EXPECT_EQ(str(nx_json_item(js.get(), 0), "NetworkSettings.Networks.bridge.IPAddress"), "172.17.0.2");
    std::string missing = fixture_text("json/docker-404.json");
    js.reset(nx_json_parse(missing.data(), nullptr));
    EXPECT_EQ(str(js.get(), "message"), "No such container: web");
    EXPECT_EQ(json_get_bool_by_path(js.get(), "State.Running"), -1);
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
