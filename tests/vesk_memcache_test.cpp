// The Memcached counter on captured memcached 1.6.18 replies, whole, cut and in pieces.
#include <gtest/gtest.h>

#include "canned_server.hpp"
#include "counter_support.hpp"
#include "vesk_memcache.hpp"

namespace {

constexpr memcache_stats kBefore{7, 7, 7, 7, 7, 7, 7, 7, 7, 7};
constexpr memcache_stats kCaptured{50, 40, 34, 16, 24, 1, 4801317, 1920922, 1920992, 2097152};

} // namespace

TEST(MemcacheParse, StatisticsByExactNameOverWhatCameBefore)
{
    const std::string full = test_support::fixture_text("services/memcached-1.6.18-stats.txt");
    // Cut inside "STAT bytes_read 4801317": the cut line and everything after it are not read.
    memcache_stats cut = kBefore;
    cut.get = 50, cut.set = 40, cut.misses = 34, cut.hits = 16, cut.connections = 1;
    struct {
        std::string reply;
        std::optional<memcache_stats> want;
    } cases[] = {
        {full, kCaptured},
        {full.substr(0, full.find("bytes_read") + 13), cut},
        {"STAT bytes 5\r\nSTAT bytesx 9\r\nSTAT xbytes 8\r\nSTAT evictions\r\nEND\r\n",
         memcache_stats{7, 7, 7, 7, 0, 7, 7, 7, 5, 7}},
        {"ERROR\r\n", std::nullopt},
        {"END\r\n", std::nullopt},
        {"", std::nullopt},
        {"\x01\xff garbage STAT cmd_get 1\r\n", std::nullopt},
    };
    for (const auto &c : cases) {
        std::optional<memcache_stats> got = parse_memcache_stats(c.reply, kBefore);
        ASSERT_EQ(got.has_value(), c.want.has_value()) << c.reply;
        if (got) {
            EXPECT_EQ(*got, *c.want) << c.reply;
        }
    }
    EXPECT_FALSE(memcache_reply_complete(full.substr(0, full.size() - 1)));
    EXPECT_FALSE(memcache_reply_complete("STA"));
    EXPECT_TRUE(memcache_reply_complete("ERROR\r\n"));
}

// Pieces split inside a number, inside CR LF and inside "END": the update reads to the
// end; a one-line error fails it at once; a server that closes without a word fails it.
TEST(MemcacheCounter, ReadsTheReplyToItsEnd)
{
    const std::string full = test_support::fixture_text("services/memcached-1.6.18-stats.txt");
    size_t a = full.find("cmd_get 5") + 9, b = full.find("\r\nSTAT bytes ") + 1, c = full.size() - 3;
    test_support::canned_server server(
        {{{full.substr(0, a), full.substr(a, b - a), full.substr(b, c - b), full.substr(c)}}, {{"ERROR\r\n"}}, {{}}},
        {}, test_support::canned_server::line_request);
    std::string cfg = "127.0.0.1:" + std::to_string(server.port());
    test_support::core_counter mc({.init = memcache_init1, .update = memcache_update, .delta = memcache_delta,
                                   .tobson = memcache_tobson, .dump = memcache_dump, .free = memcache_free},
                                  cfg.c_str());
    EXPECT_EQ(mc.cycle(0), 1);
    EXPECT_EQ(mc.data<vesk_mycustom_data_memcache>().stats, kCaptured);
    EXPECT_EQ(mc.cycle(1), 0);
    EXPECT_EQ(mc.report(), "");
    EXPECT_EQ(mc.cycle(2), 0);
    EXPECT_EQ(server.requests(), std::vector<std::string>(3, "stats\r\n"));
}
