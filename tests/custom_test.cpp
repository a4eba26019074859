#include <sys/time.h>

#include <cctype>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "customs_support.hpp"
#include "encoding.hpp"

// The report elements, the schedule, the time-out of a whole process group and
// SIGPIPE are checked end to end in customs_test.sh and customs_core_test.cpp.
namespace {

TEST(ScriptConf, ParsesFieldsOptionsAndCommand)
{
    reset_agent_state();
    const auto custom = script_kind::custom;
    struct {
        std::string cfg;
        script_kind kind;
        script_conf want;
    } cases[] = {
        // any order, runs of blanks and tabs between fields; the command keeps its own blanks
        {" rep   name\ttimeout=9  gid=7   incremental type=42 periods=3   echo  a   b\n", custom,
         {"rep", "name", "", "echo  a   b", 3, 65534, 7, 9, 1, 42}},
        // no name field, and no incremental option: that token starts the command
        {" \"Disk stats\" interval=2 incremental df -P\n", script_kind::multicustom,
         {"Disk stats", "", "", "incremental df -P", 2, 65534, 65534, 5, 0, 12}},
        {" r n periods=0 x", custom, {"r", "n", "", "x", 1, 65534, 65534, 5, 0, 11}},
        {" r n interval=-5 x", custom, {"r", "n", "", "x", 1, 65534, 65534, 5, 0, 11}},
        {" r n uid=abc gid= timeout=7x x", custom, {"r", "n", "", "x", 4, 0, 0, 7, 0, 11}},
        // lone quote characters: empty fields, nothing written outside them
        {" \" \" x", custom, {"", "", "", "x", 4, 65534, 65534, 5, 0, 11}},
        {" \"a b c", custom, {"a b c", "", "", "", 4, 65534, 65534, 5, 0, 11}},
        {" \"a\" \"b c\" x", custom, {"a", "b c", "", "x", 4, 65534, 65534, 5, 0, 11}},
        {" r n alert=" + std::string(60, 'a') + " x", custom,
         {"r", "n", std::string(49, 'a'), "x", 4, 65534, 65534, 5, 0, 11}},
    };
    auto fields = [](const script_conf &c) {
        return std::tie(c.report, c.id, c.alert_condition, c.exec, c.interval, c.uid, c.gid, c.max_seconds,
                        c.incremental, c.type);
    };
    for (const auto &c : cases) EXPECT_EQ(fields(parse_script_conf(c.cfg, c.kind)), fields(c.want)) << c.cfg;

    // What the counter keeps is cut to its fields and valid UTF-8.
    custom_ptr c = make_custom(" " + std::string(300, 'r') + " n\xff\xfe echo 1\n");
    EXPECT_EQ(strlen(c->report), 255u);
    EXPECT_STREQ(c->id, "n\xef\xbf\xbd\xef\xbf\xbd"); // each stray byte becomes U+FFFD
    EXPECT_STREQ(c->exec, "echo 1");
}

TEST(CustomOutput, ValueLineThenAlerts)
{
    std::string many = "1\n";
    std::vector<std::string> ten;
    for (int i = 0; i < 12; i++) many += "a" + std::to_string(i) + "\n";
    for (int i = 0; i < 10; i++) ten.push_back("a" + std::to_string(i));
    struct {
        std::string out;
        int type;
        double value;
        std::vector<std::string> alerts;
    } cases[] = {
        {"no number here\n", 11, 0, {}},
        {"\n\n  7.5 apples\nA\n\nB", 11, 7.5, {"A", "B"}},
        {"-3e2\n", 11, -300, {}},
        {"disk full\nswap low\n", 11001, 0, {"disk full", "swap low"}},
        {many, 11, 1, ten},
        {"1\n\xff ok \xc3\n", 11, 1, {"\xef\xbf\xbd ok \xef\xbf\xbd"}},
    };
    for (const auto &c : cases) {
        vesk_mycustom_data_custom d{};
        EXPECT_EQ(custom_parse_output(c.out, c.type, &d), c.value) << c.out;
        EXPECT_EQ(d.value, c.value);
        std::vector<std::string> alerts;
        for (int i = 0; i < d.agent_alerts_count; i++) alerts.push_back(d.agent_alerts[i].text);
        EXPECT_EQ(alerts, c.alerts) << c.out;
    }
}

// Each due cycle of an incremental counter: {cycle, the run gave a result, its value,
// the increase sent or none}.
using step = std::tuple<uint64_t, bool, double, std::optional<double>>;

void run_steps(const std::vector<step> &steps)
{
    custom_ptr c = make_custom(" r n incremental x");
    auto *d = static_cast<vesk_mycustom_data_custom *>(c->data);
    auto *out = static_cast<vesk_mycustom_data_custom *>(c->data_delta);
    for (const auto &[iteration, ran_ok, value, sent] : steps) {
        d->mustBeUpdated = 1;
        d->updated = d->ok = ran_ok;
        d->value = value;
        custom_delta(c.get(), 15000, iteration);
        EXPECT_EQ(out->updated ? std::optional(out->value) : std::nullopt, sent) << "cycle " << iteration;
    }
}

TEST(CustomDelta, IncrementalReportsIncreasesAgainstLastGoodRun)
{
    reset_agent_state();
    run_steps({{0, true, 10, {}}, {1, true, 15, 5}, {2, true, 12, 0}, {3, false, 0, {}}, {4, true, 20, 8}});
    // A failed priming run: the next good run primes again.
    run_steps({{0, false, 0, {}}, {1, true, 10, {}}, {2, true, 13, 3}});
}

// ---- the runner, with real shell commands ----

struct run_result {
    int updated;
    double value;
    int errors;
    std::vector<std::string> alerts;
    double seconds;
    std::string out;
};

run_result run_custom(const std::string &cfg)
{
    custom_ptr c = make_custom(cfg);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    auto t0 = std::chrono::steady_clock::now();
    custom_update(c.get());
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
    testing::internal::GetCapturedStderr();
    auto *d = static_cast<vesk_mycustom_data_custom *>(c->data);
    run_result r{d->updated, d->value, d->errors, {}, took.count(), testing::internal::GetCapturedStdout()};
    for (int i = 0; i < d->agent_alerts_count; i++) r.alerts.push_back(d->agent_alerts[i].text);
    return r;
}

TEST(CustomRunner, ScriptProtocol)
{
    REQUIRE_ROOT();
    reset_agent_state();
    const std::string zeros(255, '0');
    struct {
        const char *what;
        std::string cfg;
        int updated;
        double value;
        int errors;
        std::vector<std::string> alerts;
        const char *printed; // expected in standard output, or null
    } cases[] = {
        // every id of the default identity, the saved ones and the groups included
        {"default identity", " r n id -u; id -G; grep ^Uid: /proc/self/status | tr -s '\\t' ' '", 1, 65534, 0,
         {"65534", "Uid: 65534 65534 65534 65534"}, nullptr},
        {"configured identity", " r n uid=33 gid=34 id -u; id -G", 1, 33, 0, {"34"}, nullptr},
        {"refused identity", " r n uid=-1 echo 1", 0, 0, 0, {}, "ERROR! Cannot setuid\n"},
        {"no time at all", " r n timeout=0 echo 1", 0, 0, 0, {},
         "ERROR! Custom script 'echo 1' running too long (0 sec), killed\n"},
        // only the first 1024 bytes count: 2 + 3 × 301 bytes, then 119 bytes of the fourth line
        {"output cut at 1024 bytes", " r n echo 1; for i in 1 2 3 4; do printf '%0300d\\n' 0; done", 1, 1, 0,
         {zeros, zeros, zeros, std::string(119, '0')}, nullptr},
        // the 1024th byte begins an "é" whose second byte is cut off: the alert ends before it
        {"output cut inside a character",
         " r n echo 1; for i in 1 2 3; do printf '%0300d\\n' 0; done; printf '%0118d\\303\\251\\n' 0", 1, 1, 0,
         {zeros, zeros, zeros, std::string(118, '0')}, nullptr},
        // 200 kB on standard error before the value: both streams drain together
        {"busy standard error", " r n head -c 200000 /dev/zero | tr '\\0' x >&2; echo 7", 1, 7, 1, {}, nullptr},
        // a background process that lets go of the script's streams holds none of ours
        {"background process", " r n (sleep 3 >/dev/null 2>&1 &); echo 3", 1, 3, 0, {}, nullptr},
        {"slow output", " r n sleep 0.5; echo 9", 1, 9, 0, {}, nullptr},
    };
    // A signal every 10 ms, as the stop signal may come at any time: no run is cut short.
    struct sigaction sa {}, old {};
    sa.sa_handler = [](int) {};
    sigaction(SIGALRM, &sa, &old);
    itimerval every{{0, 10000}, {0, 10000}}, off{};
    setitimer(ITIMER_REAL, &every, nullptr);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        run_result r = run_custom(c.cfg);
        EXPECT_EQ(r.updated, c.updated) << r.out;
        EXPECT_LT(r.seconds, 2.5);
        if (c.printed) {
            EXPECT_NE(r.out.find(c.printed), std::string::npos) << r.out;
        }
        if (!c.updated) continue;
        EXPECT_EQ(r.value, c.value);
        EXPECT_EQ(r.errors, c.errors);
        EXPECT_EQ(r.alerts, c.alerts);
    }
    // An empty output is a failed run, however the script's end and the read race;
    // the script itself ended well.
    for (int i = 0; i < 10; i++) {
        run_result r = run_custom(" r n true");
        EXPECT_NE(r.out.find("ERROR! Custom script 'true' has returned an empty string, killed\n"), std::string::npos);
        EXPECT_EQ(r.updated, 0);
        EXPECT_EQ(r.errors, 0);
    }
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old, nullptr);
}

TEST(CustomRunner, StandardErrorEchoIsBoundedAndPrintable)
{
    REQUIRE_ROOT();
    reset_agent_state();
    // An escape sequence with a bell, a C1 control, a stray byte, a NUL; a tab and
    // UTF-8 text kept; then eleven more lines, of which seven are shown.
    const char *cmd = "printf 'a\\033[31mred\\007\\n\\302\\233x\\377\\000y\\n\\tt\\303\\251\\n' >&2; "
                      "seq 11 >&2; echo 1";
    custom_ptr c = make_custom(std::string(" r n ") + cmd);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    custom_update(c.get());
    std::string err = testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    std::string want = std::string("\tGot some STDERR lines when running command \"") + cmd + "\":\n" +
                       "\t\tCustom STDERR: a\\x1b[31mred\\x07\n"
                       "\t\tCustom STDERR: \\xc2\\x9bx\\xff\\x00y\n"
                       "\t\tCustom STDERR: \tt\xc3\xa9\n";
    for (int i = 1; i <= 7; i++) want += "\t\tCustom STDERR: " + std::to_string(i) + "\n";
    want += "\t\t\xe2\x80\xa6 4 more lines\n";
    EXPECT_EQ(err, want);
    auto *d = static_cast<vesk_mycustom_data_custom *>(c->data);
    EXPECT_EQ(d->value, 1);
    EXPECT_EQ(d->errors, 1);
}

// Whether a process of the group still runs (killed ones linger as zombies until
// their new parent reaps them).
bool group_alive(pid_t group)
{
    for (const auto &e : std::filesystem::directory_iterator("/proc")) {
        if (!isdigit(static_cast<unsigned char>(e.path().filename().string()[0]))) continue;
        std::ifstream f(e.path() / "stat");
        std::string stat((std::istreambuf_iterator<char>(f)), {});
        size_t end = stat.rfind(')');
        if (end == std::string::npos) continue;
        char state = 0;
        long ppid = 0, pgrp = 0;
        if (sscanf(stat.c_str() + end + 1, " %c %ld %ld", &state, &ppid, &pgrp) == 3 && pgrp == group && state != 'Z')
            return true;
    }
    return false;
}

// The stop kills a running script's whole group at once, whether its output is
// still awaited or only its end is (the output filled the cap); it is no failure
// of the script, so nothing says so.
TEST(CustomRunner, TheStopKillsTheScriptAtOnce)
{
    REQUIRE_ROOT();
    reset_agent_state();
    temp_dir dir;
    const std::string pid_file = (dir.path() / "pid").string();
    stop_handler handler;
    for (const char *rest : {"sleep 30; echo 1", "seq 1000; sleep 30"}) {
        SCOPED_TRACE(rest);
        stop = 0;
        std::thread signal = stop_signal_after(std::chrono::milliseconds(300));
        run_result r = run_custom(" r n uid=0 gid=0 timeout=60 echo $$ > " + pid_file + "; " + rest);
        signal.join();
        EXPECT_LT(r.seconds, 1.0);
        EXPECT_EQ(r.out.find("ERROR!"), std::string::npos) << r.out;
        pid_t group = 0;
        std::ifstream(pid_file) >> group;
        ASSERT_GT(group, 1);
        for (int i = 0; i < 100 && group_alive(group); i++) usleep(10000);
        EXPECT_FALSE(group_alive(group));
    }
}

TEST(CustomRunner, RunnerReapedEarlyIsNoError)
{
    REQUIRE_ROOT();
    reset_agent_state();
    script_run run;
    ASSERT_TRUE(run.start("exit 0", 0, 0, 5, custom_messages, "fork failed %s"));
    run.close_output();
    int state = 0;
    for (int i = 0; i < 500 && (state = run.check()) == 0; i++) usleep(10000);
    ASSERT_EQ(state, 1);
    EXPECT_EQ(run.reap(5, "exit 0"), 0);
}

} // namespace
