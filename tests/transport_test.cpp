// Sends over loopback sockets: whole TCP packets across partial writes, and
// failures that cost only the cycle's report and leak nothing.
#include <arpa/inet.h>
#include <bson/bson.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>

#include "bson.hpp"
#include "encoding.hpp"
#include "test_support.hpp"
#include "vesk_networking.hpp"

namespace {

size_t big_text_size = 0;

int big_tobson(void *, bson *b) { return vesk_bson_append_string(b, "big", std::string(big_text_size, 'x').c_str()); }

size_t open_fds()
{
    auto fds = std::filesystem::directory_iterator("/proc/self/fd");
    return static_cast<size_t>(std::distance(begin(fds), end(fds)));
}

// A loopback listener with a small receive buffer, so a large packet cannot sit
// in the kernel's buffers all at once.
struct listener {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
    listener()
    {
        int small = 65536;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        bind(fd, reinterpret_cast<sockaddr *>(&sa), len);
        listen(fd, 4);
        getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
        port = ntohs(sa.sin_port);
    }
    ~listener() { close(fd); }
};

const std::string kSecret = "ffffffffkey";

// Sends one report of a little more than `report_text` bytes; returns what it printed.
std::string send_report(int proto, int port, size_t report_text)
{
    reset_agent_state();
    config.id = 7;
    config.proto = proto;
    config.port = port;
    config.server_tcp_to = 1;
    vesk_copy(config.defaultServerIp, "127.0.0.1");
    vesk_copy(config.secret, kSecret);
    big_text_size = report_text;
    stats.nmycustoms = 1;
    stats.mycustom_counters[0].tobson = big_tobson;
    testing::internal::CaptureStdout();
    send_data();
    return testing::internal::GetCapturedStdout();
}

std::string sha1sum_of(const std::string &data)
{
    temp_dir dir;
    FILE *p = popen(("sha1sum " + dir.write("in", data)).c_str(), "r");
    char buf[41] = "";
    if (!fgets(buf, sizeof buf, p)) buf[0] = 0;
    pclose(p);
    return buf;
}

TEST(TcpSend, WholePacketAcrossPartialWrites)
{
    listener l;
    std::string got;
    std::thread reader([&] {
        int c = accept(l.fd, nullptr, nullptr);
        // Slower than the send time-out: the first write comes back short.
        usleep(1500000);
        char buf[65536];
        ssize_t n;
        while ((n = read(c, buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
        close(c);
    });
    size_t fds = open_fds();
    EXPECT_EQ(send_report(IPPROTO_TCP, l.port, 8 << 20), "");
    reader.join();
    EXPECT_EQ(open_fds(), fds);

    ASSERT_GT(got.size(), 8u << 20);
    int32_t doc_len;
    memcpy(&doc_len, got.data(), 4);
    ASSERT_EQ(got.size(), static_cast<size_t>(doc_len) + 40);
    EXPECT_EQ(got.substr(got.size() - 40), sha1sum_of(got.substr(0, static_cast<size_t>(doc_len)) + kSecret));
    bson_t doc;
    ASSERT_TRUE(bson_init_static(&doc, reinterpret_cast<const uint8_t *>(got.data()), static_cast<size_t>(doc_len)));
    bson_iter_t it;
    ASSERT_TRUE(bson_iter_init_find(&it, &doc, "local_ip"));
    EXPECT_EQ(bson_iter_int64(&it), static_cast<int64_t>(0x7f000001 ^ -1LL));
}

// TCP peers that fail the send, no peer at all, and a report too large for UDP.
TEST(TcpSend, FailuresPrintOneLineAndLeakNothing)
{
    enum { kHold, kCloseAtOnce, kNobody };
    const struct {
        const char *what;
        int proto, peer;
        size_t text;
        std::string line; // the whole line, or its start
    } cases[] = {
        {"peer never reads", IPPROTO_TCP, kHold, 8 << 20, "sending via tcp FAILED "},
        {"peer closes at once", IPPROTO_TCP, kCloseAtOnce, 8 << 20, "sending via tcp FAILED "},
        {"nobody listening", IPPROTO_TCP, kNobody, 0,
         "could not bind socket or connect whatever (127.0.0.1) -1 " + std::to_string(ECONNREFUSED) + "\n"},
        {"too large for a datagram", IPPROTO_UDP, kNobody, 70000,
         "sending via udp FAILED " + std::to_string(EMSGSIZE) + "\n"},
    };
    for (const auto &c : cases) {
        listener l;
        if (c.peer == kNobody) close(std::exchange(l.fd, -1));
        std::thread peer([&] {
            if (c.peer == kNobody) return;
            int conn = accept(l.fd, nullptr, nullptr);
            if (c.peer == kHold) sleep(3);
            close(conn);
        });
        size_t fds = open_fds();
        std::string out = send_report(c.proto, l.port, c.text);
        peer.join();
        EXPECT_TRUE(out.starts_with(c.line) && std::count(out.begin(), out.end(), '\n') == 1) << c.what << ": " << out;
        EXPECT_EQ(open_fds(), fds) << c.what;
    }
}

} // namespace
