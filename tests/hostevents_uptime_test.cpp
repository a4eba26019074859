#include <gtest/gtest.h>

#include <string>

#include "encoding.hpp"
#include "hostevents/hostevents.h"
#include "hostevents/vesk_cpu.hpp"
#include "vesk_config.hpp"

using hostevents::parse_uptime;

TEST(Uptime, ParsesFirstPieceOfFirstLine)
{
    const std::string too_long = std::string(hostevents::UPTIME_MAX_LINE + 1, '1') + " 2\n";
    const std::string longest = "5" + std::string(hostevents::UPTIME_MAX_LINE - 1, ' ') + "\n";
    struct {
        std::string text;
        double want;
    } cases[] = {
        {"12.5 7.0\n", 12.5},
        {"  12.5  7.0\n", 12.5},         // leading blanks trimmed, empty piece comes later
        {"12.5\t7.0\n", 0},              // no blank: the one piece is not a number
        {"", 0},
        {"\n12.5 7.0\n", 0},             // only the first line counts
        {"\t 99.25\r\n", 99.25},
        {"42", 42},                      // no newline at the end
        {"12.5x 7.0\n", 0},              // not a number from end to end
        {too_long, 0},
        {longest, 5},
    };
    for (const auto &c : cases) EXPECT_DOUBLE_EQ(parse_uptime(c.text), c.want) << '"' << c.text.substr(0, 40) << '"';
}

TEST(UptimeDeathTest, MissingFileEndsTheProcessWithStatus1)
{
    init_config();
    vesk_copy(config.procFsPath, "/nonexistent-vesk-root");
    init_go_module(&config);
    EXPECT_EXIT(GetUptime(), testing::ExitedWithCode(1),
                "^[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} "
                "open /nonexistent-vesk-root/uptime: No such file or directory\n$");
}
