// The registry passes and the parent's one-second loop, driven by an injected clock.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "vesk_core.hpp"
#include "vesk_custom_alert.hpp"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// While on, clock_nanosleep below stands for a kernel whose wall clock is set back an
// hour just as the sleep begins: it returns at once with the seconds the sleep would
// have lasted in `slept_s`.
bool wall_set_back = false;
double slept_s = -1;

} // namespace

extern "C" int clock_nanosleep(clockid_t clock, int flags, const timespec *req, timespec *rem) noexcept
{
    using real_t = int (*)(clockid_t, int, const timespec *, timespec *);
    static const auto real = reinterpret_cast<real_t>(dlsym(RTLD_NEXT, "clock_nanosleep"));
    if (!wall_set_back) return real(clock, flags, req, rem);
    double until = static_cast<double>(req->tv_sec) + static_cast<double>(req->tv_nsec) / 1e9;
    if (flags & TIMER_ABSTIME) {
        timespec now{};
        clock_gettime(clock, &now);
        double at = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
        if (clock == CLOCK_REALTIME) at -= 3600;
        until -= at;
    }
    slept_s = until;
    return 0;
}

namespace {

// The world the loop sees: a clock (in milliseconds) that moves only when the
// loop sleeps or a counter takes time, and a send that only counts. The wall clock
// may be set once, by `step_ms` when the time reaches `step_at`.
struct fake_world {
    int64_t now_ms = 0;
    int64_t wall_shift_ms = 0;
    int64_t step_at = INT64_MAX, step_ms = 0;
    int64_t stop_at = 0;          // the loop is stopped once the time passes this second
    std::vector<int64_t> costs;   // milliseconds each update takes, in turn; then update_cost
    int64_t update_cost = 30;
    int sends = 0;
    int reinits = 0;
    std::vector<int64_t> cycles;  // wall second - 2 of each update
    std::vector<uint64_t> iterations;
    std::vector<uint32_t> spans;  // what each delta was given
    std::vector<int64_t> sent_at; // the time of each send
} world;

void advance(int64_t ms)
{
    world.now_ms += ms;
    if (world.now_ms >= world.step_at) {
        world.wall_shift_ms += world.step_ms;
        world.step_at = INT64_MAX;
    }
    if (world.now_ms / 1000 > world.stop_at) stop = 1;
}
int64_t fake_wall_ms() { return world.now_ms + world.wall_shift_ms; }
int64_t fake_mono_ms() { return world.now_ms - 1699990000000; } // another origin, the same pace
int64_t fake_offset_ns() { return (fake_wall_ms() - fake_mono_ms()) * 1000000; }
// Wakes a few milliseconds late, as a busy machine does.
void fake_sleep_until(int64_t mono_ms) { advance(std::max<int64_t>(mono_ms - fake_mono_ms(), 0) + 7); }
void fake_send()
{
    world.sends++;
    world.sent_at.push_back(world.now_ms);
}

int counter_reinit(void *)
{
    world.reinits++;
    return 1;
}
int counter_update(void *)
{
    size_t k = world.cycles.size();
    world.cycles.push_back(fake_wall_ms() / 1000 - 2);
    advance(k < world.costs.size() ? world.costs[k] : world.update_cost);
    return 1;
}
int counter_delta(void *, uint32_t span_ms, uint64_t iteration)
{
    world.iterations.push_back(iteration);
    world.spans.push_back(span_ms);
    return 1;
}

const main_loop_env kFakeEnv{fake_wall_ms, fake_mono_ms, fake_offset_ns, fake_sleep_until,
                             fake_send,    0,            nullptr,        nullptr};

class MainLoop : public testing::Test {
protected:
    void SetUp() override
    {
        reset_agent_state();
        world = fake_world{};
        vesk_clock_origin_ns = fake_offset_ns();
        stats.ncore_counters = 1;
        mycustom_set(&stats.core_counters[0], nullptr,
                     {.reinit = counter_reinit, .update = counter_update, .delta = counter_delta});
    }

    // Runs the loop from second `start` (as now - 2) for `seconds` seconds.
    std::string run(int64_t start, int64_t seconds, uint64_t first_iteration = 0)
    {
        world.now_ms = (start + 2) * 1000;
        world.stop_at = start + 2 + seconds;
        main_loop_env env = kFakeEnv;
        env.first_iteration = first_iteration;
        CaptureStdout();
        EXPECT_EQ(main_loop_with(env), 0);
        return GetCapturedStdout();
    }
};

std::vector<int64_t> seconds_from(int64_t base, std::vector<int64_t> offsets)
{
    for (int64_t &o : offsets) o += base;
    return offsets;
}

} // namespace

TEST_F(MainLoop, FirstCyclePrimesThenEveryCycleSends)
{
    config.interval = 15;
    config.randomsecond = 3;
    run(1700000003 - 10, 45); // due at (now - 2) mod 15 == 3
    EXPECT_EQ(world.cycles, seconds_from(1700000003, {-5, 10, 25}));
    EXPECT_EQ(world.iterations, (std::vector<uint64_t>{0, 1, 2}));
    EXPECT_EQ(world.spans, (std::vector<uint32_t>{15000, 15000, 15000}));
    EXPECT_EQ(world.sends, 2);
    EXPECT_EQ(world.reinits, 0); // randomsecond 3 never meets a whole minute with interval 15
}

TEST_F(MainLoop, ReinitOnWholeMinutes)
{
    config.interval = 15;
    config.randomsecond = 0;
    run(1700000040, 61); // 1700000040 is a whole minute
    ASSERT_EQ(world.cycles.size(), 5u);
    EXPECT_EQ(world.cycles.front(), 1700000040);
    EXPECT_EQ(world.reinits, 2);
}

// Cycles longer than the interval: each one that overran a due second is followed
// at once by one more; the rates are over the real time between the samples.
TEST_F(MainLoop, SlowCyclesAreFollowedAtOnce)
{
    config.interval = 3;
    config.randomsecond = 0;
    world.update_cost = 4050;
    run(1700000001, 30);
    EXPECT_EQ(world.cycles, seconds_from(1700000001, {0, 4, 8, 12, 16, 20, 24, 28}));
    // The last one is stopped during its update: no delta, nothing sent.
    EXPECT_EQ(world.spans, (std::vector<uint32_t>{3000, 4050, 4050, 4050, 4050, 4050, 4050}));
    EXPECT_EQ(world.iterations, (std::vector<uint64_t>{0, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(world.sends, 6);
}

// A cycle that ends inside the next due second: the catch-up begins late in that
// second, and its rates are over the time since the previous sample.
TEST_F(MainLoop, CatchUpInsideItsDueSecond)
{
    config.interval = 3;
    config.randomsecond = 0;
    world.costs = {3800};
    run(1700000001, 12);
    EXPECT_EQ(world.cycles, seconds_from(1700000001, {0, 3, 6, 9, 12}));
    EXPECT_EQ(world.spans, (std::vector<uint32_t>{3000, 30, 2207, 3000, 3000}));
}

// One cycle over several due seconds, a whole minute among them: one catch-up
// cycle reinits once, stamped with that minute, and the next falls on the schedule.
TEST_F(MainLoop, OneCatchUpForManyMissedSeconds)
{
    config.interval = 3;
    config.randomsecond = 0;
    config.debug = 1;
    world.costs = {10000};
    std::string out = run(1700000040 - 6, 15); // 1700000040 is a whole minute
    EXPECT_EQ(world.cycles, seconds_from(1700000040, {-6, 4, 6, 9}));
    EXPECT_EQ(world.spans, (std::vector<uint32_t>{3000, 30, 2007, 3000}));
    EXPECT_EQ(world.reinits, 1);
    EXPECT_NE(out.find("Reinit counters at 1700000040: "), std::string::npos);
}

// A short catch-up cycle just before a due second serves that second too, so no
// report covers a mere moment.
TEST_F(MainLoop, ShortCatchUpServesTheNearDueSecond)
{
    config.interval = 3;
    config.randomsecond = 0;
    world.costs = {4800};
    run(1700000001, 12);
    EXPECT_EQ(world.cycles, seconds_from(1700000001, {0, 4, 9, 12}));
    EXPECT_EQ(world.spans, (std::vector<uint32_t>{3000, 30, 4207, 3000}));
}

// A service that answers late in every other cycle, ahead of another: the second
// one's rates are over the time between its own reads, however the first one swings.
int slow_every_other(void *)
{
    world.cycles.push_back(fake_wall_ms() / 1000 - 2);
    advance(world.cycles.size() % 2 ? 30 : 1500);
    return 1;
}
int quick_update(void *)
{
    advance(20);
    return 1;
}

TEST_F(MainLoop, EachCounterRatesOverItsOwnReads)
{
    config.interval = 4;
    config.randomsecond = 0;
    stats.ncore_counters = 2;
    mycustom_set(&stats.core_counters[0], nullptr, {.update = slow_every_other});
    mycustom_set(&stats.core_counters[1], nullptr, {.update = quick_update, .delta = counter_delta});
    run(1700000000, 20);
    EXPECT_EQ(world.cycles, seconds_from(1700000000, {0, 4, 8, 12, 16, 20}));
    EXPECT_EQ(world.spans, (std::vector<uint32_t>{4000, 5477, 2530, 5470, 2530}));
}

// The wall clock set back, or forward by more than an interval, at any moment of a
// cycle: the next report comes within one interval and a second of real time after
// the previous one; a leap forward brings one cycle at once.
TEST_F(MainLoop, WallClockStepsKeepThePace)
{
    const int64_t start = 1700000040 + 5; // a due second: randomsecond 5
    for (int64_t step_s : {-5, -30, -60, -180, 600}) {
        for (int64_t moment_ms : {10500, 50500, 59500}) {
            SCOPED_TRACE(std::to_string(step_s) + " s at " + std::to_string(moment_ms) + " ms");
            SetUp();
            config.interval = 60;
            config.randomsecond = 5;
            world.step_ms = step_s * 1000;
            // The first report goes one interval after the first, priming cycle.
            const int64_t step_at = (start + 2 + 60) * 1000 + moment_ms;
            world.step_at = step_at;
            run(start, 5 * 60);
            ASSERT_GE(world.sent_at.size(), 4u);
            for (size_t i = 1; i < world.sent_at.size(); i++)
                EXPECT_LE(world.sent_at[i] - world.sent_at[i - 1], 61000 + world.update_cost) << i;
            if (step_s > 60) {
                EXPECT_GT(world.sent_at[1], step_at);
                EXPECT_LE(world.sent_at[1] - step_at, 1000 + world.update_cost);
            }
        }
    }
}

TEST_F(MainLoop, CycleNumberWraps)
{
    config.interval = 5;
    config.randomsecond = 0;
    std::string out = run(1700000000, 15, VESK_MAX_ITERATION - 1);
    EXPECT_EQ(world.iterations, (std::vector<uint64_t>{VESK_MAX_ITERATION - 1, 0, 1, 2}));
    EXPECT_EQ(world.sends, 3); // the cycle after the wrap primes again
    EXPECT_EQ(out, "WOW! iteration 1163962800\n");
}

TEST_F(MainLoop, StopBeforeStartRunsNoCycle)
{
    config.interval = 1;
    stop = 1;
    run(1700000000, 100);
    EXPECT_TRUE(world.cycles.empty());
    EXPECT_EQ(world.sends, 0);
}

// A stop that comes while a counter updates: the counters after it are not asked,
// and the cycle neither takes its rates nor sends.
TEST_F(MainLoop, StopDuringTheUpdateSkipsTheRestAndSendsNothing)
{
    static int later_updates;
    later_updates = 0;
    auto later_update = [](void *) { return ++later_updates; };
    stats.ncore_counters = 2;
    mycustom_set(&stats.core_counters[1], nullptr, {.update = later_update});
    stats.nmemcache_counters = 1;
    mycustom_set(&stats.memcache_counters[0], nullptr, {.update = later_update});
    config.interval = 5;
    config.randomsecond = 0;
    world.costs = {30, 2000}; // the second update outlasts the stop second
    run(1700000000, 5);
    EXPECT_EQ(world.cycles.size(), 2u);
    EXPECT_EQ(later_updates, 2); // the first cycle's only
    EXPECT_EQ(world.iterations, (std::vector<uint64_t>{0}));
    EXPECT_EQ(world.sends, 0);
}

TEST_F(MainLoop, DebugProgressLines)
{
    config.interval = 60;
    config.randomsecond = 0;
    config.debug = 1;
    std::string out = run(1700000040, 0);
    EXPECT_EQ(out, "Starting main loop\n"
                   "Main loop iteration at 1700000040\n"
                   "Reinit counters at 1700000040: core...done\nmysqls...done\nmycustoms...done\nplugins...done\n"
                   "mymulticustoms...done\nmemcaches...done\nbeanstalkss...done\nredises...done\n"
                   "update: core...done\nmysqls...done\nmemcaches...done\nbeanstalks...done\nredises...done\n"
                   "mycustoms...done\nplugins...done\ncustoms PARENT... " +
                       std::to_string(time(nullptr)) +
                       "done\n"
                       "Calc delta: core...done\nmysqls...done\nmycustoms...done\nplugins...done\nmemcaches...done\n"
                       "beanstalkss...done\nredises...done\n"
                       "Dump delta: core...done\nmysqls...done\ncustoms...done\nmycustoms...done\nplugins...done\n"
                       "mymulticustoms...done\nmemcaches...done\nbeanstalks...done\nredises...done\n"
                       "Exiting main loop\n");
}

TEST(Registry, CustomErrorsAndNewlines)
{
    reset_agent_state();
    EXPECT_EQ(countCustomErrors(&stats), 0);
    vesk_mycustom_data_custom results[3] = {};
    results[0].errors = 1;
    results[2].errors = 1;
    stats.ncustom_counters = 4; // the fourth has no results yet
    for (int i = 0; i < 3; i++) stats.custom_counters[i].data_delta = &results[i];
    EXPECT_EQ(countCustomErrors(&stats), 2);

    char a[] = "line\n", b[] = "", c[] = "two\n\n", d[] = "none";
    remove_newline_ch(a);
    remove_newline_ch(b);
    remove_newline_ch(c);
    remove_newline_ch(d);
    EXPECT_STREQ(a, "line");
    EXPECT_STREQ(b, "");
    EXPECT_STREQ(c, "two\n");
    EXPECT_STREQ(d, "none");
}

TEST(Registry, CycleClock)
{
    constexpr int64_t origin = 1700000000000LL * 1000000; // the wall clock's distance from the monotonic, ns
    cycle_clock parent(15, 14, 2, origin, clock_role::alone), child(15, 14, 0, origin, clock_role::child);
    EXPECT_EQ(parent.due_at_or_after(16), 16); // (16 - 2) mod 15 == 14
    EXPECT_EQ(parent.due_at_or_after(17), 31);
    EXPECT_EQ(child.due_at_or_after(16), 29);
    EXPECT_EQ(parent.due_at_or_after(-15), -14); // before the epoch too

    // The wall clock set back an hour just after a cycle: the next one still comes
    // 15 s later, not an hour later.
    cycle_clock c(15, 0, 2, origin, clock_role::alone);
    const int64_t due = c.mono_of(1700000012);
    ASSERT_TRUE(c.due(due, origin));
    c.begin(due);
    EXPECT_FALSE(c.end(due + 800));
    EXPECT_EQ(c.next_look(due + 800), due + 1000);
    const int64_t back = origin - 3600300LL * 1000000;
    EXPECT_FALSE(c.due(due + 1000, back));
    EXPECT_FALSE(c.due(due + 14999, back));
    EXPECT_TRUE(c.due(due + 15000, back));
}

namespace {

// The parent's and the customs child's loops on one simulated machine, driving their
// clocks as main_loop_with and customs_loop do, with the link between them; the wall
// clock is set at random moments, by random amounts, and each loop looks a random
// while after it meant to. Times are milliseconds of the monotonic clock.
struct two_loops {
    struct cycle {
        int64_t meant, start; // when the loop meant to look, and when it began
        int64_t read = 0;     // the parent's read of the segment, as its update pass ends
    };
    struct loop {
        explicit loop(cycle_clock c) : clock(c) {}
        cycle_clock clock;
        int64_t look = 0, meant = 0;
        bool asleep = true; // a child that sleeps wakes when the parent asks
        std::vector<cycle> cycles;
    };

    std::mt19937_64 rng;
    int64_t interval;
    int64_t origin_ms = 1700000000000;
    std::vector<std::pair<int64_t, int64_t>> steps; // when, and by how many ns
    size_t stepped = 0;
    int64_t offset_ns;
    std::vector<int64_t> to_child, to_parent; // the times the link holds
    std::vector<int64_t> leaps;                                   // when the parent saw the wall clock leap
    int64_t parent_offset_ns;
    loop parent, child;

    two_loops(uint64_t seed, int64_t interval_s)
        : rng(seed), interval(interval_s), offset_ns(origin_ms * 1000000), parent_offset_ns(offset_ns),
          parent(cycle_clock(static_cast<uint32_t>(interval_s), static_cast<int>(seed % interval_s), kReadBackDelay,
                             origin_ms * 1000000, clock_role::parent)),
          child(cycle_clock(static_cast<uint32_t>(interval_s), static_cast<int>(seed % interval_s), 0,
                            origin_ms * 1000000, clock_role::child))
    {
    }
    int64_t pick(int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng); }
    // Mostly a few milliseconds; now and then most of a second, as on a loaded host.
    int64_t delay() { return pick(0, 9) ? pick(0, 40) : pick(40, 900); }
    // The wall clock's distance as a process reads it, to within a microsecond.
    int64_t offset_at(int64_t t)
    {
        for (; stepped < steps.size() && steps[stepped].first <= t; stepped++) offset_ns += steps[stepped].second;
        return offset_ns + pick(-999, 999);
    }
    void sleep(loop &l, int64_t until)
    {
        l.meant = until;
        l.look = until + delay();
        l.asleep = true;
    }
    void busy(loop &l, int64_t until)
    {
        l.meant = l.look = until;
        l.asleep = false;
    }

    void child_look(int64_t t)
    {
        bool extra = false;
        for (int64_t by : to_child) extra = cycle_clock::asked(by, t) || extra;
        to_child.clear();
        if (extra) {
            to_parent.push_back(t);
            child.cycles.push_back({child.meant, t});
            return busy(child, t + pick(5, 3000));
        }
        if (child.clock.due(t, offset_at(t))) {
            child.clock.begin(t);
            child.cycles.push_back({child.meant, t});
            const int64_t end = t + pick(5, 3000);
            if (child.clock.end(end)) return busy(child, end);
            return sleep(child, child.clock.next_look(end));
        }
        sleep(child, child.clock.next_look(t));
    }
    void parent_look(int64_t t)
    {
        for (int64_t began : to_parent) parent.clock.child_began(began);
        to_parent.clear();
        int64_t now = t;
        const int64_t offset = offset_at(t);
        // A leap as the parent sees it: forward by more than an interval since it last looked.
        if (offset - parent_offset_ns > interval * 1000000000 + 999) leaps.push_back(t);
        parent_offset_ns = offset;
        if (parent.clock.due(t, offset)) {
            parent.clock.begin(t);
            now = t + pick(5, 1500);
            parent.cycles.push_back({parent.meant, t, now});
            if (parent.clock.end(now)) return busy(parent, now);
        }
        if (std::optional<int64_t> by = parent.clock.ask(now)) {
            to_child.push_back(*by);
            // The child waits on the link: it looks at once unless a cycle holds it.
            if (child.asleep && child.look > now) child.meant = child.look = now + pick(0, 5);
        }
        sleep(parent, parent.clock.next_look(now));
    }
    void run(int64_t until)
    {
        // Start at a random moment of a second, the parent's first look a moment later.
        const int64_t t0 = 1000000 + pick(0, 999);
        child.meant = child.look = t0;
        parent.meant = parent.look = t0 + pick(0, 300);
        while (std::min(child.look, parent.look) < until) {
            if (child.look <= parent.look) child_look(child.look);
            else parent_look(parent.look);
        }
    }

    // Empty when each child cycle but the last is read by exactly one parent cycle,
    // which begins at least kReadBackDelay after the child meant to begin and reads
    // before the child's next cycle, and a parent cycle follows each leap within a
    // few seconds.
    std::string broken() const
    {
        const auto &c = child.cycles, &p = parent.cycles;
        size_t k = 0;
        while (k < p.size() && p[k].read < c.front().start) k++;
        for (size_t i = 0; i + 1 < c.size(); i++) {
            std::string at = "child cycle at " + std::to_string(c[i].start) + ": ";
            size_t n = 0;
            for (; k < p.size() && p[k].read < c[i + 1].start; k++, n++)
                if (p[k].start < c[i].meant + kReadBackDelay * 1000)
                    return at + "read by the parent's at " + std::to_string(p[k].start) + ", too early";
            if (n != 1) return at + "read by " + std::to_string(n) + " parent cycles";
        }
        for (int64_t leap : leaps) {
            auto next = std::ranges::find_if(p, [&](const cycle &x) { return x.start >= leap; });
            if (next != p.end() && next->start - leap > 8000)
                return "the first report after the leap seen at " + std::to_string(leap) + " came at " +
                       std::to_string(next->start);
        }
        return "";
    }
};

} // namespace

// However the wall clock is set (back or forward, by fractions of a second or by
// hours, several times in a row, during a cycle or between two) and however late each
// loop looks, each cycle of the customs child is read by exactly one cycle of the
// parent, at least two seconds after it began; after a leap, the report made at once
// comes after the child's own extra cycle.
TEST(Registry, EachChildCycleIsReadOnceWhateverTheWallClockDoes)
{
    for (uint64_t seed = 1; seed <= 400; seed++) {
        std::mt19937_64 draw(seed * 7919);
        auto pick = [&](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(draw); };
        const int64_t interval = pick(5, 30), span = interval * 40 * 1000;
        two_loops sim(seed, interval);
        const int64_t t0 = 1000000 + 2000;
        for (int64_t n = pick(1, 8), i = 0; i < n; i++) {
            int64_t at = t0 + pick(interval * 3000, span - interval * 5000);
            // Several in a row now and then.
            for (int64_t k = pick(0, 3) ? 1 : pick(2, 4); k > 0; k--, at += pick(10, 3000)) {
                std::uniform_real_distribution<double> log_size(std::log(0.4), std::log(4000.0));
                const double size_s = std::exp(log_size(draw));
                sim.steps.push_back({at, static_cast<int64_t>(size_s * 1e9) * (pick(0, 1) ? 1 : -1)});
            }
        }
        std::ranges::sort(sim.steps);
        sim.run(t0 + span);
        ASSERT_GE(sim.child.cycles.size(), 30u) << "seed " << seed;
        const std::string why = sim.broken();
        ASSERT_EQ(why, "") << "seed " << seed << ", interval " << interval;
    }
}

// The wall clock set back while the loop sleeps: it still wakes within a second, so
// the cycles go on from the new time instead of pausing for as long as it went back.
TEST(Registry, SleepSurvivesTheWallClockSetBack)
{
    wall_set_back = true;
    vesk_sleep_until(vesk_mono_ms() + 1000);
    wall_set_back = false;
    EXPECT_GT(slept_s, 0);
    EXPECT_LE(slept_s, 1.0);
}
