// The os counter (host identity, uptimes, the agent's own memory and open files),
// and the number helpers that the os, mem and cpu counters share.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "mycustom.hpp"
#include "vesk_devlist.hpp"
#include "vesk_types.hpp"

// ---- Helpers of the os, mem and cpu counters ----

// The whole word as a decimal floating-point number; none when it is not one.
// (Files are read and split with the helpers of vesk_devlist.hpp.)
std::optional<double> sys_parse_double(std::string_view word);
// Whole seconds of a time in seconds; 0 when it is negative, not a number or too large.
long sys_whole_seconds(double v);

// ---- The os counter ----

struct vesk_mycustom_data_os {
    int ok = 0;
    std::string os_bit;     // machine architecture, at most 32 characters
    std::string os_name;    // distribution name, after the mapping of short names
    std::string os_version; // distribution version
    uint64_t open_files = 0;       // allocated file handles of the system
    uint32_t vesk_memory_used = 0; // the agent's resident set, KiB
    long uptime_sec = 0;           // system uptime, whole seconds
    long vesk_uptime_sec = 0;      // seconds since the agent started
};

int os_init(void *cnt);
int os_update(void *cnt);
int os_tobson(void *cnt, bson *b);
int os_dump(void *cnt);
int os_free(void *cnt);

// Identity of the distribution while its sources are read, in order: /etc/os-release,
// /etc/redhat-release, /etc/issue, /etc/issue.net. Each text holds at most
// OS_TEXT_MAX bytes of valid UTF-8.
inline constexpr size_t OS_TEXT_MAX = 31;
struct os_identity {
    std::string type = "unknown"; // family ("redhat", "debian"); decides whether the next source is read
    std::string name = "unknown";
    std::string ver = "unknown";
};

// Applies os-release's ID=, NAME= and VERSION_ID= lines; an unknown ID ends the reading.
void parse_os_release(std::string_view text, os_identity &id);
// Applies the first line of redhat-release (with_debian false), issue or issue.net
// (with_debian true): the distribution's first word and its last version-like word.
void parse_release_line(std::string_view text, os_identity &id, bool with_debian);
// Short names of the known distributions ("Debian GNU/Linux" -> "Debian", ...).
std::string map_os_name(std::string_view name);
// The whole detection. `read` returns a file's text, or none when it cannot be read.
template <typename Reader>
os_identity identify_os(Reader read)
{
    os_identity id;
    if (auto t = read("/etc/os-release")) parse_os_release(*t, id);
    if (id.type == "unknown")
        if (auto t = read("/etc/redhat-release")) parse_release_line(*t, id, false);
    if (id.type == "unknown")
        if (auto t = read("/etc/issue")) parse_release_line(*t, id, true);
    if (id.type == "unknown")
        if (auto t = read("/etc/issue.net")) parse_release_line(*t, id, true);
    id.name = map_os_name(id.name);
    return id;
}

// Resident pages: the second number of /proc/self/statm.
std::optional<uint64_t> parse_statm_resident(std::string_view text);
// Allocated file handles: the first number of /proc/sys/fs/file-nr.
std::optional<uint64_t> parse_file_nr(std::string_view text);
// Whole seconds of the first number of /proc/uptime; 0 when it is missing or out of range.
long parse_uptime_seconds(std::string_view text);
