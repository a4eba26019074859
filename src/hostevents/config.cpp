// The host-events module's own settings and diagnostics.
#include "hostevents/config.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace hostevents {

ConfigT Config;

namespace {

std::string bounded(const char *s)
{
    return s ? std::string(s, strnlen(s, 64)) : std::string();
}

std::string dated_prefix()
{
    time_t now = time(nullptr);
    struct tm tm {};
    localtime_r(&now, &tm);
    char buf[32];
    strftime(buf, sizeof buf, "%Y/%m/%d %H:%M:%S ", &tm);
    return buf;
}

} // namespace

void config_init(const char *procfs_root, const char *sysfs_root)
{
    Config.ProfFsPath = bounded(procfs_root);
    Config.SysFsPath = bounded(sysfs_root);
    Config.Initialized = true;
}

std::string getProcPath(std::string_view name)
{
    std::string path = Config.ProfFsPath;
    path += '/';
    path += name;
    return path;
}

void log_dated(std::string_view message)
{
    std::string line = dated_prefix();
    line += message;
    if (line.back() != '\n') line += '\n';
    // One write, so lines of two threads never interleave.
    fwrite(line.data(), 1, line.size(), stderr);
    fflush(stderr);
}

void fatal_dated(std::string_view message)
{
    log_dated(message);
    fflush(stdout);
    _exit(1);
}

std::string_view trim_space(std::string_view s)
{
    constexpr std::string_view space = " \t\n\v\f\r";
    size_t b = s.find_first_not_of(space);
    if (b == std::string_view::npos) return {};
    return s.substr(b, s.find_last_not_of(space) - b + 1);
}

std::string error_text(int err)
{
    char buf[256];
    // GNU strerror_r returns the text, which may or may not be in buf.
    return strerror_r(err, buf, sizeof buf);
}

} // namespace hostevents
