#include "vesk_mem.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "counter_support.hpp"

namespace {

using mem_data = vesk_mycustom_data_mem;
using test_support::core_counter;
using test_support::CounterTest;

// Kill counts that the fake watcher hands out, one a call.
std::vector<long long> fake_kills;
long long next_kills()
{
    if (fake_kills.empty()) return 0;
    long long n = fake_kills.front();
    fake_kills.erase(fake_kills.begin());
    return n;
}

// The captured host's meminfo; it has no swap.
constexpr uint64_t kTotal = 24682348, kFree = 23864292, kBuffers = 2860, kCached = 454856;
constexpr uint64_t kUsed = kTotal - kFree - kBuffers - kCached;

// The "mem" object: zeros but the kills when not ok, else the captured host's
// figures (no swap rate over this test's cycles).
std::string mem_object(int ok, uint64_t killed)
{
    auto v = [ok](uint64_t n) { return std::to_string(ok ? n : 0); };
    return "mem:{ok:i64=" + std::to_string(ok) + ";free:i64=" + v(kFree) + ";used:i64=" + v(kUsed) + ";buffers:i64=" +
           v(kBuffers) + ";cached:i64=" + v(kCached) + ";swapfree:i64=0;swapused:i64=0;swapin:i64=0;swapout:i64=0;"
           "killed_process:i64=" + std::to_string(killed) + ";};";
}

} // namespace

TEST(MemParsers, UsedAndCached)
{
    struct {
        const char *what;
        meminfo_values in;
        bool slab_as_cached;
        uint64_t cached, used, swapused;
    } cases[] = {
        {"plain", {.memtotal = 1000, .memfree = 100, .cached = 250, .buffers = 50}, false, 250, 600, 0},
        {"slab counted as cached", {.memtotal = 1000, .memfree = 100, .cached = 250, .buffers = 50, .slab = 40}, true, 290, 560, 0},
        {"slab ignored when off", {.memtotal = 1000, .memfree = 100, .cached = 250, .buffers = 50, .slab = 40}, false, 250, 600, 0},
        {"reclaimable parts when Slab is 0",
         {.memtotal = 1000, .memfree = 100, .cached = 250, .buffers = 50, .slab = 0, .sreclaimable = 30, .sunreclaim = 10},
         true, 290, 560, 0},
        {"swap", {.memtotal = 1000, .cached = 0, .swaptotal = 2048, .swapfree = 512}, false, 0, 1000, 1536},
        // Figures sampled at slightly different moments may add up to more than the total.
        {"more free than total", {.memtotal = 1000, .memfree = 900, .cached = 250, .buffers = 50}, false, 250, 0, 0},
        {"more swap free than swap", {.swaptotal = 100, .swapfree = 150}, false, 0, 0, 0},
    };
    for (const auto &t : cases) {
        mem_data d;
        mem_apply_meminfo(d, t.in, t.slab_as_cached);
        EXPECT_EQ(d.memcached, t.cached) << t.what;
        EXPECT_EQ(d.memused, t.used) << t.what;
        EXPECT_EQ(d.swapused, t.swapused) << t.what;
    }

    // A key missing from a later read keeps its value, and slab is not added twice
    // to a kept page-cache figure.
    mem_data d;
    mem_apply_meminfo(d, {.memtotal = 1000, .memfree = 100, .cached = 250, .buffers = 50, .slab = 40}, true);
    mem_apply_meminfo(d, {.memfree = 200, .slab = 40}, true);
    EXPECT_EQ(d.memcached, 290u);
    EXPECT_EQ(d.memused, 460u);
}

// Each kill the watcher counted reaches one report, and only a successful update takes
// them from the watcher.
TEST_F(CounterTest, MemKillsAreReportedOnce)
{
    host_root();
    fake_kills = {3, 2, 0};
    mem_kill_source = next_kills;
    core_counter mem(CORE_MEM); // the watcher is on by default
    ASSERT_EQ(mem.cycle(0), 1); // takes 3, in the priming cycle
    ASSERT_EQ(mem.cycle(1), 1); // takes 2
    EXPECT_EQ(mem.report(), mem_object(1, 2));
    EXPECT_EQ(mem.dump(), "MyCustom Mem report (1) :\n\tMEM total = 24682348\n\tMEM free = 23864292\n\tMEM used = " +
                              std::to_string(kUsed) + "\n\tMEM buffers = 2860\n\tMEM cached = 454856\n\tSwap total = 0\n\tSwap free = 0\n"
                          "\tSwap used = 0\n\tSwap in = 1000\n\tSwap out = 500\n\tKilled_process = 2\n");

    for (const char *missing : {"meminfo", "vmstat"}) {
        hide(missing);
        EXPECT_EQ(mem.cycle(2), 0) << missing;
        EXPECT_EQ(mem.report(), mem_object(0, 0)) << "the count of an earlier update is not sent again";
        EXPECT_EQ(fake_kills.size(), 1u) << "a failed update takes no count";
        hide(missing, true);
    }
    fake_kills = {4};
    ASSERT_EQ(mem.cycle(3), 1);
    EXPECT_EQ(mem.report(), mem_object(0, 4)) << "after a failed sample: zeros, but the kills go out";
    ASSERT_EQ(mem.cycle(4), 1);
    EXPECT_EQ(mem.report(), mem_object(1, 0));

    config.oom_watcher = 0;
    fake_kills = {7};
    ASSERT_EQ(mem.cycle(5), 1);
    EXPECT_EQ(mem.report(), mem_object(1, 0));
    EXPECT_EQ(fake_kills.size(), 1u) << "with the watcher off nothing is taken from it";
    config.oom_watcher = 1; // so that free stops the watch that init started
    mem_kill_source = OomGetKilled;
}
