// The customs child: runs the script counters on their periods and hands their
// results to the parent through the customs shared-memory segment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

// One entry of a running order: a counter's slot and its last run time.
struct vesk_exec_order {
    int index;
    long exec_time_us;
};

// The order of the sort: 1 when a ran longer than b, -1 when shorter, 0 when equal.
int cmp_exec_order(const vesk_exec_order *a, const vesk_exec_order *b);

// Bytes of the customs segment: one 2,640-byte record per custom counter, then one
// 1,470,472-byte slot per multicustom counter.
size_t customs_segment_size();

// Customs child entry points.
int initCustomsCounters(time_t ts);
void customs_loop();
void freeCustomsCounters();
// One cycle of the child: runs the due counters and writes their results.
void customs_cycle(uint64_t iteration);
// Removes the customs segment, when there are script counters.
void clear_shm();

// Parent side: copies the customs records from the segment into the counters.
void customs_read_back();
