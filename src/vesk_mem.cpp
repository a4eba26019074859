// The mem counter: /proc/meminfo and vmstat, swap rates, out-of-memory kills.
#include "vesk_mem.hpp"

#include <cstdio>
#include <string>

#include "bson.hpp"
#include "encoding.hpp"
#include "hostevents/hostevents.h"
#include "vesk_config.hpp"
#include "vesk_os.hpp"

namespace {

using mem_data = vesk_mycustom_data_mem;

mem_data *buffer(void *p) { return static_cast<mem_data *>(p); }
vesk_mycustom_counter *counter(void *cnt) { return static_cast<vesk_mycustom_counter *>(cnt); }

// a - b, or 0 when b is larger: memory in use is never negative, even when the
// kernel's figures are sampled at slightly different moments.
uint64_t less_or_zero(unsigned __int128 a, unsigned __int128 b) { return a > b ? static_cast<uint64_t>(a - b) : 0; }

// Calls `store(key, value)` for each line of word-and-number pairs.
template <typename Store>
void each_pair(std::string_view text, Store store)
{
    std::string_view line;
    for (size_t pos = 0; vesk_next_line(text, pos, line);) {
        size_t at = 0;
        std::string_view key = vesk_next_word(line, at);
        uint64_t v = 0;
        if (vesk_parse_u64(vesk_next_word(line, at), v)) store(key, v);
    }
}

} // namespace

long long (*mem_kill_source)(void) = OomGetKilled;

meminfo_values parse_meminfo(std::string_view text)
{
    meminfo_values v;
    each_pair(text, [&](std::string_view key, uint64_t n) {
        if (key == "MemTotal:") v.memtotal = n;
        else if (key == "MemFree:") v.memfree = n;
        else if (key == "Cached:") v.cached = n;
        else if (key == "Buffers:") v.buffers = n;
        else if (key == "SwapTotal:") v.swaptotal = n;
        else if (key == "SwapFree:") v.swapfree = n;
        else if (key == "Slab:") v.slab = n;
        else if (key == "SReclaimable:") v.sreclaimable = n;
        else if (key == "SUnreclaim:") v.sunreclaim = n;
    });
    return v;
}

vmstat_values parse_vmstat(std::string_view text)
{
    vmstat_values v;
    each_pair(text, [&](std::string_view key, uint64_t n) {
        if (key == "pswpin") v.pswpin = n;
        else if (key == "pswpout") v.pswpout = n;
    });
    return v;
}

void mem_apply_meminfo(mem_data &d, const meminfo_values &v, bool slab_as_cached)
{
    if (v.memtotal) d.memtotal = *v.memtotal;
    if (v.memfree) d.memfree = *v.memfree;
    if (v.buffers) d.membuffers = *v.buffers;
    if (v.swaptotal) d.swaptotal = *v.swaptotal;
    if (v.swapfree) d.swapfree = *v.swapfree;
    if (v.cached) {
        d.memcached = *v.cached;
        // Slab is added to a fresh page-cache figure only: a kept value already holds it.
        if (slab_as_cached) {
            uint64_t slab = v.slab.value_or(0);
            d.memcached += slab ? slab : v.sreclaimable.value_or(0) + v.sunreclaim.value_or(0);
        }
    }
    unsigned __int128 taken = static_cast<unsigned __int128>(d.membuffers) + d.memfree + d.memcached;
    d.memused = less_or_zero(d.memtotal, taken);
    d.swapused = less_or_zero(d.swaptotal, d.swapfree);
}

int mem_init(void *cnt)
{
    vesk_mycustom_counter *c = counter(cnt);
    sys_allocate<mem_data>(c, true);
    if (config.oom_watcher) InitOomKilled();
    vesk_copy(c->report, "Mem");
    return 1;
}

int mem_update(void *cnt)
{
    mem_data *d = buffer(counter(cnt)->data);
    if (!d) return 0;
    // Kills are taken from the watcher only by a successful update; until then they
    // wait there, and the count of an earlier update is not sent a second time.
    d->killed_process = 0;
    std::string text;
    if (!vesk_read_file(get_proc_path("/proc/meminfo"), text)) {
        d->ok = 0;
        return 0;
    }
    mem_apply_meminfo(*d, parse_meminfo(text), config.mem_slab_as_cached != 0);
    if (!vesk_read_file(get_proc_path("/proc/vmstat"), text)) {
        d->ok = 0;
        return 0;
    }
    vmstat_values vm = parse_vmstat(text);
    if (vm.pswpin) d->swapin = *vm.pswpin;
    if (vm.pswpout) d->swapout = *vm.pswpout;
    if (config.oom_watcher) {
        long long killed = mem_kill_source();
        d->killed_process = killed > 0 ? static_cast<uint64_t>(killed) : 0;
    }
    d->ok = 1;
    return 1;
}

int mem_delta(void *cnt, uint32_t span_ms, uint64_t iteration)
{
    return sys_scalar_delta<mem_data>(counter(cnt), iteration, [span_ms](const mem_data &cur, const mem_data &prev, mem_data &out) {
        out.swapin = vesk_counter_rate(cur.swapin, prev.swapin, span_ms);
        out.swapout = vesk_counter_rate(cur.swapout, prev.swapout, span_ms);
    });
}

int mem_tobson(void *cnt, bson *b)
{
    static const mem_data none{};
    const mem_data *d = buffer(counter(cnt)->data_delta);
    if (!d) d = &none;
    const bool ok = d->ok != 0;
    auto put = [&](const char *key, uint64_t v) { vesk_bson_append_long(b, key, ok ? static_cast<int64_t>(v) : 0); };
    vesk_bson_append_start_object(b, "mem");
    put("ok", 1);
    put("free", d->memfree);
    put("used", d->memused);
    put("buffers", d->membuffers);
    put("cached", d->memcached);
    put("swapfree", d->swapfree);
    put("swapused", d->swapused);
    put("swapin", d->swapin);
    put("swapout", d->swapout);
    vesk_bson_append_long(b, "killed_process", static_cast<int64_t>(d->killed_process));
    vesk_bson_append_finish_object(b);
    return 1;
}

int mem_dump(void *cnt)
{
    vesk_mycustom_counter *c = counter(cnt);
    static const mem_data none{};
    const mem_data *d = buffer(c->data);
    if (!d) d = &none;
    sys_dump_header(c, d->ok);
    sys_dump_values({{"MEM total", d->memtotal},
                     {"MEM free", d->memfree},
                     {"MEM used", d->memused},
                     {"MEM buffers", d->membuffers},
                     {"MEM cached", d->memcached},
                     {"Swap total", d->swaptotal},
                     {"Swap free", d->swapfree},
                     {"Swap used", d->swapused},
                     {"Swap in", d->swapin},
                     {"Swap out", d->swapout},
                     {"Killed_process", d->killed_process}});
    return 1;
}

int mem_free(void *cnt)
{
    sys_release<mem_data>(counter(cnt));
    if (config.oom_watcher) CloseOomKilled();
    return 1;
}
