#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "counter_support.hpp"
#include "vesk_net.hpp"

using test_support::core_counter;
using test_support::CounterTest;

namespace {

constexpr uint32_t kInterval = 15;

// Captured on a test host.
const char *kHostNetDev =
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs drop fifo colls "
    "carrier compressed\n"
    "    lo:    3267      29    0    0    0     0          0         0     3267      29    0    0    0     0       "
    "0          0\n"
    "  ifb0:       0       0    0    0    0     0          0         0        0       0    0    0    0     0       "
    "0          0\n"
    "  eth0: 19888575    1015    0    0    0     0          0         0    74459    1025    0    0    0     0       "
    "0          0\n";

const std::string kHeader = "Inter-| Receive | Transmit\n face |bytes packets|bytes packets\n";

struct row {
    std::string name;
    uint64_t rbytes, sbytes;
};

std::vector<row> rows_of(std::string_view text)
{
    std::vector<row> out;
    for (const net_dev_row &r : parse_net_dev(text)) out.push_back({std::string(r.name), r.rbytes, r.sbytes});
    return out;
}

bool operator==(const row &a, const row &b)
{
    return a.name == b.name && a.rbytes == b.rbytes && a.sbytes == b.sbytes;
}

// One interface in the report: rates in bytes per second, reported in bits.
std::string entry(const std::string &name, uint64_t rx_per_s, uint64_t tx_per_s)
{
    return name + ":{ok:i64=1;name:str=" + name + ";rbytes:i64=" + std::to_string(rx_per_s * 8) +
           ";sbytes:i64=" + std::to_string(tx_per_s * 8) + ";};";
}

const std::string kLong = "br-" + std::string(297, 'x');
const std::string kLongReported = kLong.substr(0, 255);
const std::string kWeirdReported = "weird\xEF\xBF\xBD" "0";

} // namespace

TEST(NetParse, LinesOfTheInterfaceTable)
{
    struct {
        const char *what;
        std::string text;
        std::vector<row> want;
    } cases[] = {
        {"host capture", kHostNetDev, {{"lo", 3267, 3267}, {"ifb0", 0, 0}, {"eth0", 19888575, 74459}}},
        {"name joined to the first number", kHeader + "eth0:1500 10 0 0 0 0 0 0 3000 20 0 0 0 0 0 0\n",
         {{"eth0", 1500, 3000}}},
        {"spaced line", kHeader + "  eth0: 1500 10 0 0 0 0 0 0 3000 20 0 0 0 0 0 0\n", {{"eth0", 1500, 3000}}},
        {"listed twice, both lines kept in order", kHeader + "a: 1 0 0 0 0 0 0 0 2\na: 3 0 0 0 0 0 0 0 4\n",
         {{"a", 1, 2}, {"a", 3, 4}}},
        {"short line keeps what it has", kHeader + "eth9: 77 1 2\n", {{"eth9", 77, 0}}},
        {"a word stops the numbers", kHeader + "eth9: 77 x 0 0 0 0 0 0 88\n", {{"eth9", 77, 0}}},
        {"only headers", kHeader, {}},
        {"one header line", "Inter-|\n", {}},
        {"blank line skipped", kHeader + "\n   \nlo: 5 0 0 0 0 0 0 0 6\n", {{"lo", 5, 6}}},
        {"no trailing newline", kHeader + "lo: 5 0 0 0 0 0 0 0 6", {{"lo", 5, 6}}},
        {"largest counts", kHeader + "lo: 18446744073709551615 0 0 0 0 0 0 0 18446744073709551614\n",
         {{"lo", 18446744073709551615ULL, 18446744073709551614ULL}}},
        {"overflowing count stops the numbers", kHeader + "lo: 18446744073709551616 0 0 0 0 0 0 0 5\n",
         {{"lo", 0, 0}}},
    };
    for (const auto &c : cases) EXPECT_EQ(rows_of(c.text), c.want) << c.what;
}

// Four cycles over the fixture, 15 seconds apart: interfaces are reported from the
// third cycle on, paired by name, in the order of the current sample.
TEST_F(CounterTest, NetCyclesOnFixture)
{
    core_counter net(CORE_NET);
    EXPECT_EQ(net.init_result, 1);
    EXPECT_STREQ(net.get()->report, "net");
    std::vector<std::string> reports;
    for (int cycle = 0; cycle < 4; cycle++) {
        proc_root(fixture("net/c" + std::to_string(cycle) + "/proc"));
        EXPECT_EQ(net.update(), 1);
        net.delta(kInterval, cycle);
        reports.push_back(net.report());
    }
    EXPECT_EQ(reports[0], "net:{};");
    // The entries of the first sample were read before the counter was ok.
    EXPECT_EQ(reports[1], "net:{};");
    EXPECT_EQ(reports[2], "net:{" + entry("lo", 1500 / 15, 1500 / 15) +
                              entry("eth0", (21500000 - 20000000) / 15, (110000 - 80000) / 15) +
                              entry("veth1a2b", 500 / 15, 500 / 15) +
                              // re-created: its counts went down
                              entry("eth1", 0, 0) + entry(kLongReported, 150 / 15, 150 / 15) +
                              entry(kWeirdReported, 30 / 15, 30 / 15) + "};");
    EXPECT_EQ(reports[3], "net:{" + entry("lo", 100, 100) + entry("eth0", 100000, 2000) + entry("veth1a2b", 33, 33) +
                              entry("wlan0", 900 / 15, 900 / 15) +
                              entry("eth1", (15300 - 300) / 15, (30400 - 400) / 15) + entry(kLongReported, 10, 10) +
                              entry(kWeirdReported, 2, 2) + "};");
}

TEST_F(CounterTest, NetExclusionMasks)
{
    struct {
        std::vector<const char *> masks;
        std::vector<std::string> reported;
    } cases[] = {
        {{"veth*"}, {"lo", "eth0", "wlan0", "eth1", kLongReported, kWeirdReported}},
        {{"lo"}, {"eth0", "veth1a2b", "wlan0", "eth1", kLongReported, kWeirdReported}},
        {{"l*", "eth0", "br-*", "weird*", "wlan0"}, {"veth1a2b", "eth1"}},
        // A lone '*' is no prefix mask, and a mask matches whole names only.
        {{"*", "eth"}, {"lo", "eth0", "veth1a2b", "wlan0", "eth1", kLongReported, kWeirdReported}},
    };
    for (const auto &c : cases) {
        init_config();
        for (const char *m : c.masks) vesk_copy(config.interface_exclude_masks[config.interface_exclude_masks_count++], m);
        core_counter net(CORE_NET);
        for (int cycle = 1; cycle <= 3; cycle++) {
            proc_root(fixture("net/c" + std::to_string(cycle) + "/proc"));
            net.update();
            net.delta(kInterval, cycle - 1);
        }
        EXPECT_EQ(net.keys("net"), c.reported) << c.masks[0];
    }
}

// A failed read leaves the interfaces out of its own report and of the two after it.
TEST_F(CounterTest, NetMissingFileAndRecovery)
{
    core_counter net(CORE_NET);
    const char *roots[] = {"net/c0/proc", "net/c1/proc", "missing", "net/c2/proc", "net/c3/proc", "net/c2/proc"};
    const int results[] = {1, 1, 0, 1, 1, 1};
    const bool reported[] = {false, false, false, false, false, true};
    for (int cycle = 0; cycle < 6; cycle++) {
        proc_root(fixture(roots[cycle]));
        EXPECT_EQ(net.update(), results[cycle]) << cycle;
        net.delta(kInterval, cycle);
        std::string report = net.report();
        EXPECT_EQ(report != "net:{};", reported[cycle]) << cycle << ": " << report;
    }
    // Back to an earlier sample: every count went down, so every rate is 0.
    EXPECT_EQ(net.report(), "net:{" + entry("lo", 0, 0) + entry("eth0", 0, 0) + entry("veth1a2b", 0, 0) +
                                entry("wlan0", 0, 0) + entry("eth1", 0, 0) + entry(kLongReported, 0, 0) +
                                entry(kWeirdReported, 0, 0) + "};");
}

// More interfaces than a byte can count are all kept, in file order.
TEST_F(CounterTest, NetManyInterfaces)
{
    constexpr int kCount = 600;
    std::string before = kHeader, after = kHeader;
    for (int i = 0; i < kCount; i++) {
        before += "veth" + std::to_string(i) + ": 0 0 0 0 0 0 0 0 0\n";
        after += "veth" + std::to_string(i) + ": " + std::to_string(i * 15) + " 0 0 0 0 0 0 0 " +
                 std::to_string(i * 30) + "\n";
    }
    write_file("a/net/dev", before);
    write_file("b/net/dev", after);
    core_counter net(CORE_NET);
    const char *roots[] = {"a", "a", "b"};
    for (int cycle = 0; cycle < 3; cycle++) {
        proc_root(scratch(roots[cycle]));
        net.update();
        net.delta(kInterval, cycle);
    }
    std::string want = "net:{";
    for (int i = 0; i < kCount; i++) want += entry("veth" + std::to_string(i), i, 2 * i);
    EXPECT_EQ(net.report(), want + "};");
}

// In the cycle the dump shows the rates of the delta, in bytes per second (--ifs,
// which runs no delta, is checked by the one-shot black-box test).
TEST_F(CounterTest, NetDumpShowsRates)
{
    core_counter net(CORE_NET);
    for (int cycle = 0; cycle < 3; cycle++) {
        proc_root(fixture("net/c" + std::to_string(cycle) + "/proc"));
        net.update();
        net.delta(kInterval, cycle);
    }
    std::string dump = net.dump();
    EXPECT_EQ(dump.substr(0, dump.find("\tok = 1\n\tdev = eth0")),
              "MyCustom net report (1) :\n\tNet interfaces:\n"
              "\tok = 1\n\tdev = lo\n\tbytes read = 100\n\tbytes write = 100\n");
}
