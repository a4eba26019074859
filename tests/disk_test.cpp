#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "counter_support.hpp"
#include "vesk_disk.hpp"

using test_support::core_counter;
using test_support::CounterTest;

namespace {

std::vector<uint64_t> counts(const mibdisk &m) { return {m.rbytes, m.wbytes, m.rticks, m.wticks, m.tticks, m.sRead, m.sWritten}; }

} // namespace

TEST(DiskParse, DiskstatsLines)
{
    struct {
        const char *what;
        std::string text;
        std::vector<std::string> names;
        std::vector<uint64_t> first; // reads, writes, ms reading, ms writing, ms busy, sectors read, written
    } cases[] = {
        {"host capture, 17 numbers",
         " 254       0 vda 17961 7043 3233938 6564 4475 6705 1086456 1775 0 3476 9508 5059 69 608640 1091 425 77\n"
         " 253       0 zram0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n",
         {"vda", "zram0"}, {17961, 4475, 6564, 1775, 3476, 3233938, 1086456}},
        {"partition line of a 2.6 kernel: only four numbers", "   8       1 sda1 40 80 50 90\n", {"sda1"}, {40, 0, 90, 0, 0, 50, 0}},
        {"no name, no major, garbage skipped", "8 0\n\nx 1 sda 1 2 3\n  7 1 loop1 9\n", {"loop1"}, {9, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto &c : cases) {
        std::vector<diskstats_row> rows = parse_diskstats(c.text);
        std::vector<std::string> names;
        for (const auto &r : rows) names.emplace_back(r.name);
        EXPECT_EQ(names, c.names) << c.what;
        ASSERT_FALSE(rows.empty()) << c.what;
        EXPECT_EQ(rows[0].counts.ok, 1) << c.what;
        EXPECT_EQ(counts(rows[0].counts), c.first) << c.what;
    }
}

// No span (taken as one millisecond), no elapsed time from the cpu counter, no
// operation: never a division by zero.
TEST(DiskRates, ZeroDivisors)
{
    mibdisk out;
    disk_rates({.rbytes = 30, .tticks = 30}, {}, 0, 0.0, out);
    EXPECT_EQ(counts(out), (std::vector<uint64_t>{30000, 0, 0, 0, 30000, 0, 0}));
    EXPECT_FLOAT_EQ(out.avio, 1.0f);
    EXPECT_EQ(out.busy, 0.0f);
    disk_rates({.tticks = 30}, {}, 15000, 15000.0, out);
    EXPECT_EQ(out.avio, 0.0f);
    EXPECT_FLOAT_EQ(out.busy, 0.2f);
}

// A missing source empties the report of its own cycle and of the next one.
TEST_F(CounterTest, DiskMissingSources)
{
    const std::string sys = "devices/disk/sys", c = "devices/disk/c";
    for (const bool no_sys : {true, false}) {
        core_counter disk(CORE_DISK);
        // Cycle 1 lacks the block directory or the disk statistics.
        const std::string roots[][2] = {{sys, c + "0/proc"}, {no_sys ? "none" : sys, no_sys ? c + "1/proc" : "none"},
                                        {sys, c + "1/proc"}, {sys, c + "2/proc"}};
        for (int cycle = 0; cycle < 4; cycle++) {
            sys_root(fixture(roots[cycle][0]));
            proc_root(fixture(roots[cycle][1]));
            EXPECT_EQ(disk.cycle(cycle), cycle == 1 ? 0 : 1) << no_sys << cycle;
            EXPECT_EQ(disk.keys("disks").size(), cycle == 3 ? 4u : 0u) << no_sys << cycle;
        }
    }
}

// More block devices than a byte can count, with names that make the sysfs paths
// long: all reported. A device whose removable flag cannot be read is judged on its
// own, whatever the device read before it said.
TEST_F(CounterTest, DiskManyDevices)
{
    std::string stats0, stats1;
    std::set<std::string> want;
    for (int i = 0; i < 400; i++) {
        const char *kind[] = {"sr", "mmc", "sd"}; // removable, flag unreadable, removable but "sd"
        std::string name = kind[i % 3] + std::to_string(i) + std::string(i % 3 == 2 ? 240 : 0, 'q');
        std::filesystem::create_directories(scratch("sys/block/" + name));
        std::filesystem::create_symlink("../../devices/x", scratch("sys/block/" + name + "/device"));
        if (i % 3 != 1) write_file("sys/block/" + name + "/removable", "1\n");
        stats0 += "8 " + std::to_string(i) + " " + name + " 0 0 0 0 0 0 0 0 0 0 0\n";
        stats1 += "8 " + std::to_string(i) + " " + name + " 15 0 0 0 0 0 0 0 0 0 0\n";
        if (i % 3) want.insert(name);
    }
    write_file("p0/diskstats", stats0);
    write_file("p1/diskstats", stats1);
    sys_root(scratch("sys"));
    core_counter disk(CORE_DISK);
    proc_root(scratch("p0"));
    disk.cycle(0);
    proc_root(scratch("p1"));
    disk.cycle(1);
    std::vector<std::string> keys = disk.keys("disks");
    EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()), want);
    EXPECT_EQ(keys.size(), want.size());
    EXPECT_EQ(disk.report().find("rbytes:i64=0"), std::string::npos) << "every device read 1 per second";
}
