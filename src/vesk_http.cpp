// HTTP/1.x answers: status line, headers, and bodies by length, chunks or close.
#include "vesk_http.hpp"

#include <cctype>
#include <charconv>
#include <cstdint>

namespace {

bool iequals(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// A whole non-negative decimal or hexadecimal number that fits in 64 bits.
std::optional<uint64_t> parse_number(std::string_view s, int base)
{
    uint64_t v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return v;
}

// "HTTP/1.x NNN reason": the code, or none.
std::optional<int> status_code(std::string_view line)
{
    if (!line.starts_with("HTTP/") || line.size() < 12) return std::nullopt;
    size_t sp = line.find(' ');
    if (sp == std::string_view::npos || sp + 4 > line.size()) return std::nullopt;
    auto code = parse_number(line.substr(sp + 1, 3), 10);
    if (!code || (sp + 4 < line.size() && line[sp + 4] != ' ' && line[sp + 4] != '\r')) return std::nullopt;
    return static_cast<int>(*code);
}

} // namespace

size_t http_headers_end(std::string_view bytes)
{
    for (size_t nl = bytes.find('\n'); nl != std::string_view::npos; nl = bytes.find('\n', nl + 1)) {
        size_t next = nl + 1;
        if (next < bytes.size() && bytes[next] == '\n') return next + 1;
        if (next + 1 < bytes.size() && bytes[next] == '\r' && bytes[next + 1] == '\n') return next + 2;
    }
    return std::string_view::npos;
}

std::optional<std::string_view> http_header(std::string_view headers, std::string_view name)
{
    while (!headers.empty()) {
        size_t nl = headers.find('\n');
        std::string_view line = headers.substr(0, nl);
        headers = nl == std::string_view::npos ? std::string_view{} : headers.substr(nl + 1);
        size_t colon = line.find(':');
        if (colon != std::string_view::npos && iequals(trim(line.substr(0, colon)), name))
            return trim(line.substr(colon + 1));
    }
    return std::nullopt;
}

bool http_is_chunked(std::string_view headers)
{
    auto te = http_header(headers, "Transfer-Encoding");
    return te && iequals(*te, "chunked");
}

http_state http_parse_answer(std::string_view bytes, bool closed, http_answer &out)
{
    size_t head_end = http_headers_end(bytes);
    if (head_end == std::string_view::npos) {
        // Judge the status line as soon as it is whole, so garbage is refused early.
        size_t nl = bytes.find('\n');
        if (nl != std::string_view::npos && !status_code(bytes.substr(0, nl))) return http_state::malformed;
        if (bytes.size() >= 5 && !bytes.starts_with("HTTP/")) return http_state::malformed;
        return http_state::incomplete;
    }
    size_t nl = bytes.find('\n');
    auto code = status_code(bytes.substr(0, nl));
    if (!code) return http_state::malformed;
    out.status = *code;
    out.headers.assign(bytes.substr(nl + 1, head_end - nl - 1));
    out.body.clear();
    std::string_view rest = bytes.substr(head_end);

    // Answers that never carry a body.
    if ((*code >= 100 && *code < 200) || *code == 204 || *code == 304) return http_state::complete;

    if (http_is_chunked(out.headers)) {
        http_chunked_decoder dec;
        switch (dec.feed(rest, out.body)) {
        case http_chunked_decoder::state::done: return http_state::complete;
        case http_chunked_decoder::state::error: return http_state::malformed;
        case http_chunked_decoder::state::more: return closed ? http_state::malformed : http_state::incomplete;
        }
    }
    if (auto cl = http_header(out.headers, "Content-Length")) {
        auto len = parse_number(*cl, 10);
        if (!len) return http_state::malformed;
        if (rest.size() < *len) return closed ? http_state::malformed : http_state::incomplete;
        out.body.assign(rest.substr(0, static_cast<size_t>(*len)));
        return http_state::complete;
    }
    // Only the close ends such a body: until then its bytes are not worth a copy.
    if (!closed) return http_state::incomplete;
    out.body.assign(rest);
    return http_state::complete;
}

http_chunked_decoder::state http_chunked_decoder::feed(std::string_view in, std::string &out)
{
    // A chunk-size line longer than this is not HTTP.
    constexpr size_t kLineMax = 1024;
    while (state_ == state::more && !in.empty()) {
        if (phase_ == phase::data) {
            size_t take = left_ < in.size() ? left_ : in.size();
            out.append(in.substr(0, take));
            in.remove_prefix(take);
            left_ -= take;
            if (left_ == 0) phase_ = phase::data_end;
            continue;
        }
        size_t nl = in.find('\n');
        line_.append(in.substr(0, nl == std::string_view::npos ? in.size() : nl));
        if (line_.size() > kLineMax) {
            state_ = state::error;
            break;
        }
        if (nl == std::string_view::npos) break;
        in.remove_prefix(nl + 1);
        std::string_view line = trim(line_);
        switch (phase_) {
        case phase::size: {
            size_t semi = line.find(';'); // chunk extensions are ignored
            auto size = parse_number(trim(line.substr(0, semi)), 16);
            if (!size) {
                state_ = state::error;
                break;
            }
            left_ = static_cast<size_t>(*size);
            phase_ = left_ == 0 ? phase::trailer : phase::data;
            break;
        }
        case phase::data_end:
            if (!line.empty()) state_ = state::error;
            phase_ = phase::size;
            break;
        case phase::trailer:
            if (line.empty()) state_ = state::done;
            break;
        case phase::data: break;
        }
        line_.clear();
    }
    return state_;
}
