// The clocks: the wall clock for what the reports and lines show, the monotonic
// clock for the cycles and everything that measures a span, and their distance,
// which shows when the wall clock is set; and the wait on descriptors that the stop
// ends.
#pragma once

#include <poll.h>

#include <cstdint>
#include <ctime>

inline int64_t vesk_timespec_ms(const timespec &ts)
{
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

inline int64_t vesk_clock_ms(clockid_t id)
{
    timespec ts{};
    clock_gettime(id, &ts);
    return vesk_timespec_ms(ts);
}

inline int64_t vesk_wall_ms() { return vesk_clock_ms(CLOCK_REALTIME); }
inline int64_t vesk_mono_ms() { return vesk_clock_ms(CLOCK_MONOTONIC); }

inline int64_t vesk_timespec_ns(const timespec &ts)
{
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// How far the wall clock is from the monotonic clock, in nanoseconds. Only setting
// the wall clock changes it (slewing moves both clocks alike), and it is the same for
// every process, to well under a microsecond.
int64_t vesk_clock_offset_ns();

// poll() for at most timeout_ms, ended by the stop: -1 with ECANCELED when `stop` is
// set as it begins or a stop signal comes meanwhile; another signal gives -1 with
// EINTR, as poll. The stop signals stay blocked from the test of `stop` until the wait
// lets them in, so one that lands in between still ends the wait at once.
int vesk_ppoll(pollfd *fds, nfds_t n, int64_t timeout_ms);
// Tests only: called between that test and the wait. Null otherwise.
extern void (*vesk_ppoll_window_hook)();
