// Sends over loopback sockets: whole TCP packets across partial writes, and
// failures that cost only the cycle's report and leak nothing.
#include <arpa/inet.h>
#include <bson/bson.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bson.hpp"
#include "vesk_config.hpp"
#include "vesk_core.hpp"
#include "vesk_networking.hpp"

namespace {

using bytes = std::vector<uint8_t>;

size_t big_text_size = 0;

int big_tobson(void *, bson *b)
{
    std::string text(big_text_size, 'x');
    return vesk_bson_append_string(b, "big", text.c_str());
}

int open_fds()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (readdir(d)) n++;
    closedir(d);
    return n;
}

// A loopback listener with a small receive buffer, so a large packet cannot sit
// in the kernel's buffers all at once.
struct listener {
    int fd = -1;
    int port = 0;
    listener()
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        int small = 65536;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        listen(fd, 4);
        socklen_t len = sizeof sa;
        getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
        port = ntohs(sa.sin_port);
    }
    ~listener() { close(fd); }
};

void setup(int proto, int port, size_t report_text)
{
    init_config();
    memset(&stats, 0, sizeof stats);
    config.id = 7;
    config.proto = proto;
    config.port = port;
    config.server_tcp_to = 1;
    vesk_copy(config.defaultServerIp, "127.0.0.1");
    vesk_copy(config.secret, "ffffffffkey");
    big_text_size = report_text;
    stats.nmycustoms = 1;
    stats.mycustom_counters[0].tobson = big_tobson;
}

std::string sha1sum_of(const bytes &data)
{
    char tmpl[] = "/tmp/transport_test.XXXXXX";
    int fd = mkstemp(tmpl);
    for (size_t off = 0; off < data.size();) {
        ssize_t n = write(fd, data.data() + off, data.size() - off);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
    }
    close(fd);
    FILE *p = popen((std::string("sha1sum ") + tmpl).c_str(), "r");
    char buf[128] = "";
    if (!fgets(buf, sizeof buf, p)) buf[0] = 0;
    pclose(p);
    unlink(tmpl);
    return std::string(buf, 40);
}

TEST(TcpSend, WholePacketAcrossPartialWrites)
{
    listener l;
    setup(IPPROTO_TCP, l.port, 8 << 20);
    bytes got;
    std::thread reader([&] {
        int c = accept(l.fd, nullptr, nullptr);
        // Slower than the send time-out: the first write comes back short.
        usleep(1500000);
        uint8_t buf[65536];
        ssize_t n;
        while ((n = read(c, buf, sizeof buf)) > 0) got.insert(got.end(), buf, buf + n);
        close(c);
    });
    int fds = open_fds();
    testing::internal::CaptureStdout();
    send_data();
    std::string out = testing::internal::GetCapturedStdout();
    reader.join();
    EXPECT_EQ(out, "");
    EXPECT_EQ(open_fds(), fds);

    ASSERT_GT(got.size(), 8u << 20);
    int32_t doc_len;
    memcpy(&doc_len, got.data(), 4);
    ASSERT_EQ(got.size(), static_cast<size_t>(doc_len) + 40);
    bytes keyed(got.begin(), got.begin() + doc_len);
    const std::string secret = "ffffffffkey";
    keyed.insert(keyed.end(), secret.begin(), secret.end());
    EXPECT_EQ(std::string(got.end() - 40, got.end()), sha1sum_of(keyed));
    bson_t doc;
    ASSERT_TRUE(bson_init_static(&doc, got.data(), doc_len));
    bson_iter_t it;
    ASSERT_TRUE(bson_iter_init_find(&it, &doc, "local_ip"));
    EXPECT_EQ(bson_iter_int64(&it), static_cast<int64_t>(0x7f000001 ^ -1LL));
}

TEST(TcpSend, FailuresPrintOneLineAndLeakNothing)
{
    struct {
        const char *what;
        int hold_ms; // how long the peer keeps the connection without reading; -1 closes at once
    } cases[] = {
        {"peer never reads", 3000},
        {"peer closes at once", -1},
    };
    for (const auto &c : cases) {
        listener l;
        setup(IPPROTO_TCP, l.port, 8 << 20);
        std::thread peer([&] {
            int conn = accept(l.fd, nullptr, nullptr);
            if (c.hold_ms >= 0) usleep(c.hold_ms * 1000);
            close(conn);
        });
        int fds = open_fds();
        testing::internal::CaptureStdout();
        send_data();
        std::string out = testing::internal::GetCapturedStdout();
        peer.join();
        EXPECT_EQ(out.rfind("sending via tcp FAILED ", 0), 0u) << c.what << ": " << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << c.what;
        EXPECT_EQ(open_fds(), fds) << c.what;
    }

    // Nobody listening: the connection fails and no report is built.
    int port;
    {
        listener l;
        port = l.port;
    }
    setup(IPPROTO_TCP, port, 0);
    int fds = open_fds();
    testing::internal::CaptureStdout();
    send_data();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "could not bind socket or connect whatever (127.0.0.1) -1 " + std::to_string(ECONNREFUSED) + "\n");
    EXPECT_EQ(open_fds(), fds);
}

TEST(UdpSend, TooLargeForADatagram)
{
    setup(IPPROTO_UDP, 9, 70000);
    int fds = open_fds();
    testing::internal::CaptureStdout();
    send_data();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "sending via udp FAILED " + std::to_string(EMSGSIZE) + "\n");
    EXPECT_EQ(open_fds(), fds);
}

} // namespace
