// The customs child: runs the script counters on their periods and hands their
// results to the parent through the customs shared-memory segment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <utility>

#include "vesk_owners.hpp"

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

// The link between the parent and the customs child: a pair of sockets made before
// the fork, each process keeping one end. After the wall clock leaps, the parent sends
// the latest time at which the child may begin one extra cycle, and the child sends
// the time it began it, so the parent reads its results two seconds later. Times are
// milliseconds of the monotonic clock, which both processes share.
extern unique_fd customs_link;
// A connected pair of ends; both empty when none can be made (the agent goes on
// without extra cycles).
std::pair<unique_fd, unique_fd> customs_link_pair();
// Sends one time; false when there is no link or the peer takes nothing.
bool customs_link_send(int64_t ms);
// Takes one time the peer sent; false when none waits. A peer that is gone closes the link.
bool customs_link_recv(int64_t *ms);
// The customs child's wait between looks: until that time, a time sent by the parent,
// or the stop.
void customs_link_wait(int64_t until_mono_ms);
