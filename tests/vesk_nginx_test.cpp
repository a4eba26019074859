// The nginx counter: its configuration, the stub status page, and whole updates
// against a scripted server that keeps its connections open.
#include <gtest/gtest.h>

#include <chrono>

#include "canned_server.hpp"
#include "counter_support.hpp"
#include "vesk_http.hpp"
#include "vesk_nginx.hpp"

using test_support::canned_reply;
using test_support::canned_server;

namespace {

const mycustom_ops kOps{.init = nginx_init, .update = nginx_update, .delta = nginx_delta, .tobson = nginx_tobson,
                        .dump = nginx_dump, .free = nginx_free};

// A kept-alive answer with its length; `size` pads the whole answer to that many bytes.
canned_reply page(int requests, size_t size = 0)
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

TEST(NginxConf, Forms)
{
    struct {
        const char *cfg, *id, *user, *pass, *host, *uri, *server;
        uint32_t port;
        int in_docker;
    } cases[] = {
        {"main 127.0.0.1:80/nginx_status localhost\n", "main", "", "", "127.0.0.1", "nginx_status", "localhost", 80, 0},
        {"main u:@127.0.0.1:81/st example.org", "main", "u", "", "127.0.0.1", "st", "example.org", 81, 0},
        {"main u:p@[web]:8080/st h", "main", "u", "p", "[web]", "st", "h", 8080, 1},
    };
    for (const auto &c : cases) {
        std::string cfg = c.cfg, id;
        vesk_mycustom_data_nginx d;
        nginx_parse_conf(cfg.data(), id, d);
        EXPECT_EQ(id, c.id);
        EXPECT_EQ(d.user, c.user);
        EXPECT_EQ(d.pass, c.pass);
        EXPECT_EQ(d.host, c.host);
        EXPECT_EQ(d.request_uri, c.uri);
        EXPECT_EQ(d.server, c.server);
        EXPECT_EQ(d.port, c.port);
        EXPECT_EQ(d.in_docker, c.in_docker);
    }
}

TEST(NginxStatus, CapturedPages)
{
    http_answer a;
    ASSERT_EQ(http_parse_answer(test_support::fixture_text("status/nginx-status.http"), false, a), http_state::complete);
    auto st = nginx_parse_res(a.body);
    ASSERT_TRUE(st);
    EXPECT_EQ(st->active, 1u);
    EXPECT_EQ(st->all, 1.0);
    EXPECT_EQ(st->reading, 0u);
    EXPECT_EQ(st->writing, 1u);
    EXPECT_EQ(st->keepalive, 0u);
    ASSERT_EQ(http_parse_answer(test_support::fixture_text("status/nginx-html.http"), false, a), http_state::complete);
    EXPECT_FALSE(nginx_parse_res(a.body));
}

TEST(NginxCounter, StopsAtTheEndOfAKeptAliveAnswer)
{
    init_config();
    config.counter_tcp_to = 5;
    // The second answer fills exactly one read buffer.
    canned_server server({page(100), page(400, 16384),
                          {{test_support::fixture_text("status/nginx-401.http")}, false},
                          {{test_support::fixture_text("status/nginx-html.http")}, false}});
    const std::string port = std::to_string(server.port());
    test_support::core_counter c(kOps, ("main 127.0.0.1:" + port + "/nginx_status localhost\n").c_str());
    for (int i = 0; i < 4; i++) {
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(c.cycle(static_cast<uint64_t>(i)), i < 2 ? 1 : 0) << i;
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500)) << i;
        if (i == 1)
            EXPECT_EQ(c.report(), "Nginx_main:{report:str=Nginx;id:str=main;ok:i64=1;rps:dbl=20;active:i64=3;"
                                  "reading:i64=1;writing:i64=2;keepalive:i64=0;};");
        else
            EXPECT_EQ(c.report(), "") << i;
    }
    EXPECT_EQ(server.requests().at(0),
              "GET /nginx_status HTTP/1.1\r\nHost:localhost\r\nUser-Agent: vesk-client 1.2.7\r\nAuthorization: Basic \r\n\r\n");

    // A container that does not resolve.
    test_support::core_counter boxed(kOps, "box [web]:80/nginx_status localhost\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(boxed.update(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[nginx] Cannot resolve IP for container 'web'\nNGINX ERRRR :\n");
}
