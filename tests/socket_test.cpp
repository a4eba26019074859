#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "counter_support.hpp"
#include "vesk_socket.hpp"

using test_support::core_counter;
using test_support::CounterTest;

namespace {

std::vector<uint32_t> counts(const vesk_mycustom_data_socket &d)
{
    return {d.tcp_inuse, d.tcp_orphan, d.tcp_tw, d.udp_inuse};
}

std::string part(int ok, int inuse, int tw, int orphan, int udp)
{
    return "socket:{ok:i64=" + std::to_string(ok) + ";tcp_inuse:i32=" + std::to_string(inuse) +
           ";tcp_tw:i32=" + std::to_string(tw) + ";tcp_orphan:i32=" + std::to_string(orphan) +
           ";udp_inuse:i32=" + std::to_string(udp) + ";};";
}

} // namespace

TEST(SocketParse, SockstatLines)
{
    struct {
        const char *what;
        const char *text;
        std::vector<uint32_t> want; // inuse, orphan, tw, udp; starting from 1, 2, 3, 4
    } cases[] = {
        {"host capture",
         "sockets: used 15\nTCP: inuse 1 orphan 0 tw 0 alloc 1 mem 0\nUDP: inuse 0 mem 0\nUDPLITE: inuse 0\n"
         "RAW: inuse 0\nFRAG: inuse 0 memory 0\n",
         {1, 0, 0, 0}},
        {"busy host", "TCP: inuse 12 orphan 1 tw 7 alloc 20 mem 3\nUDP: inuse 4 mem 2\n", {12, 1, 7, 4}},
        {"UDPLITE and RAW are not UDP", "UDPLITE: inuse 9\nRAW: inuse 8\n", {1, 2, 3, 4}},
        {"a count missing from its line keeps its value", "TCP: inuse 5 orphan\nUDP:\n", {5, 2, 3, 4}},
        {"a word where a count stands stops the line", "TCP: inuse 6 orphan x tw 9\n", {6, 2, 3, 4}},
        {"a count beyond 32 bits is not taken", "TCP: inuse 4294967296 orphan 1 tw 1\n", {1, 2, 3, 4}},
        {"largest 32-bit count", "UDP: inuse 4294967295\n", {1, 2, 3, 4294967295u}},
        {"tag must open the line", " TCP: inuse 7 orphan 7 tw 7\n", {1, 2, 3, 4}},
    };
    for (const auto &c : cases) {
        vesk_mycustom_data_socket d{.ok = 0, .tcp_inuse = 1, .tcp_tw = 3, .tcp_orphan = 2, .tcp_syn = 0,
                                    .tcp_ack = 0, .tcp_fin = 0, .tcp_close = 0, .tcp_est = 0, .udp_inuse = 4};
        parse_sockstat(c.text, d);
        EXPECT_EQ(counts(d), c.want) << c.what;
    }
}

TEST_F(CounterTest, SocketReportsAndDumps)
{
    core_counter sock(CORE_SOCKET);
    EXPECT_STREQ(sock.get()->report, "socket");
    // Before any update, and after a failed one, the counts are zeros.
    EXPECT_EQ(sock.report(), part(0, 0, 0, 0, 0));
    proc_root(fixture("socket/ok/proc"));
    EXPECT_EQ(sock.update(), 1);
    EXPECT_EQ(sock.report(), part(1, 12, 7, 1, 4));
    EXPECT_EQ(sock.dump(), "MyCustom socket report (1) :\n\ttcp_inuse = 12\n\ttcp_tw = 7\n\ttcp_orphan = 1\n"
                           "\tudp_inuse = 4\n");
    // The partial file changes only what it gives.
    proc_root(fixture("socket/partial/proc"));
    EXPECT_EQ(sock.update(), 1);
    EXPECT_EQ(sock.report(), part(1, 5, 7, 1, 8));
    proc_root(fixture("missing"));
    EXPECT_EQ(sock.update(), 0);
    EXPECT_EQ(sock.report(), part(0, 0, 0, 0, 0));
    EXPECT_EQ(sock.dump().rfind("MyCustom socket report (0) :\n", 0), 0u);
}
