// System uptime from the procfs uptime file.
#include "hostevents/vesk_cpu.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

#include "hostevents/config.hpp"
#include "vesk_owners.hpp"

namespace hostevents {

double parse_uptime(std::string_view text)
{
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    if (line.size() > UPTIME_MAX_LINE) return 0;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = trim_space(line);
    std::string_view piece = line.substr(0, line.find(' '));
    if (!piece.empty() && piece.front() == '+') piece.remove_prefix(1);
    if (piece.empty()) return 0;
    double value = 0;
    auto [end, ec] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
    if (ec != std::errc() || end != piece.data() + piece.size()) return 0;
    return value;
}

double read_uptime(const std::string &path)
{
    unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) fatal_dated("open " + path + ": " + error_text(errno));
    // Enough for the longest usable line, its newline and one byte to tell a longer one.
    std::string text;
    char buf[8192];
    while (text.size() <= UPTIME_MAX_LINE + 1 && text.find('\n') == std::string::npos) {
        ssize_t n = read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    return parse_uptime(text);
}

} // namespace hostevents
