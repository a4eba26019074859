// The PHP-FPM counter: its configuration, the status text, and whole updates
// against a scripted FastCGI server on a Unix socket.
#include <gtest/gtest.h>

#include <chrono>

#include "canned_server.hpp"
#include "counter_support.hpp"
#include "fcgi_header.hpp"
#include "vesk_fpm.hpp"

using test_support::canned_reply;
using test_support::canned_server;

namespace {

const mycustom_ops kOps{.init = fpm_init, .update = fpm_update, .delta = fpm_delta, .tobson = fpm_tobson,
                        .dump = fpm_dump, .free = fpm_free};

std::string stdout_answer(const std::string &text)
{
    std::string r{1, static_cast<char>(FCGI_STDOUT), 0, 1, static_cast<char>(text.size() >> 8),
                  static_cast<char>(text.size() & 0xFF), 0, 0};
    return r + text + std::string("\x01\x03\x00\x01\x00\x08\x00\x00\0\0\0\0\0\0\0\0", 16);
}

std::string page(int accepted)
{
    return "Content-type: text/plain;charset=UTF-8\r\n\r\npool: www\naccepted conn:        " +
           std::to_string(accepted) +
           "\nlisten queue:         0\nlisten queue len:     4096\nidle processes:       1\n"
           "active processes:     1\ntotal processes:      2\nmax active processes: 3\nmax children reached: 4\n";
}

} // namespace

TEST(FpmConf, Forms)
{
    struct {
        const char *cfg, *id, *host, *socket, *path;
        uint32_t port;
        int in_docker;
    } cases[] = {
        {"main 127.0.0.1:9000 /status\n", "main", "127.0.0.1", "", "/status", 9000, 0},
        {"main local:/run/php/fpm.sock /status\n", "main", "local", "/run/php/fpm.sock", "/status", 0, 0},
        {"web [php]:9000 /st", "web", "[php]", "", "/st", 9000, 1},
    };
    for (const auto &c : cases) {
        std::string cfg = c.cfg, id;
        vesk_mycustom_data_fpm d;
        fpm_parse_conf(cfg.data(), id, d);
        EXPECT_EQ(id, c.id);
        EXPECT_EQ(d.host, c.host);
        EXPECT_EQ(d.socket, c.socket);
        EXPECT_EQ(d.status_path, c.path);
        EXPECT_EQ(d.port, c.port);
        EXPECT_EQ(d.in_docker, c.in_docker);
    }
}

TEST(FpmStatus, OnlyAStatusPageCounts)
{
    auto st = fpm_parse_res(page(12));
    ASSERT_TRUE(st);
    EXPECT_EQ(st->accepted, 12.0);
    EXPECT_EQ(st->lqueue, 4096u);
    EXPECT_EQ(st->idle, 1u);
    EXPECT_EQ(st->active, 1u);
    EXPECT_EQ(st->total, 2u);
    EXPECT_EQ(st->max_children, 4u);
    EXPECT_TRUE(fpm_parse_res("Status: 200 OK\r\n\r\naccepted conn: 1\n"));
    for (const char *not_status : {"Status: 404 Not Found\r\nContent-type: text/html\r\n\r\nFile not found.\n",
                                   "Status: 500\r\n\r\naccepted conn: 1\n", "File not found.\n",
                                   "Content-type: text/plain\r\n\r\n", ""})
        EXPECT_FALSE(fpm_parse_res(not_status)) << not_status;
}

TEST(FpmCounter, UpdatesAgainstAFastCgiServer)
{
    temp_dir tmp;
    init_config();
    config.counter_tcp_to = 1;
    const std::string sock = (tmp.path() / "fpm.sock").string();
    const std::string end_only("\x01\x03\x00\x01\x00\x08\x00\x00\0\0\0\0\0\0\0\0", 16);
    canned_server server({{{stdout_answer(page(1000))}},
                          // the answer in pieces that cut a header and a record
                          {{stdout_answer(page(1300)).substr(0, 5), stdout_answer(page(1300)).substr(5, 100),
                            stdout_answer(page(1300)).substr(105)}},
                          {{test_support::fixture_text("status/fpm-404.fcgi")}},
                          {{end_only}},
                          {{""}},
                          {{}, true, true}},
                         sock);
    test_support::core_counter c(kOps, ("main local:" + sock + " /status\n").c_str());
    EXPECT_EQ(c.cycle(0), 1);
    EXPECT_EQ(c.cycle(1), 1);
    EXPECT_EQ(c.report(), "FPM_main:{report:str=FPM;id:str=main;ok:i64=1;accepted:dbl=20;active:i64=1;idle:i64=1;"
                          "total:i64=2;lqueue:i64=4096;max_children:i64=4;};");
    EXPECT_EQ(server.requests().at(0), fpm_request("/status"));
    // A wrong path, END_REQUEST alone, an empty answer, no answer: each fails.
    for (int i = 0; i < 4; i++) {
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(c.cycle(2 + i), 0) << i;
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1600)) << i;
        EXPECT_EQ(c.report(), "") << i;
    }

    // A container that does not resolve.
    test_support::core_counter boxed(kOps, "box [php]:9000 /status\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(boxed.update(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[fpm] Cannot resolve IP for container 'php'\n");
}
