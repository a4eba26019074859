// The counter registry's passes and the parent's one-second loop of report cycles.
#include "vesk_core.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hostevents/hostevents.h"
#include "vesk_config.hpp"
#include "vesk_cpu.hpp"
#include "vesk_custom_alert.hpp"
#include "vesk_customs_core.hpp"
#include "vesk_docker_core.hpp"
#include "vesk_log.hpp"
#include "vesk_mem.hpp"
#include "vesk_networking.hpp"
#include "vesk_os.hpp"
#include "vesk_plugin.hpp"
#include "vesk_socket.hpp"
#include "vesk_mount.hpp"
#include "vesk_disk.hpp"
#include "vesk_net.hpp"

vesk_stats stats;
volatile sig_atomic_t stop = 0;

namespace {

// Progress line of a pass, printed only with --debug.
void progress(const char *text)
{
    if (config.debug) fputs(text, stdout);
}

// Runs `op` over slots 0 .. count-1; the count is read again after each counter.
template <typename Counter, typename Count, typename Op>
void each(Counter *arr, const Count &count, Op op)
{
    for (int i = 0; i < static_cast<int>(count); i++) op(arr[i]);
}

// Calls one slot of every counter of a group that has it.
template <typename Counter, typename Count, typename Slot>
void run_slot(Counter *arr, const Count &count, Slot slot)
{
    each(arr, count, [&](Counter &c) {
        if (c.*slot) (c.*slot)(&c);
    });
}

// A plug-in entry point over every plug-in counter, with its progress and error lines;
// with `until_stop`, only until the stop.
template <typename Call>
void plugin_pass(const char *before, const char *error, Call call, bool until_stop = false)
{
    for (ge_plugin_counter *pc = stats.plugin_counters; pc && !(until_stop && stop); pc = pc->next) {
        printf(before, pc->plugin->prefix, pc->handle);
        if (!call(pc) && error) _vesk_log(LOG_LEVEL_ERROR, error, pc->plugin->name, ge_plugin_last_error(pc->plugin));
    }
}

using mc = vesk_mycustom_counter;
using mmc = vesk_mymulticustom_counter;

template <typename Counter>
void init_script_group(Counter *arr, const uint16_t &count, const char *kind)
{
    each(arr, count, [&](Counter &c) {
        if (c.init && c.init(&c) != 0) {
            fprintf(stderr, "[error] [pid %d] could not initialize %s counters, exiting with code 2\n", getpid(), kind);
            exit(2);
        }
    });
}

} // namespace

void remove_newline_ch(char *line)
{
    size_t len = strlen(line);
    if (len > 0 && line[len - 1] == '\n') line[len - 1] = '\0';
}

// The seven system counters, in registry order: os, mem, cpu, socket, mount, disk, net.
static const mycustom_ops kCoreOps[VESK_MAX_CORE] = {
    {.init = os_init, .update = os_update, .tobson = os_tobson, .dump = os_dump, .free = os_free},
    {.init = mem_init, .update = mem_update, .delta = mem_delta, .tobson = mem_tobson, .dump = mem_dump, .free = mem_free},
    {.init = cpu_init, .update = cpu_update, .delta = cpu_delta, .tobson = cpu_tobson, .dump = cpu_dump, .free = cpu_free},
    {.init = socket_init, .update = socket_update, .tobson = socket_tobson, .dump = socket_dump, .free = socket_free},
    {.init = mount_init, .update = mount_update, .tobson = mount_tobson, .dump = mount_dump, .free = mount_free},
    {.init = disk_init, .update = disk_update, .delta = disk_delta, .tobson = disk_tobson, .dump = disk_dump,
     .free = disk_free},
    {.init = net_init, .update = net_update, .delta = net_delta, .tobson = net_tobson, .dump = net_dump,
     .free = net_free},
};

const mycustom_ops &core_counter_ops(int index) { return kCoreOps[index]; }

void setCoreCounters()
{
    progress("set core counters...");
    stats.ncore_counters = VESK_MAX_CORE;
    for (int i = 0; i < VESK_MAX_CORE; i++) mycustom_set(&stats.core_counters[i], nullptr, kCoreOps[i]);
    progress("done\n");
}

void initPlugins() { init_go_module(&config); }

void unloadPlugins()
{
    _vesk_log(LOG_LEVEL_INFO, "\33[0;32m[info] unloading plugins\33[0;0m\n");
    ge_plugin_unload_all();
}

void initCounters(time_t ts)
{
    if (config.debug) printf("Init counters parent at %ld: customs...", static_cast<long>(ts));
    init_script_group(stats.custom_counters, stats.ncustom_counters, "custom");
    progress("done\nmulticustoms...");
    init_script_group(stats.multicustom_counters, stats.nmulticustom_counters, "multicustom");
    progress("done\ncore...");
    run_slot(stats.core_counters, stats.ncore_counters, &mc::init);
    progress("done\nmysqls...");
    if (config.mysql_handle)
        run_slot(stats.mysql_counters, stats.nmysql_counters, &mc::init);
    else
        progress("none (no mysql_handle)...");
    progress("done\nmycustoms...");
    run_slot(stats.mycustom_counters, stats.nmycustoms, &mc::init);
    progress("done\nplugins...");
    plugin_pass("\ninitializing %s #%d counter\n", "\33[0;31m[error] cannot init plugin %s: %s\33[0;0m\n",
                [](ge_plugin_counter *pc) { return pc->plugin->initialize(pc->handle); });
    progress("done\nmemcaches...");
    run_slot(stats.memcache_counters, stats.nmemcache_counters, &mc::init);
    progress("done\nbeanstalks...");
    run_slot(stats.beanstalk_counters, stats.nbeanstalk_counters, &mc::init);
    progress("done\nredises...");
    run_slot(stats.redis_counters, stats.nredis_counters, &mc::init);
    progress("done\n");
}

void reinitCounters(time_t ts)
{
    if (config.debug) printf("Reinit counters at %ld: core...", static_cast<long>(ts));
    run_slot(stats.core_counters, stats.ncore_counters, &mc::reinit);
    progress("done\nmysqls...");
    run_slot(stats.mysql_counters, stats.nmysql_counters, &mc::reinit);
    progress("done\nmycustoms...");
    run_slot(stats.mycustom_counters, stats.nmycustoms, &mc::reinit);
    progress("done\nplugins...");
    plugin_pass("\nre-initializing %s #%d counter\n", "\33[0;31m[error] cannot re-init plugin %s: %s\33[0;0m\n",
                [](ge_plugin_counter *pc) { return pc->plugin->reinitialize(pc->handle); });
    progress("done\nmymulticustoms...");
    run_slot(stats.multicustom_counters, stats.nmulticustom_counters, &mmc::reinit);
    progress("done\nmemcaches...");
    run_slot(stats.memcache_counters, stats.nmemcache_counters, &mc::reinit);
    progress("done\nbeanstalkss...");
    run_slot(stats.beanstalk_counters, stats.nbeanstalk_counters, &mc::reinit);
    progress("done\nredises...");
    run_slot(stats.redis_counters, stats.nredis_counters, &mc::reinit);
    progress("done\n");
}

void updateCounters(int64_t (*mono_ms)())
{
    // Each counter's sample is stamped as its update returns. A cycle stopped half-way
    // sends nothing, so the counters after the stop are not asked at all.
    auto update = [mono_ms](auto &c) {
        if (stop || !c.update) return;
        c.update(&c);
        sample_taken(c.sampled, mono_ms());
    };
    progress("update: core...");
    vesk_docker_update(config.docker);
    each(stats.core_counters, stats.ncore_counters, update);
    progress("done\nmysqls...");
    each(stats.mysql_counters, stats.nmysql_counters, update);
    progress("done\nmemcaches...");
    each(stats.memcache_counters, stats.nmemcache_counters, update);
    progress("done\nbeanstalks...");
    each(stats.beanstalk_counters, stats.nbeanstalk_counters, update);
    progress("done\nredises...");
    each(stats.redis_counters, stats.nredis_counters, update);
    progress("done\nmycustoms...");
    each(stats.mycustom_counters, stats.nmycustoms, update);
    progress("done\nplugins...");
    plugin_pass("\nupdating %s #%d counter\n", "\33[0;31m[error] cannot update plugin %s: %s\33[0;0m\n",
                [mono_ms](ge_plugin_counter *pc) {
                    int ok = pc->plugin->update(pc->handle);
                    sample_taken(pc->sampled, mono_ms());
                    return ok;
                },
                true);
    if (config.debug) printf("done\ncustoms PARENT... %ld", static_cast<long>(time(nullptr)));
    customs_read_back();
    progress("done\n");
}

void deltaCounters(uint64_t iteration)
{
    auto delta = [iteration](auto &c) {
        if (c.delta) c.delta(&c, sample_span_ms(c.sampled, config.interval), iteration);
    };
    progress("Calc delta: core...");
    each(stats.core_counters, stats.ncore_counters, delta);
    progress("done\nmysqls...");
    each(stats.mysql_counters, stats.nmysql_counters, delta);
    progress("done\nmycustoms...");
    each(stats.mycustom_counters, stats.nmycustoms, delta);
    progress("done\nplugins...");
    // Plug-ins keep their interface: whole seconds of their own span, at least 1.
    plugin_pass("\ndelta-ing %s #%d counter\n", "\33[0;31m[error] cannot get delta for plugin %s: %s\33[0;0m\n",
                [iteration](ge_plugin_counter *pc) {
                    uint64_t seconds = (uint64_t{sample_span_ms(pc->sampled, config.interval)} + 500) / 1000;
                    return pc->plugin->delta(pc->handle, static_cast<uint32_t>(std::max<uint64_t>(seconds, 1)),
                                             iteration);
                });
    progress("done\nmemcaches...");
    each(stats.memcache_counters, stats.nmemcache_counters, delta);
    progress("done\nbeanstalkss...");
    each(stats.beanstalk_counters, stats.nbeanstalk_counters, delta);
    progress("done\nredises...");
    each(stats.redis_counters, stats.nredis_counters, delta);
    progress("done\n");
}

void dumpCounters()
{
    // A group's marker gets an extra line feed when the group has counters.
    auto marker = [](const char *text, int count) {
        progress(text);
        if (count) progress("\n");
    };
    progress("Dump delta: core...");
    run_slot(stats.core_counters, stats.ncore_counters, &mc::dump);
    marker("done\nmysqls...", stats.nmysql_counters);
    run_slot(stats.mysql_counters, stats.nmysql_counters, &mc::dump);
    marker("done\ncustoms...", stats.ncustom_counters);
    run_slot(stats.custom_counters, stats.ncustom_counters, &mc::dump);
    marker("done\nmycustoms...", stats.nmycustoms);
    run_slot(stats.mycustom_counters, stats.nmycustoms, &mc::dump);
    progress("done\nplugins...");
    plugin_pass("\ndumping %s #%d counter\n", nullptr,
                [](ge_plugin_counter *pc) { return pc->plugin->dump(pc->handle); });
    marker("done\nmymulticustoms...", stats.nmulticustom_counters);
    run_slot(stats.multicustom_counters, stats.nmulticustom_counters, &mmc::dump);
    progress("done\nmemcaches...");
    run_slot(stats.memcache_counters, stats.nmemcache_counters, &mc::dump);
    progress("done\nbeanstalks...");
    run_slot(stats.beanstalk_counters, stats.nbeanstalk_counters, &mc::dump);
    progress("done\nredises...");
    run_slot(stats.redis_counters, stats.nredis_counters, &mc::dump);
    progress("done\n");
}

void freeCounters()
{
    progress("Freeing counters: core...\n");
    run_slot(stats.core_counters, stats.ncore_counters, &mc::free);
    progress("done\nmysqls...");
    if (stats.nmysql_counters) printf("\n");
    run_slot(stats.mysql_counters, stats.nmysql_counters, &mc::free);
    progress("done\nPARENT customs...");
    run_slot(stats.custom_counters, stats.ncustom_counters, &mc::free);
    progress("done\nmycustoms...");
    run_slot(stats.mycustom_counters, stats.nmycustoms, &mc::free);
    progress("done\nplugins...");
    plugin_pass("\nfreeing %s #%d counter\n", "\33[0;31m[error] cannot free plugin %s: %s\33[0;0m\n",
                [](ge_plugin_counter *pc) { return pc->plugin->free(pc->handle); });
    // The plug-in counters themselves go with the pass; their plug-ins are unloaded after it.
    for (ge_plugin_counter *pc = stats.plugin_counters; pc;) {
        ge_plugin_counter *next = pc->next;
        delete pc;
        pc = next;
    }
    stats.plugin_counters = nullptr;
    progress("done\nmymulticustoms...");
    run_slot(stats.multicustom_counters, stats.nmulticustom_counters, &mmc::free);
    progress("done\nmemcaches...");
    run_slot(stats.memcache_counters, stats.nmemcache_counters, &mc::free);
    progress("done\nbeanstalks...");
    run_slot(stats.beanstalk_counters, stats.nbeanstalk_counters, &mc::free);
    progress("done\nredises...");
    run_slot(stats.redis_counters, stats.nredis_counters, &mc::free);
    progress("done\n");
}

int countCustomErrors(const vesk_stats *s)
{
    int sum = 0;
    for (int i = 0; i < s->ncustom_counters; i++) {
        const auto *d = static_cast<const vesk_mycustom_data_custom *>(s->custom_counters[i].data_delta);
        if (d) sum += d->errors;
    }
    return sum;
}

namespace {

// Floor division and remainder, right for times before the epoch too.
int64_t floor_div(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }
int64_t floor_mod(int64_t a, int64_t b) { return a - floor_div(a, b) * b; }

} // namespace

int64_t vesk_clock_origin_ns = 0;

namespace {

// Nanoseconds to milliseconds, to the nearest.
int64_t nearest_ms(int64_t ns) { return floor_div(ns + 500000, 1000000); }

// The time between the parent's read of an extra cycle of the child and the child's
// next cycle: the parent's pass over its counters must fit in it.
constexpr int64_t kExtraPassMs = kReadBackDelay * 1000;

} // namespace

cycle_clock::cycle_clock(uint32_t interval, int randomsecond, int offset, int64_t origin_ns, clock_role role)
    : interval_(interval ? interval : 1), randomsecond_(floor_mod(randomsecond, interval_)), offset_(offset),
      origin_ms_(nearest_ms(origin_ns)), role_(role)
{
}

int64_t cycle_clock::due_at_or_after(int64_t s) const
{
    return s + floor_mod(randomsecond_ - (s - offset_), interval_);
}

int64_t cycle_clock::second_of(int64_t mono_ms) const { return floor_div(mono_ms + origin_ms_, 1000); }

bool cycle_clock::due(int64_t mono_ms, int64_t clock_offset_ns)
{
    // Far forward since the last look, as after the machine slept: one report at once.
    // The customs child's cycle must come first, so the parent of one asks for it.
    if (last_offset_ns_ && clock_offset_ns - *last_offset_ns_ > interval_ * 1000000000) {
        if (role_ == clock_role::alone) add_extra(mono_ms);
        // Not while an extra cycle asked of the child is still to be read: it serves.
        if (role_ == clock_role::parent && !asked_ && !extra_ms_) leap_pending_ = true;
    }
    last_offset_ns_ = clock_offset_ns;
    int64_t s = second_of(mono_ms);
    // The first look takes a due second only from its start: begun late in it, the
    // child's cycle would leave the parent's less than two seconds.
    if (!next_) next_ = due_at_or_after(mono_ms == mono_of(s) ? s : s + 1);
    return s >= *next_ || (extra_ms_ && mono_ms >= *extra_ms_);
}

cycle_clock::cycle cycle_clock::begin(int64_t mono_ms)
{
    int64_t s = second_of(mono_ms);
    if (!next_) next_ = due_at_or_after(s);
    cycle c{std::nullopt};
    leap_pending_ = false;
    asked_ = false;
    if (extra_ms_ && mono_ms >= *extra_ms_) extra_ms_.reset();
    if (s < *next_) {
        // An extra cycle between two due seconds: the schedule stays as it is.
        late_start_ms_.reset();
        return c;
    }
    // The due seconds this cycle serves: every one since the previous cycle began.
    // Whole minutes among them, as the wall clock reads them now, recur within 60
    // intervals, so no more are looked at.
    int64_t from = last_ ? *last_ + 1 : *next_;
    const int64_t moved_ms = last_offset_ns_ ? nearest_ms(*last_offset_ns_) - origin_ms_ : 0;
    for (int64_t d = due_at_or_after(std::max(from, s - 60 * interval_)); d <= s; d += interval_) {
        int64_t t = floor_div(d * 1000 + moved_ms, 1000) - offset_;
        if (floor_mod(t, 60) == 0) c.minute = t;
    }
    // A catch-up begins whenever the cycle before it ended, inside its due second too.
    bool late = s > *next_ || catch_up_;
    catch_up_ = false;
    if (late) late_start_ms_ = mono_ms;
    else late_start_ms_.reset();
    next_ = due_at_or_after(s + 1);
    last_ = s;
    return c;
}

bool cycle_clock::end(int64_t mono_ms)
{
    if (!next_) return false;
    if (second_of(mono_ms) >= *next_) return catch_up_ = true;
    // A late cycle that ended before the next due second serves it as well when
    // that second is less than half an interval after its start: two cycles a
    // moment apart would make a report of almost nothing.
    if (late_start_ms_ && mono_of(*next_) - *late_start_ms_ < interval_ * 500) next_ = *next_ + interval_;
    return false;
}

int64_t cycle_clock::next_look(int64_t mono_ms) const
{
    int64_t at = mono_of(second_of(mono_ms) + 1);
    if (extra_ms_) at = std::min(at, std::max(*extra_ms_, mono_ms));
    return at;
}

int64_t cycle_clock::child_next_ms(int64_t mono_ms) const
{
    // The child's cycles come kReadBackDelay before the parent's due seconds, whatever
    // this clock's own catching up does.
    return mono_of(due_at_or_after(second_of(mono_ms) + 1) - kReadBackDelay);
}

std::optional<int64_t> cycle_clock::ask(int64_t mono_ms)
{
    if (!leap_pending_) return std::nullopt;
    leap_pending_ = false;
    int64_t by = child_next_ms(mono_ms) - kReadBackDelay * 1000 - kExtraPassMs;
    if (mono_ms > by) return std::nullopt;
    asked_ = true;
    return by;
}

void cycle_clock::child_began(int64_t mono_ms)
{
    asked_ = false;
    // The child began no later than asked, so this read is over before its next cycle.
    add_extra(mono_ms + kReadBackDelay * 1000);
}

void cycle_clock::add_extra(int64_t at_ms) { extra_ms_ = extra_ms_ ? std::min(*extra_ms_, at_ms) : at_ms; }

void vesk_sleep_until(int64_t mono_ms)
{
    // On the monotonic clock, which setting the wall clock does not move. A signal
    // returns early with EINTR and the caller tests `stop`.
    timespec at{static_cast<time_t>(floor_div(mono_ms, 1000)), static_cast<long>(floor_mod(mono_ms, 1000)) * 1000000L};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
}

const main_loop_env main_loop_default_env = {
    vesk_wall_ms, vesk_mono_ms, vesk_clock_offset_ns, vesk_sleep_until, send_data, 0, nullptr, nullptr,
};

int main_loop()
{
    main_loop_env env = main_loop_default_env;
    if (customs_link) {
        env.ask_child = customs_link_send;
        env.child_began = customs_link_recv;
    }
    return main_loop_with(env);
}

int main_loop_with(const main_loop_env &env)
{
    progress("Starting main loop\n");
    if (stop) {
        progress("Exiting main loop\n");
        return 0;
    }
    uint64_t iteration = env.first_iteration;
    // Two seconds after the customs child's cycle, which the read-back relies on.
    cycle_clock clock(config.interval, config.randomsecond, kReadBackDelay, vesk_clock_origin_ns,
                      env.ask_child ? clock_role::parent : clock_role::alone);
    do {
        for (int64_t t; env.child_began && env.child_began(&t);) clock.child_began(t);
        int64_t mono = env.mono_ms();
        if (clock.due(mono, env.clock_offset_ns())) {
            cycle_clock::cycle c = clock.begin(mono);
            int64_t t = floor_div(env.wall_ms(), 1000) - 2;
            if (config.debug) printf("Main loop iteration at %ld\n", static_cast<long>(t));
            if (c.minute) reinitCounters(*c.minute);
            updateCounters(env.mono_ms);
            // Stopped during the update: the samples are partial, and nothing is sent.
            if (stop) break;
            deltaCounters(iteration);
            stats.custom_errors = countCustomErrors(&stats);
            if (config.debug) dumpCounters();
            if (iteration == 0) {
                iteration = 1; // cycle 0 only primes the counters' previous samples
            } else {
                iteration++;
                env.send();
                if (iteration >= VESK_MAX_ITERATION) {
                    printf("WOW! iteration %llu\n", static_cast<unsigned long long>(VESK_MAX_ITERATION));
                    iteration = 0;
                }
            }
            // A cycle that overran a due second is followed at once by one more
            // (after the test of `stop`).
            if (clock.end(env.mono_ms())) continue;
        }
        // After a leap of the wall clock, the customs child runs one cycle first; this
        // loop runs its own two seconds after the child says it began.
        if (std::optional<int64_t> by = clock.ask(env.mono_ms())) env.ask_child(*by);
        if (!stop) env.sleep_until(clock.next_look(env.mono_ms())); // a stop during the cycle ends the loop now
    } while (!stop);
    progress("Exiting main loop\n");
    return 0;
}
