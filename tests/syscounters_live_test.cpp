// The system counters on this machine's own /proc and /sys, checked with loose
// tolerances against independent readers: python3-psutil, procps, iproute2.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "counter_support.hpp"
#include "vesk_cpu.hpp"
#include "vesk_disk.hpp"
#include "vesk_mem.hpp"
#include "vesk_mount.hpp"
#include "vesk_net.hpp"
#include "vesk_os.hpp"
#include "vesk_socket.hpp"

namespace {

using test_support::core_counter;
using test_support::run;

// Lines of "name number number ..." that a command prints, by name.
std::map<std::string, std::vector<double>> table_of(const std::string &cmd)
{
    std::map<std::string, std::vector<double>> out;
    std::istringstream in(run(cmd));
    std::string line, name;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        words >> name;
        for (double v; words >> v;) out[name].push_back(v);
    }
    return out;
}

// A Python snippet run by Debian's interpreter, which can import psutil.
std::string py(const std::string &code) { return "/usr/bin/python3 -c 'import json, os, subprocess, sys, time, psutil\n" + code + "' 2>/dev/null"; }

// The machine's own roots; the kill watcher stays off (no kills are looked at here).
class LiveTest : public testing::Test {
protected:
    void SetUp() override
    {
        init_config();
        init_go_module(&config);
        config.oom_watcher = 0;
    }
    void TearDown() override { init_config(); }
};

} // namespace

TEST_F(LiveTest, MemAgainstPsutilAndFree)
{
    core_counter mem(CORE_MEM);
    // Two samples around psutil's reading: other processes move memory meanwhile.
    ASSERT_EQ(mem.update(), 1);
    const vesk_mycustom_data_mem before = mem.data<vesk_mycustom_data_mem>();
    auto ps = table_of(py("m = psutil.virtual_memory(); s = psutil.swap_memory()\n"
                          "print(\"free\", m.free // 1024); print(\"buffers\", m.buffers // 1024)\n"
                          "print(\"cached\", m.cached // 1024)\n"
                          "print(\"swapfree\", s.free // 1024); print(\"swapused\", s.used // 1024)"));
    ASSERT_EQ(mem.update(), 1);
    ASSERT_EQ(ps.size(), 5u) << "psutil did not answer";
    const auto &d = mem.data<vesk_mycustom_data_mem>();
    const double tol = 64 * 1024; // kB
    using mem_data = vesk_mycustom_data_mem;
    const std::pair<const char *, uint64_t mem_data::*> fields[] = {
        {"free", &mem_data::memfree}, {"buffers", &mem_data::membuffers}, {"swapfree", &mem_data::swapfree}, {"swapused", &mem_data::swapused}};
    for (auto [key, field] : fields) {
        const double lo = std::min(before.*field, d.*field) - tol, hi = std::max(before.*field, d.*field) + tol;
        EXPECT_TRUE(ps[key][0] >= lo && ps[key][0] <= hi) << key << ": " << ps[key][0] << " vs " << d.*field;
    }
    // psutil's cache holds the reclaimable slab too, ours only the page cache.
    EXPECT_LE(std::min(before.memcached, d.memcached), ps["cached"][0] + tol);
    EXPECT_EQ(d.memused, d.memtotal - d.memfree - d.membuffers - d.memcached);
    // procps' total is MemTotal.
    auto free_k = table_of("free -k");
    ASSERT_TRUE(free_k.count("Mem:"));
    EXPECT_EQ(d.memtotal, free_k["Mem:"][0]);
}

TEST_F(LiveTest, CpuAgainstPsutil)
{
    core_counter cpu(CORE_CPU);
    ASSERT_EQ(cpu.cycle(0), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    ASSERT_EQ(cpu.cycle(1), 1);
    auto ps = table_of(py("print(\"ncpu\", len(psutil.cpu_times(percpu=True))); print(\"lavg\", os.getloadavg()[0])\n"
                          "print(\"tick\", os.sysconf(\"SC_CLK_TCK\"))"));
    ASSERT_EQ(ps.size(), 3u) << "psutil did not answer";
    const auto &d = cpu.reported<vesk_mycustom_data_cpu>();
    const double ncpu = ps["ncpu"][0], tick = ps["tick"][0];
    EXPECT_EQ(d.ok, 1);
    EXPECT_EQ(d.ncpus, ncpu);
    EXPECT_EQ(d.freq.size(), d.ncpus);
    EXPECT_NEAR(d.lavg, ps["lavg"][0], 1.0);
    // About 1.1 s of ticks on every CPU, and whole percentages that truncate.
    EXPECT_NEAR(static_cast<double>(d.cputot), 1.1 * tick * ncpu, 0.35 * tick * ncpu);
    uint64_t sum = d.user + d.nice + d.system + d.idle + d.iowait + d.irq + d.softirq + d.steal + d.guest;
    EXPECT_LE(sum, 100u);
    EXPECT_GE(sum, 91u);
}

TEST_F(LiveTest, OsAgainstPsutil)
{
    core_counter os(CORE_OS);
    ASSERT_EQ(os.update(), 1);
    auto ps = table_of(py("print(\"rss\", psutil.Process(" + std::to_string(getpid()) +
                          ").memory_info().rss // 1024)\nprint(\"uptime\", time.time() - psutil.boot_time())\n"
                          "print(\"files\", int(open(\"/proc/sys/fs/file-nr\").read().split()[0]))"));
    ASSERT_EQ(ps.size(), 3u) << "psutil did not answer";
    const auto &d = os.data<vesk_mycustom_data_os>();
    EXPECT_NEAR(d.vesk_memory_used, ps["rss"][0], 0.1 * ps["rss"][0] + 1024);
    EXPECT_NEAR(d.uptime_sec, ps["uptime"][0], 3);
    EXPECT_NEAR(static_cast<double>(d.open_files), ps["files"][0], 500);
    EXPECT_NE(d.os_name, "");
    EXPECT_EQ(d.os_bit, run("uname -m").substr(0, d.os_bit.size()));
}

TEST_F(LiveTest, SocketAgainstSs)
{
    std::string ss = run("ss -s 2>/dev/null");
    if (ss.empty()) GTEST_SKIP() << "no ss";
    core_counter sock(CORE_SOCKET);
    ASSERT_EQ(sock.update(), 1);
    const auto &d = sock.data<vesk_mycustom_data_socket>();
    unsigned orphaned = 0, timewait = 0, udp_ip = 0;
    const size_t tcp = ss.find("orphaned "), udp = ss.find("\nUDP");
    ASSERT_TRUE(tcp != std::string::npos && udp != std::string::npos) << ss;
    sscanf(ss.c_str() + tcp, "orphaned %u, timewait %u", &orphaned, &timewait);
    sscanf(ss.c_str() + udp, "\nUDP %*u %u", &udp_ip);
    // Other processes open and close sockets between the two reads.
    EXPECT_NEAR(d.tcp_orphan, orphaned, 10);
    EXPECT_NEAR(d.tcp_tw, timewait, 50);
    EXPECT_NEAR(d.udp_inuse, udp_ip, 10);
}

// Interface names and byte counts as iproute2 reads them over netlink.
TEST_F(LiveTest, NetAgainstIproute2)
{
    core_counter net(CORE_NET);
    ASSERT_EQ(net.update(), 1);
    auto links = table_of(py("for l in json.loads(subprocess.run([\"ip\",\"-s\",\"-j\",\"link\"], capture_output=True).stdout):\n"
                             "  s=l[\"stats64\"]; print(l[\"ifname\"], s[\"rx\"][\"bytes\"], s[\"tx\"][\"bytes\"])"));
    if (links.empty()) GTEST_SKIP() << "no ip -j";
    const auto &entries = net.data<vesk_mycustom_data_net>().list.entries;
    ASSERT_EQ(entries.size(), links.size());
    for (const mibnet &e : entries) {
        ASSERT_TRUE(links.count(e.device)) << e.device;
        const std::vector<double> &l = links[e.device];
        EXPECT_NEAR(static_cast<double>(e.rbytes), l[0], 1e6 + l[0] * 0.01) << e.device;
        EXPECT_NEAR(static_cast<double>(e.sbytes), l[1], 1e6 + l[1] * 0.01) << e.device;
    }
}

TEST_F(LiveTest, DiskAgainstPsutil)
{
    core_counter disk(CORE_DISK);
    if (disk.update() != 1) GTEST_SKIP() << "no /sys/block or /proc/diskstats";
    auto ps = table_of(py("for n,c in psutil.disk_io_counters(perdisk=True).items():\n"
                          "  print(n, c.read_count, c.write_count, c.read_time, c.write_time, c.busy_time,"
                          " c.read_bytes//512, c.write_bytes//512)"));
    if (ps.empty()) GTEST_SKIP() << "no python3-psutil";
    for (const mibdisk &e : disk.data<vesk_mycustom_data_disk>().list.entries) {
        if (!e.ok) continue;
        ASSERT_TRUE(ps.count(e.device)) << e.device;
        const std::vector<double> &p = ps[e.device];
        ASSERT_EQ(p.size(), 7u);
        const double ours[] = {double(e.rbytes), double(e.wbytes), double(e.rticks), double(e.wticks),
                               double(e.tticks), double(e.sRead), double(e.sWritten)};
        for (int i = 0; i < 7; i++) EXPECT_NEAR(ours[i], p[i], 1000 + p[i] * 0.05) << e.device << " field " << i;
    }
}

TEST_F(LiveTest, MountsAgainstPsutil)
{
    core_counter mnt(CORE_MOUNT);
    if (mnt.init_result != 1) GTEST_SKIP() << "no /etc/mtab";
    mnt.update();
    auto parts = table_of(py("for p in psutil.disk_partitions(all=True):\n"
                             "  print(p.mountpoint, 1 if p.device.startswith(\"/dev\") else 0)"));
    if (parts.empty()) GTEST_SKIP() << "no python3-psutil";
    bool root = false;
    for (const mibmount &e : mnt.data<vesk_mycustom_data_mount>().list.entries) {
        root |= e.device == "/";
        if (e.dir.find(' ') != std::string::npos) continue;
        EXPECT_TRUE(parts.count(e.dir)) << e.dir;
        auto usage = table_of(py("u = psutil.disk_usage(sys.argv[1]); print(\"u\", u.total, u.free)") + " '" + e.dir + "'");
        if (!usage.count("u")) continue;
        EXPECT_EQ(static_cast<double>(e.sizes.total), std::floor(usage["u"][0] / 1048576)) << e.dir;
        EXPECT_NEAR(static_cast<double>(e.sizes.free), usage["u"][1] / 1048576, 64) << e.dir;
    }
    EXPECT_TRUE(root || !parts.count("/") || parts["/"][0] == 0) << "/ is on a device";
}
