#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hostevents/vesk_oomkiller.hpp"
#include "test_support.hpp"

using namespace hostevents;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// The patterns of the real sources: syslog first, then kmsg.
const kill_pattern SYSLOG = oom_sources("kmsg")[0].pattern;
const kill_pattern KMSG = oom_sources("kmsg")[1].pattern;
const kill_pattern MESSAGES = oom_sources("kmsg")[2].pattern;
// For the tests of following: any line with the words counts.
const kill_pattern ANY = {{"Out of memory"}};
// How the kernel's lines begin in the syslog.
const std::string K = "Mar  3 04:20:01 web1 kernel: ";

template <class Pred>
bool eventually(Pred pred)
{
    auto end = std::chrono::steady_clock::now() + 5s;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

void append(const fs::path &p, const std::string &text) { std::ofstream(p, std::ios::app) << text; }

// What /proc/self/task/TID/status and schedstat tell of a thread: its sleeps
// (voluntary switches), its blocked signals and its CPU time in ns.
struct task_sample {
    long long sleeps = -1;
    unsigned long long blocked = 0;
    long long cpu_ns = -1;
};
task_sample sample_task(pid_t tid)
{
    task_sample t;
    const std::string dir = "/proc/self/task/" + std::to_string(tid) + "/";
    std::ifstream status(dir + "status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("voluntary_ctxt_switches:")) t.sleeps = std::stoll(line.substr(24));
        if (line.starts_with("SigBlk:")) t.blocked = std::stoull(line.substr(7), nullptr, 16);
    }
    std::ifstream(dir + "schedstat") >> t.cpu_ns;
    return t;
}

// The follower's diagnostics, kept for the test to wait on and inspect.
struct log_lines {
    std::mutex m;
    std::vector<std::string> lines;
    log_follower::log_fn sink()
    {
        return [this](const std::string &l) {
            std::lock_guard g(m);
            lines.push_back(l);
        };
    }
    // Waits until the text has been logged `times` times.
    bool wait_for(const std::string &text, long times = 1)
    {
        return eventually([&] {
            std::lock_guard g(m);
            return std::count(lines.begin(), lines.end(), text) >= times;
        });
    }
};

class OomFollower : public testing::Test {
protected:
    std::string seeked() const { return "Seeked " + log.string() + " - {Offset:0 Whence:2}\n"; }
    std::unique_ptr<log_follower> follow(const kill_pattern &pattern)
    {
        auto f = std::make_unique<log_follower>(log.string(), pattern, logs.sink());
        f->start();
        return f;
    }
    // Waits until the follower has read the whole file, then takes the count.
    long long settled_count(log_follower &f)
    {
        EXPECT_TRUE(eventually([&] {
            std::error_code ec;
            auto size = fs::file_size(log, ec);
            return !ec && static_cast<long long>(size) == f.position();
        })) << "follower at " << f.position();
        return f.take_count();
    }

    temp_dir tmp;
    fs::path log = tmp.path() / "syslog";
    log_lines logs;
};

} // namespace

TEST(KillLineCounter, CountsCompleteMatchingLinesOnce)
{
    struct {
        kill_pattern pattern;
        std::vector<std::string> pieces;
        std::vector<long long> want; // per piece
    } cases[] = {
        {SYSLOG, {K + "Out of memory Out of memory\n"}, {1}},               // once per line
        {SYSLOG, {K + "out of memory: killed process 12\n"}, {0}},          // syslog is case-sensitive
        {SYSLOG, {K + "Out of mem", "ory here", "\n"}, {0, 0, 1}},          // counted when the newline comes
        {SYSLOG, {"a\n" + K + "Out of memory\nb\n" + K + "Out of memory\r\n"}, {2}},
        {SYSLOG, {K + "Memory cgroup out of memory: Killed process 4242 (php-fpm)\n"}, {1}},
        {SYSLOG, {K + "Memory cgroup out of mem", "ory: Kill process 7\n"}, {0, 1}}, // the longer text across pieces
        {SYSLOG, {K + "memory cgroup out of memory\n"}, {0}},
        // Only the kernel's own tag counts, whatever other daemons echo.
        {SYSLOG, {"Out of memory\n", "kernel: Out of memory\n"}, {0, 0}},
        {SYSLOG, {"Mar  3 04:20:01 mail postfix/smtpd[2112]: HELO Out of memory\n"}, {0}},
        {SYSLOG, {"Mar  3 04:20:01 mail sshd[7]: Invalid user kernel: Out of memory\n"}, {0}},
        {SYSLOG, {"Mar  3 04:20:01 kernel postfix/smtpd[2112]: Out of memory\n"}, {0}},
        {SYSLOG, {"Mar  3 04:20:01 web1  kernel: Out of memory\n"}, {0}},
        {SYSLOG, {"Mar 13 04:20:01 web1 kernel:", " [ 12.5] Out of memory: Killed process 9\n"}, {0, 1}},
        {SYSLOG, {"2026-12-09T05:46:58.123456+00:00 web1 ker", "nel: Out of memory\n"}, {0, 1}},
        {SYSLOG, {"2026-12-09T05:46:58 web1 kernel: Out of memory\n"}, {1}},
        {SYSLOG, {"2026-12-09 05:46:58 web1 kernel: Out of memory\n"}, {0}},
        {SYSLOG, {"Mar  3 04:20:01 " + std::string(600, 'h') + " kernel: Out of memory\n"}, {0}},
        {MESSAGES, {"Dec  9 05:46:58 db2 kernel: Killed process 3090 (node)\n"}, {1}},
        {MESSAGES, {"Dec  9 05:46:58 db2 app[7]: Killed process 3090 (node)\n"}, {0}},
        {KMSG, {"<3>Memory cgroup out of memory: KILLED PROCESS 7\n"}, {1}},
        {KMSG, {"kill", "ed Pro", "cess\nnothing\n"}, {0, 0, 1}},
        {KMSG, {std::string(100000, 'x'), "Killed", " process", "\n"}, {0, 0, 0, 1}},
        {KMSG, {"killed proc\n", "ess\n"}, {0, 0}},                    // a newline splits the words
    };
    for (const auto &c : cases) {
        kill_line_counter counter(c.pattern);
        for (size_t i = 0; i < c.pieces.size(); i++)
            EXPECT_EQ(counter.feed(c.pieces[i]), c.want[i]) << c.pieces[i].substr(0, 50);
    }
    kill_line_counter counter(SYSLOG);
    EXPECT_EQ(counter.feed(K + "Out of memory"), 0);
    counter.reset(); // the unfinished line belonged to a file that went away
    EXPECT_EQ(counter.feed(" and more\n"), 0);
    EXPECT_EQ(counter.feed("Mar  3 04:20:01 web1 postfix[1]: x"), 0);
    counter.reset(); // nor does its start decide the tag of the next line
    EXPECT_EQ(counter.feed(K + "Out of memory\n"), 1);
}

TEST_F(OomFollower, FollowsTheFileByItsName)
{
    // Missing at the start: once it appears, what it held then is old.
    auto f = follow(ANY);
    ASSERT_TRUE(logs.wait_for("Waiting for " + log.string() + " to appear..."));
    append(tmp.path() / "new", "Out of memory 0\n");
    fs::rename(tmp.path() / "new", log);
    ASSERT_TRUE(logs.wait_for(seeked()));

    // Rotated: a kill that reaches the old file right before the move still counts.
    append(log, "Out of memory 1\n");
    fs::rename(log, tmp.path() / "syslog.1");
    append(log, "Out of memory 2\nOut of memory 3\n");
    ASSERT_TRUE(logs.wait_for("Successfully reopened " + log.string()));
    EXPECT_TRUE(logs.wait_for("Re-opening moved/deleted file " + log.string() + " ..."));
    EXPECT_EQ(settled_count(*f), 3);

    // The old file is left behind; a file removed and made again counts from its first line.
    append(tmp.path() / "syslog.1", "Out of memory, too late for the old file\n");
    fs::remove(log);
    ASSERT_TRUE(logs.wait_for("Waiting for " + log.string() + " to appear...", 2));
    append(log, "Out of memory 4\nfiller, longer than what follows\n");
    EXPECT_EQ(settled_count(*f), 1);

    // Truncated in place: read again from its start.
    fs::resize_file(log, 0);
    append(log, "Out of memory 5\n");
    ASSERT_TRUE(logs.wait_for("Successfully reopened truncated " + log.string()));
    EXPECT_TRUE(logs.wait_for("Re-opening truncated file " + log.string() + " ..."));
    EXPECT_EQ(settled_count(*f), 1);
}

// Captured kernel lines: global and memory-cgroup kills, in the old "Kill process"
// and the current "Killed process" wording, among lines that are no kills.
TEST_F(OomFollower, CountsGlobalAndCgroupKillsOfTheSyslog)
{
    std::ifstream in(std::string(VESK_FIXTURES) + "/hostevents/syslog-oom.log");
    std::string lines((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(lines.empty());
    append(log, K + "Out of memory: Killed process 1 (old), before the start\n");
    auto f = follow(SYSLOG);
    ASSERT_TRUE(logs.wait_for(seeked()));
    append(log, lines);
    EXPECT_EQ(settled_count(*f), 5);
}

TEST_F(OomFollower, StopEndsEveryWaitPromptly)
{
    for (bool present : {true, false}) {
        SCOPED_TRACE(present ? "waiting for data" : "waiting for the file to appear");
        fs::remove(log);
        if (present) append(log, "x\n");
        log_lines l;
        log_follower f(log.string(), ANY, l.sink());
        f.start();
        ASSERT_TRUE(l.wait_for(present ? seeked() : "Waiting for " + log.string() + " to appear..."));
        std::this_thread::sleep_for(20ms);
        auto t0 = std::chrono::steady_clock::now();
        f.request_stop();
        EXPECT_EQ(f.wait(), std::nullopt);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 200ms);
    }
}

TEST_F(OomFollower, StreamSleepsUntilALineComesAndNeverSpins)
{
    // A FIFO stands in for procfs's kmsg: no end to seek to, no inotify events, a
    // poll that waits for the next message. The test holds a writer open.
    ASSERT_EQ(mkfifo(log.c_str(), 0600), 0);
    unique_fd w(open(log.c_str(), O_RDWR | O_NONBLOCK));
    ASSERT_GT(write(w.get(), "<4>Killed process 1\n<4>Killed process 2\n", 40), 0);
    auto f = follow(KMSG);
    ASSERT_TRUE(logs.wait_for(seeked()));
    const pid_t tid = f->thread_id();
    ASSERT_GT(tid, 0);
    // A stop signal must reach the agent's main thread, not this one.
    for (int sig : {SIGTERM, SIGINT, SIGABRT})
        EXPECT_NE(sample_task(tid).blocked & (1ull << (sig - 1)), 0u) << "signal " << sig;

    // Silence: the thread sleeps through it, and the first line after it counts at once.
    task_sample idle = sample_task(tid);
    ASSERT_GE(idle.sleeps, 0);
    std::this_thread::sleep_for(2s);
    EXPECT_LE(sample_task(tid).sleeps - idle.sleeps, 1) << "wakes in 2 s of silence";
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_GT(write(w.get(), "<4>Killed process 3\n<4>no\n", 26), 0);
    ASSERT_TRUE(eventually([&] { return f->position() == 26; }));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 100ms);
    EXPECT_EQ(f->take_count(), 1); // the backlog is not counted

    // Lines that trickle in: each one is read as it comes, none is lost.
    t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; i++) {
        ASSERT_GT(write(w.get(), "<3>Killed process 9\n", 20), 0);
        ASSERT_TRUE(eventually([&] { return f->position() == 26 + 20 * (i + 1); }));
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    EXPECT_EQ(f->take_count(), 20);

    // The writer leaves: a hung-up FIFO polls ready for ever. It is looked at now and
    // then, not spun on, and a writer that comes later is still heard.
    w.reset();
    task_sample hung = sample_task(tid);
    ASSERT_GE(hung.cpu_ns, 0);
    std::this_thread::sleep_for(1s);
    task_sample later = sample_task(tid);
    EXPECT_LE(later.sleeps - hung.sleeps, 10);
    EXPECT_LT(later.cpu_ns - hung.cpu_ns, 50'000'000) << "CPU ns in 1 s of hang-up";
    w.reset(open(log.c_str(), O_WRONLY | O_NONBLOCK));
    ASSERT_GT(write(w.get(), "<4>Killed process 4\n", 20), 0);
    EXPECT_TRUE(eventually([&] { return f->take_count() == 1; }));

    // A stop ends the wait on the stream at once.
    std::this_thread::sleep_for(20ms);
    t0 = std::chrono::steady_clock::now();
    f->request_stop();
    EXPECT_EQ(f->wait(), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 200ms);
}

TEST(OomWatch, SourcesInOrderAndMessagesOfTheWatch)
{
    temp_dir d;
    auto sources = oom_sources(d.path() / "kmsg", d.path() / "syslog", d.path() / "messages");
    const std::string kmsg = d.path() / "kmsg", syslog = d.path() / "syslog", messages = d.path() / "messages";
    char *buf = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    log_lines logs;
    auto printed = [&] {
        fflush(out);
        std::string s(buf, len);
        rewind(out);
        return s;
    };

    oom_watch none;
    oom_watch_init(none, sources, out, logs.sink());
    EXPECT_EQ(oom_watch_take(none, out), 0);
    oom_watch_close(none, out);
    EXPECT_EQ(printed(), "Won't monitor for OOM kills: can't read " + syslog + ", " + kmsg + " or " + messages +
                             "Can't read system message: has no /var/log/syslog, dmesg or /var/log/messages\n");

    // kmsg comes before messages; this one cannot be read, and says so when closed.
    append(messages, "");
    fs::create_directory(kmsg);
    oom_watch bad;
    oom_watch_init(bad, sources, out, logs.sink());
    ASSERT_TRUE(bad.fileForRead);
    ASSERT_TRUE(eventually([&] { return bad.fileForRead->ended(); }));
    oom_watch_close(bad, out);
    EXPECT_EQ(printed(), "OOM errors source: " + kmsg + "\ncalling Done()\nerror closing tailf " + kmsg +
                             ": Error reading " + kmsg + ": Is a directory\n[go] tailf stopped\n");

    // syslog comes first; what was counted before the stop is still taken, once.
    append(syslog, "");
    oom_watch good;
    oom_watch_init(good, sources, out, logs.sink());
    ASSERT_TRUE(logs.wait_for("Seeked " + syslog + " - {Offset:0 Whence:2}\n"));
    const std::string line = K + "Out of memory\n";
    append(syslog, line);
    ASSERT_TRUE(eventually([&] { return good.fileForRead->position() == static_cast<long long>(line.size()); }));
    oom_watch_close(good, out);
    EXPECT_EQ(printed(), "OOM errors source: " + syslog + "\ncalling Done()\n[go] tailf stopped\n");
    EXPECT_EQ(oom_watch_take(good, out), 1);
    EXPECT_EQ(oom_watch_take(good, out), 0);
    fclose(out);
    free(buf);
}
