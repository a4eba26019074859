// The Beanstalkd counter on captured beanstalkd 1.12 answers.
#include <gtest/gtest.h>

#include "canned_server.hpp"
#include "counter_support.hpp"
#include "vesk_beanstalk.hpp"

namespace {

std::string fields(const beanstalk_stats &s)
{
    return std::to_string(s.put) + " " + std::to_string(s.cdelete) + " " + std::to_string(s.jobs) + " " +
           std::to_string(s.uptime) + " " + std::to_string(s.timeout) + " " + std::to_string(s.connections);
}

std::string ok(const std::string &body) { return "OK " + std::to_string(body.size()) + "\r\n" + body + "\r\n"; }

} // namespace

TEST(BeanstalkParse, StatisticsOverWhatCameBefore)
{
    const std::string full = test_support::fixture_text("services/beanstalkd-1.12-stats.txt");
    const beanstalk_stats before{9, 9, 9, 9, 9, 9};
    struct {
        std::string reply;
        const char *want; // put cdelete jobs uptime timeout connections; null: the update fails
    } cases[] = {
        {full, "1 0 1 7 0 1"},
        // Cut inside "cmd-delete: 0": keys from there on keep their values.
        {full.substr(0, full.find("cmd-delete:") + 11), "1 9 9 9 9 9"},
        {ok("---\ncmd-put: 120\njob-timeouts:\nxcmd-delete: 4\nuptime:5\n"), "120 9 9 9 0 9"},
        {"UNKNOWN_COMMAND\r\n", nullptr},
        {"OUT_OF_MEMORY\r\n", nullptr},
        {"OK\r\n---\n", nullptr},
        {"", nullptr},
    };
    for (const auto &c : cases) {
        std::optional<beanstalk_stats> got = parse_beanstalk_stats(c.reply, before);
        if (!c.want) {
            EXPECT_FALSE(got) << c.reply;
            continue;
        }
        ASSERT_TRUE(got) << c.reply;
        EXPECT_EQ(fields(*got), c.want) << c.reply;
    }
    EXPECT_FALSE(beanstalk_reply_complete(full.substr(0, full.size() - 2)));
    EXPECT_TRUE(beanstalk_reply_complete(full));
    EXPECT_TRUE(beanstalk_reply_complete("NOT_FOUND\r\n"));
}

// 120 puts, then 180 over 15 seconds: 240 a minute; the first answer's status line
// arrives in two pieces.
TEST(BeanstalkCounter, RatesPerMinute)
{
    const std::string first = ok("---\ncmd-put: 120\ncmd-delete: 3\nuptime: 50\n");
    test_support::canned_server server(
        {{{first.substr(0, 4), first.substr(4)}},
         {{ok("---\ncmd-put: 180\ncmd-delete: 9\njob-timeouts: 2\nuptime: 65\ncurrent-connections: 4\n")}}},
        {}, test_support::canned_server::line_request);
    std::string cfg = "127.0.0.1:" + std::to_string(server.port());
    test_support::core_counter b({.init = beanstalk_init1, .update = beanstalk_update, .delta = beanstalk_delta,
                                  .tobson = beanstalk_tobson, .dump = beanstalk_dump, .free = beanstalk_free},
                                 cfg.c_str());
    EXPECT_EQ(b.cycle(0), 1);
    EXPECT_EQ(b.cycle(1), 1);
    EXPECT_EQ(b.report(), cfg + ":{ok:i64=1;put:i64=240;cdelete:i64=24;uptime:i64=65;timeout:i64=8;connections:i64=4;};");
}
