#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "counter_support.hpp"
#include "vesk_cpu.hpp"
#include "vesk_disk.hpp"

using test_support::core_counter;
using test_support::CounterTest;
using test_support::dbl;

namespace {

constexpr uint32_t kInterval = 15;

// The seven counts a device reports, per second.
struct rates {
    uint64_t r, w, rt, wt, tt, sr, sw;
};

std::string entry(const std::string &name, const rates &v, float avio, float busy)
{
    return name + ":{ok:i64=1;name:str=" + name + ";rbytes:i64=" + std::to_string(v.r) +
           ";wbytes:i64=" + std::to_string(v.w) + ";rticks:i64=" + std::to_string(v.rt) +
           ";wticks:i64=" + std::to_string(v.wt) + ";tticks:i64=" + std::to_string(v.tt) +
           ";sread:i64=" + std::to_string(v.sr) + ";swrite:i64=" + std::to_string(v.sw) + ";avio:dbl=" + dbl(avio) +
           ";busy:dbl=" + dbl(busy) + ";};";
}

// The names of a sysfs block directory in the order readdir gives them.
std::vector<std::string> dir_order(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

// The cpu counter's delta output that the disk delta divides by.
class DiskTest : public CounterTest {
protected:
    void SetUp() override
    {
        CounterTest::SetUp();
        cpu_.cputot = 6000;
        cpu_.ncpus = 4;
        stats.core_counters[CORE_CPU].data_delta = &cpu_;
    }
    void TearDown() override
    {
        stats.core_counters[CORE_CPU].data_delta = nullptr;
        CounterTest::TearDown();
    }
    // The report part of the given cycles of the fixture, one report a cycle.
    std::vector<std::string> run_cycles(core_counter &disk, const std::vector<std::string> &proc_roots)
    {
        std::vector<std::string> reports;
        for (size_t i = 0; i < proc_roots.size(); i++) {
            proc_root(fixture(proc_roots[i]));
            disk.update();
            disk.delta(kInterval, i);
            reports.push_back(disk.report());
        }
        return reports;
    }
    vesk_mycustom_data_cpu cpu_{};
};

} // namespace

TEST(DiskParse, DiskstatsLines)
{
    struct {
        const char *what;
        std::string text;
        std::vector<std::string> names;
        mibdisk first;
    } cases[] = {
        {"host capture, 17 numbers",
         " 254       0 vda 17961 7043 3233938 6564 4475 6705 1086456 1775 0 3476 9508 5059 69 608640 1091 425 77\n"
         " 253       0 zram0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n",
         {"vda", "zram0"},
         {.ok = 1, .rbytes = 17961, .wbytes = 4475, .rticks = 6564, .wticks = 1775, .tticks = 3476,
          .sRead = 3233938, .sWritten = 1086456}},
        {"old kernel, 11 numbers", "   8       0 sda 1 2 3 4 5 6 7 8 9 10 11\n", {"sda"},
         {.ok = 1, .rbytes = 1, .wbytes = 5, .rticks = 4, .wticks = 8, .tticks = 10, .sRead = 3, .sWritten = 7}},
        {"partition line of a 2.6 kernel: only four numbers", "   8       1 sda1 40 80 50 90\n", {"sda1"},
         {.ok = 1, .rbytes = 40, .rticks = 90, .sRead = 50}},
        {"name only", "8 0 sdq\n", {"sdq"}, {.ok = 1}},
        {"no name, no major, garbage skipped", "8 0\n\nx 1 sda 1 2 3\n  7 1 loop1 9\n", {"loop1"},
         {.ok = 1, .rbytes = 9}},
    };
    for (const auto &c : cases) {
        std::vector<diskstats_row> rows = parse_diskstats(c.text);
        std::vector<std::string> names;
        for (const auto &r : rows) names.emplace_back(r.name);
        EXPECT_EQ(names, c.names) << c.what;
        if (rows.empty()) continue;
        const mibdisk &m = rows[0].counts;
        EXPECT_EQ(m.ok, c.first.ok) << c.what;
        EXPECT_EQ(std::vector<uint64_t>({m.rbytes, m.wbytes, m.rticks, m.wticks, m.tticks, m.sRead, m.sWritten}),
                  std::vector<uint64_t>({c.first.rbytes, c.first.wbytes, c.first.rticks, c.first.wticks,
                                         c.first.tticks, c.first.sRead, c.first.sWritten}))
            << c.what;
    }
}

// The fixture cycles cover the rates; these are the edges they do not reach.
TEST(DiskRates, ElapsedTimeEdges)
{
    const long hz = sysconf(_SC_CLK_TCK);
    // 4 CPUs, 6000 ticks of all CPUs at 100 Hz over the interval: 15 s of each CPU.
    EXPECT_DOUBLE_EQ(disk_mstot(6000 * hz / 100, 4, hz), 15000.0);
    // Without an elapsed time from the cpu counter (its delta not ok) there is no busy share.
    mibdisk out;
    disk_rates({.rbytes = 15, .tticks = 30}, {}, kInterval, 0.0, out);
    EXPECT_EQ(out.tticks, 2u);
    EXPECT_FLOAT_EQ(out.avio, 2.0f);
    EXPECT_EQ(out.busy, 0.0f);
}

// Three cycles over the fixture: which devices are reported, in directory order,
// with which rates.
TEST_F(DiskTest, CyclesOnFixture)
{
    sys_root(fixture("disk/sys"));
    const long hz = sysconf(_SC_CLK_TCK);
    cpu_.cputot = static_cast<uint64_t>(6000 * hz / 100);
    core_counter disk(CORE_DISK);
    EXPECT_EQ(disk.init_result, 1);
    EXPECT_STREQ(disk.get()->report, "disk");
    std::vector<std::string> reports = run_cycles(disk, {"disk/c0/proc", "disk/c1/proc", "disk/c2/proc"});
    EXPECT_EQ(reports[0], "disks:{};");

    // Kept: sda, sdb (removable but "sd"), mmcblk0 (no removable attribute), nvme0n1 once
    // the statistics list it. Left out: sr0 (removable), loop0 (no device link), sdc (not
    // in the statistics), sda1 (a partition, not in the block directory).
    std::map<std::string, std::string> cycle1 = {
        {"sda", entry("sda", {20, 10, 20, 13, 60, 160, 80}, 2.0f, 6.0f)},
        {"sdb", entry("sdb", {0, 0, 0, 0, 0, 0, 0}, 0.0f, 0.0f)},
        {"mmcblk0", entry("mmcblk0", {2, 0, 2, 0, 1, 16, 0}, 0.5f, 0.1f)},
    };
    std::map<std::string, std::string> cycle2 = {
        {"sda", entry("sda", {10, 10, 10, 10, 30, 80, 80}, 1.5f, 3.0f)},
        {"sdb", entry("sdb", {2, 2, 1, 1, 2, 16, 16}, 0.5f, 0.2f)},
        {"mmcblk0", entry("mmcblk0", {0, 0, 0, 0, 0, 0, 0}, 0.0f, 0.0f)},
        {"nvme0n1", entry("nvme0n1", {20, 20, 10, 10, 20, 160, 160}, 0.5f, 2.0f)},
    };
    std::string want1 = "disks:{", want2 = "disks:{";
    for (const std::string &name : dir_order(fixture("disk/sys/block"))) {
        if (cycle1.count(name)) want1 += cycle1[name];
        if (cycle2.count(name)) want2 += cycle2[name];
    }
    EXPECT_EQ(reports[1], want1 + "};");
    EXPECT_EQ(reports[2], want2 + "};");

    std::string dump = disk.dump();
    EXPECT_NE(dump.find("\tok = 1\n\tdev = sda\n\tops read = 10\n\tops write = 10\n\tsectors read = 80\n"
                        "\tsectors write = 80\n\tavio = 1.500000\n\tbusy = 3.000000\n"),
              std::string::npos)
        << dump;
    EXPECT_EQ(dump.rfind("MyCustom disk report (1) :\n", 0), 0u) << dump;
}

// A missing source empties the report of its own cycle and of the next one.
TEST_F(DiskTest, MissingSources)
{
    struct {
        const char *what;
        const char *sys;
        const char *failing_proc;
    } cases[] = {
        {"no block directory", "missing", "disk/c1/proc"},
        {"no disk statistics", "disk/sys", "missing"},
    };
    for (const auto &c : cases) {
        core_counter disk(CORE_DISK);
        sys_root(fixture("disk/sys"));
        proc_root(fixture("disk/c0/proc"));
        EXPECT_EQ(disk.update(), 1);
        disk.delta(kInterval, 0);
        sys_root(fixture(c.sys));
        proc_root(fixture(c.failing_proc));
        EXPECT_EQ(disk.update(), 0) << c.what;
        disk.delta(kInterval, 1);
        EXPECT_EQ(disk.report(), "disks:{};") << c.what;
        sys_root(fixture("disk/sys"));
        proc_root(fixture("disk/c1/proc"));
        EXPECT_EQ(disk.update(), 1);
        disk.delta(kInterval, 2);
        EXPECT_EQ(disk.report(), "disks:{};") << c.what;
        proc_root(fixture("disk/c2/proc"));
        disk.update();
        disk.delta(kInterval, 3);
        EXPECT_EQ(disk.keys("disks").size(), 4u) << c.what;
    }
}

// More block devices than a byte can count, with long names: all reported.
TEST_F(DiskTest, ManyDevicesAndLongNames)
{
    std::string stats0, stats1;
    std::set<std::string> want;
    for (int i = 0; i < 300; i++) {
        std::string name = "sd" + std::to_string(i) + std::string(i % 3 == 0 ? 240 : 0, 'q');
        std::filesystem::create_directories(scratch("sys/block/" + name));
        std::filesystem::create_symlink("../../devices/x", scratch("sys/block/" + name + "/device"));
        stats0 += "8 " + std::to_string(i) + " " + name + " 0 0 0 0 0 0 0 0 0 0 0\n";
        stats1 += "8 " + std::to_string(i) + " " + name + " 15 0 0 0 0 0 0 0 0 0 0\n";
        want.insert(name);
    }
    write_file("p0/diskstats", stats0);
    write_file("p1/diskstats", stats1);
    sys_root(scratch("sys"));
    core_counter disk(CORE_DISK);
    proc_root(scratch("p0"));
    disk.update();
    disk.delta(kInterval, 0);
    proc_root(scratch("p1"));
    disk.update();
    disk.delta(kInterval, 1);
    std::vector<std::string> keys = disk.keys("disks");
    EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()), want);
    EXPECT_EQ(keys.size(), want.size());
    std::string report = disk.report();
    EXPECT_EQ(report.find("rbytes:i64=0"), std::string::npos);
}
