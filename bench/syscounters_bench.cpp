// One report cycle of the seven system counters on the live /proc and /sys: update,
// delta and tobson into a report. Beside it the floor: the same sources read once with
// plain open/read/close (and the same directory listing, links and statvfs calls),
// no parsing. The memory benchmark runs 10,000 cycles and reports the growth of the
// resident set. The mount benchmarks update a mount counter of 200 bind mounts (made in
// a private mount namespace, so run it as root) beside a plain statvfs loop over them.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
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

constexpr uint32_t kSpanMs = 15000;

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
            if (c.delta) c.delta(&c, kSpanMs, iteration);
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

// 200 bind mounts of one tmpfs, made in a mount namespace of this process's own
// before any thread starts, so that every thread sees them and nothing outlives the
// process but an empty directory. The tmpfs source is not "tmpfs", so the live
// mount table's counter above does not take them; the mount benchmarks read a table
// of their own that lists the binds.
struct bind_mounts {
    static constexpr int kCount = 200;
    std::string base, mtab, error;
    std::vector<std::string> dirs;

    bind_mounts()
    {
        char tmpl[] = "/tmp/vesk-mounts-XXXXXX";
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            error = "no private mount namespace (run as root)";
            return;
        }
        if (!mkdtemp(tmpl) || mount("vesk-bench", tmpl, "tmpfs", 0, "size=1m") != 0) {
            error = "no tmpfs for the binds";
            return;
        }
        base = tmpl;
        std::string table;
        for (int i = 0; i < kCount; i++) {
            std::string dir = base + "/m" + std::to_string(i);
            if (mkdir(dir.c_str(), 0755) != 0 || mount(base.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0) {
                error = "bind mount failed";
                return;
            }
            dirs.push_back(dir);
            table += "tmpfs " + dir + " tmpfs rw 0 0\n";
        }
        mtab = base + "/mtab";
        if (FILE *f = fopen(mtab.c_str(), "w")) {
            fputs(table.c_str(), f);
            fclose(f);
        } else {
            error = "cannot write the mount table";
        }
    }
    ~bind_mounts()
    {
        if (base.empty()) return;
        umount2(base.c_str(), MNT_DETACH);
        rmdir(base.c_str());
    }
};

bind_mounts *binds = nullptr;

// One update of a mount counter that reads the binds' table.
void BM_MountCounter200(benchmark::State &state)
{
    if (!binds->error.empty()) return state.SkipWithError(binds->error.c_str());
    counters(); // the configuration the registry sets up
    vesk_mycustom_counter c{};
    mycustom_set(&c, nullptr, core_counter_ops(CORE_MOUNT));
    vesk_mtab_path = binds->mtab.c_str();
    c.init(&c);
    vesk_mtab_path = "/etc/mtab";
    const auto *d = static_cast<const vesk_mycustom_data_mount *>(c.data);
    if (d->list.entries.size() != bind_mounts::kCount) state.SkipWithError("the counter does not take the binds");
    for (auto _ : state) c.update(&c);
    state.counters["mounts"] = static_cast<double>(d->list.entries.size());
    c.free(&c);
}
BENCHMARK(BM_MountCounter200)->MeasureProcessCPUTime()->UseRealTime();

// The floor: statvfs on the same directories in a plain loop.
void BM_StatvfsLoop200(benchmark::State &state)
{
    if (!binds->error.empty()) return state.SkipWithError(binds->error.c_str());
    for (auto _ : state)
        for (const std::string &dir : binds->dirs) {
            struct statvfs st;
            benchmark::DoNotOptimize(statvfs(dir.c_str(), &st));
        }
}
BENCHMARK(BM_StatvfsLoop200)->MeasureProcessCPUTime()->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    bind_mounts made; // first: a thread started before the unshare would not see the binds
    binds = &made;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
