// The wait on descriptors that the stop ends.
#include "vesk_clock.hpp"

#include <algorithm>
#include <cerrno>

#include "vesk_owners.hpp"
#include "vesk_types.hpp"

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
