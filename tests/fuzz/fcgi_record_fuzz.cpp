// FastCGI answers: any bytes are read record by record without reading outside
// them, and the same bytes in pieces give the same answer.
#include <cstdint>
#include <string_view>

#include "fcgi_header.hpp"
#include "vesk_fpm.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view bytes(reinterpret_cast<const char *>(data), size);
    fcgi_reader whole(4096), pieces(4096);
    bool ended = whole.feed(bytes);
    bool ended_pieces = false;
    for (size_t at = 0; at < bytes.size(); at += 5) ended_pieces = pieces.feed(bytes.substr(at, 5)) || ended_pieces;
    const fcgi_answer &a = whole.answer(), &b = pieces.answer();
    if (ended != ended_pieces || a.out != b.out || a.records != b.records || a.out.size() > 4096) __builtin_trap();
    fpm_parse_res(a.out);
    return 0;
}
