// The socket, mount, disk and net counters on this machine's /proc and /sys, checked
// loosely against iproute2, coreutils and python3-psutil.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "counter_support.hpp"
#include "vesk_disk.hpp"
#include "vesk_mount.hpp"
#include "vesk_net.hpp"
#include "vesk_owners.hpp"
#include "vesk_socket.hpp"

using test_support::core_counter;
using test_support::run;

namespace {

// Lines of "name number number ..." printed by a command.
std::map<std::string, std::vector<double>> table_of(const std::string &cmd)
{
    std::map<std::string, std::vector<double>> out;
    std::istringstream in(run(cmd));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string name;
        words >> name;
        double v;
        while (words >> v) out[name].push_back(v);
    }
    return out;
}

std::string py(const std::string &script) { return "/usr/bin/python3 -c '" + script + "' 2>/dev/null"; }

bool have_psutil() { return run(py("import psutil; print(1)")) == "1\n"; }

class LiveTest : public testing::Test {
protected:
    void SetUp() override { init_config(); }
};

} // namespace

TEST_F(LiveTest, SocketAgainstSs)
{
    std::string ss = run("ss -s 2>/dev/null");
    if (ss.empty()) GTEST_SKIP() << "no ss";
    core_counter sock(CORE_SOCKET);
    ASSERT_EQ(sock.update(), 1);
    const auto *d = static_cast<const vesk_mycustom_data_socket *>(sock.get()->data);
    unsigned orphaned = 0, timewait = 0, udp_ip = 0;
    size_t at = ss.find("orphaned ");
    ASSERT_NE(at, std::string::npos) << ss;
    sscanf(ss.c_str() + at, "orphaned %u, timewait %u", &orphaned, &timewait);
    at = ss.find("\nUDP");
    ASSERT_NE(at, std::string::npos) << ss;
    sscanf(ss.c_str() + at, "\nUDP %*u %u", &udp_ip);
    // Other processes open and close sockets between the two reads.
    EXPECT_NEAR(d->tcp_orphan, orphaned, 10);
    EXPECT_NEAR(d->tcp_tw, timewait, 50);
    EXPECT_NEAR(d->udp_inuse, udp_ip, 10);
}

// Interface names and byte counts as iproute2 reads them over netlink, then the rate
// of traffic that the test itself sends over loopback.
TEST_F(LiveTest, NetAgainstIproute2)
{
    const std::string ip_cmd = py("import json,subprocess\n"
                                  "for l in json.loads(subprocess.run([\"ip\",\"-s\",\"-j\",\"link\"],"
                                  "capture_output=True).stdout):\n"
                                  "  s=l[\"stats64\"]; print(l[\"ifname\"], s[\"rx\"][\"bytes\"], s[\"tx\"][\"bytes\"])");
    core_counter net(CORE_NET);
    ASSERT_EQ(net.update(), 1);
    auto links = table_of(ip_cmd);
    if (links.empty()) GTEST_SKIP() << "no ip -j";
    const auto *d = static_cast<const vesk_mycustom_data_net *>(net.get()->data);
    std::map<std::string, std::vector<double>> ours;
    for (const mibnet &e : d->list.entries)
        ours[e.device] = {static_cast<double>(e.rbytes), static_cast<double>(e.sbytes)};
    ASSERT_EQ(ours.size(), links.size());
    for (const auto &[name, v] : ours) {
        ASSERT_TRUE(links.count(name)) << name;
        EXPECT_NEAR(v[0], links[name][0], 1e6 + links[name][0] * 0.01) << name;
        EXPECT_NEAR(v[1], links[name][1], 1e6 + links[name][1] * 0.01) << name;
    }

    // 2 MB sent over loopback between the second and the third sample, taken as one
    // second apart: the rate holds at least those bytes, in bits.
    if (!ours.count("lo")) GTEST_SKIP() << "no loopback";
    net.delta(1, 0);
    ASSERT_EQ(net.update(), 1);
    net.delta(1, 1);
    unique_fd rx(socket(AF_INET, SOCK_DGRAM, 0)), tx(socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(rx.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(getsockname(rx.get(), reinterpret_cast<sockaddr *>(&addr), &len), 0);
    std::vector<char> payload(1000, 'x'), sink(2000);
    for (int i = 0; i < 2000; i++) {
        ASSERT_EQ(sendto(tx.get(), payload.data(), payload.size(), 0, reinterpret_cast<sockaddr *>(&addr), sizeof addr),
                  1000);
        recv(rx.get(), sink.data(), sink.size(), MSG_DONTWAIT);
    }
    ASSERT_EQ(net.update(), 1);
    net.delta(1, 2);
    const auto *delta = static_cast<const vesk_mycustom_data_net *>(net.get()->data_delta);
    const mibnet *lo = delta->list.find("lo");
    ASSERT_NE(lo, nullptr);
    EXPECT_EQ(lo->ok, 1);
    EXPECT_GE(lo->rbytes, 2000u * 1000u);
    EXPECT_LT(lo->rbytes, 2000u * 1000u + 100000000u);
    std::string report = net.report();
    EXPECT_NE(report.find("lo:{ok:i64=1;name:str=lo;rbytes:i64=" + std::to_string(lo->rbytes * 8) + ";"),
              std::string::npos)
        << report;
}

TEST_F(LiveTest, DiskAgainstPsutil)
{
    if (!have_psutil()) GTEST_SKIP() << "no python3-psutil";
    core_counter disk(CORE_DISK);
    if (disk.update() != 1) GTEST_SKIP() << "no /sys/block or /proc/diskstats";
    auto ps = table_of(py("import psutil\n"
                          "for n,c in psutil.disk_io_counters(perdisk=True).items():\n"
                          "  print(n, c.read_count, c.write_count, c.read_time, c.write_time, c.busy_time,"
                          " c.read_bytes//512, c.write_bytes//512)"));
    const auto *d = static_cast<const vesk_mycustom_data_disk *>(disk.get()->data);
    for (const mibdisk &e : d->list.entries) {
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
    if (!have_psutil()) GTEST_SKIP() << "no python3-psutil";
    core_counter mnt(CORE_MOUNT);
    if (mnt.init_result != 1) GTEST_SKIP() << "no /etc/mtab";
    mnt.update();
    const auto *d = static_cast<const vesk_mycustom_data_mount *>(mnt.get()->data);
    auto parts = table_of(py("import psutil\n"
                             "for p in psutil.disk_partitions(all=True):\n"
                             "  print(p.mountpoint, 1 if p.device.startswith(\"/dev\") else 0)"));
    for (const mibmount &e : d->list.entries) {
        if (e.dir.find(' ') != std::string::npos) continue;
        EXPECT_TRUE(parts.count(e.dir)) << e.dir;
        auto usage = table_of(py("import psutil,sys\nu=psutil.disk_usage(sys.argv[1]); print(\"u\", u.total, u.free)") +
                              " '" + e.dir + "'");
        if (!usage.count("u")) continue;
        EXPECT_EQ(static_cast<double>(e.sizes.total), std::floor(usage["u"][0] / 1048576)) << e.dir;
        EXPECT_NEAR(static_cast<double>(e.sizes.free), usage["u"][1] / 1048576, 64) << e.dir;
    }
    if (parts.count("/") && parts["/"][0] == 1) {
        bool root = false;
        for (const mibmount &e : d->list.entries) root |= e.device == "/";
        EXPECT_TRUE(root);
    }
}
