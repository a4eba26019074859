#include <sys/stat.h>
#include <sys/time.h>

#include <csignal>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "customs_support.hpp"
#include "encoding.hpp"
#include "vesk_custom.hpp"

namespace {

using std::chrono::steady_clock;

struct conf_case {
    std::string cfg;
    script_kind kind;
    script_conf want;
};

TEST(ScriptConf, ParsesFieldsOptionsAndCommand)
{
    reset_agent_state();
    const auto custom = script_kind::custom;
    const auto multi = script_kind::multicustom;
    const conf_case cases[] = {
        {" \"My Report\" nginx uid=33 interval=2 alert=>5 /usr/local/bin/check.sh\n", custom,
         {"My Report", "nginx", ">5", "/usr/local/bin/check.sh", 2, 33, 65534, 5, 0, 11}},
        // any order, runs of blanks and tabs between fields; the command keeps its own blanks
        {" rep   name\ttimeout=9  gid=7   incremental type=42 periods=3   echo  a   b\n", custom,
         {"rep", "name", "", "echo  a   b", 3, 65534, 7, 9, 1, 42}},
        {" r n /bin/true", custom, {"r", "n", "", "/bin/true", 4, 65534, 65534, 5, 0, 11}},
        {"general server_status uid=0 gid=0 interval=1 type=11001  /usr/bin/status --all\n", custom,
         {"general", "server_status", "", "/usr/bin/status --all", 1, 0, 0, 5, 0, 11001}},
        // no name field, and no incremental option: that token starts the command
        {" \"Disk stats\" interval=2 incremental df -P\n", multi,
         {"Disk stats", "", "", "incremental df -P", 2, 65534, 65534, 5, 0, 12}},
        {" r n periods=0 x", custom, {"r", "n", "", "x", 1, 65534, 65534, 5, 0, 11}},
        {" r n interval=-5 x", custom, {"r", "n", "", "x", 1, 65534, 65534, 5, 0, 11}},
        {" r n uid=abc gid= timeout=7x x", custom, {"r", "n", "", "x", 4, 0, 0, 7, 0, 11}},
        // lone quote characters: empty fields, nothing written outside them
        {" \" \" x", custom, {"", "", "", "x", 4, 65534, 65534, 5, 0, 11}},
        {" \"a b c", custom, {"a b c", "", "", "", 4, 65534, 65534, 5, 0, 11}},
        {" \"a\" \"b c\" x", custom, {"a", "b c", "", "x", 4, 65534, 65534, 5, 0, 11}},
        {" onlyreport\n", custom, {"onlyreport", "", "", "", 4, 65534, 65534, 5, 0, 11}},
        {" r n alert=" + std::string(60, 'a') + " x", custom,
         {"r", "n", std::string(49, 'a'), "x", 4, 65534, 65534, 5, 0, 11}},
    };
    for (const conf_case &c : cases) {
        SCOPED_TRACE(c.cfg);
        script_conf got = parse_script_conf(c.cfg, c.kind);
        EXPECT_EQ(got.report, c.want.report);
        EXPECT_EQ(got.id, c.want.id);
        EXPECT_EQ(got.alert_condition, c.want.alert_condition);
        EXPECT_EQ(got.exec, c.want.exec);
        EXPECT_EQ(got.interval, c.want.interval);
        EXPECT_EQ(got.uid, c.want.uid);
        EXPECT_EQ(got.gid, c.want.gid);
        EXPECT_EQ(got.max_seconds, c.want.max_seconds);
        EXPECT_EQ(got.incremental, c.want.incremental);
        EXPECT_EQ(got.type, c.want.type);
    }
}

TEST(ScriptConf, CounterFieldsAreCutAndValidUtf8)
{
    reset_agent_state();
    custom_ptr c = make_custom(" " + std::string(300, 'r') + " n\xff\xfe echo 1\n");
    EXPECT_EQ(strlen(c->report), 255u);
    EXPECT_TRUE(vesk_utf8_valid(c->id, strlen(c->id)));
    EXPECT_STREQ(c->exec, "echo 1");
}

struct output_case {
    std::string out;
    int type;
    double value;
    std::vector<std::string> alerts;
};

TEST(CustomOutput, ValueLineThenAlerts)
{
    std::vector<std::string> ten;
    std::string many = "1\n";
    for (int i = 0; i < 12; i++) {
        many += "a" + std::to_string(i) + "\n";
        if (i < 10) ten.push_back("a" + std::to_string(i));
    }
    const output_case cases[] = {
        {"42\nlow disk\n", 11, 42, {"low disk"}},
        {"no number here\n", 11, 0, {}},
        {"\n\n  7.5 apples\nA\n\nB", 11, 7.5, {"A", "B"}},
        {"-3e2\n", 11, -300, {}},
        {"disk full\nswap low\n", 11001, 0, {"disk full", "swap low"}},
        {"", 11001, 0, {}},
        {many, 11, 1, ten},
        {"1\n" + std::string(300, 'x') + "\n", 11, 1, {std::string(255, 'x')}},
    };
    for (const output_case &c : cases) {
        SCOPED_TRACE(c.out.substr(0, 40));
        vesk_mycustom_data_custom d{};
        EXPECT_EQ(custom_parse_output(c.out, c.type, &d), c.value);
        EXPECT_EQ(d.value, c.value);
        ASSERT_EQ(d.agent_alerts_count, static_cast<int>(c.alerts.size()));
        for (size_t i = 0; i < c.alerts.size(); i++) EXPECT_EQ(d.agent_alerts[i].text, c.alerts[i]);
    }
}

TEST(CustomOutput, AlertsBecomeValidUtf8)
{
    vesk_mycustom_data_custom d{};
    custom_parse_output("1\n\xff\xfe ok \xc3\n", 11, &d);
    ASSERT_EQ(d.agent_alerts_count, 1);
    EXPECT_TRUE(vesk_utf8_valid(d.agent_alerts[0].text, strlen(d.agent_alerts[0].text)));
    EXPECT_NE(strstr(d.agent_alerts[0].text, " ok "), nullptr);
}

// One customs cycle as the child runs it: the run's result, then the delta.
struct step {
    uint64_t iteration;
    bool ran_ok; // the script gave a result
    double value;
    bool sent;   // the delta marks a result to report
    double reported;
};

void run_steps(const char *cfg, const std::vector<step> &steps)
{
    custom_ptr c = make_custom(cfg);
    auto *d = static_cast<vesk_mycustom_data_custom *>(c->data);
    auto *out = static_cast<vesk_mycustom_data_custom *>(c->data_delta);
    for (const step &s : steps) {
        SCOPED_TRACE("iteration " + std::to_string(s.iteration));
        d->mustBeUpdated = 1;
        d->updated = d->ok = s.ran_ok;
        d->value = s.value;
        custom_delta(c.get(), 15, s.iteration);
        EXPECT_EQ(out->updated != 0, s.sent);
        if (s.sent) {
            EXPECT_EQ(out->value, s.reported);
        }
    }
}

TEST(CustomDelta, IncrementalReportsIncreasesAgainstLastGoodRun)
{
    reset_agent_state();
    run_steps(" r n incremental x", {{0, true, 10, false, 0},
                                     {1, true, 15, true, 5},
                                     {2, true, 12, true, 0},
                                     {3, false, 0, false, 0},
                                     {4, true, 20, true, 8}});
    // A failed priming run: the next good run primes again.
    run_steps(" r n incremental x", {{0, false, 0, false, 0}, {1, true, 10, false, 0}, {2, true, 13, true, 3}});
    run_steps(" r n x", {{0, true, 10, true, 10}, {1, false, 3, false, 0}, {2, true, 4, true, 4}});
}

TEST(CustomDelta, NotDueIsNotSent)
{
    reset_agent_state();
    custom_ptr c = make_custom(" r n x");
    auto *d = static_cast<vesk_mycustom_data_custom *>(c->data);
    d->mustBeUpdated = 0;
    d->updated = 1;
    custom_delta(c.get(), 15, 3);
    EXPECT_EQ(static_cast<vesk_mycustom_data_custom *>(c->data_delta)->updated, 0);
}

void set_result(vesk_mycustom_counter *c, double value, int errors, std::vector<std::string> alerts)
{
    auto *d = static_cast<vesk_mycustom_data_custom *>(c->data_delta);
    d->mustBeUpdated = d->updated = d->ok = 1;
    d->value = value;
    d->errors = errors;
    d->agent_alerts_count = static_cast<int>(alerts.size());
    for (size_t i = 0; i < alerts.size(); i++) vesk_copy(d->agent_alerts[i].text, alerts[i]);
}

TEST(CustomToBson, FreshResultsOnlyWithTheirKeys)
{
    reset_agent_state();
    custom_ptr status = make_custom("general server_status uid=0 gid=0 interval=1 type=11001  /y\n");
    set_result(status.get(), 0, 1, {});
    custom_ptr plain = make_custom(" r n type=7 /z");
    set_result(plain.get(), 2.5, 0, {});
    custom_ptr consumed = make_custom(" r gone /z");
    set_result(consumed.get(), 1, 0, {});
    static_cast<vesk_mycustom_data_custom *>(consumed->data_delta)->mustBeUpdated = 0;
    custom_ptr failed = make_custom(" r failed /z");
    set_result(failed.get(), 1, 0, {});
    static_cast<vesk_mycustom_data_custom *>(failed->data_delta)->updated = 0;

    auto doc = custom_document([&](bson *b) {
        for (auto *c : {status.get(), plain.get(), consumed.get(), failed.get()}) custom_tobson(c, b);
    });
    auto elements = custom_elements(doc);
    // Only fresh results; a server-status element always carries its alerts.
    ASSERT_EQ(elements.size(), 2u);
    EXPECT_EQ(elements[0].first, "general_server_status");
    EXPECT_EQ(elements[0].second,
              "{ \"report\" : \"general\", \"name\" : \"server_status\", \"interval\" : { \"$numberInt\" : \"15\" }, "
              "\"value\" : { \"$numberDouble\" : \"0.0\" }, \"errors\" : { \"$numberInt\" : \"1\" }, \"type\" : { "
              "\"$numberLong\" : \"11001\" }, \"alerts\" : [  ] }");
    EXPECT_EQ(elements[1].first, "r_n");
    EXPECT_EQ(elements[1].second,
              "{ \"report\" : \"r\", \"name\" : \"n\", \"interval\" : { \"$numberInt\" : \"60\" }, \"value\" : { "
              "\"$numberDouble\" : \"2.5\" }, \"errors\" : { \"$numberInt\" : \"0\" }, \"type\" : { \"$numberLong\" "
              ": \"7\" } }");
}

// ---- the runner, with real shell commands ----

struct run_result {
    int updated;
    double value;
    int errors;
    std::vector<std::string> alerts;
    double seconds;
    std::string out;
    std::string err;
};

run_result run_custom(const std::string &cfg)
{
    custom_ptr c = make_custom(cfg);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    auto t0 = steady_clock::now();
    custom_update(c.get());
    auto t1 = steady_clock::now();
    run_result r;
    r.out = testing::internal::GetCapturedStdout();
    r.err = testing::internal::GetCapturedStderr();
    auto *d = static_cast<vesk_mycustom_data_custom *>(c->data);
    r.updated = d->updated;
    r.value = d->value;
    r.errors = d->errors;
    for (int i = 0; i < d->agent_alerts_count; i++) r.alerts.push_back(d->agent_alerts[i].text);
    r.seconds = std::chrono::duration<double>(t1 - t0).count();
    return r;
}

struct script_case {
    const char *what;
    std::string cfg;
    int updated;
    double value;
    int errors;
    std::vector<std::string> alerts;
};

TEST(CustomRunner, ScriptProtocol)
{
    REQUIRE_ROOT();
    reset_agent_state();
    const script_case cases[] = {
        {"standard error keeps the value", " r n echo 5; echo oops >&2", 1, 5, 1, {}},
        {"empty output fails", " r n true", 0, 0, 0, {}},
        {"server status may print nothing", "general server_status uid=0 gid=0 interval=1 type=11001  true", 1,
         0, 0, {}},
        // SIGPIPE at its default action: the producer ends quietly when head has had enough
        {"pipe to head", " r n seq 1 1000000 | head -n 1", 1, 1, 0, {}},
        // every id of the default identity, the saved ones and the groups included
        {"default identity", " r n id -u; id -G; grep ^Uid: /proc/self/status | tr -s '\\t' ' '", 1, 65534, 0,
         {"65534", "Uid: 65534 65534 65534 65534"}},
        {"configured identity", " r n uid=33 gid=34 id -u; id -G", 1, 33, 0, {"34"}},
        {"refused identity", " r n uid=-1 echo 1", 0, 0, 0, {}},
        // only the first 1024 bytes count: 2 + 3 × 301 bytes, then 119 bytes of the fourth line
        {"output cut at 1024 bytes", " r n echo 1; for i in 1 2 3 4; do printf '%0300d\\n' 0; done", 1, 1, 0,
         {std::string(255, '0'), std::string(255, '0'), std::string(255, '0'), std::string(119, '0')}},
    };
    for (const script_case &c : cases) {
        SCOPED_TRACE(c.what);
        run_result r = run_custom(c.cfg);
        EXPECT_EQ(r.updated, c.updated) << r.out << r.err;
        if (!c.updated) continue;
        EXPECT_EQ(r.value, c.value);
        EXPECT_EQ(r.errors, c.errors);
        EXPECT_EQ(r.alerts, c.alerts);
    }
}

TEST(CustomRunner, FailureMessages)
{
    REQUIRE_ROOT();
    reset_agent_state();
    run_result r = run_custom(" r n uid=-1 echo 1");
    EXPECT_NE(r.out.find("ERROR! Cannot setuid\n"), std::string::npos) << r.out;
    // An empty output is a failed run; the script itself ended well, every time.
    for (int i = 0; i < 10; i++) {
        r = run_custom(" r n true");
        EXPECT_NE(r.out.find("ERROR! Custom script 'true' has returned an empty string, killed\n"), std::string::npos);
        EXPECT_EQ(r.updated, 0);
        EXPECT_EQ(r.errors, 0);
    }
    r = run_custom(" r n echo oops >&2");
    EXPECT_EQ(r.updated, 0);
    EXPECT_EQ(r.errors, 1);
    r = run_custom(" r n timeout=0 echo 1");
    EXPECT_EQ(r.updated, 0);
    EXPECT_NE(r.out.find("ERROR! Custom script 'echo 1' running too long (0 sec), killed\n"), std::string::npos);
    r = run_custom(" r n echo 5; echo oops >&2");
    EXPECT_EQ(r.err,
              "\tGot some STDERR lines when running command \"echo 5; echo oops >&2\":\n\t\tCustom STDERR: oops\n");
}

TEST(CustomRunner, TimeOutKillsTheWholeGroup)
{
    REQUIRE_ROOT();
    reset_agent_state();
    temp_dir dir;
    std::string pidfile = (dir.path() / "bg").string();
    run_result r = run_custom(" r n uid=0 gid=0 timeout=1 sleep 30 & echo $! > " + pidfile + "; sleep 30");
    EXPECT_EQ(r.updated, 0);
    EXPECT_LT(r.seconds, 4);
    EXPECT_NE(r.out.find("running too long (1 sec), killed"), std::string::npos);
    pid_t bg = std::stoi(read_file(pidfile));
    EXPECT_TRUE(process_gone(bg)) << "background process " << bg << " survived";
}

TEST(CustomRunner, StreamsNeitherBlockNorLinger)
{
    REQUIRE_ROOT();
    reset_agent_state();
    // 200 kB on standard error before the value: both streams drain together.
    run_result r = run_custom(" r n timeout=5 head -c 200000 /dev/zero | tr '\\0' x >&2; echo 7");
    EXPECT_EQ(r.updated, 1);
    EXPECT_EQ(r.value, 7);
    EXPECT_EQ(r.errors, 1);
    EXPECT_LT(r.seconds, 4);
    // A background process that lets go of the script's streams holds none of ours.
    r = run_custom(" r n timeout=5 (sleep 3 >/dev/null 2>&1 &); echo 3");
    EXPECT_EQ(r.updated, 1);
    EXPECT_EQ(r.value, 3);
    EXPECT_LT(r.seconds, 2);
}

void on_alarm(int) {}

TEST(CustomRunner, SignalsDoNotCutTheRead)
{
    REQUIRE_ROOT();
    reset_agent_state();
    // A signal in the middle of the read, as the stop signal may come: the run goes on.
    struct sigaction sa {}, old {};
    sa.sa_handler = on_alarm;
    sigaction(SIGALRM, &sa, &old);
    struct itimerval tv {};
    tv.it_value.tv_usec = 200000;
    setitimer(ITIMER_REAL, &tv, nullptr);
    run_result r = run_custom(" r n sleep 0.6; echo 9");
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_EQ(r.updated, 1);
    EXPECT_EQ(r.value, 9);
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
