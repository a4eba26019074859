#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "counter_support.hpp"
#include "vesk_mount.hpp"

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
// the test releases them, as slow and dead network mounts do; it counts the calls.
struct stalling_statvfs {
    static inline std::mutex m;
    static inline std::condition_variable released;
    static inline std::map<std::string, bool> stalled;
    static inline std::map<std::string, int> delay_ms;
    static inline std::map<std::string, int> calls, returned;

    static int call(const char *path, struct statvfs *st)
    {
        std::unique_lock lock(m);
        calls[path]++;
        const auto delay = std::chrono::milliseconds(delay_ms[path]);
        lock.unlock();
        std::this_thread::sleep_for(delay);
        lock.lock();
        released.wait(lock, [&] { return !stalled[path]; });
        *st = fs(4096, 4096, 1000000, 250000, 400, 100);
        returned[path]++;
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
// pass begins with the mounts that answer in time and were left out last, so none of
// them is left out twice in a row, however the mounts that are always late stand; and
// the lines name exactly the mounts asked that did not answer.
TEST_F(MountPool, MountPassCutShortResumes)
{
    auto mnt = mounts(60, 40); // at most 8 workers x 250 ms / 40 ms = 48 per pass
    std::set<std::string> late;
    for (size_t i = 0; i < dirs.size(); i += 7) late.insert(dirs[i]);
    stalling_statvfs::slow({late.begin(), late.end()}, 400);
    const size_t in_time = dirs.size() - late.size();

    std::set<std::string> before_pass(dirs.begin(), dirs.end()), pool;
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
        ASSERT_LT(reported.size(), in_time) << "the pass was not cut short";
        EXPECT_EQ(named, unanswered) << pass;
        before_pass = reported;
        if (pass == 1) pool = thread_ids();
        EXPECT_EQ(thread_ids(), pool) << pass;
    }
    mnt.reset();
    stalling_statvfs::wait_all_returned();
}

// More stalled mounts than the spares of one pass reach: the mounts no worker took
// stay with that pass. A worker whose call returns later does not go on to ask them,
// so no mount is ever asked twice at once.
TEST_F(CounterTest, MountsLeftOverAreNotAskedAfterThePass)
{
    using namespace std::chrono;
    std::vector<std::string> dirs;
    vesk_statvfs = stalling_statvfs::call;
    config.interval = 1;
    auto mnt = mount_counter(scratch("m"), 60, dirs);
    for (const std::string &d : dirs) stalling_statvfs::stall(d, true);

    testing::internal::CaptureStdout();
    EXPECT_EQ(mnt->update(), 1);
    // The last mount a worker took: its call returns, and that worker is free again.
    size_t taken = 0;
    while (taken < dirs.size() && stalling_statvfs::calls_of(dirs[taken]) == 1) taken++;
    ASSERT_GT(taken, 0u);
    ASSERT_LT(taken, dirs.size()) << "every mount was taken in one pass";
    stalling_statvfs::stall(dirs[taken - 1], false);
    stalling_statvfs::wait_returned(dirs[taken - 1], 1);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(stalling_statvfs::calls_of(dirs[taken]), 0) << "a mount of a past pass was asked";
    EXPECT_EQ(mnt->update(), 1);
    testing::internal::GetCapturedStdout();
    for (size_t i = 0; i < dirs.size(); i++) {
        if (i == taken - 1) continue;
        EXPECT_LE(stalling_statvfs::calls_of(dirs[i]), 1) << dirs[i];
    }

    mnt.reset();
    for (size_t i = 0; i < dirs.size(); i++) {
        const int asked = stalling_statvfs::calls_of(dirs[i]);
        stalling_statvfs::stall(dirs[i], false);
        stalling_statvfs::wait_returned(dirs[i], asked);
    }
    vesk_statvfs = statvfs;
}
