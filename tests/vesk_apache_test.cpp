// Captured Apache and nginx answers, and the Apache counter on an answer that only the
// close ends, arriving in pieces.
#include <gtest/gtest.h>

#include "canned_server.hpp"
#include "counter_support.hpp"
#include "vesk_apache.hpp"
#include "vesk_http.hpp"
#include "vesk_nginx.hpp"

using test_support::canned_server;

// Each answer is whole only once its last byte is in, whatever arrived before (nginx's
// never needs the close); then its status and whether its body is a status page.
TEST(StatusAnswers, CapturedWholeOnlyAtTheirEnd)
{
    struct {
        const char *name;
        int status;
        int figure; // Apache's idle workers, nginx's active connections; -1: no status page
    } cases[] = {
        {"apache-auto", 200, 3}, {"apache-noext", 200, 3}, {"apache-html", 200, -1}, {"apache-401", 401, -1},
        {"apache-500", 500, -1}, {"nginx-status", 200, 1}, {"nginx-html", 200, -1},  {"nginx-401", 401, -1},
    };
    for (const auto &c : cases) {
        const std::string bytes = test_support::fixture_text(std::string("status/") + c.name + ".http");
        ASSERT_FALSE(bytes.empty()) << c.name;
        for (size_t cut = 0; cut < bytes.size(); cut++) {
            http_answer part;
            EXPECT_EQ(http_parse_answer(std::string_view(bytes).substr(0, cut), false, part), http_state::incomplete)
                << c.name << " cut at " << cut;
        }
        http_answer a;
        ASSERT_EQ(http_parse_answer(bytes, false, a), http_state::complete) << c.name;
        EXPECT_EQ(a.status, c.status) << c.name;
        int figure = -1;
        if (std::string_view(c.name).starts_with("apache")) {
            if (auto st = apache_parse_res(a.body)) figure = static_cast<int>(st->idleWorkers);
        } else if (auto st = nginx_parse_res(a.body)) {
            figure = static_cast<int>(st->active);
        }
        EXPECT_EQ(figure, c.figure) << c.name;
    }
}

// An HTTP/1.0 server may end its answer by the close alone; what arrives after the
// first read belongs to it.
TEST(ApacheCounter, AnswerEndedByTheCloseInPieces)
{
    init_config();
    config.counter_tcp_to = 1;
    auto page = [](int accesses) {
        return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nlocalhost\nTotal Accesses: " +
               std::to_string(accesses) + "\nTotal kBytes: 9\nBusyWorkers: 2\nIdleWorkers: 5\nScoreboard: __RKIDGCLLW.\n";
    };
    canned_server server({{{page(100)}}, {{page(160).substr(0, 60), page(160).substr(60)}}});
    testing::internal::CaptureStdout();
    test_support::core_counter c(
        {.init = apache_init, .update = apache_update, .delta = apache_delta, .tobson = apache_tobson,
         .dump = apache_dump, .free = apache_free},
        ("web 127.0.0.1:" + std::to_string(server.port()) + "\n").c_str());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(c.cycle(0), 1);
    EXPECT_EQ(c.cycle(1), 1);
    EXPECT_EQ(c.report(), "Apache_web:{report:str=Apache;id:str=web;ok:i64=1;bW:i64=2;iW:i64=5;tA:i64=4;sc_W:i64=2;"
                          "sc_R:i64=1;sc_K:i64=1;sc_I:i64=1;sc_D:i64=1;sc_F:i64=1;sc_C:i64=1;sc_L:i64=2;};");
}
