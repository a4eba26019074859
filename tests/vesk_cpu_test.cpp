#include "vesk_cpu.hpp"

#include <gtest/gtest.h>

#include <string>

#include "fixture_root.hpp"

namespace {

using cpu_data = vesk_mycustom_data_cpu;
using test_support::core_counter;
using test_support::dbl;

cpu_data ticks(uint64_t user, uint64_t nice, uint64_t system, uint64_t idle, uint64_t iowait = 0, uint64_t irq = 0,
               uint64_t softirq = 0, uint64_t steal = 0, uint64_t guest = 0)
{
    cpu_data d;
    d.user = user, d.nice = nice, d.system = system, d.idle = idle, d.iowait = iowait;
    d.irq = irq, d.softirq = softirq, d.steal = steal, d.guest = guest;
    return d;
}

// A /proc/stat of a host with `n` CPUs, as the kernel writes it.
std::string stat_with_cpus(int n)
{
    std::string s = "cpu  100 0 50 1000 2 0 1 0 0 0\n";
    for (int i = 0; i < n; i++) s += "cpu" + std::to_string(i) + " 1 0 1 10 0 0 0 0 0 0\n";
    return s + "intr 12345 0 0\nctxt 999\nbtime 1700000000\nprocesses 42\n";
}

cpu_data &sample(core_counter &c) { return *static_cast<cpu_data *>(c.get()->data); }
cpu_data &reported(core_counter &c) { return *static_cast<cpu_data *>(c.get()->data_delta); }

// The "cpu" object of a report that is ok, as the decoder prints it.
std::string cpu_object(uint64_t user, uint64_t system, uint64_t idle, double uptime, const std::vector<double> &mhz)
{
    std::string s = "cpu:{ok:i64=1;guest:i64=0;idle:i64=" + std::to_string(idle) +
                    ";iowait:i64=0;irq:i64=0;nice:i64=0;softirq:i64=0;steal:i64=0;system:i64=" + std::to_string(system) +
                    ";user:i64=" + std::to_string(user) + ";uptime:dbl=" + dbl(uptime) + ";freq:{";
    for (size_t i = 0; i < mhz.size(); i++) s += "cpu" + std::to_string(i) + ":dbl=" + dbl(mhz[i]) + ";";
    return s + "};};";
}

// Runs the priming cycle and one more; `between` changes the tree in between.
template <typename Between>
void two_cycles(core_counter &cpu, Between between)
{
    ASSERT_EQ(cpu.update(), 1);
    cpu.delta(15, 0);
    between();
    ASSERT_EQ(cpu.update(), 1);
    cpu.delta(15, 1);
}

} // namespace

TEST(CpuParsers, StatLineAndCpuCount)
{
    // Captured from a 4-CPU host running kernel 6.1, and odd variants.
    const std::string real = "cpu  27231 0 14820 913474 225 0 535 0 0 0\n"
                             "cpu0 3328 0 1810 114121 29 0 222 0 0 0\n"
                             "cpu1 3300 0 1861 114163 30 0 127 0 0 0\n"
                             "cpu2 3497 0 1874 114012 31 0 58 0 0 0\n"
                             "cpu3 3421 0 1867 114112 28 0 40 0 0 0\n"
                             "intr 2004871 0 9 0 0\nctxt 3915431\nbtime 1717000000\n"
                             "processes 12770\nprocs_running 1\nprocs_blocked 0\nsoftirq 1195744 0 204512\n";
    auto line = parse_stat(real);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->count, 9);
    const uint64_t want[9] = {27231, 0, 14820, 913474, 225, 0, 535, 0, 0};
    for (int i = 0; i < 9; i++) EXPECT_EQ(line->ticks[i], want[i]) << i;
    EXPECT_EQ(count_stat_cpus(real), 4u);

    // An old kernel's line with four states only: the others are not read.
    auto old = parse_stat("cpu  10 20 30 40\ncpu0 10 20 30 40\n");
    ASSERT_TRUE(old);
    EXPECT_EQ(old->count, 4);
    EXPECT_EQ(old->ticks[3], 40u);

    // A per-CPU line is not the aggregate one, and a missing aggregate line is none.
    EXPECT_FALSE(parse_stat("cpu0 1 2 3\ncpux 4 5 6\nintr 1\n"));
    // A number that does not parse ends the line; a negative one is not a tick count.
    auto bad = parse_stat("cpu 5 -1 7\n");
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->count, 1);

    // A CPU listed twice counts once.
    EXPECT_EQ(count_stat_cpus("cpu 1\ncpu0 1\ncpu0 1\ncpu1 1\n"), 2u);
    EXPECT_EQ(count_stat_cpus(std::string("cpu") + std::string(400, '7') + " 1\n"), 1u);
}

TEST(CpuParsers, CpuinfoAndLoadavg)
{
    // x86: one "cpu MHz" line per processor block, in file order.
    const std::string x86 = "processor\t: 0\nvendor_id\t: GenuineIntel\ncpu family\t: 6\nmodel name\t: Xeon\n"
                            "stepping\t: 7\ncpu MHz\t\t: 2095.989\ncache size\t: 36608 KB\n\n"
                            "processor\t: 1\nvendor_id\t: GenuineIntel\ncpu MHz\t\t: 1800.500\n\n";
    auto mhz = parse_cpuinfo(x86);
    ASSERT_EQ(mhz.size(), 2u);
    EXPECT_DOUBLE_EQ(*mhz[0], 2095.989);
    EXPECT_DOUBLE_EQ(*mhz[1], 1800.5);

    // arm64 has no "cpu MHz" at all.
    const std::string arm = "processor\t: 0\nBogoMIPS\t: 50.00\nFeatures\t: fp asimd evtstrm\n"
                            "CPU implementer\t: 0x41\nCPU part\t: 0xd0c\n\nprocessor\t: 1\nBogoMIPS\t: 50.00\n";
    EXPECT_TRUE(parse_cpuinfo(arm).empty());

    // s390x names dynamic and static rates: the lines count, their values do not parse.
    auto s390 = parse_cpuinfo("cpu MHz dynamic : 5200\ncpu MHz static  : 5200\n");
    ASSERT_EQ(s390.size(), 2u);
    EXPECT_FALSE(s390[0]);

    EXPECT_FLOAT_EQ(parse_loadavg("1.74 1.00 0.44 4/197 12563\n"), 1.74f);
    EXPECT_FLOAT_EQ(parse_loadavg(""), 0.0f);
    EXPECT_FLOAT_EQ(parse_loadavg("garbage\n"), 0.0f);
}

TEST(CpuDelta, Percentages)
{
    struct {
        const char *what;
        cpu_data prev, cur;
        uint64_t user, system, idle, iowait, total;
    } cases[] = {
        {"half user, quarter system and idle", ticks(100, 0, 100, 100), ticks(150, 0, 125, 125), 50, 25, 25, 0, 100},
        {"thirds truncate", ticks(1, 0, 1, 1), ticks(2, 0, 2, 2), 33, 33, 33, 0, 3},
        {"nothing moved", ticks(5, 5, 5, 5), ticks(5, 5, 5, 5), 0, 0, 0, 0, 0},
        // iowait went back: it counts 0 ticks, never a wrapped 64-bit difference.
        {"counter went down", ticks(100, 0, 0, 100, 50), ticks(200, 0, 0, 200, 40), 50, 0, 50, 0, 200},
        {"counter reset to zero", ticks(900, 0, 900, 900), ticks(0, 0, 0, 0), 0, 0, 0, 0, 0},
        // Tick counts too large to multiply by 100 in 64 bits still give exact shares.
        {"huge counts", ticks(0, 0, 0, 0), ticks(UINT64_MAX / 4, 0, 0, UINT64_MAX / 4), 50, 0, 50, 0, UINT64_MAX / 4 * 2},
    };
    for (const auto &t : cases) {
        cpu_data out = t.cur;
        cpu_percentages(t.cur, t.prev, out);
        EXPECT_EQ(out.user, t.user) << t.what;
        EXPECT_EQ(out.system, t.system) << t.what;
        EXPECT_EQ(out.idle, t.idle) << t.what;
        EXPECT_EQ(out.iowait, t.iowait) << t.what;
        EXPECT_EQ(out.cputot, t.total) << t.what;
        for (uint64_t v : {out.nice, out.irq, out.softirq, out.steal, out.guest}) EXPECT_EQ(v, 0u) << t.what;
    }
    // Guest time is one of the nine states of the total.
    cpu_data out;
    cpu_percentages(ticks(0, 0, 0, 40, 0, 0, 0, 10, 50), ticks(0, 0, 0, 10), out);
    EXPECT_EQ(out.cputot, 90u);
    EXPECT_EQ(out.guest, 55u);
    EXPECT_EQ(out.steal, 11u);
    EXPECT_EQ(out.idle, 33u);
}

// Two cycles of the counter on a captured /proc: the report of cycle 1 carries the
// shares of the ticks that elapsed between the two samples.
TEST(CpuCounter, CyclesOnFixtureRoot)
{
    fixture_root root("sysa-basic");
    core_counter cpu(CORE_CPU);
    ASSERT_EQ(cpu.init_result, 1);
    EXPECT_STREQ(cpu.get()->report, "cpu");
    EXPECT_EQ(sample(cpu).ncpus, 8u);

    ASSERT_EQ(cpu.update(), 1);
    cpu.delta(15, 0);
    // The priming cycle reports zeros inside "cpu", the current sample outside it.
    const std::string outside = "lavg:dbl=" + dbl(1.74f) + ";ncpu:i64=8;"; // the fixture's loadavg, as a float
    EXPECT_EQ(cpu.report(), outside + "cpu:{ok:i64=0;guest:i64=0;idle:i64=0;iowait:i64=0;irq:i64=0;nice:i64=0;"
                                      "softirq:i64=0;steal:i64=0;system:i64=0;user:i64=0;uptime:i64=0;freq:i64=0;};");

    root.advance("cycle2"); // user +50, system +25, idle +25 ticks
    ASSERT_EQ(cpu.update(), 1);
    cpu.delta(15, 1);
    EXPECT_EQ(reported(cpu).cputot, 100u);
    // The fixture's uptime, and the rates of its eight processor blocks in file order.
    EXPECT_EQ(cpu.report(), outside + cpu_object(50, 25, 25, 1196.06,
                                                 {2095.989, 1800.0, 2400.125, 3100.5, 1200.0, 2200.25, 2600.75, 3500.0}));
    EXPECT_EQ(cpu.dump(), "MyCustom cpu report (1) :\n\tguest = 0\n\tidle = 25\n\tiowait = 0\n\tirq = 0\n\tnice = 0\n"
                          "\tsoftirq = 0\n\tsteal = 0\n\tsystem = 25\n\tuser = 50\n\tuptime = 1196\n"
                          "\tfreq cpu0 = 2095.989000\n\tfreq cpu1 = 1800.000000\n\tfreq cpu2 = 2400.125000\n"
                          "\tfreq cpu3 = 3100.500000\n\tfreq cpu4 = 1200.000000\n\tfreq cpu5 = 2200.250000\n"
                          "\tfreq cpu6 = 2600.750000\n\tfreq cpu7 = 3500.000000\n");
}

TEST(CpuCounter, FailuresAndOddHosts)
{
    fixture_root root("sysa-basic");
    // More "cpu MHz" lines than CPUs fill only the CPUs; a CPU without one reports 0.
    root.write("stat", stat_with_cpus(3));
    root.write("cpuinfo", "processor\t: 0\ncpu MHz\t\t: 1000.5\n\nprocessor\t: 1\n\n"
                          "processor\t: 2\ncpu MHz\t\t: 3000\n\nprocessor\t: 3\ncpu MHz\t\t: 4000\n");
    {
        core_counter cpu(CORE_CPU);
        ASSERT_EQ(cpu.init_result, 1);
        ASSERT_EQ(cpu.update(), 1);
        // cpu1 had no line, so the second line (processor 2's) fills slot 1.
        EXPECT_EQ(sample(cpu).freq, (std::vector<double>{1000.5, 3000, 4000}));
    }

    // No /proc/cpuinfo: the counter stays ok on its tick counts, even after a failed update.
    root.advance("cycle2"); // the captured /proc/stat again
    {
        core_counter cpu(CORE_CPU);
        ASSERT_EQ(cpu.init_result, 1);
        root.remove("cpuinfo");
        ASSERT_EQ(cpu.update(), 1);
        cpu.delta(15, 0);
        std::string stat = root.read("stat");
        root.remove("stat");
        EXPECT_EQ(cpu.update(), 0);
        cpu.delta(15, 1);
        EXPECT_EQ(reported(cpu).ok, 0);
        root.write("stat", stat);
        EXPECT_EQ(cpu.update(), 1);
        cpu.delta(15, 2); // previous sample not ok
        EXPECT_EQ(reported(cpu).ok, 0);
        EXPECT_EQ(cpu.update(), 1);
        cpu.delta(15, 3);
        EXPECT_EQ(reported(cpu).ok, 1) << "a host without /proc/cpuinfo recovers after a failed read";
        EXPECT_EQ(reported(cpu).uptime, 1196.06) << "and its uptime still moves";
        // Counters that did not move: every share 0, and still ok.
        EXPECT_EQ(cpu.report(), "lavg:dbl=" + dbl(1.74f) + ";ncpu:i64=8;" +
                                    cpu_object(0, 0, 0, 1196.06, std::vector<double>(8, 0.0)));
    }

    // No /proc/stat at init: no CPUs for the run, and an empty "freq" while ok.
    root.remove("stat");
    core_counter cpu(CORE_CPU);
    EXPECT_EQ(cpu.init_result, 0);
    root.write("stat", stat_with_cpus(2));
    two_cycles(cpu, [] {});
    EXPECT_EQ(cpu.report(), "lavg:dbl=" + dbl(1.74f) + ";ncpu:i64=0;" + cpu_object(0, 0, 0, 1196.06, {}));
}

TEST(CpuCounter, ManyCpusReportEveryRate)
{
    fixture_root root("sysa-basic");
    root.write("stat", stat_with_cpus(300));
    std::string info;
    std::vector<double> mhz;
    for (int i = 0; i < 300; i++) {
        info += "processor\t: " + std::to_string(i) + "\ncpu MHz\t\t: " + std::to_string(1000 + i) + ".000\n\n";
        mhz.push_back(1000 + i);
    }
    root.write("cpuinfo", info);
    core_counter cpu(CORE_CPU);
    ASSERT_EQ(cpu.init_result, 1);
    two_cycles(cpu, [] {});
    EXPECT_EQ(cpu.report(), "lavg:dbl=" + dbl(1.74f) + ";ncpu:i64=300;" + cpu_object(0, 0, 0, 1196.06, mhz));
}
