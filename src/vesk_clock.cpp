// The clocks' distance, and the wait on descriptors that the stop ends.
#include "vesk_clock.hpp"

#include <algorithm>
#include <cerrno>
#include <limits>

#include "vesk_owners.hpp"
#include "vesk_types.hpp"

int64_t vesk_clock_offset_ns()
{
    // Read between two looks at the monotonic clock, the closest pair of three.
    int64_t best = 0, window = std::numeric_limits<int64_t>::max();
    for (int i = 0; i < 3; i++) {
        timespec before{}, wall{}, after{};
        clock_gettime(CLOCK_MONOTONIC, &before);
        clock_gettime(CLOCK_REALTIME, &wall);
        clock_gettime(CLOCK_MONOTONIC, &after);
        const int64_t a = vesk_timespec_ns(before), b = vesk_timespec_ns(after);
        if (b - a < window) {
            window = b - a;
            best = vesk_timespec_ns(wall) - (a + (b - a) / 2);
        }
    }
    return best;
}

void (*vesk_ppoll_window_hook)() = nullptr;

int vesk_ppoll(pollfd *fds, nfds_t n, int64_t timeout_ms)
{
    stop_signals_blocked blocked;
    if (stop) {
        errno = ECANCELED;
        return -1;
    }
    if (vesk_ppoll_window_hook) vesk_ppoll_window_hook();
    timeout_ms = std::max<int64_t>(timeout_ms, 0);
    const timespec wait{static_cast<time_t>(timeout_ms / 1000), static_cast<long>(timeout_ms % 1000) * 1000000L};
    int r = ppoll(fds, n, &wait, &blocked.before());
    if (r < 0 && errno == EINTR && stop) errno = ECANCELED;
    return r;
}
