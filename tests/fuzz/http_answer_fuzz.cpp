// HTTP answers from services: any bytes, whole or cut anywhere, parse or are refused
// without reading outside them; the chunked decoder gives the same body in pieces.
#include <cstdint>
#include <string>
#include <string_view>

#include "vesk_http.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string bytes(reinterpret_cast<const char *>(data), size);
    http_answer a;
    http_state open = http_parse_answer(bytes, false, a);
    http_state closed = http_parse_answer(bytes, true, a);
    // The end of the connection can finish an answer, never spoil a whole one.
    if (open == http_state::complete && closed != http_state::complete) __builtin_trap();

    size_t body = http_headers_end(bytes);
    if (body == std::string_view::npos) return 0;
    std::string whole, pieces;
    http_chunked_decoder d1, d2;
    auto s1 = d1.feed(std::string_view(bytes).substr(body), whole);
    http_chunked_decoder::state s2 = http_chunked_decoder::state::more;
    for (size_t i = body; i < bytes.size(); i += 7) s2 = d2.feed(std::string_view(bytes).substr(i, 7), pieces);
    if (s1 != s2 || whole != pieces) __builtin_trap();
    return 0;
}
