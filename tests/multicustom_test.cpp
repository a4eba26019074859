#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "customs_support.hpp"
#include "encoding.hpp"
#include "vesk_multicustom.hpp"

namespace {

struct metric_case {
    std::string line;
    int code;
    std::string name;
    double value;
};

TEST(MetricLine, NameWordsThenNumber)
{
    const metric_case cases[] = {
        {"cpu user 10\n", METRIC_OK, "cpu user", 10},
        {"cpu\tsystem   5.5", METRIC_OK, "cpu system", 5.5},
        {"42\n", METRIC_OK, "", 42},
        {"mem 1e3kb\n", METRIC_OK, "mem", 1000},
        {"  padded -7\r\n", METRIC_OK, "padded", -7},
        {"load abc\n", METRIC_NO_NUMBER, "", 0},
        {"   \t\n", METRIC_NO_NUMBER, "", 0},
        {"\n", METRIC_EMPTY, "", 0},
        {"", METRIC_EMPTY, "", 0},
        {"# total 5\n", METRIC_COMMENT, "", 0},
        {std::string(300, 'n') + " 1\n", METRIC_TOO_LONG, std::string(255, 'n'), 0},
    };
    for (const metric_case &c : cases) {
        SCOPED_TRACE(c.line.substr(0, 40));
        char name[256];
        memset(name, 'z', sizeof name);
        double value = 0;
        EXPECT_EQ(parse_metric_line(c.line.c_str(), name, sizeof name, &value), c.code);
        EXPECT_EQ(name, c.name);
        if (c.code == METRIC_OK) {
            EXPECT_EQ(value, c.value);
        }
    }
}

struct mc_result {
    int err;
    std::vector<std::pair<std::string, double>> values;
    std::vector<std::string> alerts;
    std::string out;
    double seconds;
};

mc_result run_multi(const std::string &cfg)
{
    auto c = make_multicustom(cfg);
    testing::internal::CaptureStdout();
    auto t0 = std::chrono::steady_clock::now();
    int ok = multicustom_update(c.get());
    auto t1 = std::chrono::steady_clock::now();
    mc_result r;
    r.out = testing::internal::GetCapturedStdout();
    r.err = ok ? 0 : 1;
    EXPECT_EQ(c->updated, ok);
    for (uint64_t i = 0; i < c->mc_count; i++) {
        r.values.emplace_back(c->data[i].id, c->data[i].value);
        for (int k = 0; k < c->data[i].agent_alerts_count; k++) r.alerts.push_back(c->data[i].agent_alerts[k].text);
    }
    r.seconds = std::chrono::duration<double>(t1 - t0).count();
    return r;
}

using values_t = std::vector<std::pair<std::string, double>>;

TEST(MulticustomRunner, OutputProtocol)
{
    REQUIRE_ROOT();
    reset_agent_state();
    struct {
        const char *what;
        std::string cfg;
        int err;
        values_t values;
        std::vector<std::string> alerts;
        const char *printed; // expected in standard output, or null
    } cases[] = {
        {"two values", " sys printf 'cpu user 10\\ncpu system 5.5\\n'", 0, {{"cpu user", 10}, {"cpu system", 5.5}}, {},
         nullptr},
        {"bad line skipped", " sys echo 'load abc'; echo '# c'; echo; echo 'x 1'", 0, {{"x", 1}}, {},
         "[error] [multicustom] 'echo 'load abc'; echo '# c'; echo; echo 'x 1'' cannot parse line (no double number "
         "at the end):\n>\tload abc\n\n"},
        {"alert on every value", " sys alert=>90 printf 'disk 95\\nswap 3\\n'", 0, {{"disk", 95}, {"swap", 3}},
         {"disk >90", "swap >90"}, nullptr},
        {"only comments is empty output", " sys echo '# nothing'", 1, {}, {},
         "ERROR! Multicustom script has returned an empty string, killed\n"},
        {"server status may print nothing", " sys type=11001 echo '# nothing'", 0, {}, {}, nullptr},
        {"names become valid UTF-8", " sys printf 'caf\\303\\251 \\377x 1\\n'", 0, {{"caf\xc3\xa9 \xef\xbf\xbdx", 1}},
         {}, nullptr},
        {"refused identity", " sys uid=-1 echo 'x 1'", 1, {}, {}, "[custom] ERROR! Cannot setuid to '-1'\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        mc_result r = run_multi(c.cfg);
        EXPECT_EQ(r.err, c.err) << r.out;
        EXPECT_EQ(r.values, c.values);
        EXPECT_EQ(r.alerts, c.alerts);
        if (c.printed) {
            EXPECT_NE(r.out.find(c.printed), std::string::npos) << r.out;
        }
    }
}

TEST(MulticustomRunner, KeepsAtMost512Values)
{
    REQUIRE_ROOT();
    reset_agent_state();
    mc_result r = run_multi(" sys seq 1 600 | sed 's/^/v /'");
    EXPECT_EQ(r.err, 0);
    ASSERT_EQ(r.values.size(), 512u);
    EXPECT_EQ(r.values.back(), std::make_pair(std::string("v"), 512.0));
    EXPECT_NE(r.out.find("[warning] too many values (600) in multicustom 'seq 1 600 | sed 's/^/v /'' (max 512 "
                         "allowed)\n"),
              std::string::npos);
}

TEST(MulticustomRunner, ReadsNeverPassTheDeadline)
{
    REQUIRE_ROOT();
    reset_agent_state();
    // A line that never ends, from a script that never ends.
    mc_result r = run_multi(" sys timeout=1 printf 'x 1\\npartial'; sleep 30");
    EXPECT_EQ(r.err, 1);
    EXPECT_LT(r.seconds, 4);
    EXPECT_NE(r.out.find("ERROR! Multicustom script running too long (1 sec), killed\n"), std::string::npos);
}

} // namespace
