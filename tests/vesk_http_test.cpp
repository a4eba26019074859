// HTTP answers as they arrive from services: every framing, split anywhere.
#include <gtest/gtest.h>

#include "vesk_http.hpp"

namespace {

struct answer_case {
    const char *name;
    std::string bytes;
    bool needs_close; // only the end of the connection ends it
    int status;
    std::string body;
};

const answer_case kAnswers[] = {
    {"content-length", "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nhello", false, 200, "hello"},
    {"lower-case headers, chunked with extension and trailer",
     "HTTP/1.1 200 OK\r\ncontent-type: application/json\r\ntransfer-encoding: chunked\r\n\r\n"
     "4;x=y\r\n{\"a\"\r\nA\r\n:1234567}\n\r\n0\r\nx-trailer: 1\r\n\r\n",
     false, 200, "{\"a\":1234567}\n"},
    {"HTTP/1.0 closed at the end", "HTTP/1.0 200 OK\r\nServer: x\r\n\r\nActive connections: 1 \n", true, 200,
     "Active connections: 1 \n"},
    {"bare line feeds", "HTTP/1.0 404 Not Found\nContent-Length: 2\n\n{}", false, 404, "{}"},
    {"no body", "HTTP/1.1 204 No Content\r\nDate: x\r\n\r\n", false, 204, ""},
    {"401 with its headers",
     "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"security\"\r\nWWW-Authenticate: Bearer\r\n"
     "content-length: 14\r\n\r\n{\"status\":401}",
     false, 401, "{\"status\":401}"},
};

} // namespace

TEST(HttpAnswer, EveryFramingSplitAtEveryByte)
{
    for (const auto &c : kAnswers) {
        for (size_t cut = 0; cut < c.bytes.size(); cut++) {
            http_answer a;
            EXPECT_EQ(http_parse_answer(std::string_view(c.bytes).substr(0, cut), false, a), http_state::incomplete)
                << c.name << " cut at " << cut;
        }
        http_answer a;
        EXPECT_EQ(http_parse_answer(c.bytes, c.needs_close, a), http_state::complete) << c.name;
        EXPECT_EQ(a.status, c.status) << c.name;
        EXPECT_EQ(a.body, c.body) << c.name;
        if (!c.needs_close) {
            // What follows the answer on a kept-alive connection is not part of it.
            EXPECT_EQ(http_parse_answer(c.bytes + "HTTP/1.1 200 OK\r\n", false, a), http_state::complete) << c.name;
            EXPECT_EQ(a.body, c.body) << c.name;
        }
    }
}

TEST(HttpAnswer, WhatIsNotAnAnswer)
{
    const std::string bad[] = {
        "-NOAUTH Authentication required.\r\n",
        "<html>\r\n\r\n",
        "HTTP/1.1 abc OK\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Length: 12x\r\n\r\n",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcX\r\n",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFFF\r\n",
        // A chunk-size line that never ends is refused, not buffered.
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(2000, '1'),
    };
    for (const std::string &b : bad) {
        http_answer a;
        EXPECT_EQ(http_parse_answer(b, false, a), http_state::malformed) << b;
    }
    // Cut short by the close: never taken for a whole answer.
    http_answer a;
    EXPECT_EQ(http_parse_answer("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nabc", true, a), http_state::malformed);
    EXPECT_EQ(http_parse_answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nab", true, a),
              http_state::malformed);
}

TEST(HttpAnswer, HeaderLookup)
{
    std::string h = "Content-Type: text/plain\r\nX-elastic-product:  Elasticsearch \r\nX-Empty:\r\n";
    EXPECT_EQ(http_header(h, "x-ELASTIC-product").value_or("none"), "Elasticsearch");
    EXPECT_EQ(http_header(h, "x-empty").value_or("none"), "");
    EXPECT_FALSE(http_header(h, "Content"));
}
