#include "vesk_cpu.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "counter_support.hpp"

namespace {

using cpu_data = vesk_mycustom_data_cpu;
using test_support::core_counter;
using test_support::CounterTest;
using test_support::dbl;

// The nine states in /proc/stat order: user nice system idle iowait irq softirq steal guest.
using states = std::array<uint64_t, CPU_NSTATES>;
cpu_data with(const states &s)
{
    cpu_data d;
    d.user = s[0], d.nice = s[1], d.system = s[2], d.idle = s[3], d.iowait = s[4];
    d.irq = s[5], d.softirq = s[6], d.steal = s[7], d.guest = s[8];
    return d;
}
states of(const cpu_data &d) { return {d.user, d.nice, d.system, d.idle, d.iowait, d.irq, d.softirq, d.steal, d.guest}; }

// The report part when ok: the captured host's load average (a float) outside "cpu",
// its uptime and the given rates inside.
std::string cpu_report(size_t ncpu, uint64_t user, uint64_t system, uint64_t idle, const std::vector<double> &mhz)
{
    std::string s = "lavg:dbl=" + dbl(1.74f) + ";ncpu:i64=" + std::to_string(ncpu) + ";cpu:{ok:i64=1;guest:i64=0;idle:i64=" +
                    std::to_string(idle) + ";iowait:i64=0;irq:i64=0;nice:i64=0;softirq:i64=0;steal:i64=0;system:i64=" +
                    std::to_string(system) + ";user:i64=" + std::to_string(user) + ";uptime:dbl=" + dbl(1196.06) + ";freq:{";
    for (size_t i = 0; i < mhz.size(); i++) s += "cpu" + std::to_string(i) + ":dbl=" + dbl(mhz[i]) + ";";
    return s + "};};";
}

} // namespace

TEST(CpuParsers, OddLines)
{
    // An old kernel's line with four states: the others are not read.
    auto old = parse_stat("cpu  10 20 30 40\ncpu0 10 20 30 40\n");
    ASSERT_TRUE(old);
    EXPECT_EQ(old->count, 4);
    EXPECT_EQ(old->ticks[3], 40u);
    EXPECT_FALSE(parse_stat("cpu0 1 2 3\ncpux 4 5 6\nintr 1\n")) << "per-CPU lines are not the aggregate one";
    EXPECT_EQ(parse_stat("cpu 5 -1 7\n")->count, 1) << "a negative number is no tick count";
    EXPECT_EQ(count_stat_cpus("cpu 1\ncpu0 1\ncpu0 1\ncpu1 1\nintr 5\n"), 2u) << "a CPU listed twice counts once";

    // arm64 has no "cpu MHz" line; s390x's name two rates whose values do not parse.
    EXPECT_TRUE(parse_cpuinfo("processor\t: 0\nBogoMIPS\t: 50.00\nFeatures\t: fp asimd\n").empty());
    auto s390 = parse_cpuinfo("cpu MHz dynamic : 5200\ncpu MHz static  : 5200\n");
    ASSERT_EQ(s390.size(), 2u);
    EXPECT_FALSE(s390[0]);
    EXPECT_FLOAT_EQ(parse_loadavg("garbage\n"), 0.0f);
}

TEST(CpuDelta, Percentages)
{
    constexpr uint64_t big = UINT64_MAX / 4;
    struct {
        const char *what;
        states prev, cur, want;
        uint64_t total;
    } cases[] = {
        {"thirds truncate", {1, 0, 1, 1}, {2, 0, 2, 2}, {33, 0, 33, 33}, 3},
        {"nothing moved: no division by zero", {5, 5, 5, 5}, {5, 5, 5, 5}, {}, 0},
        {"a state that went back counts 0 ticks", {100, 0, 0, 100, 50}, {200, 0, 0, 200, 40}, {50, 0, 0, 50}, 200},
        {"all reset to zero", {900, 0, 900, 900}, {}, {}, 0},
        {"counts too large for 64-bit products", {}, {big, 0, 0, big}, {50, 0, 0, 50}, big * 2},
        {"steal and guest are in the total", {0, 0, 0, 10}, {0, 0, 0, 40, 0, 0, 0, 10, 50}, {0, 0, 0, 33, 0, 0, 0, 11, 55}, 90},
    };
    for (const auto &t : cases) {
        cpu_data out;
        cpu_percentages(with(t.cur), with(t.prev), out);
        EXPECT_EQ(of(out), t.want) << t.what;
        EXPECT_EQ(out.cputot, t.total) << t.what;
    }
}

// More CPUs than a byte counts, more "cpu MHz" lines than CPUs, a processor block
// without one: every CPU reported, filled in file order.
TEST_F(CounterTest, CpuManyCpus)
{
    host_root();
    std::string stat = "cpu  100 0 50 1000 2 0 1 0 0 0\n", info;
    std::vector<double> mhz;
    for (int i = 0; i < 300; i++) stat += "cpu" + std::to_string(i) + " 1 0 1 10 0 0 0 0 0 0\n";
    write_file("proc/stat", stat + "intr 12345 0 0\nctxt 999\n");
    for (int i = 0; i < 302; i++) {
        info += "processor\t: " + std::to_string(i) + "\n";
        if (i == 1) continue;
        info += "cpu MHz\t\t: " + std::to_string(1000 + i) + ".500\n\n";
        if (mhz.size() < 300) mhz.push_back(1000.5 + i);
    }
    write_file("proc/cpuinfo", info);
    core_counter cpu(CORE_CPU);
    ASSERT_EQ(cpu.init_result, 1);
    ASSERT_EQ(cpu.cycle(0), 1);
    ASSERT_EQ(cpu.cycle(1), 1);
    EXPECT_EQ(cpu.report(), cpu_report(300, 0, 0, 0, mhz)) << "nothing moved: every share 0, still ok";
}

// A host without /proc/cpuinfo: the tick counts alone make the counter ok, and it
// recovers after a failed read of /proc/stat.
TEST_F(CounterTest, CpuWithoutCpuinfo)
{
    host_root();
    core_counter cpu(CORE_CPU);
    ASSERT_EQ(cpu.cycle(0), 1);
    const std::vector<double> mhz = {2095.989, 1800.0, 2400.125, 3100.5, 1200.0, 2200.25, 2600.75, 3500.0};
    hide("cpuinfo");
    advance(); // user +50, system +25, idle +25 ticks
    ASSERT_EQ(cpu.cycle(1), 1);
    EXPECT_EQ(cpu.reported<cpu_data>().cputot, 100u);
    EXPECT_EQ(cpu.report(), cpu_report(8, 50, 25, 25, mhz)) << "the last rates read are kept";
    EXPECT_EQ(cpu.dump(), "MyCustom cpu report (1) :\n\tguest = 0\n\tidle = 25\n\tiowait = 0\n\tirq = 0\n\tnice = 0\n"
                          "\tsoftirq = 0\n\tsteal = 0\n\tsystem = 25\n\tuser = 50\n\tuptime = 1196\n"
                          "\tfreq cpu0 = 2095.989000\n\tfreq cpu1 = 1800.000000\n\tfreq cpu2 = 2400.125000\n"
                          "\tfreq cpu3 = 3100.500000\n\tfreq cpu4 = 1200.000000\n\tfreq cpu5 = 2200.250000\n"
                          "\tfreq cpu6 = 2600.750000\n\tfreq cpu7 = 3500.000000\n");
    hide("stat");
    EXPECT_EQ(cpu.cycle(2), 0);
    // Not ok: zeros inside "cpu", "uptime" and "freq" as int64; the sample outside.
    EXPECT_EQ(cpu.report(), "lavg:dbl=" + dbl(1.74f) + ";ncpu:i64=8;cpu:{ok:i64=0;guest:i64=0;idle:i64=0;iowait:i64=0;"
                            "irq:i64=0;nice:i64=0;softirq:i64=0;steal:i64=0;system:i64=0;user:i64=0;uptime:i64=0;freq:i64=0;};");
    hide("stat", true);
    EXPECT_EQ(cpu.cycle(3), 1);
    EXPECT_EQ(cpu.reported<cpu_data>().ok, 0) << "the previous sample failed";
    EXPECT_EQ(cpu.cycle(4), 1);
    EXPECT_EQ(cpu.report(), cpu_report(8, 0, 0, 0, mhz));
}

TEST_F(CounterTest, CpuStatMissingAtInit)
{
    host_root();
    hide("stat");
    core_counter cpu(CORE_CPU);
    EXPECT_EQ(cpu.init_result, 0);
    hide("stat", true);
    cpu.cycle(0);
    cpu.cycle(1);
    EXPECT_EQ(cpu.report(), cpu_report(0, 0, 0, 0, {})) << "no CPUs for the run";
}
