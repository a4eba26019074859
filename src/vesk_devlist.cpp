// What the device-list counters share: report texts, whole-file reads, words and lines.
#include "vesk_devlist.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

#include "encoding.hpp"
#include "vesk_owners.hpp"

std::string vesk_report_text(std::string_view raw, size_t max_bytes)
{
    std::string text = vesk_utf8_sanitize(raw);
    text.resize(vesk_utf8_cut(text, max_bytes));
    return text;
}

bool vesk_read_file(const char *path, std::string &out)
{
    out.clear();
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    // Kernel files report no size; grow the buffer until a read comes back short of it.
    size_t used = 0;
    if (out.capacity() < 4096) out.reserve(4096);
    out.resize(out.capacity());
    for (;;) {
        if (used == out.size()) out.resize(out.size() * 2);
        ssize_t n = read(fd.get(), out.data() + used, out.size() - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            out.clear();
            return false;
        }
        if (n == 0) break;
        used += static_cast<size_t>(n);
    }
    out.resize(used);
    return true;
}

std::string_view vesk_next_word(std::string_view text, size_t &pos)
{
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
    while (pos < text.size() && blank(text[pos])) pos++;
    size_t start = pos;
    while (pos < text.size() && !blank(text[pos])) pos++;
    return text.substr(start, pos - start);
}

bool vesk_parse_u64(std::string_view word, uint64_t &value)
{
    uint64_t v = 0;
    auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), v);
    if (ec != std::errc() || end == word.data()) return false;
    value = v;
    return true;
}

bool vesk_next_line(std::string_view text, size_t &pos, std::string_view &line)
{
    if (pos >= text.size()) return false;
    size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) nl = text.size();
    line = text.substr(pos, nl - pos);
    pos = nl + 1;
    return true;
}
