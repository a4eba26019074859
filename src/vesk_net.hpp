// The net counter: per-interface traffic from /proc/net/dev.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "vesk_devlist.hpp"
#include "vesk_types.hpp"

struct mibnet {
    // In `data`: the counter's ok before the update that read the entry; in the
    // delta: 1 when non-zero in both samples.
    int ok = 0;
    int32_t index = 0;
    std::string device{};
    uint64_t sbytes = 0; // sent; bytes per second in the delta
    uint64_t rbytes = 0; // received; bytes per second in the delta
};

struct vesk_mycustom_data_net {
    int ok = 0;
    device_list<mibnet> list;
};

// One interface line of /proc/net/dev, raw name and counts as the kernel gives them.
struct net_dev_row {
    std::string_view name;
    uint64_t rbytes = 0;
    uint64_t sbytes = 0;
};

// The interface lines of /proc/net/dev text (the two header lines skipped), in file
// order, duplicates included.
std::vector<net_dev_row> parse_net_dev(std::string_view text);

int net_init(void *cnt);
int net_update(void *cnt);
int net_delta(void *cnt, uint32_t span_ms, uint64_t iteration);
int net_tobson(void *cnt, bson *b);
int net_dump(void *cnt);
int net_free(void *cnt);
