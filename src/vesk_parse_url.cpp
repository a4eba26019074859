// Splitting texts with escapes, and user:password@host:port.
#include "vesk_parse_url.hpp"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

// At most `limit` parts; after limit-1 splits the delimiter is ordinary text.
// A backslash before a backslash or the delimiter stands for that character.
std::vector<std::string> split_escaped(std::string_view s, char delim, int limit)
{
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < s.size(); i++) {
        char c = s[i];
        if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == delim)) {
            parts.back() += s[++i];
        } else if (c == delim && static_cast<int>(parts.size()) < limit) {
            parts.emplace_back();
        } else {
            parts.back() += c;
        }
    }
    return parts;
}

void copy_part(char *dst, size_t size, const std::string &src)
{
    size_t n = src.size() < size - 1 ? src.size() : size - 1;
    memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

} // namespace

int vesk_split_str(const char *str, char delimiter, char **parts, int limit, size_t part_size)
{
    if (limit <= 0 || part_size == 0) return 1;
    std::vector<std::string> got = split_escaped(str, delimiter, limit);
    for (size_t i = 0; i < got.size(); i++) copy_part(parts[i], part_size, got[i]);
    return 1;
}

int vesk_parse_url(const char *url, vesk_url_parts *parts)
{
    parts->user[0] = parts->pass[0] = parts->host[0] = '\0';
    parts->port = 0;

    std::vector<std::string> at = split_escaped(url, '@', 2);
    std::string hostpart;
    if (at.size() == 1) {
        if (at[0].empty()) return 1;
        hostpart = at[0];
    } else {
        hostpart = at[1];
        if (!at[0].empty()) {
            std::vector<std::string> cred = split_escaped(at[0], ':', 2);
            copy_part(parts->user, sizeof parts->user, cred[0]);
            if (cred.size() > 1) copy_part(parts->pass, sizeof parts->pass, cred[1]);
        }
    }
    std::vector<std::string> hp = split_escaped(hostpart, ':', 2);
    copy_part(parts->host, sizeof parts->host, hp[0]);
    if (hp.size() > 1 && !hp[1].empty())
        parts->port = static_cast<uint32_t>(strtoul(hp[1].c_str(), nullptr, 10));
    return 1;
}
