// The clocks in milliseconds: the wall clock for the cycles' seconds, the monotonic
// clock for everything that measures a span.
#pragma once

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
