// The nginx counter on a server that keeps its connections open, with an answer that
// fills the read buffer exactly: each update ends with the answer, not the close.
#include <gtest/gtest.h>

#include <chrono>

#include "canned_server.hpp"
#include "counter_support.hpp"
#include "vesk_nginx.hpp"

namespace {

// A kept-alive answer with its length; `size` pads the whole answer to that many bytes.
test_support::canned_reply page(int requests, size_t size = 0)
{
    std::string body = "Active connections: 3 \nserver accepts handled requests\n 7 7 " + std::to_string(requests) +
                       " \nReading: 1 Writing: 2 Waiting: 0 \n";
    auto answer = [&body] {
        return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\nConnection: keep-alive\r\n\r\n" + body;
    };
    if (size) body.append(size - answer().size(), '#');
    if (size) body.resize(body.size() - (answer().size() - size)); // the length took more digits
    EXPECT_TRUE(!size || answer().size() == size);
    return {{answer()}, false};
}

} // namespace

TEST(NginxCounter, StopsAtTheEndOfAKeptAliveAnswer)
{
    init_config();
    config.counter_tcp_to = 5;
    // The second answer is as long as one read buffer.
    test_support::canned_server server({page(100), page(400, 16384)});
    test_support::core_counter c({.init = nginx_init, .update = nginx_update, .delta = nginx_delta,
                                  .tobson = nginx_tobson, .dump = nginx_dump, .free = nginx_free},
                                 ("main 127.0.0.1:" + std::to_string(server.port()) + "/nginx_status localhost\n").c_str());
    for (uint64_t i = 0; i < 2; i++) {
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(c.cycle(i), 1) << i;
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500)) << i;
    }
    EXPECT_EQ(c.report(), "Nginx_main:{report:str=Nginx;id:str=main;ok:i64=1;rps:dbl=20;active:i64=3;"
                          "reading:i64=1;writing:i64=2;keepalive:i64=0;};");
}
