// System uptime from the procfs uptime file.
#pragma once

#include <string>
#include <string_view>

namespace hostevents {

// The longest first line that still gives a value.
inline constexpr size_t UPTIME_MAX_LINE = 64 * 1024;

// The uptime in the text of the uptime file: its first line, trimmed, up to the
// first blank, read whole as a number; 0 when the text is empty, the line too long
// or the piece not a number.
double parse_uptime(std::string_view text);

// Reads the file at path; ends the process with status 1 when it cannot be opened.
double read_uptime(const std::string &path);

} // namespace hostevents
