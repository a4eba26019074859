// The counter registry, its passes and the parent's report cycle.
#pragma once

#include <csignal>
#include <cstdint>
#include <ctime>
#include <optional>

#include "mycustom.hpp"
#include "vesk_clock.hpp"
#include "vesk_multicustom.hpp"
#include "vesk_types.hpp"

inline constexpr int VESK_MAX_CORE = 7;
inline constexpr int VESK_MAX_MYSQL = 16;
inline constexpr int VESK_MAX_CUSTOM = 512;
inline constexpr int VESK_MAX_MULTICUSTOM = 16;
inline constexpr int VESK_MAX_MYCUSTOM = 128;
inline constexpr int VESK_MAX_MEMCACHE = 32;
inline constexpr int VESK_MAX_BEANSTALK = 16;
inline constexpr int VESK_MAX_REDIS = 16;

// The cycle number wraps here; the next cycle primes the counters again.
inline constexpr uint64_t VESK_MAX_ITERATION = 1163962800ULL;

struct vesk_stats {
    uint8_t ok;
    uint8_t ncore_counters;
    vesk_mycustom_counter core_counters[VESK_MAX_CORE];
    uint8_t nmysql_counters;
    vesk_mycustom_counter mysql_counters[VESK_MAX_MYSQL];
    uint16_t ncustom_counters;
    vesk_mycustom_counter custom_counters[VESK_MAX_CUSTOM];
    uint16_t nmulticustom_counters;
    vesk_mymulticustom_counter multicustom_counters[VESK_MAX_MULTICUSTOM];
    ge_plugin_counter *plugin_counters;
    uint16_t nmycustoms;
    int custom_errors;
    vesk_mycustom_counter mycustom_counters[VESK_MAX_MYCUSTOM];
    uint8_t nmemcache_counters;
    vesk_mycustom_counter memcache_counters[VESK_MAX_MEMCACHE];
    uint8_t nbeanstalk_counters;
    vesk_mycustom_counter beanstalk_counters[VESK_MAX_BEANSTALK];
    uint8_t nredis_counters;
    vesk_mycustom_counter redis_counters[VESK_MAX_REDIS];
};

// The registry. Static storage starts zeroed, which is the registry's empty state.
extern vesk_stats stats;

enum core_counter_index { CORE_OS, CORE_MEM, CORE_CPU, CORE_SOCKET, CORE_MOUNT, CORE_DISK, CORE_NET };
// The operations of a system counter, as setCoreCounters registers them.
const mycustom_ops &core_counter_ops(int index);
void setCoreCounters();
void initPlugins();
void initCounters(time_t ts);
void reinitCounters(time_t ts);
// Each counter's sample is stamped on `mono_ms` as its update returns.
void updateCounters(int64_t (*mono_ms)() = vesk_mono_ms);
// Each counter's rates are taken over the span between its own last two samples.
void deltaCounters(uint64_t iteration);
void dumpCounters();
void freeCounters();
void unloadPlugins();
int countCustomErrors(const vesk_stats *s);
void remove_newline_ch(char *line);

// The parent's cycle runs this many seconds after the customs child's, which has
// written the scripts' results by then.
inline constexpr int kReadBackDelay = 2;

// The wall clock's distance from the monotonic clock (vesk_clock_offset_ns), taken
// once at start before the fork: both cycle loops measure the wall clock's steps from
// it, so they move their schedules alike.
extern int64_t vesk_clock_origin_ns;

// The clock of a cycle loop. Cycles fall on the due seconds t with
// (t - offset) mod interval == randomsecond, and the loop wakes at each whole
// second. When due seconds passed while a cycle ran, one cycle runs at once in
// their place. When the wall clock is set, the schedule moves with it, so the
// cycles keep their pace in real time; set forward by more than an interval, one
// cycle also runs at once.
class cycle_clock {
public:
    cycle_clock(uint32_t interval, int randomsecond, int offset, int64_t origin_ns);

    // Whether a cycle runs at this wall-clock time (milliseconds since the epoch),
    // given the wall clock's distance from the monotonic clock then, which shows how
    // far the wall clock has been set since `origin_ns`.
    bool due(int64_t wall_ms, int64_t clock_offset_ns);

    struct cycle {
        std::optional<int64_t> minute; // t - offset of a due second at a whole minute that this cycle serves
    };
    // Begins the cycle that due() announced.
    cycle begin(int64_t wall_ms);
    // Ends it: whether the next cycle runs at once, a due second having passed while
    // it ran. A late cycle that ends just before the next due second serves it too.
    bool end(int64_t wall_ms);

    // The first due second at or after t.
    int64_t due_at_or_after(int64_t t) const;

private:
    void stepped(int64_t seconds);

    int64_t interval_, randomsecond_, offset_, origin_ns_;
    int64_t moved_ = 0;                    // whole seconds the schedule has moved with the wall clock
    std::optional<int64_t> next_;          // the first due second not yet served
    std::optional<int64_t> last_;          // the second in which the last cycle began
    std::optional<int64_t> late_start_ms_; // when the cycle under way began past its due second
    bool catch_up_ = false;                // end() called for the next cycle at once
    bool leapt_ = false;                   // the wall clock leapt forward: a cycle at once
};

// Sleeps until the next whole second of the wall clock; a signal ends it early.
void vesk_sleep_to_next_second();

// What the loop needs from the outside world; tests replace it.
struct main_loop_env {
    int64_t (*wall_ms)();
    int64_t (*mono_ms)();
    int64_t (*clock_offset_ns)(); // vesk_clock_offset_ns
    void (*sleep_to_next_second)();
    void (*send)();
    uint64_t first_iteration; // 0 at start
};
extern const main_loop_env main_loop_default_env;

int main_loop();
int main_loop_with(const main_loop_env &env);
