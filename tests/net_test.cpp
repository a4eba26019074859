#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "counter_support.hpp"
#include "encoding.hpp"
#include "vesk_net.hpp"

using test_support::core_counter;
using test_support::CounterTest;

namespace {

const std::string kHeader = "Inter-| Receive | Transmit\n face |bytes packets|bytes packets\n";
const std::string kLong = "br-" + std::string(252, 'x'); // the 300-character name as reported
const std::string kWeird = "weird\xEF\xBF\xBD" "0";

struct row {
    std::string name;
    uint64_t rbytes, sbytes;
    bool operator==(const row &) const = default;
};

} // namespace

TEST(NetParse, LinesOfTheInterfaceTable)
{
    struct {
        const char *what;
        std::string text;
        std::vector<row> want;
    } cases[] = {
        {"listed twice, both lines kept in order", kHeader + "a: 1 0 0 0 0 0 0 0 2\na:3 0 0 0 0 0 0 0 4\n",
         {{"a", 1, 2}, {"a", 3, 4}}},
        {"short line keeps what it has", kHeader + "eth9: 77 1 2\n", {{"eth9", 77, 0}}},
        {"a word stops the numbers", kHeader + "eth9: 77 x 0 0 0 0 0 0 88\n", {{"eth9", 77, 0}}},
        {"blank lines, no trailing newline", kHeader + "\n   \nlo: 5 0 0 0 0 0 0 0 6", {{"lo", 5, 6}}},
        {"largest counts", kHeader + "lo: 18446744073709551615 0 0 0 0 0 0 0 18446744073709551614\n",
         {{"lo", 18446744073709551615ULL, 18446744073709551614ULL}}},
        {"overflowing count stops the numbers", kHeader + "lo: 18446744073709551616 0 0 0 0 0 0 0 5\n", {{"lo", 0, 0}}},
    };
    for (const auto &c : cases) {
        std::vector<row> rows;
        for (const net_dev_row &r : parse_net_dev(c.text)) rows.push_back({std::string(r.name), r.rbytes, r.sbytes});
        EXPECT_EQ(rows, c.want) << c.what;
    }
}

TEST_F(CounterTest, NetExclusionMasks)
{
    struct {
        std::vector<const char *> masks;
        std::vector<std::string> reported;
    } cases[] = {
        {{"veth*"}, {"lo", "eth0", "wlan0", "eth1", kLong, kWeird}},
        // An exact mask, and prefix masks on long and odd names.
        {{"lo", "br-*", "weird*"}, {"eth0", "veth1a2b", "wlan0", "eth1"}},
    };
    for (const auto &c : cases) {
        init_config();
        for (const char *m : c.masks) vesk_copy(config.interface_exclude_masks[config.interface_exclude_masks_count++], m);
        core_counter net(CORE_NET);
        for (int cycle = 1; cycle <= 3; cycle++) {
            proc_root(fixture("devices/net/c" + std::to_string(cycle) + "/proc"));
            net.cycle(cycle - 1);
        }
        EXPECT_EQ(net.keys("net"), c.reported) << c.masks[0];
    }
}

// Entries read while the counter was not ok stay out of the report: those of the
// first update, and after a failed read those of its cycle and the two after it.
TEST_F(CounterTest, NetMissingFileAndRecovery)
{
    core_counter net(CORE_NET);
    const char *roots[] = {"c0", "c1", "none", "c2", "c3", "c2"};
    const int results[] = {1, 1, 0, 1, 1, 1};
    const bool reported[] = {false, false, false, false, false, true};
    for (int cycle = 0; cycle < 6; cycle++) {
        proc_root(fixture("devices/net/" + std::string(roots[cycle]) + "/proc"));
        EXPECT_EQ(net.cycle(cycle), results[cycle]) << cycle;
        std::string report = net.report();
        EXPECT_EQ(report != "net:{};", reported[cycle]) << cycle << ": " << report;
    }
}

// More interfaces than a byte can count are all kept, in file order.
TEST_F(CounterTest, NetManyInterfaces)
{
    constexpr int kCount = 600;
    std::string before = kHeader, after = kHeader, want = "net:{";
    for (int i = 0; i < kCount; i++) {
        const std::string name = "veth" + std::to_string(i);
        before += name + ": 0 0 0 0 0 0 0 0 0\n";
        after += name + ": " + std::to_string(i * 15) + " 0 0 0 0 0 0 0 " + std::to_string(i * 30) + "\n";
        want += name + ":{ok:i64=1;name:str=" + name + ";rbytes:i64=" + std::to_string(i * 8) +
                ";sbytes:i64=" + std::to_string(i * 16) + ";};";
    }
    write_file("a/net/dev", before);
    write_file("b/net/dev", after);
    core_counter net(CORE_NET);
    const char *roots[] = {"a", "a", "b"};
    for (int cycle = 0; cycle < 3; cycle++) {
        proc_root(scratch(roots[cycle]));
        net.cycle(cycle);
    }
    EXPECT_EQ(net.report(), want + "};");
}
