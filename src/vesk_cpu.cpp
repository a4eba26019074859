// The cpu counter: shares of CPU time from /proc/stat, load average, CPU count, uptime.
#include "vesk_cpu.hpp"

#include <cstdio>
#include <string>
#include <unordered_set>

#include "bson.hpp"
#include "encoding.hpp"
#include "hostevents/hostevents.h"
#include "vesk_config.hpp"
#include "vesk_os.hpp"

namespace {

using cpu_data = vesk_mycustom_data_cpu;

// The nine states in the order of the /proc/stat line.
constexpr uint64_t cpu_data::*kStates[CPU_NSTATES] = {
    &cpu_data::user, &cpu_data::nice,    &cpu_data::system, &cpu_data::idle,  &cpu_data::iowait,
    &cpu_data::irq,  &cpu_data::softirq, &cpu_data::steal,  &cpu_data::guest,
};

cpu_data *buffer(void *p) { return static_cast<cpu_data *>(p); }
vesk_mycustom_counter *counter(void *cnt) { return static_cast<vesk_mycustom_counter *>(cnt); }

} // namespace

std::optional<cpu_stat_line> parse_stat(std::string_view text)
{
    std::string_view line;
    for (size_t pos = 0; vesk_next_line(text, pos, line);) {
        size_t at = 0;
        if (vesk_next_word(line, at) != "cpu") continue;
        cpu_stat_line out;
        while (out.count < CPU_NSTATES && vesk_parse_u64(vesk_next_word(line, at), out.ticks[out.count])) out.count++;
        return out;
    }
    return std::nullopt;
}

uint32_t count_stat_cpus(std::string_view text)
{
    std::unordered_set<std::string_view> seen;
    std::string_view line;
    for (size_t pos = 0; vesk_next_line(text, pos, line);) {
        size_t at = 0;
        std::string_view word = vesk_next_word(line, at);
        if (word.starts_with("cpu") && word != "cpu") seen.insert(word);
    }
    return static_cast<uint32_t>(seen.size());
}

std::vector<std::optional<double>> parse_cpuinfo(std::string_view text)
{
    std::vector<std::optional<double>> out;
    std::string_view line;
    for (size_t pos = 0; vesk_next_line(text, pos, line);) {
        if (!line.starts_with("cpu MHz")) continue;
        size_t at = 7;
        std::string_view colon = vesk_next_word(line, at);
        std::optional<double> mhz;
        if (colon == ":")
            mhz = sys_parse_double(vesk_next_word(line, at));
        else if (colon.starts_with(":"))
            mhz = sys_parse_double(colon.substr(1));
        out.push_back(mhz);
    }
    return out;
}

float parse_loadavg(std::string_view text)
{
    size_t pos = 0;
    auto v = sys_parse_double(vesk_next_word(text, pos));
    return v ? static_cast<float>(*v) : 0.0f;
}

void cpu_percentages(const cpu_data &cur, const cpu_data &prev, cpu_data &out)
{
    uint64_t diff[CPU_NSTATES];
    unsigned __int128 total = 0;
    for (int i = 0; i < CPU_NSTATES; i++) {
        const uint64_t c = cur.*kStates[i], p = prev.*kStates[i];
        // A counter that went back (a reset, or the kernel's own iowait accounting)
        // says nothing about this interval.
        diff[i] = c >= p ? c - p : 0;
        total += diff[i];
    }
    out.cputot = total > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(total);
    const unsigned __int128 divisor = total ? total : 1;
    for (int i = 0; i < CPU_NSTATES; i++)
        out.*kStates[i] = static_cast<uint64_t>(static_cast<unsigned __int128>(diff[i]) * 100 / divisor);
}

int cpu_init(void *cnt)
{
    vesk_mycustom_counter *c = counter(cnt);
    sys_allocate<cpu_data>(c, true);
    vesk_copy(c->report, "cpu");
    cpu_data *d = buffer(c->data);
    std::string text;
    if (!vesk_read_file(get_proc_path("/proc/stat"), text)) {
        d->ok = 0;
        d->ncpus = 0;
        return 0;
    }
    d->ncpus = count_stat_cpus(text);
    // A CPU that no "cpu MHz" line names reports 0.
    d->freq.assign(d->ncpus, 0.0);
    d->ok = 1;
    return 1;
}

int cpu_update(void *cnt)
{
    cpu_data *d = buffer(counter(cnt)->data);
    if (!d) return 0;
    std::string text;
    if (!vesk_read_file(get_proc_path("/proc/stat"), text)) {
        d->ok = 0;
        return 0;
    }
    if (auto line = parse_stat(text))
        for (int i = 0; i < line->count; i++) d->*kStates[i] = line->ticks[i];

    d->lavg = vesk_read_file(get_proc_path("/proc/loadavg"), text) ? parse_loadavg(text) : 0.0f;

    // Clock rates change; a host without /proc/cpuinfo keeps the last ones, and the
    // tick counts just read still make the counter ok.
    if (vesk_read_file(get_proc_path("/proc/cpuinfo"), text)) {
        std::vector<std::optional<double>> mhz = parse_cpuinfo(text);
        for (size_t i = 0; i < mhz.size() && i < d->freq.size(); i++)
            if (mhz[i]) d->freq[i] = *mhz[i];
    }
    d->uptime = GetUptime();
    d->ok = 1;
    return 1;
}

int cpu_delta(void *cnt, uint32_t, uint64_t iteration)
{
    return sys_scalar_delta<cpu_data>(counter(cnt), iteration, cpu_percentages);
}

int cpu_tobson(void *cnt, bson *b)
{
    static const cpu_data none{};
    const cpu_data *d = buffer(counter(cnt)->data_delta);
    if (!d) d = &none;
    vesk_bson_append_double(b, "lavg", static_cast<double>(d->lavg));
    vesk_bson_append_long(b, "ncpu", d->ncpus);
    vesk_bson_append_start_object(b, "cpu");
    const bool ok = d->ok != 0;
    auto pct = [&](const char *key, uint64_t v) { vesk_bson_append_long(b, key, ok ? static_cast<int64_t>(v) : 0); };
    pct("ok", 1);
    pct("guest", d->guest);
    pct("idle", d->idle);
    pct("iowait", d->iowait);
    pct("irq", d->irq);
    pct("nice", d->nice);
    pct("softirq", d->softirq);
    pct("steal", d->steal);
    pct("system", d->system);
    pct("user", d->user);
    if (ok) {
        vesk_bson_append_double(b, "uptime", d->uptime);
        vesk_bson_append_start_object(b, "freq");
        char key[32];
        for (size_t i = 0; i < d->freq.size(); i++) {
            snprintf(key, sizeof key, "cpu%zu", i);
            vesk_bson_append_double(b, key, d->freq[i]);
        }
        vesk_bson_append_finish_object(b);
    } else {
        vesk_bson_append_long(b, "uptime", 0);
        vesk_bson_append_long(b, "freq", 0);
    }
    vesk_bson_append_finish_object(b);
    return 1;
}

int cpu_dump(void *cnt)
{
    vesk_mycustom_counter *c = counter(cnt);
    static const cpu_data none{};
    const cpu_data *d = buffer(c->data_delta);
    if (!d) d = &none;
    sys_dump_header(c, d->ok);
    sys_dump_values({{"guest", d->guest},
                     {"idle", d->idle},
                     {"iowait", d->iowait},
                     {"irq", d->irq},
                     {"nice", d->nice},
                     {"softirq", d->softirq},
                     {"steal", d->steal},
                     {"system", d->system},
                     {"user", d->user}});
    printf("\tuptime = %ld\n", sys_whole_seconds(d->uptime));
    for (size_t i = 0; i < d->freq.size(); i++) printf("\tfreq cpu%zu = %lf\n", i, d->freq[i]);
    return 1;
}

int cpu_free(void *cnt)
{
    sys_release<cpu_data>(counter(cnt));
    return 1;
}
