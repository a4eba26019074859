// One report cycle of the seven system counters on the live /proc and /sys: update,
// delta and tobson into a report. Beside it the floor: the same sources read once with
// plain open/read/close (and the same directory listing, links and statvfs calls),
// no parsing. The memory benchmark runs 10,000 cycles and reports the growth of the
// resident set.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "bson.hpp"
#include "hostevents/hostevents.h"
#include "mycustom.hpp"
#include "vesk_bson.hpp"
#include "vesk_config.hpp"
#include "vesk_core.hpp"
#include "vesk_mount.hpp"

namespace {

constexpr uint32_t kInterval = 15;

// The system counters registered as the parent registers them, initialised once.
struct registry {
    registry()
    {
        init_config();
        config.oom_watcher = 0; // no log follower threads in a benchmark
        init_go_module(&config);  // the cpu counter asks the host-events module for the uptime
        setCoreCounters();
        for (int i = 0; i < VESK_MAX_CORE; i++)
            if (stats.core_counters[i].init) stats.core_counters[i].init(&stats.core_counters[i]);
    }
    ~registry()
    {
        for (int i = 0; i < VESK_MAX_CORE; i++)
            if (stats.core_counters[i].free) stats.core_counters[i].free(&stats.core_counters[i]);
    }
    // One cycle: updates, deltas, then the report part of every counter.
    void cycle()
    {
        for (auto &c : stats.core_counters)
            if (c.update) c.update(&c);
        for (auto &c : stats.core_counters)
            if (c.delta) c.delta(&c, kInterval, iteration);
        iteration = iteration % 1000 + 1;
        bson b;
        vesk_bson_init(&b);
        for (auto &c : stats.core_counters)
            if (c.tobson) c.tobson(&c, &b);
        vesk_bson_finish(&b);
        benchmark::DoNotOptimize(vesk_bson_size(&b));
        vesk_bson_destroy(&b);
    }
    // The whole report as the UDP path makes it: header, every part, the copy out,
    // the datagram size guard.
    void report()
    {
        uint8_t *res = nullptr;
        uint32_t len = 0;
        if (stats_to_bson(&res, &len, 0) == 0) {
            report_fit(res, &len, VESK_MAX_DATAGRAM);
            benchmark::DoNotOptimize(res[len - 1]);
        }
        free(res);
    }
    uint64_t iteration = 0;
};

registry &counters()
{
    static registry r;
    return r;
}

// The files one cycle reads.
const char *const kFiles[] = {
    "/etc/os-release",   "/proc/self/statm", "/proc/sys/fs/file-nr", "/proc/uptime", // os
    "/proc/meminfo",     "/proc/vmstat",                                             // mem
    "/proc/stat",        "/proc/loadavg",    "/proc/cpuinfo",        "/proc/uptime", // cpu
    "/proc/net/sockstat",                                                            // socket
    "/proc/diskstats",                                                               // disk
    "/proc/net/dev",                                                                 // net
};

void read_raw(const char *path, char *buf, size_t size)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    while (read(fd, buf, size) > 0) {
    }
    close(fd);
}

// The floor of one cycle: every source read, nothing parsed.
void floor_once(const std::vector<std::string> &mount_dirs)
{
    static char buf[65536];
    for (const char *f : kFiles) read_raw(f, buf, sizeof buf);
    for (const std::string &dir : mount_dirs) {
        struct statvfs st;
        benchmark::DoNotOptimize(statvfs(dir.c_str(), &st));
    }
    if (DIR *d = opendir("/sys/block")) {
        while (dirent *e = readdir(d)) {
            char target[4096];
            std::string name = e->d_name;
            if (readlinkat(dirfd(d), (name + "/device").c_str(), target, sizeof target) < 0) continue;
            int fd = openat(dirfd(d), (name + "/removable").c_str(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0) {
                benchmark::DoNotOptimize(read(fd, target, 1));
                close(fd);
            }
        }
        closedir(d);
    }
}

std::vector<std::string> mount_dirs()
{
    std::vector<std::string> dirs;
    counters();
    const auto *m = static_cast<const vesk_mycustom_data_mount *>(stats.core_counters[CORE_MOUNT].data);
    if (m)
        for (const mibmount &e : m->list.entries) dirs.push_back(e.dir);
    return dirs;
}

void BM_SystemCountersCycle(benchmark::State &state)
{
    registry &r = counters();
    for (auto _ : state) r.cycle();
}
BENCHMARK(BM_SystemCountersCycle);

// Report assembly alone, over the values of one cycle.
void BM_ReportAssembly(benchmark::State &state)
{
    registry &r = counters();
    r.cycle();
    r.cycle();
    for (auto _ : state) r.report();
}
BENCHMARK(BM_ReportAssembly);

void BM_ReadFloor(benchmark::State &state)
{
    std::vector<std::string> dirs = mount_dirs();
    for (auto _ : state) floor_once(dirs);
}
BENCHMARK(BM_ReadFloor);

// 10,000 cycles after a warm-up; the counter is the resident set's growth in KiB.
void BM_CycleMemory(benchmark::State &state)
{
    registry &r = counters();
    for (int i = 0; i < 100; i++) r.cycle();
    long before = resident_kib();
    for (auto _ : state) r.cycle();
    long after = resident_kib();
    state.counters["rss_before_kib"] = static_cast<double>(before);
    state.counters["rss_growth_kib"] = static_cast<double>(after - before);
}
BENCHMARK(BM_CycleMemory)->Iterations(10000);

} // namespace

BENCHMARK_MAIN();
