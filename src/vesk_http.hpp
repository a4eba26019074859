// HTTP/1.x answers as the service counters and the Engine client receive them:
// the status line, the header block, and a body framed by Content-Length, by the
// chunked transfer coding, or by the end of the connection. Pure code over bytes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

struct http_answer {
    int status = 0;       // the status code
    std::string headers;  // the header lines, as received
    std::string body;     // the body, chunked coding removed
};

enum class http_state {
    incomplete, // more bytes are needed
    complete,   // `out` holds the whole answer
    malformed,  // these bytes are not an HTTP answer
};

// Parses `bytes` as one answer. `closed` says the connection has ended, which is
// what ends a body with neither a length nor the chunked coding. Bytes after the
// end of the answer are ignored.
http_state http_parse_answer(std::string_view bytes, bool closed, http_answer &out);

// The first value of header `name` (any case), blanks trimmed; none when absent.
std::optional<std::string_view> http_header(std::string_view headers, std::string_view name);

// Whether a header block says its body comes in the chunked transfer coding.
bool http_is_chunked(std::string_view headers);

// Where the header block ends (the first byte of the body), or npos while the
// blank line has not arrived. Bare line feeds are accepted.
size_t http_headers_end(std::string_view bytes);

// Removes the chunked transfer coding from a stream as its bytes arrive.
class http_chunked_decoder {
public:
    enum class state { more, done, error };
    // Appends the data of the chunks in `in` to `out`. Partial chunk headers and data
    // are kept for the next call. After `done` or `error` it takes nothing more.
    state feed(std::string_view in, std::string &out);

private:
    enum class phase { size, data, data_end, trailer };
    phase phase_ = phase::size;
    state state_ = state::more;
    std::string line_;   // a chunk-size or trailer line being gathered
    size_t left_ = 0;    // data bytes left in the current chunk
};
