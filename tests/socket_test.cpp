#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "counter_support.hpp"
#include "vesk_socket.hpp"

using test_support::core_counter;
using test_support::CounterTest;

TEST(SocketParse, SockstatLines)
{
    struct {
        const char *what;
        const char *text;
        std::vector<uint32_t> want; // inuse, orphan, tw, udp; starting from 1, 2, 3, 4
    } cases[] = {
        {"host capture: UDPLITE and RAW are not UDP",
         "sockets: used 15\nTCP: inuse 9 orphan 0 tw 5 alloc 1 mem 0\nUDP: inuse 6 mem 0\nUDPLITE: inuse 7\nRAW: inuse 8\n",
         {9, 0, 5, 6}},
        {"a count missing from its line keeps its value", "TCP: inuse 5 orphan\nUDP:\n", {5, 2, 3, 4}},
        {"a word where a count stands stops the line", "TCP: inuse 6 orphan x tw 9\n", {6, 2, 3, 4}},
        {"a count beyond 32 bits is not taken", "TCP: inuse 4294967296 orphan 1 tw 1\n", {1, 2, 3, 4}},
        {"largest 32-bit count", "UDP: inuse 4294967295\n", {1, 2, 3, 4294967295u}},
        {"tag must open the line", " TCP: inuse 7 orphan 7 tw 7\n", {1, 2, 3, 4}},
    };
    for (const auto &c : cases) {
        vesk_mycustom_data_socket d{.ok = 0, .tcp_inuse = 1, .tcp_tw = 3, .tcp_orphan = 2, .udp_inuse = 4};
        parse_sockstat(c.text, d);
        EXPECT_EQ(std::vector<uint32_t>({d.tcp_inuse, d.tcp_orphan, d.tcp_tw, d.udp_inuse}), c.want) << c.what;
    }
}

// Counts read earlier never reach a report whose update failed.
TEST_F(CounterTest, SocketReportAfterAFailedRead)
{
    core_counter sock(CORE_SOCKET);
    proc_root(fixture("devices/socket/ok/proc"));
    EXPECT_EQ(sock.update(), 1);
    EXPECT_NE(sock.report().find("tcp_inuse:i32=12;"), std::string::npos);
    proc_root(fixture("missing"));
    EXPECT_EQ(sock.update(), 0);
    EXPECT_EQ(sock.report(), "socket:{ok:i64=0;tcp_inuse:i32=0;tcp_tw:i32=0;tcp_orphan:i32=0;udp_inuse:i32=0;};");
}
