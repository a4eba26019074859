// The PHP-FPM counter: which answers are status pages, and an update over a Unix
// socket whose answer arrives in pieces that cut a header and a record.
#include <gtest/gtest.h>

#include "canned_server.hpp"
#include "counter_support.hpp"
#include "fcgi_header.hpp"
#include "vesk_fpm.hpp"

namespace {

std::string page(int accepted)
{
    return "Content-type: text/plain;charset=UTF-8\r\n\r\npool: www\naccepted conn:        " +
           std::to_string(accepted) +
           "\nlisten queue:         0\nlisten queue len:     4096\nidle processes:       1\n"
           "active processes:     1\ntotal processes:      2\nmax active processes: 3\nmax children reached: 4\n";
}

} // namespace

// Only a text without a Status header, or with a 2xx one, and with "accepted conn:" counts.
TEST(FpmStatus, OnlyAStatusPageCounts)
{
    for (const std::string &status : {page(12), std::string("Status: 200 OK\r\n\r\naccepted conn: 1\n")})
        EXPECT_TRUE(fpm_parse_res(status)) << status;
    for (const char *not_status : {"Status: 404 Not Found\r\nContent-type: text/html\r\n\r\nFile not found.\n",
                                   "Status: 500\r\n\r\naccepted conn: 1\n", "Status: 2\r\n\r\naccepted conn: 1\n",
                                   "File not found.\n", "Content-type: text/plain\r\n\r\n", ""})
        EXPECT_FALSE(fpm_parse_res(not_status)) << not_status;
}

TEST(FpmCounter, AnswerInPiecesOverAUnixSocket)
{
    temp_dir tmp;
    init_config();
    config.counter_tcp_to = 1;
    const std::string sock = (tmp.path() / "fpm.sock").string();
    auto answer = [](int accepted) {
        const std::string text = page(accepted);
        std::string r{1, static_cast<char>(FCGI_STDOUT), 0, 1, static_cast<char>(text.size() >> 8),
                      static_cast<char>(text.size() & 0xFF), 0, 0};
        return r + text + std::string("\x01\x03\x00\x01\x00\x08\x00\x00\0\0\0\0\0\0\0\0", 16);
    };
    const std::string second = answer(1300);
    test_support::canned_server server(
        {{{answer(1000)}}, {{second.substr(0, 5), second.substr(5, 100), second.substr(105)}}}, sock);
    test_support::core_counter c({.init = fpm_init, .update = fpm_update, .delta = fpm_delta, .tobson = fpm_tobson,
                                  .dump = fpm_dump, .free = fpm_free},
                                 ("main local:" + sock + " /status\n").c_str());
    EXPECT_EQ(c.cycle(0), 1);
    EXPECT_EQ(c.cycle(1), 1);
    EXPECT_EQ(c.report(), "FPM_main:{report:str=FPM;id:str=main;ok:i64=1;accepted:dbl=20;active:i64=1;idle:i64=1;"
                          "total:i64=2;lqueue:i64=4096;max_children:i64=4;};");
}
