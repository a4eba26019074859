// Log, string list, command runner, and the small text utilities.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "encoding.hpp"
#include "string_list.hpp"
#include "test_support.hpp"
#include "vesk_log.hpp"
#include "vesk_parse_url.hpp"
#include "vesk_popen.hpp"
#include "vesk_version.hpp"

using namespace std::chrono;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

TEST(Log, LevelFilter)
{
    reset_agent_state();
    CaptureStderr();
    _vesk_log(LOG_LEVEL_INFO, "info %d\n", 1);
    _vesk_log(LOG_LEVEL_WARNING, "warn %d\n", 2);
    config.log_level = LOG_LEVEL_INFO;
    _vesk_log(LOG_LEVEL_INFO, "info %d\n", 3);
    _vesk_log(LOG_LEVEL_DEBUG, "debug %d\n", 4);
    EXPECT_EQ(GetCapturedStderr(), "warn 2\ninfo 3\n");
}

TEST(StringList, AppendFindDumpFree)
{
    CaptureStdout();
    str_list_dump(nullptr, "\t  ");
    string_list *l = str_list_new();
    str_list_dump(l, "\t  ");
    EXPECT_EQ(str_list_find(l, "a"), 0);
    str_list_add(l, "alpha");
    str_list_add(l, std::string(200, 'x').c_str());
    str_list_add(l, "beta");
    str_list_dump(l, "> ");
    EXPECT_EQ(GetCapturedStdout(),
              "(empty list)\n(empty list)\n> - alpha\n> - " + std::string(127, 'x') + "\n> - beta\n");
    EXPECT_EQ(str_list_find(l, "beta"), 1);
    EXPECT_EQ(str_list_find(l, "bet"), 0);
    EXPECT_EQ(str_list_find(l, std::string(127, 'x').c_str()), 1);
    EXPECT_EQ(str_list_find(nullptr, "beta"), 0);
    EXPECT_EQ(l->last->prev->prev, l->first);
    str_list_free(l);
    str_list_free(nullptr);
}

TEST(TextUtils, SplitWithEscapes)
{
    struct {
        const char *text;
        int limit;
        const char *a, *b, *c;
    } cases[] = {
        {"a\\:b:c", 2, "a:b", "c", "-"},
        {"a\\:b:c", 1, "a:b:c", "-", "-"},
        {"a:b:c:d", 3, "a", "b", "c:d"},
        {"a\\\\:b", 2, "a\\", "b", "-"},
        {"a\\xb", 2, "a\\xb", "-", "-"},
        {"", 3, "", "-", "-"},
        {":", 2, "", "", "-"},
    };
    for (auto &t : cases) {
        char a[16] = "-", b[16] = "-", c[16] = "-";
        char *parts[] = {a, b, c};
        EXPECT_EQ(vesk_split_str(t.text, ':', parts, t.limit, sizeof a), 1);
        EXPECT_STREQ(a, t.a) << t.text << " limit " << t.limit;
        EXPECT_STREQ(b, t.b) << t.text << " limit " << t.limit;
        EXPECT_STREQ(c, t.c) << t.text << " limit " << t.limit;
    }
    // A part longer than its buffer is cut, never overflowing it.
    char small[4] = "", other[4] = "";
    char *parts[] = {small, other};
    vesk_split_str("abcdefgh:ij", ':', parts, 2, sizeof small);
    EXPECT_STREQ(small, "abc");
    EXPECT_STREQ(other, "ij");
}

// Texts from peers are printed escaped and bounded: the bound never splits a
// character or an escape, and a cut text ends with a mark that fits within it.
TEST(TextUtils, PrintableWithinABound)
{
    struct {
        std::string_view text;
        size_t max;
        const char *shown;
    } cases[] = {
        {"plain\ttext", SIZE_MAX, "plain\ttext"},
        {"\x1b[2J\xc2\x9b\xff\xc3\xa9\n", SIZE_MAX, "\\x1b[2J\\xc2\\x9b\\xff\xc3\xa9\\x0a"},
        {"abcdef", 6, "abcdef"},
        {"abcdefg", 6, "abc\xe2\x80\xa6"},
        {"ab\x1b" "cd", 6, "ab\xe2\x80\xa6"},
        {"ab\x1b", 6, "ab\\x1b"},
        {"\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac", 8, "\xe2\x82\xac\xe2\x80\xa6"},
        {"\xff\xff", 7, "\\xff\xe2\x80\xa6"},
        {"abcd", 0, ""},
    };
    for (const auto &c : cases) {
        std::string got = vesk_printable(c.text, c.max);
        EXPECT_EQ(got, c.shown) << c.text << " max " << c.max;
        EXPECT_LE(got.size(), c.max) << c.text;
    }
    // 200 kB of escapes: 63 of them and the mark.
    std::string want;
    for (int i = 0; i < 63; i++) want += "\\x1b";
    EXPECT_EQ(vesk_printable(std::string(200000, '\x1b'), 256), want + "\xe2\x80\xa6");
}

TEST(TextUtils, ParseUrl)
{
    struct {
        const char *url;
        const char *user, *pass, *host;
        uint32_t port;
    } cases[] = {
        {"admin@db.local:5432", "admin", "", "db.local", 5432},
        {"admin:s3cret@db.local:5432", "admin", "s3cret", "db.local", 5432},
        {"db.local", "", "", "db.local", 0},
        {"db.local:", "", "", "db.local", 0},
        {"", "", "", "", 0},
        {"@h:1", "", "", "h", 1},
        {"u\\@x:p\\:q@h", "u@x", "p:q", "h", 0},
    };
    for (auto &t : cases) {
        vesk_url_parts p;
        memset(&p, 'Z', sizeof p);
        EXPECT_EQ(vesk_parse_url(t.url, &p), 1);
        EXPECT_STREQ(p.user, t.user) << t.url;
        EXPECT_STREQ(p.pass, t.pass) << t.url;
        EXPECT_STREQ(p.host, t.host) << t.url;
        EXPECT_EQ(p.port, t.port) << t.url;
    }
    vesk_url_parts p;
    std::string long_host = "u:p@" + std::string(500, 'h') + ":80";
    vesk_parse_url(long_host.c_str(), &p);
    EXPECT_EQ(strlen(p.host), 99u);
    EXPECT_EQ(p.port, 80u);
}

TEST(TextUtils, VersionCompare)
{
    struct {
        vesk_version_info a, b;
        int want;
    } cases[] = {{{2, 0}, {1, 9}, 1}, {{1, 2}, {1, 2}, 0}, {{1, 2}, {1, 10}, -1}, {{0, 0xFFFFFFFF}, {1, 0}, -1},
                 {{0xFFFFFFFF, 0}, {1, 0}, 1}};
    for (auto &c : cases) EXPECT_EQ(vesk_version_compare(&c.a, &c.b), c.want);
}

namespace {

std::string read_all(FILE *f)
{
    std::string s;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    return s;
}

} // namespace

TEST(CommandRunner, SeparateStreams)
{
    vesk_proc_outs *p = vesk_popen("echo out; echo err >&2; exit 3");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(read_all(p->out), "out\n");
    EXPECT_EQ(read_all(p->err), "err\n");
    auto t0 = steady_clock::now();
    vesk_pclose_with_timeout(p, 5);
    EXPECT_LT(steady_clock::now() - t0, milliseconds(200)); // reaped at once, no time-out wait
    vesk_pclose_with_timeout(nullptr, 5);
    vesk_pclose(nullptr);
}

TEST(CommandRunner, ScriptsGetDefaultSignals)
{
    // The agent ignores SIGPIPE; commands must not inherit that or a blocked mask.
    signal(SIGPIPE, SIG_IGN);
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigprocmask(SIG_BLOCK, &block, nullptr);
    vesk_proc_outs *p = vesk_popen("grep -E '^Sig(Ign|Blk)' /proc/self/status");
    ASSERT_NE(p, nullptr);
    std::string status = read_all(p->out);
    vesk_pclose(p);
    sigprocmask(SIG_UNBLOCK, &block, nullptr);
    unsigned long long blocked = 0, ignored = 0;
    ASSERT_EQ(sscanf(status.c_str(), "SigBlk:\t%llx\nSigIgn:\t%llx", &blocked, &ignored), 2) << status;
    EXPECT_EQ(blocked, 0u);
    EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u);
}

TEST(CommandRunner, TimeoutKillsTheWholeGroup)
{
    temp_dir dir;
    std::string pidfile = (dir.path() / "bg.pid").string();
    // A command that ignores its output and leaves a background process behind.
    std::string cmd = "sleep 60 & echo $! > " + pidfile + "; exec sleep 60";
    vesk_proc_outs *p = vesk_popen(cmd.c_str());
    ASSERT_NE(p, nullptr);
    pid_t shell = p->pid;
    auto t0 = steady_clock::now();
    vesk_pclose_with_timeout(p, 1);
    auto took = steady_clock::now() - t0;
    EXPECT_GE(took, seconds(1));
    EXPECT_LT(took, milliseconds(3200));
    EXPECT_NE(kill(shell, 0), 0); // reaped
    FILE *f = fopen(pidfile.c_str(), "r");
    ASSERT_NE(f, nullptr);
    int bg = 0;
    ASSERT_EQ(fscanf(f, "%d", &bg), 1);
    fclose(f);
    // The background process was killed with its group (it is not our child: wait by polling).
    bool gone = false;
    for (int i = 0; i < 100 && !gone; i++) {
        char path[64];
        snprintf(path, sizeof path, "/proc/%d/stat", bg);
        FILE *s = fopen(path, "r");
        if (!s) {
            gone = true;
            break;
        }
        char state = 0;
        int r = fscanf(s, "%*d %*s %c", &state);
        fclose(s);
        if (r == 1 && state == 'Z') gone = true;
        usleep(20000);
    }
    EXPECT_TRUE(gone);
}
