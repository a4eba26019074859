// The os, mem and cpu counters on this machine's own /proc, checked with loose
// tolerances against independent readers: python3-psutil and procps.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "fixture_root.hpp"
#include "vesk_cpu.hpp"
#include "vesk_mem.hpp"
#include "vesk_os.hpp"

namespace {

using test_support::core_counter;
using test_support::run;

// Runs a Python snippet with Debian's interpreter (which can import psutil); each
// printed "key value" line becomes one entry.
std::map<std::string, double> psutil(const std::string &code)
{
    std::string cmd = "/usr/bin/python3 -c 'import os, time, psutil\n" + code + "'";
    std::istringstream in(run(cmd));
    std::map<std::string, double> out;
    std::string key;
    double v;
    while (in >> key >> v) out[key] = v;
    return out;
}

// The machine's own roots; the watcher stays off (no kills are looked at here).
void live_root()
{
    init_config();
    init_go_module(&config);
    config.oom_watcher = 0;
}

} // namespace

TEST(LiveCrossCheck, MemAgainstPsutilAndFree)
{
    live_root();
    core_counter mem(CORE_MEM);
    ASSERT_EQ(mem.init_result, 1);
    // Two samples around psutil's reading: other processes move memory meanwhile.
    ASSERT_EQ(mem.update(), 1);
    const vesk_mycustom_data_mem before = *static_cast<vesk_mycustom_data_mem *>(mem.get()->data);
    auto ps = psutil("m = psutil.virtual_memory(); s = psutil.swap_memory()\n"
                     "print(\"free\", m.free // 1024); print(\"buffers\", m.buffers // 1024)\n"
                     "print(\"cached\", m.cached // 1024)\n"
                     "print(\"swapfree\", s.free // 1024); print(\"swapused\", s.used // 1024)");
    ASSERT_EQ(mem.update(), 1);
    ASSERT_EQ(ps.size(), 5u) << "psutil did not answer";
    const auto &d = *static_cast<vesk_mycustom_data_mem *>(mem.get()->data);
    const double tol = 64 * 1024; // kB
    auto between = [&](uint64_t vesk_mycustom_data_mem::*field, double oracle) {
        double lo = std::min(before.*field, d.*field) - tol, hi = std::max(before.*field, d.*field) + tol;
        return oracle >= lo && oracle <= hi;
    };
    EXPECT_TRUE(between(&vesk_mycustom_data_mem::memfree, ps["free"])) << ps["free"] << " vs " << d.memfree;
    EXPECT_TRUE(between(&vesk_mycustom_data_mem::membuffers, ps["buffers"])) << ps["buffers"];
    EXPECT_TRUE(between(&vesk_mycustom_data_mem::swapfree, ps["swapfree"])) << ps["swapfree"];
    EXPECT_TRUE(between(&vesk_mycustom_data_mem::swapused, ps["swapused"])) << ps["swapused"];
    // psutil's cache holds the reclaimable slab too, ours only the page cache.
    EXPECT_LE(std::min(before.memcached, d.memcached), ps["cached"] + tol);
    EXPECT_EQ(d.memused, d.memtotal - d.memfree - d.membuffers - d.memcached);

    // procps' total is MemTotal.
    std::istringstream free_out(run("free -k"));
    std::string line, word;
    std::getline(free_out, line);
    uint64_t total = 0;
    free_out >> word >> total;
    ASSERT_EQ(word, "Mem:");
    EXPECT_EQ(d.memtotal, total);
}

TEST(LiveCrossCheck, CpuAgainstPsutil)
{
    live_root();
    core_counter cpu(CORE_CPU);
    ASSERT_EQ(cpu.init_result, 1);
    ASSERT_EQ(cpu.update(), 1);
    cpu.delta(15, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    ASSERT_EQ(cpu.update(), 1);
    cpu.delta(15, 1);
    auto ps = psutil("print(\"ncpu\", len(psutil.cpu_times(percpu=True))); print(\"lavg\", os.getloadavg()[0])\n"
                     "print(\"tick\", os.sysconf(\"SC_CLK_TCK\"))");
    ASSERT_EQ(ps.size(), 3u) << "psutil did not answer";
    const auto &d = *static_cast<vesk_mycustom_data_cpu *>(cpu.get()->data_delta);
    EXPECT_EQ(d.ok, 1);
    EXPECT_EQ(d.ncpus, ps["ncpu"]);
    EXPECT_EQ(d.freq.size(), d.ncpus);
    EXPECT_NEAR(d.lavg, ps["lavg"], 1.0);
    // About 1.1 s of ticks on every CPU, and whole percentages that truncate.
    EXPECT_NEAR(static_cast<double>(d.cputot), 1.1 * ps["tick"] * ps["ncpu"], 0.35 * ps["tick"] * ps["ncpu"]);
    uint64_t sum = d.user + d.nice + d.system + d.idle + d.iowait + d.irq + d.softirq + d.steal + d.guest;
    EXPECT_LE(sum, 100u);
    EXPECT_GE(sum, 91u);
}

TEST(LiveCrossCheck, OsAgainstPsutil)
{
    live_root();
    core_counter os(CORE_OS);
    ASSERT_EQ(os.init_result, 1);
    ASSERT_EQ(os.update(), 1);
    auto ps = psutil("print(\"rss\", psutil.Process(" + std::to_string(getpid()) +
                     ").memory_info().rss // 1024)\nprint(\"uptime\", time.time() - psutil.boot_time())\n"
                     "print(\"files\", int(open(\"/proc/sys/fs/file-nr\").read().split()[0]))");
    ASSERT_EQ(ps.size(), 3u) << "psutil did not answer";
    const auto &d = *static_cast<vesk_mycustom_data_os *>(os.get()->data);
    EXPECT_NEAR(d.vesk_memory_used, ps["rss"], 0.1 * ps["rss"] + 1024);
    EXPECT_NEAR(d.uptime_sec, ps["uptime"], 3);
    EXPECT_NEAR(static_cast<double>(d.open_files), ps["files"], 500);
    EXPECT_NE(d.os_name, "");
    EXPECT_EQ(d.os_bit, run("uname -m").substr(0, d.os_bit.size()));
}
