// The customs child: runs the script counters on their periods and hands their
// results to the parent through the customs shared-memory segment.
#pragma once

#include <ctime>

// Customs child entry points.
int initCustomsCounters(time_t ts);
void customs_loop();
void freeCustomsCounters();

// Parent side: copies the customs records from the segment into the counters.
void customs_read_back();
