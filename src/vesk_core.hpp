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
// once at start before the fork: both cycle loops lay their schedules on it, so they
// keep the same seconds.
extern int64_t vesk_clock_origin_ns;

// What a loop's clock does when the wall clock leaps forward by more than an interval
// (as after the machine slept), which calls for one report at once.
enum class clock_role {
    alone,  // the parent without a customs child: one cycle at once
    parent, // the parent of a customs child: it asks the child for one cycle first (ask())
    child,  // the customs child: it runs its extra cycle when the parent asks
};

// The clock of a cycle loop, on the monotonic clock, so that setting the wall clock
// moves no cycle and the customs child's cycles stay exactly two seconds ahead of the
// parent's. Its seconds are those of the wall clock as it read at start: cycles fall
// on the seconds s with (s - offset) mod interval == randomsecond, and the loop looks
// at each of them. When due seconds passed while a cycle ran, one cycle runs at once
// in their place.
//
// A loop calls, at each look: due(), and when it is true begin(), the cycle, end();
// the parent then ask(); and it sleeps until next_look(). Times are milliseconds of
// the monotonic clock.
class cycle_clock {
public:
    cycle_clock(uint32_t interval, int randomsecond, int offset, int64_t origin_ns, clock_role role);

    // Whether a cycle runs at this look, the wall clock being `clock_offset_ns` from the
    // monotonic clock (a forward leap shows there).
    bool due(int64_t mono_ms, int64_t clock_offset_ns);

    struct cycle {
        std::optional<int64_t> minute; // t - offset of a due second at a whole minute that this cycle serves
    };
    // Begins the cycle that due() announced. It also serves as the report after a leap.
    cycle begin(int64_t mono_ms);
    // Ends it: whether the next cycle runs at once, a due second having passed while
    // it ran. A late cycle that ends just before the next due second serves it too.
    bool end(int64_t mono_ms);

    // When the loop looks next.
    int64_t next_look(int64_t mono_ms) const;

    // The parent, after a leap that no cycle has served yet: the latest time at which
    // the child may begin an extra cycle, so that the parent's read of it, two seconds
    // later, is over before the child's next cycle. None when the next cycle is near
    // enough to serve instead.
    std::optional<int64_t> ask(int64_t mono_ms);
    // The parent: the customs child began an extra cycle then; one follows two seconds
    // later, unless the next cycle comes first.
    void child_began(int64_t mono_ms);
    // The child, asked for an extra cycle by `by_ms`: whether to run it now.
    static bool asked(int64_t by_ms, int64_t mono_ms) { return mono_ms <= by_ms; }

    // The first due second at or after s.
    int64_t due_at_or_after(int64_t s) const;
    // The monotonic time of second s.
    int64_t mono_of(int64_t s) const { return s * 1000 - origin_ms_; }

private:
    int64_t second_of(int64_t mono_ms) const;
    // When the customs child's next cycle after this time is due.
    int64_t child_next_ms(int64_t mono_ms) const;
    // An extra cycle at that time, or at the one already due sooner.
    void add_extra(int64_t at_ms);

    int64_t interval_, randomsecond_, offset_, origin_ms_;
    clock_role role_;
    std::optional<int64_t> last_offset_ns_; // at the last look
    std::optional<int64_t> next_;           // the first due second not yet served
    std::optional<int64_t> last_;           // the second in which the last cycle began
    std::optional<int64_t> late_start_ms_;  // when the cycle under way began past its due second
    std::optional<int64_t> extra_ms_;       // an extra cycle is due then
    bool catch_up_ = false;                 // end() called for the next cycle at once
    bool leap_pending_ = false;             // a leap no cycle has served: the parent asks
    bool asked_ = false;                    // the parent asked for an extra cycle and heard nothing yet
};

// Sleeps until this time of the monotonic clock; a signal ends it early.
void vesk_sleep_until(int64_t mono_ms);

// What the loop needs from the outside world; tests replace it.
struct main_loop_env {
    int64_t (*wall_ms)();
    int64_t (*mono_ms)();
    int64_t (*clock_offset_ns)(); // vesk_clock_offset_ns
    void (*sleep_until)(int64_t mono_ms);
    void (*send)();
    uint64_t first_iteration; // 0 at start
    // The link to the customs child (customs_link_send, customs_link_recv); null without one.
    bool (*ask_child)(int64_t by_ms);
    bool (*child_began)(int64_t *mono_ms);
};
extern const main_loop_env main_loop_default_env;

int main_loop();
int main_loop_with(const main_loop_env &env);
