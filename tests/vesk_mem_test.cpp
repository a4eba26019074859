#include "vesk_mem.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixture_root.hpp"

namespace {

using mem_data = vesk_mycustom_data_mem;
using test_support::core_counter;

meminfo_values values(uint64_t total, uint64_t free, uint64_t buffers, uint64_t cached)
{
    meminfo_values v;
    v.memtotal = total, v.memfree = free, v.buffers = buffers, v.cached = cached;
    return v;
}

std::vector<long long> fake_kills;
long long next_kills()
{
    if (fake_kills.empty()) return 0;
    long long n = fake_kills.front();
    fake_kills.erase(fake_kills.begin());
    return n;
}

struct kill_source_guard {
    explicit kill_source_guard(std::vector<long long> counts)
    {
        fake_kills = std::move(counts);
        mem_kill_source = next_kills;
    }
    ~kill_source_guard() { mem_kill_source = OomGetKilled; }
};

// The "mem" object as the decoder prints it.
std::string mem_object(int ok, uint64_t free, uint64_t used, uint64_t buffers, uint64_t cached, uint64_t swapfree,
                       uint64_t swapused, uint64_t swapin, uint64_t swapout, uint64_t killed)
{
    std::string s = "mem:{ok:i64=" + std::to_string(ok);
    const char *keys[] = {"free", "used", "buffers", "cached", "swapfree", "swapused", "swapin", "swapout", "killed_process"};
    uint64_t vals[] = {free, used, buffers, cached, swapfree, swapused, swapin, swapout, killed};
    for (int i = 0; i < 9; i++) s += std::string(";") + keys[i] + ":i64=" + std::to_string(vals[i]);
    return s + ";};";
}
std::string zeros_but_kills(uint64_t killed) { return mem_object(0, 0, 0, 0, 0, 0, 0, 0, 0, killed); }

// From the fixture's meminfo: MemTotal 24682348, MemFree 23864292, Buffers 2860,
// Cached 454856, no swap, Slab 62864.
constexpr uint64_t kFree = 23864292, kBuffers = 2860, kCached = 454856, kSlab = 62864;
constexpr uint64_t kUsed = 24682348 - kFree - kBuffers - kCached;

} // namespace

TEST(MemParsers, UsedAndCached)
{
    struct {
        const char *what;
        meminfo_values in;
        bool slab_as_cached;
        uint64_t cached, used, swapused;
    } cases[] = {
        {"plain", values(1000, 100, 50, 250), false, 250, 600, 0},
        {"slab counted as cached", [] { auto v = values(1000, 100, 50, 250); v.slab = 40; return v; }(), true, 290, 560, 0},
        {"reclaimable parts when Slab is 0",
         [] { auto v = values(1000, 100, 50, 250); v.slab = 0, v.sreclaimable = 30, v.sunreclaim = 10; return v; }(),
         true, 290, 560, 0},
        {"slab ignored when off", [] { auto v = values(1000, 100, 50, 250); v.slab = 40; return v; }(), false, 250, 600, 0},
        // Figures sampled at slightly different moments may add up to more than the total.
        {"more free than total", values(1000, 900, 50, 250), false, 250, 0, 0},
        {"swap", [] { auto v = values(1000, 100, 50, 250); v.swaptotal = 2048, v.swapfree = 512; return v; }(), false, 250, 600, 1536},
        {"more swap free than swap", [] { auto v = values(1000, 100, 50, 250); v.swaptotal = 100, v.swapfree = 150; return v; }(), false, 250, 600, 0},
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
    auto first = values(1000, 100, 50, 250);
    first.slab = 40;
    mem_apply_meminfo(d, first, true);
    meminfo_values later;
    later.memfree = 200;
    later.slab = 40;
    mem_apply_meminfo(d, later, true);
    EXPECT_EQ(d.memtotal, 1000u);
    EXPECT_EQ(d.memcached, 290u);
    EXPECT_EQ(d.memused, 460u);
}

// Two cycles on a captured /proc (a host without swap, whose swap-in count then grows
// by 450 pages and whose swap-out count goes back).
TEST(MemCounter, CyclesOnFixtureRoot)
{
    fixture_root root("sysa-basic");
    config.oom_watcher = 0;
    core_counter mem(CORE_MEM);
    ASSERT_EQ(mem.init_result, 1);
    EXPECT_STREQ(mem.get()->report, "Mem");
    ASSERT_EQ(mem.update(), 1);
    mem.delta(15, 0);
    EXPECT_EQ(mem.report(), zeros_but_kills(0));

    root.advance("cycle2");
    ASSERT_EQ(mem.update(), 1);
    mem.delta(15, 1);
    // swap-in (1450 - 1000) / 15; swap-out 500 then 400 is a reset, not a wrapped count.
    EXPECT_EQ(mem.report(), mem_object(1, kFree, kUsed, kBuffers, kCached, 0, 0, 30, 0, 0));
    EXPECT_EQ(mem.dump(), "MyCustom Mem report (1) :\n\tMEM total = 24682348\n\tMEM free = 23864292\n"
                          "\tMEM used = " + std::to_string(kUsed) + "\n\tMEM buffers = 2860\n\tMEM cached = 454856\n"
                          "\tSwap total = 0\n\tSwap free = 0\n\tSwap used = 0\n\tSwap in = 1450\n\tSwap out = 400\n"
                          "\tKilled_process = 0\n");

    // With slab counted as cached.
    config.mem_slab_as_cached = 1;
    ASSERT_EQ(mem.update(), 1);
    mem.delta(15, 2);
    EXPECT_EQ(mem.report(), mem_object(1, kFree, kUsed - kSlab, kBuffers, kCached + kSlab, 0, 0, 0, 0, 0));
}

TEST(MemCounter, KillsAreReportedOnce)
{
    fixture_root root("sysa-basic");
    kill_source_guard kills({3, 2, 0});
    core_counter mem(CORE_MEM); // the watcher is on by default
    ASSERT_EQ(mem.init_result, 1);
    ASSERT_EQ(mem.update(), 1); // takes 3, in the priming cycle
    mem.delta(15, 0);
    ASSERT_EQ(mem.update(), 1); // takes 2
    mem.delta(15, 1);
    EXPECT_EQ(mem.report(), mem_object(1, kFree, kUsed, kBuffers, kCached, 0, 0, 0, 0, 2));

    // While meminfo cannot be read, the watcher keeps its count and the last one is not sent again.
    std::string meminfo = root.read("meminfo");
    root.remove("meminfo");
    EXPECT_EQ(mem.update(), 0);
    mem.delta(15, 2);
    EXPECT_EQ(mem.report(), zeros_but_kills(0));
    EXPECT_EQ(fake_kills.size(), 1u) << "no count was taken by the failed update";

    // The same when only vmstat is missing.
    root.write("meminfo", meminfo);
    std::string vmstat = root.read("vmstat");
    root.remove("vmstat");
    EXPECT_EQ(mem.update(), 0);
    mem.delta(15, 3);
    EXPECT_EQ(mem.report(), zeros_but_kills(0));

    root.write("vmstat", vmstat);
    fake_kills = {4};
    ASSERT_EQ(mem.update(), 1);
    mem.delta(15, 4); // the previous sample failed: zeros, but the kills go out
    EXPECT_EQ(mem.report(), zeros_but_kills(4));
    ASSERT_EQ(mem.update(), 1);
    mem.delta(15, 5);
    EXPECT_EQ(mem.report(), mem_object(1, kFree, kUsed, kBuffers, kCached, 0, 0, 0, 0, 0));

    // With the watcher off nothing is taken from it.
    config.oom_watcher = 0;
    fake_kills = {7};
    ASSERT_EQ(mem.update(), 1);
    mem.delta(15, 6);
    EXPECT_EQ(mem.report(), mem_object(1, kFree, kUsed, kBuffers, kCached, 0, 0, 0, 0, 0));
    EXPECT_EQ(fake_kills.size(), 1u);
    config.oom_watcher = 1; // so that free stops the watch that init started
}
