#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <csignal>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hostevents/vesk_oomkiller.hpp"

using namespace hostevents;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const kill_pattern SYSLOG{"Out of memory", false};
const kill_pattern KMSG{"killed process", true};

template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 5s)
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

void append(const fs::path &p, const std::string &text)
{
    std::ofstream(p, std::ios::app | std::ios::binary) << text;
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
    bool has(const std::string &text)
    {
        std::lock_guard g(m);
        for (const auto &l : lines)
            if (l == text) return true;
        return false;
    }
    bool wait_for(const std::string &text) { return eventually([&] { return has(text); }); }
};

class OomFollower : public testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/vesk-oom-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        log = dir / "syslog";
    }
    void TearDown() override { fs::remove_all(dir); }

    // Starts a follower and waits until it stands at the end of the file.
    std::unique_ptr<log_follower> follow(const kill_pattern &pattern, bool wait_seeked = true)
    {
        auto f = std::make_unique<log_follower>(log.string(), pattern, logs.sink());
        f->start();
        if (wait_seeked) {
            EXPECT_TRUE(logs.wait_for("Seeked " + log.string() + " - {Offset:0 Whence:2}\n"));
        }
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

    fs::path dir, log;
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
        {SYSLOG, {"kernel: Out of memory: Killed process 12 (a)\n"}, {1}},
        {SYSLOG, {"Out of memory Out of memory\n"}, {1}},               // once per line
        {SYSLOG, {"kernel: out of memory: killed process 12\n"}, {0}},  // syslog is case-sensitive
        {SYSLOG, {"Out of mem", "ory here", "\n"}, {0, 0, 1}},          // counted when the newline comes
        {SYSLOG, {"a\nOut of memory\nb\nOut of memory\r\n"}, {2}},
        {SYSLOG, {"Out of memory"}, {0}},                               // never completed
        {KMSG, {"<3>[ 5.1] Out of memory: Killed process 99 (x)\n"}, {1}},
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
    EXPECT_EQ(counter.feed("Out of memory"), 0);
    counter.reset(); // the unfinished line belonged to a file that went away
    EXPECT_EQ(counter.feed(" and more\n"), 0);
}

TEST(OomSources, FirstReadableSourceInOrder)
{
    char tmpl[] = "/tmp/vesk-src-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    fs::path d = tmpl;
    fs::create_directory(d / "proc");
    auto sources = oom_sources((d / "proc/kmsg").string(), (d / "syslog").string(), (d / "messages").string());
    ASSERT_EQ(sources.size(), 3u);
    EXPECT_EQ(oom_choose_source(sources), -1);
    append(d / "messages", "");
    EXPECT_EQ(oom_choose_source(sources), 2);
    append(d / "proc/kmsg", "");
    EXPECT_EQ(oom_choose_source(sources), 1);
    append(d / "syslog", "");
    EXPECT_EQ(oom_choose_source(sources), 0);
    fs::remove_all(d);
}

TEST_F(OomFollower, CountsOnlyLinesAppendedAfterTheStart)
{
    append(log, "old: Out of memory: Killed process 1\nold: Out of memory\n");
    auto f = follow(SYSLOG);
    append(log, "kernel: Out of memory: Killed process 2 Out of memory\n");
    append(log, "kernel: out of memory: lower case does not count\n");
    append(log, "unrelated\n");
    EXPECT_EQ(settled_count(*f), 1);
    EXPECT_EQ(f->take_count(), 0); // taken once

    append(log, "Out of mem");
    EXPECT_EQ(settled_count(*f), 0); // half a line
    append(log, "ory: Killed process 3\n");
    EXPECT_EQ(settled_count(*f), 1);
    EXPECT_FALSE(f->ended());
}

TEST_F(OomFollower, FollowsRotationByRename)
{
    append(log, "");
    auto f = follow(SYSLOG);
    append(log, "Out of memory 1\n");
    EXPECT_EQ(settled_count(*f), 1);

    // A kill that reaches the old file right before it is moved still counts.
    append(log, "Out of memory 2\n");
    fs::rename(log, dir / "syslog.1");
    append(log, "Out of memory 3\nOut of memory 4\n");
    ASSERT_TRUE(logs.wait_for("Successfully reopened " + log.string()));
    EXPECT_TRUE(logs.has("Re-opening moved/deleted file " + log.string() + " ..."));
    EXPECT_EQ(settled_count(*f), 3);

    // The follower now watches the new file.
    append(log, "Out of memory 5\n");
    append(dir / "syslog.1", "Out of memory, too late for the old file\n");
    EXPECT_EQ(settled_count(*f), 1);
}

TEST_F(OomFollower, WaitsForARemovedFileToAppear)
{
    append(log, "");
    auto f = follow(KMSG);
    fs::remove(log);
    ASSERT_TRUE(logs.wait_for("Waiting for " + log.string() + " to appear..."));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(f->take_count(), 0);
    append(log, "Killed process 1\nkilled process 2\n");
    ASSERT_TRUE(logs.wait_for("Successfully reopened " + log.string()));
    EXPECT_EQ(settled_count(*f), 2);
}

TEST_F(OomFollower, StartsOnAMissingFileAndCountsItFromItsFirstLine)
{
    auto f = follow(KMSG, false);
    ASSERT_TRUE(logs.wait_for("Waiting for " + log.string() + " to appear..."));
    // It appears whole, so the follower cannot open it before the line is in.
    append(dir / "new", "Killed process 1\n");
    fs::rename(dir / "new", log);
    // The first open seeks to the end: what the file held when it appeared is old.
    ASSERT_TRUE(logs.wait_for("Seeked " + log.string() + " - {Offset:0 Whence:2}\n"));
    append(log, "Killed process 2\n");
    EXPECT_EQ(settled_count(*f), 1);
}

TEST_F(OomFollower, ReadsATruncatedFileFromItsStart)
{
    append(log, "Out of memory old\nfiller line\n");
    auto f = follow(SYSLOG);
    append(log, "more filler\n");
    EXPECT_EQ(settled_count(*f), 0);
    fs::resize_file(log, 0);
    append(log, "Out of memory after truncation\n");
    ASSERT_TRUE(logs.wait_for("Successfully reopened truncated " + log.string()));
    EXPECT_TRUE(logs.has("Re-opening truncated file " + log.string() + " ..."));
    EXPECT_EQ(settled_count(*f), 1);
}

TEST_F(OomFollower, StopEndsEveryWaitPromptly)
{
    struct {
        const char *what;
        bool create;
    } cases[] = {{"waiting for data", true}, {"waiting for the file to appear", false}};
    for (const auto &c : cases) {
        fs::remove(log);
        if (c.create) append(log, "x\n");
        log_lines l;
        log_follower f(log.string(), SYSLOG, l.sink());
        f.start();
        ASSERT_TRUE(l.wait_for(c.create ? "Seeked " + log.string() + " - {Offset:0 Whence:2}\n"
                                        : "Waiting for " + log.string() + " to appear..."))
            << c.what;
        std::this_thread::sleep_for(20ms);
        auto t0 = std::chrono::steady_clock::now();
        f.request_stop();
        EXPECT_EQ(f.wait(), std::nullopt) << c.what;
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 200ms) << c.what;
        EXPECT_TRUE(f.ended());
    }
}

TEST_F(OomFollower, StreamBacklogIsDiscardedAndLaterLinesPolled)
{
    // A FIFO stands in for procfs's kmsg: no end to seek to, no inotify events.
    ASSERT_EQ(mkfifo(log.c_str(), 0600), 0);
    int w = open(log.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(w, 0);
    ASSERT_GT(write(w, "<4>Killed process 1\n<4>Killed process 2\n", 40), 0);
    auto f = follow(KMSG);
    ASSERT_GT(write(w, "<4>Killed process 3\n<4>no\n", 26), 0);
    EXPECT_TRUE(eventually([&] { return f->position() == 26; }));
    EXPECT_EQ(f->take_count(), 1);
    close(w);
}

TEST_F(OomFollower, FollowerThreadBlocksTheAgentsStopSignals)
{
    append(log, "");
    std::set<std::string> before;
    for (const auto &e : fs::directory_iterator("/proc/self/task")) before.insert(e.path().filename());
    auto f = follow(SYSLOG);
    bool found = false;
    for (const auto &e : fs::directory_iterator("/proc/self/task")) {
        if (before.count(e.path().filename())) continue;
        std::ifstream status(e.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("SigBlk:", 0) != 0) continue;
            unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
            unsigned long long want = (1ull << (SIGINT - 1)) | (1ull << (SIGABRT - 1)) |
                                      (1ull << (SIGPIPE - 1)) | (1ull << (SIGTERM - 1));
            EXPECT_EQ(mask & want, want) << line;
            found = true;
        }
    }
    EXPECT_TRUE(found);
    sigset_t mine;
    pthread_sigmask(SIG_SETMASK, nullptr, &mine);
    EXPECT_FALSE(sigismember(&mine, SIGTERM)) << "the caller's mask is restored";
}

TEST(OomWatch, MessagesOfTheWatch)
{
    char tmpl[] = "/tmp/vesk-watch-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    fs::path d = tmpl;
    auto sources = oom_sources((d / "kmsg").string(), (d / "syslog").string(), (d / "messages").string());
    char *buf = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    log_lines logs;

    // No source.
    oom_watch none;
    oom_watch_init(none, sources, out, logs.sink());
    EXPECT_EQ(oom_watch_take(none, out), 0);
    oom_watch_close(none, out);
    fflush(out);
    EXPECT_EQ(std::string(buf, len),
              "Won't monitor for OOM kills: can't read " + (d / "syslog").string() + ", " + (d / "kmsg").string() +
                  " or " + (d / "messages").string() +
                  "Can't read system message: has no /var/log/syslog, dmesg or /var/log/messages\n");

    // A source the follower cannot read: its error shows when the watch is closed,
    // and what it counted before stays to be taken.
    fs::create_directory(d / "messages");
    rewind(out);
    oom_watch bad;
    oom_watch_init(bad, sources, out, logs.sink());
    ASSERT_TRUE(bad.fileForRead);
    ASSERT_TRUE(eventually([&] { return bad.fileForRead->ended(); }));
    oom_watch_close(bad, out);
    fflush(out);
    std::string m = (d / "messages").string();
    EXPECT_EQ(std::string(buf, len), "OOM errors source: " + m + "\ncalling Done()\nerror closing tailf " + m +
                                         ": Error reading " + m + ": Is a directory\n[go] tailf stopped\n");

    // A good source, stopped: the count taken after the stop is what was left.
    append(d / "syslog", "");
    rewind(out);
    oom_watch good;
    oom_watch_init(good, sources, out, logs.sink());
    ASSERT_TRUE(logs.wait_for("Seeked " + (d / "syslog").string() + " - {Offset:0 Whence:2}\n"));
    append(d / "syslog", "Out of memory\n");
    ASSERT_TRUE(eventually([&] { return good.fileForRead->position() == 14; }));
    oom_watch_close(good, out);
    fflush(out);
    EXPECT_EQ(std::string(buf, len),
              "OOM errors source: " + (d / "syslog").string() + "\ncalling Done()\n[go] tailf stopped\n");
    EXPECT_EQ(oom_watch_take(good, out), 1);
    EXPECT_EQ(oom_watch_take(good, out), 0);

    fclose(out);
    free(buf);
    fs::remove_all(d);
}

TEST_F(OomFollower, UnreadableStatusAfterAWriteEndsTheProcess)
{
    // The log's directory is moved away and a plain file takes its name: the next
    // write reaches the file, whose name now cannot be looked up (not a directory).
    fs::create_directory(dir / "sub");
    log = dir / "sub" / "syslog";
    append(log, "");
    EXPECT_EXIT(
        {
            auto f = follow(SYSLOG);
            fs::rename(dir / "sub", dir / "moved");
            append(dir / "sub", "");
            append(dir / "moved" / "syslog", "Out of memory\n");
            std::this_thread::sleep_for(5s);
            std::exit(0);
        },
        testing::ExitedWithCode(1),
        "[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} FATAL -- Failed to stat file " + log.string() +
            ": Not a directory\n");
}
