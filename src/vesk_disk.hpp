// The disk counter: per-device I/O rates from sysfs and /proc/diskstats.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "vesk_devlist.hpp"
#include "vesk_types.hpp"

// Cumulative in `data` and `data_prev`, per second in `data_delta`.
struct mibdisk {
    // In `data`: found in the disk statistics; in the delta: found in both samples.
    int ok = 0;
    int32_t index = 0;
    std::string device{};
    uint64_t rbytes = 0;   // read operations (a count, not bytes)
    uint64_t wbytes = 0;   // write operations
    uint64_t rticks = 0;   // ms reading
    uint64_t wticks = 0;   // ms writing
    uint64_t tticks = 0;   // ms doing I/O
    uint64_t sRead = 0;    // sectors read
    uint64_t sWritten = 0; // sectors written
    float busy = 0;        // delta: busy share of the interval, percent
    float avio = 0;        // delta: ms of I/O per operation
};

struct vesk_mycustom_data_disk {
    int ok = 0;
    device_list<mibdisk> list;
};

// One line of /proc/diskstats: the device name and the seven counts the counter keeps
// (in a mibdisk with ok 1). Fields that a short line lacks stay 0.
struct diskstats_row {
    std::string_view name;
    mibdisk counts;
};
std::vector<diskstats_row> parse_diskstats(std::string_view text);

// Whether a block device that has a device link is reported: "sd" devices always,
// others when not removable.
bool disk_selected(std::string_view name, bool removable);

// Elapsed milliseconds per CPU over the interval, from the cpu counter's tick total.
double disk_mstot(uint64_t cputot, uint32_t ncpus, long ticks_per_second);

// The rates of one device from two samples `span_ms` milliseconds apart.
void disk_rates(const mibdisk &cur, const mibdisk &prev, uint32_t span_ms, double mstot, mibdisk &out);

int disk_init(void *cnt);
int disk_update(void *cnt);
int disk_delta(void *cnt, uint32_t span_ms, uint64_t iteration);
int disk_tobson(void *cnt, bson *b);
int disk_dump(void *cnt);
int disk_free(void *cnt);
