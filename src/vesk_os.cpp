// The os counter: distribution identity, uptimes, the agent's memory and open files.
#include "vesk_os.hpp"

#include <sys/utsname.h>
#include <unistd.h>

#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>

#include "bson.hpp"
#include "encoding.hpp"
#include "vesk_config.hpp"

// ---- Helpers of the os, mem and cpu counters ----

std::optional<double> sys_parse_double(std::string_view word)
{
    double v = 0;
    auto [p, ec] = std::from_chars(word.data(), word.data() + word.size(), v);
    if (word.empty() || ec != std::errc{} || p != word.data() + word.size()) return std::nullopt;
    return v;
}

long sys_whole_seconds(double v)
{
    // A value a long cannot hold (NaN among them) would make the conversion undefined.
    return v >= 0 && v < static_cast<double>(LONG_MAX) ? static_cast<long>(v) : 0;
}

// ---- os identity ----

namespace {

// The value of an os-release line: the rest after '=', without double quotes.
std::string release_value(std::string_view rest)
{
    std::string v;
    for (char ch : rest)
        if (ch != '"') v += ch;
    return v;
}

bool is_version_word(std::string_view w)
{
    return !w.empty() && w.find_first_not_of("0123456789.") == std::string_view::npos;
}

} // namespace

void parse_os_release(std::string_view text, os_identity &id)
{
    std::string_view line;
    for (size_t pos = 0; vesk_next_line(text, pos, line);) {
        if (line.starts_with("ID=")) {
            std::string v = release_value(line.substr(3));
            if (v == "centos" || v == "fedora" || v == "amzn") {
                id.type = "redhat";
            } else if (v == "ubuntu" || v == "debian") {
                id.type = "debian";
            } else {
                // Some other family: its names are better read from the files that follow.
                id.type = "unknown";
                return;
            }
        } else if (line.starts_with("NAME=")) {
            id.name = vesk_report_text(release_value(line.substr(5)), OS_TEXT_MAX);
        } else if (line.starts_with("VERSION_ID=")) {
            id.ver = vesk_report_text(release_value(line.substr(11)), OS_TEXT_MAX);
        }
    }
}

void parse_release_line(std::string_view text, os_identity &id, bool with_debian)
{
    std::string_view line = text.substr(0, text.find('\n'));
    std::string_view first;
    std::string_view version;
    size_t n = 0;
    while (!line.empty()) {
        size_t sp = line.find(' ');
        std::string_view tok = line.substr(0, sp);
        line.remove_prefix(sp == std::string_view::npos ? line.size() : sp + 1);
        if (tok.empty()) continue;
        if (n++ == 0)
            first = tok;
        else if (is_version_word(tok))
            version = tok; // the last one wins
    }
    const bool redhat = first == "CentOS" || first == "Fedora" || first == "Amazon" || first == "Red";
    const bool debian = with_debian && (first == "Ubuntu" || first == "Debian");
    if (!redhat && !debian) {
        id.type = "unknown";
        return;
    }
    id.type = redhat ? "redhat" : "debian";
    id.name = vesk_report_text(first, OS_TEXT_MAX);
    if (!version.empty()) id.ver = vesk_report_text(version, OS_TEXT_MAX);
}

std::string map_os_name(std::string_view name)
{
    if (name == "Debian GNU/Linux") return "Debian";
    if (name == "CentOS Linux") return "CentOS";
    if (name == "Amazon Linux AMI" || name == "Amazon") return "AmazonLinux";
    if (name == "Red") return "RHEL";
    return std::string(name);
}

namespace {

// The n-th number (from 0) of the text's first line.
std::optional<uint64_t> nth_number(std::string_view text, int n)
{
    text = text.substr(0, text.find('\n'));
    size_t pos = 0;
    std::string_view word;
    for (int i = 0; i <= n; i++) word = vesk_next_word(text, pos);
    uint64_t v = 0;
    if (!vesk_parse_u64(word, v)) return std::nullopt;
    return v;
}

} // namespace

std::optional<uint64_t> parse_statm_resident(std::string_view text) { return nth_number(text, 1); }

std::optional<uint64_t> parse_file_nr(std::string_view text) { return nth_number(text, 0); }

long parse_uptime_seconds(std::string_view text)
{
    size_t pos = 0;
    return sys_whole_seconds(sys_parse_double(vesk_next_word(text.substr(0, text.find('\n')), pos)).value_or(0));
}

// ---- os counter ----

namespace {

vesk_mycustom_data_os *os_data(void *cnt) { return static_cast<vesk_mycustom_data_os *>(static_cast<vesk_mycustom_counter *>(cnt)->data); }

std::optional<std::string> read_optional(const char *path)
{
    std::string text;
    if (!vesk_read_file(path, text)) return std::nullopt;
    return text;
}

} // namespace

int os_init(void *cnt)
{
    auto *c = static_cast<vesk_mycustom_counter *>(cnt);
    sys_allocate<vesk_mycustom_data_os>(c, false);
    vesk_copy(c->report, "Os");
    return 1;
}

int os_update(void *cnt)
{
    vesk_mycustom_data_os *d = os_data(cnt);
    if (!d) return 0;

    os_identity id = identify_os(read_optional);
    d->os_name = id.name;
    d->os_version = id.ver;

    struct utsname u {};
    uname(&u);
    d->os_bit = vesk_report_text({u.machine, strnlen(u.machine, sizeof u.machine)}, 32);

    std::string text;
    d->vesk_memory_used = 0;
    if (vesk_read_file(get_proc_path("/proc/self/statm"), text)) {
        if (auto pages = parse_statm_resident(text)) {
            long page = sysconf(_SC_PAGESIZE);
            unsigned __int128 kib = static_cast<unsigned __int128>(*pages) * static_cast<uint64_t>(page > 0 ? page : 4096) / 1024;
            d->vesk_memory_used = kib > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(kib);
        }
    }
    d->open_files = 0;
    if (vesk_read_file(get_proc_path("/proc/sys/fs/file-nr"), text)) d->open_files = parse_file_nr(text).value_or(0);

    d->uptime_sec = 0;
    d->vesk_uptime_sec = 0;
    if (vesk_read_file(get_proc_path("/proc/uptime"), text)) {
        d->uptime_sec = parse_uptime_seconds(text);
        // The host's uptime read under another procfs root may be shorter than ours.
        d->vesk_uptime_sec = d->uptime_sec > config.uptime_at_startup ? d->uptime_sec - config.uptime_at_startup : 0;
    }
    d->ok = 1;
    return 1;
}

int os_tobson(void *cnt, bson *b)
{
    static const vesk_mycustom_data_os none{};
    const vesk_mycustom_data_os *d = os_data(cnt);
    if (!d || !d->ok) d = &none;
    vesk_bson_append_long(b, "ok", d->ok);
    vesk_bson_append_string(b, "os_bit", d->os_bit.c_str());
    vesk_bson_append_string(b, "os_name", d->os_name.c_str());
    vesk_bson_append_string(b, "os_version", d->os_version.c_str());
    vesk_bson_append_long(b, "vesk_memory_used", d->vesk_memory_used);
    vesk_bson_append_long(b, "open_files", static_cast<int64_t>(d->open_files));
    vesk_bson_append_long(b, "uptime_sec", d->uptime_sec);
    vesk_bson_append_long(b, "vesk_uptime_sec", d->vesk_uptime_sec);
    return 1;
}

int os_dump(void *cnt)
{
    auto *c = static_cast<vesk_mycustom_counter *>(cnt);
    static const vesk_mycustom_data_os none{};
    const vesk_mycustom_data_os *d = os_data(cnt);
    if (!d) d = &none;
    sys_dump_header(c, d->ok);
    printf("\tOS bit = %s\n", d->os_bit.c_str());
    printf("\tOS name = %s\n", d->os_name.c_str());
    printf("\tOS version = %s\n", d->os_version.c_str());
    printf("\tOS open files = %lu\n", static_cast<unsigned long>(d->open_files));
    printf("\tOS vesk mem used = %u\n", d->vesk_memory_used);
    printf("\tOS uptime = %ld\n", d->uptime_sec);
    printf("\tOS vesk uptime = %ld\n", d->vesk_uptime_sec);
    return 1;
}

int os_free(void *cnt)
{
    sys_release<vesk_mycustom_data_os>(static_cast<vesk_mycustom_counter *>(cnt));
    return 1;
}
