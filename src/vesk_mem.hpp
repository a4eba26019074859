// The mem counter: memory and swap use, swap rates, out-of-memory kills.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "vesk_types.hpp"

// Memory values in kB as the kernel gives them. In `data_delta`, `swapin` and
// `swapout` are pages per second; in the other buffers cumulative page counts.
struct vesk_mycustom_data_mem {
    int ok = 0;
    uint64_t memtotal = 0;
    uint64_t memfree = 0;
    uint64_t memused = 0;
    uint64_t membuffers = 0;
    uint64_t memcached = 0; // page cache, plus slab when mem_slab_as_cached is on
    uint64_t beanstalkd = 0; // never filled, never reported
    uint64_t swaptotal = 0;
    uint64_t swapfree = 0;
    uint64_t swapused = 0;
    uint64_t swapin = 0;
    uint64_t swapout = 0;
    uint64_t killed_process = 0; // out-of-memory kills since the previous successful update
};

// Where a successful update takes the out-of-memory kills seen since the previous
// call: the host-events module's OomGetKilled (tests put a fake in its place).
extern long long (*mem_kill_source)(void);

int mem_init(void *cnt);
int mem_update(void *cnt);
int mem_delta(void *cnt, uint32_t span_ms, uint64_t iteration);
int mem_tobson(void *cnt, bson *b);
int mem_dump(void *cnt);
int mem_free(void *cnt);

// The lines of /proc/meminfo the counter reads; a key the text lacks stays empty.
struct meminfo_values {
    std::optional<uint64_t> memtotal{}, memfree{}, cached{}, buffers{}, swaptotal{}, swapfree{};
    std::optional<uint64_t> slab{}, sreclaimable{}, sunreclaim{};
};
meminfo_values parse_meminfo(std::string_view text);

// Cumulative swap-in and swap-out page counts of /proc/vmstat.
struct vmstat_values {
    std::optional<uint64_t> pswpin, pswpout;
};
vmstat_values parse_vmstat(std::string_view text);

// Stores what /proc/meminfo gave into `d` (missing keys keep their values) and derives
// the cached and used figures.
void mem_apply_meminfo(vesk_mycustom_data_mem &d, const meminfo_values &v, bool slab_as_cached);
