// The customs child's loop and the customs segment, written by the child and read by the parent.
#include "vesk_customs_core.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "encoding.hpp"
#include "vesk_config.hpp"
#include "vesk_core.hpp"
#include "vesk_custom.hpp"
#include "vesk_custom_alert.hpp"
#include "vesk_multicustom.hpp"
#include "vesk_shm.hpp"

namespace {

constexpr size_t kCustomSlot = sizeof(vesk_mycustom_data_custom);
constexpr size_t kMulticustomSlot = sizeof(vesk_multicustom_shared_data);

// Running orders of the two groups; empty when the group has no counter or the
// table could not be allocated, and the group then runs in slot order.
std::vector<vesk_exec_order> custom_exec_order;
std::vector<vesk_exec_order> multicustom_exec_order;

std::vector<vesk_exec_order> make_order(int n)
{
    std::vector<vesk_exec_order> order;
    try {
        order.reserve(static_cast<size_t>(n));
        for (int k = 0; k < n; k++) order.push_back({k, 0});
    } catch (const std::bad_alloc &) {
        order.clear();
    }
    return order;
}

void sort_order(std::vector<vesk_exec_order> &order)
{
    std::stable_sort(order.begin(), order.end(),
                     [](const vesk_exec_order &a, const vesk_exec_order &b) { return cmp_exec_order(&a, &b) < 0; });
}

// The period as the due test uses it; never below 1.
uint64_t period_of(int interval) { return interval < 1 ? 1 : static_cast<uint64_t>(interval); }

// Walks a group in its running order, or in slot order without a table, until the
// stop: no script starts after it.
template <typename Counter, typename Run>
void each_in_order(Counter *arr, int n, std::vector<vesk_exec_order> &order, Run run)
{
    bool ordered = static_cast<int>(order.size()) == n;
    for (int k = 0; k < n && !stop; k++) {
        int idx = ordered ? order[static_cast<size_t>(k)].index : k;
        if (idx < 0 || idx >= n) continue;
        run(arr[idx], idx, ordered ? &order[static_cast<size_t>(k)] : nullptr);
    }
}

// Runs the counter's update when it is due in this cycle, timing it for the running
// order, then its delta over the span between its own last two samples. `updated`
// and `must` are where the kind keeps its flags.
template <typename Counter, typename Announce>
void run_if_due(Counter &c, int *updated, int *must, vesk_exec_order *entry, uint64_t iteration, Announce announce)
{
    if (c.update) {
        if (updated) *updated = 0;
        bool due = iteration % period_of(c.interval) == 0;
        if (must) *must = due;
        if (due) {
            announce();
            struct timespec t0 {}, t1 {};
            clock_gettime(CLOCK_MONOTONIC, &t0);
            c.update(&c);
            clock_gettime(CLOCK_MONOTONIC, &t1);
            if (entry) entry->exec_time_us = (t1.tv_sec - t0.tv_sec) * 1000000L + (t1.tv_nsec - t0.tv_nsec) / 1000;
            sample_taken(c.sampled, vesk_timespec_ms(t1));
        }
    }
    if (c.delta) c.delta(&c, sample_span_ms(c.sampled, config.interval), iteration);
}

void run_custom(vesk_mycustom_counter &c, int idx, vesk_exec_order *entry, uint64_t iteration, char *seg)
{
    auto *d = static_cast<vesk_mycustom_data_custom *>(c.data);
    run_if_due(c, d ? &d->updated : nullptr, d ? &d->mustBeUpdated : nullptr, entry, iteration, [&] {
        if (config.debug)
            printf("[child] Counter '%s/%s': iteration=%lu, interval=%d, total_interval=%d seconds, will update\n",
                   c.report, c.id, static_cast<unsigned long>(iteration), c.interval,
                   script_total_interval(c.interval));
    });
    auto *dd = static_cast<vesk_mycustom_data_custom *>(c.data_delta);
    if (iteration > 0 && dd && seg) {
        if (dd->mustBeUpdated) {
            if (config.debug)
                printf("[child] Writing to SHM: counter '%s/%s': mustBeUpdated=%d, updated=%d, value=%f "
                       "(iteration=%lu)\n",
                       c.report, c.id, dd->mustBeUpdated, dd->updated, dd->value,
                       static_cast<unsigned long>(iteration));
            memcpy(seg + static_cast<size_t>(idx) * kCustomSlot, dd, kCustomSlot);
        } else if (config.debug) {
            printf("[child] Skipping SHM write for '%s/%s': mustBeUpdated=0, preserving last valid data "
                   "(iteration=%lu)\n",
                   c.report, c.id, static_cast<unsigned long>(iteration));
        }
    }
    if (config.debug && c.dump) c.dump(&c);
}

void run_multicustom(vesk_mymulticustom_counter &c, int idx, vesk_exec_order *entry, uint64_t iteration, char *seg)
{
    run_if_due(c, &c.updated, &c.mustBeUpdated, entry, iteration, [&] {
        if (multicustom_debug())
            printf("[child] Multicustom '%s': iteration=%lu, interval=%d, total_interval=%d seconds, will update\n",
                   c.report, static_cast<unsigned long>(iteration), c.interval, script_total_interval(c.interval));
    });
    if (seg) {
        if (c.mustBeUpdated) {
            if (multicustom_debug())
                printf("[child] Writing multicustom '%s' to SHM: updated=%d, count=%lu (iteration=%lu)\n", c.report,
                       c.updated, static_cast<unsigned long>(c.mc_count), static_cast<unsigned long>(iteration));
            auto *slot = reinterpret_cast<vesk_multicustom_shared_data *>(
                seg + stats.ncustom_counters * kCustomSlot + static_cast<size_t>(idx) * kMulticustomSlot);
            memcpy(slot->counters, c.data_delta, sizeof slot->counters);
            slot->count = static_cast<uint16_t>(std::min<uint64_t>(c.mc_count, VESK_MAX_MULTICUSTOM_VALUES));
            slot->updated = c.updated;
        } else if (multicustom_debug()) {
            printf("[child] Skipping SHM write for multicustom '%s': mustBeUpdated=0, preserving last valid data "
                   "(iteration=%lu)\n",
                   c.report, static_cast<unsigned long>(iteration));
        }
    }
    if (config.debug && c.dump) c.dump(&c);
}

// The segment of this cycle, created when missing; one retry after a failure.
shm_attachment attach_segment()
{
    int id = vesk_shm_create(config.shm_key, customs_segment_size());
    if (id < 0) {
        perror("shmget");
        id = vesk_shm_create(config.shm_key, customs_segment_size());
    }
    if (id < 0) return shm_attachment{};
    return vesk_shm_attach(id);
}

// Texts read back from the segment end in a 0 byte and are valid UTF-8.
template <size_t N>
void clean_text(char (&text)[N])
{
    text[N - 1] = '\0';
    vesk_copy_text(text, std::string_view(text));
}

void clean_alerts(int32_t &count, vesk_mycustom_agent_alert *alerts)
{
    count = std::clamp(count, 0, VESK_MAX_ALERTS);
    for (int i = 0; i < count; i++) clean_text(alerts[i].text);
}

void read_back_custom(vesk_mycustom_counter &c, char *slot)
{
    auto *dd = static_cast<vesk_mycustom_data_custom *>(c.data_delta);
    if (!dd) return;
    memcpy(dd, slot, kCustomSlot);
    dd->errors = dd->errors != 0;
    clean_alerts(dd->agent_alerts_count, dd->agent_alerts);
    if (config.debug)
        printf("[main] Read from SHM: counter '%s/%s': mustBeUpdated=%d, updated=%d, value=%f\n", c.report, c.id,
               dd->mustBeUpdated, dd->updated, dd->value);
    if (dd->mustBeUpdated && dd->updated) {
        reinterpret_cast<vesk_mycustom_data_custom *>(slot)->mustBeUpdated = 0;
        if (config.debug) printf("[main] Cleared mustBeUpdated in SHM for '%s/%s' (consumed)\n", c.report, c.id);
    }
}

void read_back_multicustom(vesk_mymulticustom_counter &c, int j, vesk_multicustom_shared_data *slot)
{
    int count = slot->count;
    int updated = slot->updated;
    if (multicustom_debug())
        printf("[pid %d] [mc %d] copying %ld bytes to delta @ %p for mc #%d (with %d cnt there, upd = %d)\n", getpid(),
               j, static_cast<long>(sizeof c.data_delta), static_cast<void *>(c.data_delta), j, count, updated);
    c.updated = updated;
    c.mc_count = static_cast<uint64_t>(std::min(count, VESK_MAX_MULTICUSTOM_VALUES));
    memcpy(c.data_delta, slot->counters, sizeof c.data_delta);
    for (uint64_t i = 0; i < c.mc_count; i++) {
        vesk_mymulticustom_data_custom &v = c.data_delta[i];
        clean_text(v.id);
        clean_alerts(v.agent_alerts_count, v.agent_alerts);
        if (multicustom_debug()) printf("\t[pid %d] mc %d[%d]: %s -> %f\n", getpid(), j, static_cast<int>(i), v.id, v.value);
    }
    if (updated) {
        slot->updated = 0;
        if (multicustom_debug()) printf("[main] Cleared updated in SHM for multicustom '%s' (consumed)\n", c.report);
    }
}

// Reaps runner children that a failed kill left behind.
void reap_strays()
{
    while (waitpid(-1, nullptr, WNOHANG) > 0) {}
}

} // namespace

int cmp_exec_order(const vesk_exec_order *a, const vesk_exec_order *b)
{
    if (a->exec_time_us > b->exec_time_us) return 1;
    if (a->exec_time_us < b->exec_time_us) return -1;
    return 0;
}

size_t customs_segment_size()
{
    return stats.ncustom_counters * kCustomSlot + stats.nmulticustom_counters * kMulticustomSlot;
}

int initCustomsCounters(time_t ts)
{
    if (config.debug) printf("[child %d] Init counters CHILD at %ld: customs... ", getpid(), static_cast<long>(ts));
    for (int i = 0; i < stats.ncustom_counters; i++) {
        vesk_mycustom_counter &c = stats.custom_counters[i];
        if (c.init && c.init(&c) != 0) return 1;
    }
    for (int i = 0; i < stats.nmulticustom_counters; i++) {
        vesk_mymulticustom_counter &c = stats.multicustom_counters[i];
        if (c.init && c.init(&c) != 0) return 1;
    }
    custom_exec_order = make_order(stats.ncustom_counters);
    multicustom_exec_order = make_order(stats.nmulticustom_counters);
    if (config.debug) printf("done\n");
    return 0;
}

void customs_cycle(uint64_t iteration)
{
    if (iteration > 0) {
        sort_order(custom_exec_order);
        sort_order(multicustom_exec_order);
    }
    shm_attachment seg = attach_segment();
    char *base = static_cast<char *>(seg.get());
    each_in_order(stats.custom_counters, stats.ncustom_counters, custom_exec_order,
                  [&](vesk_mycustom_counter &c, int idx, vesk_exec_order *entry) {
                      run_custom(c, idx, entry, iteration, base);
                  });
    each_in_order(stats.multicustom_counters, stats.nmulticustom_counters, multicustom_exec_order,
                  [&](vesk_mymulticustom_counter &c, int idx, vesk_exec_order *entry) {
                      run_multicustom(c, idx, entry, iteration, base);
                  });
}

void customs_loop()
{
    if (config.debug) printf("Starting customs loop in pid %d\n", getpid());
    uint64_t iteration = 0;
    cycle_clock clock(config.interval, config.randomsecond, 0, vesk_clock_origin_ns, clock_role::child);
    auto run_cycle = [&] {
        if (config.debug)
            printf("Customs loop iteration %lu at %ld\n", static_cast<unsigned long>(iteration),
                   static_cast<long>(vesk_wall_ms() / 1000));
        customs_cycle(iteration);
        if (config.debug) printf("Customs loop iteration done at %ld\n", static_cast<long>(time(nullptr)));
        if (++iteration >= VESK_MAX_ITERATION) {
            printf("WOW! iteration %llu\n", static_cast<unsigned long long>(VESK_MAX_ITERATION));
            iteration = 0;
        }
        reap_strays();
    };
    while (!stop) {
        int64_t mono = vesk_mono_ms();
        // After a leap of the wall clock the parent asks for one cycle at once, and
        // reads it two seconds after it began; at most one, however often it asks.
        bool extra = false;
        for (int64_t by; customs_link_recv(&by);) extra = cycle_clock::asked(by, mono) || extra;
        if (extra) {
            customs_link_send(mono);
            run_cycle();
            continue;
        }
        if (clock.due(mono, vesk_clock_offset_ns())) {
            clock.begin(mono);
            run_cycle();
            // Scripts that overran a due second are followed at once by one more cycle.
            if (clock.end(vesk_mono_ms())) continue;
        }
        // A stop that came during the cycle ends the loop now, not a second later.
        if (!stop) customs_link_wait(clock.next_look(vesk_mono_ms()));
    }
    if (config.debug) printf("Exiting customs loop\nclear shm\n");
    clear_shm();
}

void clear_shm()
{
    if (!stats.ncustom_counters && !stats.nmulticustom_counters) return;
    vesk_shm_remove(vesk_shm_lookup(config.shm_key, 0));
}

void freeCustomsCounters()
{
    if (config.debug) printf("Freeing counters: CHILD customs... ");
    for (int i = 0; i < stats.ncustom_counters; i++) {
        vesk_mycustom_counter &c = stats.custom_counters[i];
        if (c.free) c.free(&c);
    }
    for (int i = 0; i < stats.nmulticustom_counters; i++) {
        vesk_mymulticustom_counter &c = stats.multicustom_counters[i];
        if (c.free) c.free(&c);
    }
    custom_exec_order = {};
    multicustom_exec_order = {};
    if (config.debug) printf("done\n");
}

void customs_read_back()
{
    if (!stats.ncustom_counters && !stats.nmulticustom_counters) return;
    int id = vesk_shm_lookup(config.shm_key, customs_segment_size());
    if (id < 0) return;
    shm_attachment seg = vesk_shm_attach(id);
    if (!seg) return;
    char *base = static_cast<char *>(seg.get());
    for (int i = 0; i < stats.ncustom_counters; i++)
        read_back_custom(stats.custom_counters[i], base + static_cast<size_t>(i) * kCustomSlot);
    char *mc_base = base + stats.ncustom_counters * kCustomSlot;
    for (int j = 0; j < stats.nmulticustom_counters; j++)
        read_back_multicustom(stats.multicustom_counters[j], j,
                              reinterpret_cast<vesk_multicustom_shared_data *>(mc_base + j * kMulticustomSlot));
}

unique_fd customs_link;

std::pair<unique_fd, unique_fd> customs_link_pair()
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) return {};
    return {unique_fd(fds[0]), unique_fd(fds[1])};
}

bool customs_link_send(int64_t ms)
{
    return customs_link && send(customs_link.get(), &ms, sizeof ms, MSG_NOSIGNAL | MSG_DONTWAIT) == sizeof ms;
}

bool customs_link_recv(int64_t *ms)
{
    if (!customs_link) return false;
    int64_t v = 0;
    ssize_t n = recv(customs_link.get(), &v, sizeof v, MSG_DONTWAIT);
    if (n == sizeof v) {
        *ms = v;
        return true;
    }
    // The peer is gone: the link is of no more use, and would wake every wait.
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) customs_link.reset();
    return false;
}

void customs_link_wait(int64_t until_mono_ms)
{
    pollfd p{customs_link.get(), POLLIN, 0};
    vesk_ppoll(&p, customs_link ? 1 : 0, std::max<int64_t>(until_mono_ms - vesk_mono_ms(), 0));
}
