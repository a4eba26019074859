// The Apache counter: its configuration, the status page, and whole updates
// against a scripted server.
#include <gtest/gtest.h>

#include <chrono>

#include "canned_server.hpp"
#include "counter_support.hpp"
#include "vesk_apache.hpp"
#include "vesk_http.hpp"

using test_support::canned_server;

namespace {

const mycustom_ops kOps{.init = apache_init, .update = apache_update, .delta = apache_delta,
                        .tobson = apache_tobson, .dump = apache_dump, .free = apache_free};

std::string body_of(const std::string &fixture)
{
    http_answer a;
    EXPECT_EQ(http_parse_answer(test_support::fixture_text(fixture), true, a), http_state::complete) << fixture;
    return a.body;
}

// A close-delimited answer, as an HTTP/1.0 server may send it.
std::string page(int accesses)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nlocalhost\nTotal Accesses: " + std::to_string(accesses) +
           "\nTotal kBytes: 9\nBusyWorkers: 2\nIdleWorkers: 5\nScoreboard: __RKIDGCLLW.\n";
}

} // namespace

TEST(ApacheConf, Forms)
{
    struct {
        const char *cfg, *id, *user, *pass, *host;
        uint32_t port;
    } cases[] = {
        {"web 127.0.0.1:8080\n", "web", "", "", "127.0.0.1", 8080},
        {"web watch:s3cret@10.1.2.3:80\n", "web", "watch", "s3cret", "10.1.2.3", 80},
        {"web watch:@10.1.2.3:81", "web", "watch", "", "10.1.2.3", 81},
    };
    for (const auto &c : cases) {
        std::string cfg = c.cfg, id;
        vesk_mycustom_data_apache d;
        apache_parse_conf(cfg.data(), id, d);
        EXPECT_EQ(id, c.id);
        EXPECT_EQ(d.user, c.user);
        EXPECT_EQ(d.pass, c.pass);
        EXPECT_EQ(d.host, c.host);
        EXPECT_EQ(d.port, c.port);
    }
    EXPECT_EQ(apache_request("", false),
              "GET /server-status?auto HTTP/1.0\r\nUser-Agent: vesk-client 1.2.7\r\nAuthorization: Basic \r\n\r\n");
}

TEST(ApacheStatus, CapturedPages)
{
    auto st = apache_parse_res(body_of("status/apache-auto.http"));
    ASSERT_TRUE(st);
    EXPECT_EQ(st->busyWorkers, 1u);
    EXPECT_EQ(st->idleWorkers, 3u);
    EXPECT_EQ(st->scWaiting, 3u);
    // Without ExtendedStatus there is no "Total Accesses", and the page still counts.
    st = apache_parse_res(body_of("status/apache-noext.http"));
    ASSERT_TRUE(st);
    EXPECT_EQ(st->totalAccesses, 0u);
    EXPECT_EQ(st->idleWorkers, 3u);
    for (const char *other : {"status/apache-html.http", "status/apache-401.http", "status/apache-500.http"})
        EXPECT_FALSE(apache_parse_res(body_of(other))) << other;
}

// Captured Apache and nginx answers are whole only once their last byte is in,
// whatever arrived before; nginx's never needs the close.
TEST(StatusAnswers, WholeOnlyAtTheirEnd)
{
    for (const char *name : {"apache-auto", "apache-noext", "apache-401", "apache-html", "apache-500", "nginx-status",
                             "nginx-401", "nginx-html"}) {
        const std::string bytes = test_support::fixture_text(std::string("status/") + name + ".http");
        ASSERT_FALSE(bytes.empty()) << name;
        http_answer whole;
        ASSERT_EQ(http_parse_answer(bytes, false, whole), http_state::complete) << name;
        EXPECT_EQ(whole.body, body_of(std::string("status/") + name + ".http"));
        for (size_t cut = 0; cut < bytes.size(); cut++) {
            http_answer part;
            EXPECT_EQ(http_parse_answer(std::string_view(bytes).substr(0, cut), false, part), http_state::incomplete)
                << name << " cut at " << cut;
        }
    }
}

TEST(ApacheCounter, UpdatesAgainstAServer)
{
    init_config();
    config.counter_tcp_to = 1;
    canned_server server({{{page(100)}},
                          {{page(160).substr(0, 60), page(160).substr(60)}},
                          {{test_support::fixture_text("status/apache-401.http")}},
                          {{test_support::fixture_text("status/apache-html.http")}},
                          {{test_support::fixture_text("status/apache-500.http")}},
                          {{}, true, true}});
    const std::string port = std::to_string(server.port());
    testing::internal::CaptureStdout();
    test_support::core_counter c(kOps, ("web watch:s3cret@127.0.0.1:" + port + "\n").c_str());
    const std::string init = testing::internal::GetCapturedStdout();
    EXPECT_EQ(init, "Apache web init with watch *** 127.0.0.1 " + port + " ***\n");

    EXPECT_EQ(c.cycle(0), 1);
    EXPECT_EQ(c.cycle(1), 1);
    EXPECT_EQ(c.report(), "Apache_web:{report:str=Apache;id:str=web;ok:i64=1;bW:i64=2;iW:i64=5;tA:i64=4;sc_W:i64=2;"
                          "sc_R:i64=1;sc_K:i64=1;sc_I:i64=1;sc_D:i64=1;sc_F:i64=1;sc_C:i64=1;sc_L:i64=2;};");
    EXPECT_EQ(server.requests().at(0), "GET /server-status/?auto HTTP/1.0\r\nUser-Agent: vesk-client 1.2.7\r\n"
                                       "Authorization: Basic d2F0Y2g6czNjcmV0\r\n\r\n");
    // Refused credentials, an HTML page, a server error, no answer: each fails in time.
    for (int i = 0; i < 4; i++) {
        auto t0 = std::chrono::steady_clock::now();
        testing::internal::CaptureStdout();
        EXPECT_EQ(c.cycle(2 + i), 0) << i;
        EXPECT_TRUE(testing::internal::GetCapturedStdout().ends_with("APACHE ERRRR :\n")) << i;
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1600)) << i;
        EXPECT_EQ(c.report(), "") << i;
    }
    const std::string dump = c.dump();
    EXPECT_EQ(dump.find("s3cret"), std::string::npos);
    EXPECT_EQ(dump.find("d2F0Y2g6"), std::string::npos);
}
