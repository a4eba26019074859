#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "counter_support.hpp"
#include "vesk_mount.hpp"
#include "vesk_owners.hpp"

using test_support::core_counter;
using test_support::CounterTest;

namespace {

struct statvfs fs(unsigned long bsize, unsigned long frsize, fsblkcnt_t blocks, fsblkcnt_t bavail, fsfilcnt_t files,
                  fsfilcnt_t ffree)
{
    struct statvfs st {};
    st.f_bsize = bsize, st.f_frsize = frsize, st.f_blocks = blocks, st.f_bavail = bavail;
    st.f_files = files, st.f_ffree = ffree;
    return st;
}

// A statvfs that takes a set time for some directories and, for others, waits until
// the test releases them, as slow and dead network mounts do; it counts the calls
// and logs each one.
struct stalling_statvfs {
    struct record {
        std::string dir;
        std::chrono::steady_clock::time_point began, ended{};
        bool back = false; // returned, at `ended`
    };
    static inline std::mutex m;
    static inline std::condition_variable released;
    static inline std::map<std::string, bool> stalled;
    static inline std::map<std::string, int> delay_ms;
    static inline std::map<std::string, int> calls, returned;
    static inline std::vector<record> log;
    // When set, the delay of each call as it begins, in place of `delay_ms`; a
    // negative one never returns. Called with `m` held.
    static inline std::function<int(const std::string &dir)> plan;

    static int call(const char *path, struct statvfs *st)
    {
        std::unique_lock lock(m);
        calls[path]++;
        const int ms = plan ? plan(path) : delay_ms[path];
        const size_t at = log.size();
        log.push_back({.dir = path, .began = std::chrono::steady_clock::now()});
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(std::max(ms, 0)));
        lock.lock();
        released.wait(lock, [&] { return !stalled[path] && ms >= 0; });
        *st = fs(4096, 4096, 1000000, 250000, 400, 100);
        returned[path]++;
        log[at].ended = std::chrono::steady_clock::now();
        log[at].back = true;
        released.notify_all();
        return 0;
    }
    static void stall(const std::string &dir, bool on)
    {
        std::lock_guard lock(m);
        stalled[dir] = on;
        released.notify_all();
    }
    static void slow(const std::vector<std::string> &dirs, int ms)
    {
        std::lock_guard lock(m);
        for (const std::string &dir : dirs) delay_ms[dir] = ms;
    }
    static int calls_of(const std::string &dir)
    {
        std::lock_guard lock(m);
        return calls[dir];
    }
    static int in_progress()
    {
        std::lock_guard lock(m);
        int n = 0;
        for (const auto &[dir, c] : calls) n += c - returned[dir];
        return n;
    }
    static void wait_returned(const std::string &dir, int n)
    {
        std::unique_lock lock(m);
        released.wait(lock, [&] { return returned[dir] >= n; });
    }
    // Until every call so far has returned, and a moment for the workers to take the answers.
    static void wait_all_returned()
    {
        std::unique_lock lock(m);
        released.wait(lock, [] {
            return std::ranges::all_of(calls, [](const auto &c) { return returned[c.first] == c.second; });
        });
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
};

// A mount counter over `n` directories below `base`, read from a table of its own.
std::unique_ptr<core_counter> mount_counter(const std::string &base, int n, std::vector<std::string> &dirs)
{
    std::string table;
    for (int i = 0; i < n; i++) {
        dirs.push_back(base + "/m" + std::to_string(i));
        std::filesystem::create_directories(dirs.back());
        table += "/dev/x" + std::to_string(i) + " " + dirs.back() + " ext4 rw 0 0\n";
    }
    const std::string mtab = base + "/mtab";
    std::ofstream(mtab) << table;
    vesk_mtab_path = mtab.c_str();
    auto mnt = std::make_unique<core_counter>(CORE_MOUNT);
    vesk_mtab_path = "/etc/mtab";
    return mnt;
}

// The mounts named by the "does not answer" lines of one update.
std::set<std::string> not_answering(const std::string &printed)
{
    static const std::string head = "mount ", tail = " does not answer, left out of the report";
    std::set<std::string> named;
    std::istringstream lines(printed);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(line.starts_with(head) && line.ends_with(tail)) << line;
        named.insert(line.substr(head.size(), line.size() - head.size() - tail.size()));
    }
    return named;
}

// The ids of this process's threads.
std::set<std::string> thread_ids()
{
    std::set<std::string> ids;
    for (const auto &t : std::filesystem::directory_iterator("/proc/self/task")) ids.insert(t.path().filename());
    return ids;
}

// A thread that has been joined may linger in /proc for a moment.
bool threads_back_to(const std::set<std::string> &ids)
{
    for (int i = 0; i < 400 && thread_ids() != ids; i++) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return thread_ids() == ids;
}

// Whether the threads started since there were `before` are within the pool of eight
// plus one for each call the fake statvfs holds. A worker that ended once its call
// returned may linger a moment.
bool threads_within_pool(size_t before)
{
    for (int i = 0; i < 40; i++) {
        if (thread_ids().size() <= before + 8 + static_cast<size_t>(stalling_statvfs::in_progress())) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

} // namespace

TEST(MountSizes, FromStatvfs)
{
    constexpr uint64_t kMaxInt64 = 9223372036854775807ULL;
    struct {
        const char *what;
        struct statvfs st;
        mount_sizes want;
    } cases[] = {
        {"4 KiB blocks, a quarter available", fs(4096, 4096, 1000000, 250000, 400, 100), {976, 3906, 0.25, 0.25}},
        // Block counts are in fragments: a large preferred I/O size must not inflate the sizes.
        {"fragment smaller than the I/O size", fs(1048576, 4096, 2621440, 262144, 10, 10), {1024, 10240, 1.0, 0.1}},
        {"no fragment size: the block size counts", fs(4096, 0, 512, 256, 0, 0), {1, 2, 0, 0.5}},
        {"no inodes, no blocks", fs(4096, 4096, 0, 0, 0, 0), {0, 0, 0, 0}},
        {"sizes past 64 bits before the shift", fs(4096, 4096, 1ULL << 62, 1ULL << 61, 1, 1),
         {1ULL << 53, 1ULL << 54, 1.0, 0.5}},
        {"sizes past what the report holds", fs(1 << 30, 1 << 30, ~0ULL, ~0ULL, 1, 1), {kMaxInt64, kMaxInt64, 1, 1}},
    };
    for (const auto &c : cases) {
        mount_sizes s = mount_sizes_of(c.st);
        EXPECT_EQ(s.free, c.want.free) << c.what;
        EXPECT_EQ(s.total, c.want.total) << c.what;
        EXPECT_DOUBLE_EQ(s.inodes_usage, c.want.inodes_usage) << c.what;
        EXPECT_DOUBLE_EQ(s.space_usage, c.want.space_usage) << c.what;
    }
}

TEST(MountSelection, DevicesTypesAndMasks)
{
    struct {
        const char *fsname, *type, *dir;
        bool exclude_tmpfs, want;
    } cases[] = {
        {"/dev/mapper/vg-data", "xfs", "/data", false, true},
        {"/devices", "ext4", "/weird", false, true}, // the device rule is a prefix
        {"tmpfs", "tmpfs", "/tmp", false, true},
        {"tmpfs", "tmpfs", "/tmp", true, false},
        {"tank/home", "zfs", "/home", true, true},
        {"fuse", "fuse", "/mnt/fuse", false, false},
        {"host:/x", "nfs", "/mnt/nfs", false, false},
        {"devtmpfs", "devtmpfs", "/dev", false, false},
        {"tmpfs", "tmpfs", "/run/user/1000", false, false}, // the default masks apply
    };
    for (const auto &c : cases) {
        init_config();
        config.exclude_tmpfs = c.exclude_tmpfs;
        EXPECT_EQ(mount_selected(c.fsname, c.type, c.dir, config), c.want) << c.fsname << " " << c.dir;
    }
}

// The mount points the counter keeps from a table of its own, in table order, named
// as the report can carry them, each name once; a directory that is gone reports zeros.
TEST_F(CounterTest, MountTable)
{
    const std::string base = scratch("m");
    const std::string deep = base + "/" + std::string(200, 'a') + "/" + std::string(200, 'b');
    const std::string deep2 = deep.substr(0, 300) + "-other"; // the same first 255 bytes
    for (const std::string &dir : {base + "/with space", deep, base + "/bad\xff"}) std::filesystem::create_directories(dir);
    write_file("mtab", "proc /proc proc rw 0 0\n/dev/vda / ext4 rw,relatime 0 0\ntmpfs /run tmpfs rw 0 0\n"
                       "none /dev/shm tmpfs rw 0 0\ntmpfs " + base + " tmpfs rw 0 0\ntank " + base + "/gone zfs rw 0 0\n"
                       "# a comment line\n/dev/sdb1 " + base + "/with\\040space ext4 rw 0 0\n"
                       "overlay /merged overlay rw 0 0\nsshfs#host: " + deep + " fuse.sshfs rw 0 0\n"
                       "/dev/sdc1 " + base + "/with\\040space xfs rw 0 0\n"
                       "sshfs#other: " + deep2 + " fuse.sshfs rw 0 0\n"
                       "/dev/sdd1 " + base + "/bad\xff ext4 rw 0 0\n");
    const std::string mtab = scratch("mtab");
    vesk_mtab_path = mtab.c_str();
    testing::internal::CaptureStdout();
    core_counter mnt(CORE_MOUNT);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "mount " + base + "/with space left out of the report: its name repeats an earlier mount's\n"
              "mount " + deep2 + " left out of the report: its name repeats an earlier mount's\n");
    vesk_mtab_path = "/etc/mtab";
    EXPECT_EQ(mnt.init_result, 1);
    EXPECT_EQ(mnt.update(), 1);
    EXPECT_EQ(mnt.keys("mounts"), (std::vector<std::string>{"/", base, base + "/gone", base + "/with space",
                                                              deep.substr(0, 255), base + "/bad\xEF\xBF\xBD"}));
    const std::string gone = base + "/gone";
    EXPECT_NE(mnt.report().find(gone + ":{ok:i64=1;name:str=" + gone + ";free:i64=0;total:i64=0;space_perc:dbl=0;"
                                       "inodes_perc:dbl=0;}"),
              std::string::npos);
    std::string dump = mnt.dump();
    EXPECT_EQ(dump.rfind("MyCustom Mount report (1) :\n\tMount = /\n\t\tok = 1\n\t\ttotal = ", 0), 0u) << dump;
    EXPECT_NE(dump.find("\tMount = " + gone + "\n\t\tok = 1\n\t\ttotal = 0\n\t\tfree = 0\n\t\tfree perc = "
                        "0.000000\n\t\tinodes free perc = 0.000000\n"),
              std::string::npos)
        << dump;

    vesk_mtab_path = "/no/such/mtab";
    core_counter none(CORE_MOUNT);
    vesk_mtab_path = "/etc/mtab";
    EXPECT_EQ(none.init_result, 0);
    EXPECT_EQ(none.update(), 1);
    EXPECT_EQ(none.report(), "mounts:{};");
    EXPECT_EQ(none.dump(), "MyCustom Mount report (0) :\n");
}

// A mount that does not answer in time is left out of that report, is not asked
// again while its call is blocked, and is reported again once the call returns;
// the pass takes one deadline however many mounts stall.
TEST_F(CounterTest, MountThatDoesNotAnswer)
{
    using namespace std::chrono;
    const std::string dead1 = scratch("dead1"), dead2 = scratch("dead2"), live = scratch("live");
    write_file("mtab", "/dev/a " + dead1 + " ext4 rw 0 0\n/dev/b " + live + " ext4 rw 0 0\nhost: " + dead2 +
                           " fuse.sshfs rw 0 0\n");
    const std::string mtab = scratch("mtab");
    vesk_mtab_path = mtab.c_str();
    vesk_statvfs = stalling_statvfs::call;
    config.interval = 2;
    const std::set<std::string> threads = thread_ids();
    auto mnt = std::make_unique<core_counter>(CORE_MOUNT);
    vesk_mtab_path = "/etc/mtab";
    ASSERT_EQ(mnt->keys("mounts"), (std::vector<std::string>{dead1, live, dead2}));

    stalling_statvfs::stall(dead1, true);
    stalling_statvfs::stall(dead2, true);
    for (int cycle = 0; cycle < 3; cycle++) {
        testing::internal::CaptureStdout();
        auto t0 = steady_clock::now();
        EXPECT_EQ(mnt->update(), 1);
        auto took = steady_clock::now() - t0;
        std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_LT(took, 800ms) << cycle; // well inside the interval of 2 s
        EXPECT_EQ(mnt->keys("mounts"), std::vector<std::string>{live}) << cycle;
        EXPECT_EQ(printed, cycle ? "" : "mount " + dead1 + " does not answer, left out of the report\nmount " + dead2 +
                                            " does not answer, left out of the report\n");
    }
    EXPECT_EQ(stalling_statvfs::calls_of(dead1), 1);
    EXPECT_EQ(stalling_statvfs::calls_of(dead2), 1);
    EXPECT_EQ(stalling_statvfs::calls_of(live), 3);

    // A stop signal while the pass waits: it ends at once and tells of no mount.
    stalling_statvfs::stall(live, true);
    std::string printed;
    nanoseconds took{};
    {
        stop_handler handler;
        std::thread stopper = stop_signal_after(50ms);
        testing::internal::CaptureStdout();
        auto t0 = steady_clock::now();
        EXPECT_EQ(mnt->update(), 1);
        took = steady_clock::now() - t0;
        stopper.join();
        printed = testing::internal::GetCapturedStdout();
    }
    EXPECT_EQ(printed, "");
    EXPECT_LT(took, 300ms); // the deadline is 500 ms
    stalling_statvfs::stall(live, false);
    stalling_statvfs::wait_returned(live, 4);

    // Once the call has returned, the next cycle asks again and reports the mount.
    stalling_statvfs::stall(dead1, false);
    stalling_statvfs::wait_returned(dead1, 1);
    for (int i = 0; i < 200 && mnt->keys("mounts").size() < 2; i++) {
        std::this_thread::sleep_for(5ms);
        EXPECT_EQ(mnt->update(), 1);
    }
    EXPECT_EQ(stalling_statvfs::calls_of(dead1), 2);
    EXPECT_EQ(mnt->keys("mounts"), (std::vector<std::string>{dead1, live}));
    EXPECT_NE(mnt->report().find(dead1 + ":{ok:i64=1;name:str=" + dead1 + ";free:i64=976;total:i64=3906;"),
              std::string::npos);

    // The counter goes while a call is still blocked; the call ends later on its own,
    // and its thread with it.
    mnt.reset();
    stalling_statvfs::stall(dead2, false);
    stalling_statvfs::wait_returned(dead2, 1);
    EXPECT_TRUE(threads_back_to(threads));
    vesk_statvfs = statvfs;
}

// The mounts are asked by threads that last from pass to pass: a thousand passes
// start none after the first, and the stop ends them.
TEST_F(CounterTest, MountWorkersLast)
{
    std::vector<std::string> dirs;
    const std::set<std::string> before = thread_ids();
    auto mnt = mount_counter(scratch("m"), 3, dirs);

    ASSERT_EQ(mnt->update(), 1);
    const std::set<std::string> workers = thread_ids();
    EXPECT_GT(workers.size(), before.size());
    for (int pass = 1; pass < 1000; pass++) ASSERT_EQ(mnt->update(), 1);
    EXPECT_EQ(thread_ids(), workers);
    EXPECT_EQ(mnt->keys("mounts"), dirs);
    mnt.reset();
    EXPECT_TRUE(threads_back_to(before));
}

// Counters over mounts that the fake statvfs answers, with one pass a second.
class MountPool : public CounterTest {
protected:
    void SetUp() override
    {
        CounterTest::SetUp();
        vesk_statvfs = stalling_statvfs::call;
        config.interval = 1;
    }
    void TearDown() override
    {
        vesk_statvfs = statvfs;
        CounterTest::TearDown();
    }
    // A counter over `n` mounts whose calls take `delay_ms` each.
    std::unique_ptr<core_counter> mounts(int n, int delay_ms)
    {
        auto mnt = mount_counter(scratch("m"), n, dirs);
        stalling_statvfs::slow(dirs, delay_ms);
        return mnt;
    }
    std::vector<std::string> dirs;
};

// Mounts that answer in a few milliseconds each are asked side by side, by no more
// than a few workers, and every one of them is in every report. Once they answer
// at once again the pool shrinks back to one worker.
TEST_F(MountPool, SlowMountsAreAllReported)
{
    const std::set<std::string> before = thread_ids();
    auto mnt = mounts(60, 8);

    std::set<std::string> started;
    for (int pass = 0; pass < 3; pass++) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(mnt->update(), 1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << pass;
        EXPECT_EQ(mnt->keys("mounts"), dirs) << pass;
        std::ranges::set_difference(thread_ids(), before, std::inserter(started, started.end()));
    }
    EXPECT_GT(started.size(), 1u) << "asked one after the other";
    EXPECT_LE(started.size(), 8u);

    stalling_statvfs::slow(dirs, 0);
    for (int pass = 0; pass < 200 && thread_ids().size() > before.size() + 1; pass++) ASSERT_EQ(mnt->update(), 1);
    EXPECT_EQ(thread_ids().size(), before.size() + 1);
    EXPECT_EQ(mnt->keys("mounts"), dirs);
    mnt.reset();
    EXPECT_TRUE(threads_back_to(before));
}

// Mounts slow but well within the deadline start no thread after the first pass, and
// a dead mount among them costs only itself: its entry is left out, it is named once,
// it is not asked again while its call hangs, and it is back once the call returns.
TEST_F(MountPool, SlowMountsCostNoThreadADeadOneOnlyItself)
{
    auto mnt = mounts(7, 30);
    const std::string dead = dirs[3];
    stalling_statvfs::stall(dead, true);
    std::vector<std::string> live = dirs;
    live.erase(live.begin() + 3);

    std::set<std::string> pool;
    for (int pass = 1; pass <= 5; pass++) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(mnt->update(), 1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  pass == 1 ? "mount " + dead + " does not answer, left out of the report\n" : "");
        EXPECT_EQ(mnt->keys("mounts"), live) << pass;
        if (pass == 1) pool = thread_ids();
        EXPECT_EQ(thread_ids(), pool) << pass;
        EXPECT_EQ(stalling_statvfs::calls_of(live[0]), pass);
    }
    EXPECT_EQ(stalling_statvfs::calls_of(dead), 1);

    stalling_statvfs::stall(dead, false);
    stalling_statvfs::wait_all_returned();
    EXPECT_EQ(mnt->update(), 1);
    EXPECT_EQ(mnt->keys("mounts"), dirs);
    EXPECT_EQ(thread_ids(), pool) << "the worker back from the dead mount is kept";
}

// More mounts than the workers can ask before the deadline, of uneven speed: each
// pass begins with the mounts left out last, so none that answers in time is left out
// twice in a row, however the mounts that are always late stand; the lines name
// exactly the mounts asked that did not answer; and the threads stay within the pool
// plus one for each late call.
TEST_F(MountPool, MountPassCutShortResumes)
{
    const size_t threads = thread_ids().size();
    auto mnt = mounts(60, 40); // once known in time, at most 8 workers x 250 ms / 40 ms = 50 per pass
    std::set<std::string> late;
    for (size_t i = 0; i < dirs.size(); i += 7) late.insert(dirs[i]);
    stalling_statvfs::slow({late.begin(), late.end()}, 400);
    const size_t in_time = dirs.size() - late.size();

    std::set<std::string> before_pass(dirs.begin(), dirs.end());
    for (int pass = 1; pass <= 4; pass++) {
        stalling_statvfs::wait_all_returned(); // as an interval between passes would
        std::map<std::string, int> calls;
        for (const std::string &d : dirs) calls[d] = stalling_statvfs::calls_of(d);
        testing::internal::CaptureStdout();
        EXPECT_EQ(mnt->update(), 1);
        const std::set<std::string> named = not_answering(testing::internal::GetCapturedStdout());
        const std::vector<std::string> keys = mnt->keys("mounts");
        const std::set<std::string> reported(keys.begin(), keys.end());
        std::set<std::string> unanswered;
        for (const std::string &d : dirs) {
            if (stalling_statvfs::calls_of(d) > calls[d] && !reported.contains(d)) unanswered.insert(d);
            if (!reported.contains(d) && !late.contains(d)) {
                EXPECT_TRUE(before_pass.contains(d)) << d << " left out twice, pass " << pass;
            }
        }
        // The first pass gives each mount not known yet a worker of its own.
        if (pass > 1) {
            ASSERT_LT(reported.size(), in_time) << "the pass was not cut short";
        }
        EXPECT_EQ(named, unanswered) << pass;
        before_pass = reported;
        EXPECT_TRUE(threads_within_pool(threads)) << pass;
    }
    mnt.reset();
    stalling_statvfs::wait_all_returned();
}

// More mounts in time than one pass can ask: the mounts no worker took stay with that
// pass. The workers held at its deadline come back free once their calls return, and
// do not go on to ask them, so no mount is ever asked twice at once.
TEST_F(MountPool, MountsLeftOverAreNotAskedAfterThePass)
{
    auto mnt = mounts(60, 100); // once known in time, about 8 workers x 250 ms / 100 ms a pass
    testing::internal::CaptureStdout();
    EXPECT_EQ(mnt->update(), 1);
    stalling_statvfs::wait_all_returned();
    EXPECT_EQ(mnt->update(), 1);
    std::map<std::string, int> asked;
    for (const std::string &d : dirs) asked[d] = stalling_statvfs::calls_of(d);
    stalling_statvfs::wait_all_returned();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    testing::internal::GetCapturedStdout();
    ASSERT_LT(std::ranges::count(asked, 2, [](const auto &a) { return a.second; }), 60) << "no mount was left over";
    for (const std::string &d : dirs) EXPECT_EQ(stalling_statvfs::calls_of(d), asked[d]) << d << " asked later";
}

namespace {

// One mixture of mounts for the pool's promises: how long each mount's call takes,
// drawn for each pass (ms; negative: it never returns).
struct pool_mixture {
    std::string name; // how to replay it
    std::vector<std::vector<int>> delay{}; // [pass - 1][mount]
    std::chrono::milliseconds period{350}; // from one pass's start to the next
};

// Each mount answers at once, in time, just or well past the deadline, never, or each
// pass one of these.
pool_mixture random_mixture(uint32_t seed)
{
    std::mt19937 rng(seed);
    auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    auto delay = [&pick](int kind) {
        switch (kind) {
        case 0: return 0;
        case 1: return pick(60, 120);  // in time, yet enough of them fill a pass
        case 2: return pick(300, 350); // the deadline is 250 ms
        case 3: return pick(500, 750);
        default: return -1;
        }
    };
    // Weights of its own for each mixture, so that some are crowded with one kind.
    std::vector<double> weights;
    for (int k = 0; k < 6; k++) {
        const double u = std::uniform_real_distribution<>(0, 1)(rng);
        weights.push_back(u * u * u);
    }
    std::discrete_distribution<int> kind(weights.begin(), weights.end());
    pool_mixture mix{.name = "seed " + std::to_string(seed), .delay = std::vector(6, std::vector<int>(pick(1, 40)))};
    for (size_t i = 0; i < mix.delay[0].size(); i++) {
        const int k = kind(rng);
        for (auto &pass : mix.delay) pass[i] = delay(k == 5 ? pick(0, 4) : k);
    }
    return mix;
}

// Runs one mixture in this process, one pass a period with a deadline of 250 ms, and
// says which promise broke first (empty when none):
// - a mount that answers at once is in the report, while the mounts that answer in
//   time fit in a pass easily; not in the first two passes, nor in the first pass
//   after a late call of it returned;
// - none that answers in time is missing from two reports in a row, while those
//   missing from the first fit in the next pass easily;
// - threads stay within the pool plus one for each call in progress.
// Only mounts whose calls had all returned before the pass began count.
std::string run_mixture(const pool_mixture &mix, const std::string &base)
{
    using namespace std::chrono;
    using steady = steady_clock;
    constexpr auto span = 250ms, race = 20ms;
    constexpr int easy_ms = 800; // of calls: what eight workers do in a pass, easily
    const int passes = static_cast<int>(mix.delay.size());
    const size_t n = mix.delay[0].size(), threads = thread_ids().size();
    std::vector<std::string> dirs;
    int pass = 0;
    auto mnt = mount_counter(base, static_cast<int>(n), dirs);
    std::map<std::string, size_t> index;
    for (size_t i = 0; i < n; i++) index[dirs[i]] = i;
    stalling_statvfs::plan = [&](const std::string &dir) { return mix.delay[pass - 1][index.at(dir)]; };
    vesk_statvfs = stalling_statvfs::call;
    config.interval = 1;

    std::vector<steady::time_point> starts;
    std::vector<std::set<size_t>> reported;
    std::string failure;
    for (int k = 1; k <= passes && failure.empty(); k++) {
        starts.push_back(steady::now());
        {
            std::lock_guard lock(stalling_statvfs::m);
            pass = k;
        }
        mnt->update();
        reported.emplace_back();
        for (const std::string &key : mnt->keys("mounts")) reported.back().insert(index.at(key));
        if (!threads_within_pool(threads))
            failure = "pass " + std::to_string(k) + ": " + std::to_string(thread_ids().size() - threads) +
                      " threads for " + std::to_string(stalling_statvfs::in_progress()) + " calls in progress";
        if (k < passes) std::this_thread::sleep_until(starts.back() + mix.period);
    }
    std::vector<stalling_statvfs::record> log;
    {
        std::lock_guard lock(stalling_statvfs::m);
        log = stalling_statvfs::log;
    }
    // Whether every call of mount i had returned when pass k began, and whether k is
    // the first pass after a late call of it returned.
    auto idle = [&](size_t i, int k) {
        return std::ranges::all_of(log, [&](const auto &c) {
            return c.dir != dirs[i] || c.began >= starts[k - 1] || (c.back && c.ended + race <= starts[k - 1]);
        });
    };
    auto after_late = [&](size_t i, int k) {
        return std::ranges::any_of(log, [&](const auto &c) {
            return c.dir == dirs[i] && c.back && c.ended - c.began > span - race &&
                   c.ended + race > starts[k - 2] && c.ended < starts[k - 1];
        });
    };
    auto in_time = [&](size_t i, int k) { return mix.delay[k - 1][i] >= 0 && mix.delay[k - 1][i] < span.count(); };
    auto which = [&](size_t i, int k) {
        std::string what = "mount " + std::to_string(i) + " (ms by pass:";
        for (const auto &d : mix.delay) what += " " + std::to_string(d[i]);
        return what + ") in pass " + std::to_string(k);
    };
    for (int k = 1; k <= static_cast<int>(reported.size()) && failure.empty(); k++) {
        int work = 0, left_over = 0;
        for (size_t i = 0; i < n; i++) {
            if (in_time(i, k) && idle(i, k)) work += mix.delay[k - 1][i] + 1;
            if (k > 1 && in_time(i, k) && idle(i, k) && in_time(i, k - 1) && idle(i, k - 1) &&
                !reported[k - 2].contains(i))
                left_over += mix.delay[k - 1][i] + 1;
        }
        for (size_t i = 0; i < n && failure.empty(); i++) {
            if (reported[k - 1].contains(i) || !idle(i, k) || !in_time(i, k)) continue;
            if (k > 2 && mix.delay[k - 1][i] == 0 && !after_late(i, k) && work <= easy_ms)
                failure = which(i, k) + " answers at once but is not in the report";
            else if (k > 2 && in_time(i, k - 1) && idle(i, k - 1) && !reported[k - 2].contains(i) &&
                     left_over <= easy_ms)
                failure = which(i, k) + " answers in time but is missing from two reports in a row";
        }
    }
    if (failure.empty()) return "";
    std::string text = mix.name + ", " + std::to_string(n) + " mounts: " + failure + "; reports:";
    for (const auto &keys : reported) {
        text += " {";
        for (size_t i : keys) text += " " + std::to_string(i);
        text += " }";
    }
    return text;
}

} // namespace

// Every mount that answers is asked again whatever the others do: over many mixtures
// of mounts that answer at once, in time, just or well past the deadline, never, or
// each pass otherwise, each run in a process of its own, side by side.
TEST_F(MountPool, EveryMountThatAnswersIsAskedAgain)
{
    // One mount that answers at once but for one call of 2 s, beside ten always late;
    // forty-five dead mounts before one that answers at once.
    pool_mixture late_once{
        .name = "late once", .delay = std::vector(8, std::vector<int>(11, 400)), .period = std::chrono::seconds(1)};
    pool_mixture dead_first{.name = "dead first", .delay = std::vector(6, std::vector<int>(46, -1))};
    for (auto &pass : late_once.delay) pass[0] = 0;
    late_once.delay[1][0] = 2000;
    for (auto &pass : dead_first.delay) pass[45] = 0;
    std::vector<pool_mixture> mixtures{late_once, dead_first};
    for (uint32_t seed = 1; seed <= 200; seed++) mixtures.push_back(random_mixture(seed));

    // Each child has only the thread that forked it.
    ASSERT_TRUE(threads_back_to({std::to_string(getpid())}));
    std::map<pid_t, std::pair<unique_fd, size_t>> running;
    size_t next = 0;
    while (next < mixtures.size() || !running.empty()) {
        if (next < mixtures.size() && running.size() < 40) {
            int fds[2];
            ASSERT_EQ(pipe(fds), 0);
            unique_fd from(fds[0]), to(fds[1]);
            const pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                from.reset();
                unique_fd null(open("/dev/null", O_WRONLY));
                dup2(null.get(), STDOUT_FILENO); // the lines on mounts that do not answer
                stalling_statvfs::log.clear();
                stalling_statvfs::calls.clear();
                stalling_statvfs::returned.clear();
                const std::string failure = run_mixture(mixtures[next], scratch("mix" + std::to_string(next)));
                _exit(write(to.get(), failure.data(), failure.size()) == static_cast<ssize_t>(failure.size()) ? 0 : 1);
            }
            running.emplace(pid, std::pair(std::move(from), next++));
            continue;
        }
        int status = 0;
        const pid_t pid = waitpid(-1, &status, 0);
        ASSERT_GT(pid, 0);
        auto child = running.extract(pid);
        ASSERT_FALSE(child.empty());
        auto &[from, mix] = child.mapped();
        std::string failure;
        char buf[4096];
        for (ssize_t got; (got = read(from.get(), buf, sizeof buf)) > 0;) failure.append(buf, static_cast<size_t>(got));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << mixtures[mix].name << ": the child failed";
        EXPECT_EQ(failure, "") << mixtures[mix].name;
    }
}
