// The FastCGI client: long request values, and the record reader on captured PHP-FPM
// answers cut at every byte boundary.
#include <gtest/gtest.h>

#include <string>

#include "canned_server.hpp"
#include "fcgi_header.hpp"
#include "vesk_fpm.hpp"

namespace {

std::string record(uint8_t type, const std::string &content, uint8_t padding = 0)
{
    std::string r{1, static_cast<char>(type), 0, 1, static_cast<char>(content.size() >> 8),
                  static_cast<char>(content.size() & 0xFF), static_cast<char>(padding), 0};
    return r + content + std::string(padding, '\x7f');
}

const std::string kEnd = record(FCGI_END_REQUEST, std::string("\0\0\0\0\0\0\0\0", 8));

} // namespace

// Lengths of 128 and more take four bytes with the high bit set.
TEST(FcgiRequest, LongValues)
{
    std::string path(130, 'p');
    std::string pair;
    EXPECT_EQ(serialize_name_value(pair, {"SCRIPT_NAME", path}), 1u + 4 + 11 + 130);
    EXPECT_EQ(pair.substr(0, 5), std::string("\x0b\x80\x00\x00\x82", 5));
    EXPECT_EQ(fpm_request(path).size(), fpm_request("/status").size() + 2 * (123 + 3));
}

// The STDOUT stream is joined across records, whatever the cut between receives.
TEST(FcgiReader, WholeStreamAtEveryCut)
{
    const std::string status = test_support::fixture_text("status/fpm-status.fcgi");
    const std::string missing = test_support::fixture_text("status/fpm-404.fcgi");
    ASSERT_GT(status.size(), 500u);
    const std::string text = "Content-type: text/plain\r\n\r\naccepted conn: 7\nactive processes: 1\n";
    // The text over three padded records, an empty one, a STDERR record, then the end.
    const std::string split = record(FCGI_STDOUT, text.substr(0, 5), 3) + record(FCGI_STDOUT, text.substr(5, 30), 2) +
                              record(7, "PHP Warning", 5) + record(FCGI_STDOUT, text.substr(35)) +
                              record(FCGI_STDOUT, "") + kEnd;
    struct {
        std::string bytes;
        std::string out_prefix;
        size_t records;
    } cases[] = {
        {status, "Expires: Thu, 01 Jan 1970", 2},
        {missing, "Status: 404 Not Found\r\n", 3},
        {split, text, 6},
    };
    for (const auto &c : cases) {
        fcgi_reader whole;
        ASSERT_TRUE(whole.feed(c.bytes + "trailing bytes are not read"));
        const fcgi_answer want = whole.answer();
        EXPECT_EQ(want.records, c.records);
        EXPECT_TRUE(want.out.starts_with(c.out_prefix)) << want.out;
        for (size_t cut = 0; cut <= c.bytes.size(); cut++) {
            fcgi_reader r;
            EXPECT_FALSE(r.feed(std::string_view(c.bytes).substr(0, cut)) && cut < c.bytes.size());
            EXPECT_TRUE(r.feed(std::string_view(c.bytes).substr(cut))) << cut;
            EXPECT_EQ(r.answer().out, want.out) << cut;
            EXPECT_EQ(r.answer().records, want.records) << cut;
        }
    }
    // A record cut before its end, or no END_REQUEST, is not a whole answer.
    fcgi_reader cut;
    EXPECT_FALSE(cut.feed(record(FCGI_STDOUT, text) + kEnd.substr(0, 12)));
    // STDOUT past the cap is dropped and marked.
    fcgi_reader capped(10);
    EXPECT_TRUE(capped.feed(record(FCGI_STDOUT, text) + kEnd));
    EXPECT_EQ(capped.answer().out, text.substr(0, 10));
    EXPECT_TRUE(capped.answer().too_long);
}
