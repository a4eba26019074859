// The registry passes and the parent's one-second loop, driven by an injected clock.
#include <gtest/gtest.h>

#include <vector>

#include "test_support.hpp"
#include "vesk_core.hpp"
#include "vesk_custom_alert.hpp"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// The world the loop sees: a clock that moves only when the loop sleeps or a
// counter takes time, and a send that only counts.
struct fake_world {
    int64_t now = 0;
    int64_t stop_at = 0;   // the loop is stopped once the clock passes this second
    int64_t update_cost = 0;
    int sends = 0;
    int reinits = 0;
    std::vector<int64_t> cycles; // now - 2 of each update
    std::vector<uint64_t> iterations;
} world;

time_t fake_now() { return world.now; }
void fake_sleep()
{
    world.now++;
    if (world.now > world.stop_at) stop = 1;
}
void fake_send() { world.sends++; }

int counter_reinit(void *)
{
    world.reinits++;
    return 1;
}
int counter_update(void *)
{
    world.cycles.push_back(world.now - 2);
    world.now += world.update_cost;
    return 1;
}
int counter_delta(void *, uint32_t, uint64_t iteration)
{
    world.iterations.push_back(iteration);
    return 1;
}

const main_loop_env kFakeEnv{fake_now, fake_sleep, fake_send, 0};

class MainLoop : public testing::Test {
protected:
    void SetUp() override
    {
        reset_agent_state();
        world = fake_world{};
        stats.ncore_counters = 1;
        mycustom_set(&stats.core_counters[0], nullptr,
                     {.reinit = counter_reinit, .update = counter_update, .delta = counter_delta});
    }

    // Runs the loop from second `start` (as now - 2) for `seconds` seconds.
    std::string run(int64_t start, int64_t seconds, uint64_t first_iteration = 0)
    {
        world.now = start + 2;
        world.stop_at = world.now + seconds;
        main_loop_env env = kFakeEnv;
        env.first_iteration = first_iteration;
        CaptureStdout();
        EXPECT_EQ(main_loop_with(env), 0);
        return GetCapturedStdout();
    }
};

} // namespace

TEST_F(MainLoop, FirstCyclePrimesThenEveryCycleSends)
{
    config.interval = 15;
    config.randomsecond = 3;
    run(1700000003 - 10, 45); // due at (now - 2) mod 15 == 3
    EXPECT_EQ(world.cycles, (std::vector<int64_t>{1700000003 - 5, 1700000003 + 10, 1700000003 + 25}));
    EXPECT_EQ(world.iterations, (std::vector<uint64_t>{0, 1, 2}));
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

TEST_F(MainLoop, NoCatchUpAfterASlowCycle)
{
    config.interval = 10;
    config.randomsecond = 4;
    world.update_cost = 10; // the cycle lasts past the next due second
    run(1700000004, 41);
    // The seconds due while the slow cycles ran pass unseen; the numbers go on.
    EXPECT_EQ(world.cycles, (std::vector<int64_t>{1700000004, 1700000024, 1700000044}));
    EXPECT_EQ(world.iterations, (std::vector<uint64_t>{0, 1, 2}));
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

TEST(Registry, CycleDue)
{
    EXPECT_TRUE(cycle_due(17, 15, 0));
    EXPECT_FALSE(cycle_due(18, 15, 0));
    EXPECT_TRUE(cycle_due(16, 15, 14));
    EXPECT_FALSE(cycle_due(17, 0, 0)); // never divides by zero
    EXPECT_FALSE(cycle_due(-13, 15, 0) && cycle_due(-13, 15, 14));
}
