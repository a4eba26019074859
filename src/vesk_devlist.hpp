// What the mount, disk and net counters share: the device list, the paired-rate
// delta, the names they report and the read of a whole kernel file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bson.hpp"

// Names of mount points, devices and interfaces are reported in at most this many bytes.
inline constexpr size_t VESK_DEVNAME_MAX = 255;

// A text from outside the agent as the report carries it: valid UTF-8, cut on a
// character boundary to at most max_bytes bytes.
std::string vesk_report_text(std::string_view raw, size_t max_bytes);

// Reads the whole file into `out`; false when it cannot be opened or read.
bool vesk_read_file(const char *path, std::string &out);

// The next whitespace-separated word of `text` from `pos`; empty at the end.
std::string_view vesk_next_word(std::string_view text, size_t &pos);

// The leading decimal digits of `word` as an unsigned number; false when it does not
// begin with a digit or does not fit.
bool vesk_parse_u64(std::string_view word, uint64_t &value);

// The next line of `text` from `pos` (without its newline); false at the end.
bool vesk_next_line(std::string_view text, size_t &pos, std::string_view &line);

// Per-second rate of a cumulative count over `span_ms` milliseconds, truncated. A
// count that went down means the device or interface was re-created (or the counter
// wrapped): that span gives 0 rather than a wrapped difference.
inline uint64_t vesk_counter_rate(uint64_t cur, uint64_t prev, uint32_t span_ms)
{
    if (cur < prev) return 0;
    unsigned __int128 r = static_cast<unsigned __int128>(cur - prev) * 1000 / (span_ms ? span_ms : 1);
    return r > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(r);
}

// Entries in index order: the entry at position i has index i + 1. The list grows as
// needed, so it never runs out of indices.
template <typename Entry>
struct device_list {
    std::vector<Entry> entries;

    void clear() { entries.clear(); }
    Entry &append(Entry e)
    {
        e.index = static_cast<int32_t>(entries.size() + 1);
        entries.push_back(std::move(e));
        return entries.back();
    }
    // The first entry of that name, or null.
    const Entry *find(std::string_view name) const
    {
        for (const Entry &e : entries)
            if (e.device == name) return &e;
        return nullptr;
    }
};

// The paired-rate delta of the disk and net counters. `rates(cur, prev, out)` fills
// the rates of one device found in both samples. Records have `ok` and `list`.
template <typename Record, typename Rates>
void vesk_paired_delta(const Record &data, Record &prev, Record &delta, uint64_t iteration, Rates rates)
{
    delta.list.clear();
    if (iteration != 0 && data.ok && prev.ok) {
        for (const auto &cur : data.list.entries) {
            const auto *old = prev.list.find(cur.device);
            if (!old) continue;
            auto &out = delta.list.append({});
            out.device = cur.device;
            out.ok = (cur.ok && old->ok) ? 1 : 0;
            rates(cur, *old, out);
        }
        delta.ok = 1;
    } else {
        delta.ok = 0;
    }
    // Copy-assignment keeps the vectors' storage, so a steady host allocates nothing here.
    prev.list.entries = data.list.entries;
    prev.ok = data.ok;
}

// Writes `object` holding one embedded object per entry whose `ok` is set, in index
// order, named by the entry and opening with "ok" and "name"; `values(entry)` appends
// the rest. The object is empty when the record is not ok.
template <typename Record, typename Values>
void vesk_devlist_tobson(bson *b, const char *object, const Record *d, Values values)
{
    vesk_bson_append_start_object(b, object);
    if (d && d->ok) {
        for (const auto &e : d->list.entries) {
            if (!e.ok) continue;
            vesk_bson_append_start_object(b, e.device.c_str());
            vesk_bson_append_long(b, "ok", 1);
            vesk_bson_append_string(b, "name", e.device.c_str());
            values(e);
            vesk_bson_append_finish_object(b);
        }
    }
    vesk_bson_append_finish_object(b);
}
