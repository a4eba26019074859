// The host-events module's own settings and the diagnostics shared by its units.
#pragma once

#include <string>
#include <string_view>

namespace hostevents {

struct ConfigT {
    std::string ProfFsPath; // procfs root, as the agent gave it
    std::string SysFsPath;  // sysfs root (kept, not read here)
    bool Initialized = false;
};
extern ConfigT Config;

// Copies the roots out of the agent's settings record (at most 64 characters each).
void config_init(const char *procfs_root, const char *sysfs_root);

// The root, "/" and name, unchanged otherwise (a root ending in "/" gives "//").
std::string getProcPath(std::string_view name);

// Writes the message to standard error as one line, after the local date and time
// ("YYYY/MM/DD hh:mm:ss "); a message that already ends in a newline gets no second one.
void log_dated(std::string_view message);

// Writes the dated message, flushes, and ends the process with status 1 at once,
// from any thread and without the agent's shut-down steps.
[[noreturn]] void fatal_dated(std::string_view message);

// The text without white space (blank, tab, newline, vertical tab, form feed,
// carriage return) at either end.
std::string_view trim_space(std::string_view s);

// The system's text for an error number.
std::string error_text(int err);

} // namespace hostevents
