#include <chrono>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "customs_support.hpp"
#include "encoding.hpp"

// Good output end to end, with its report elements, is in customs_test.sh.
namespace {

TEST(MetricLine, NameWordsThenNumber)
{
    struct {
        std::string line;
        int code;
        std::string name;
        double value;
    } cases[] = {
        {"cpu\tsystem   5.5", METRIC_OK, "cpu system", 5.5},
        {"42\n", METRIC_OK, "", 42},
        {"mem 1e3kb\n", METRIC_OK, "mem", 1000},
        {"  padded -7\r\n", METRIC_OK, "padded", -7},
        {"load abc\n", METRIC_NO_NUMBER, "", 0},
        {"   \t\n", METRIC_NO_NUMBER, "", 0},
        {"\n", METRIC_EMPTY, "", 0},
        {"# total 5\n", METRIC_COMMENT, "", 0},
        {std::string(300, 'n') + " 1\n", METRIC_TOO_LONG, std::string(255, 'n'), 0},
    };
    for (const auto &c : cases) {
        char name[256];
        memset(name, 'z', sizeof name);
        double value = 0;
        EXPECT_EQ(parse_metric_line(c.line.c_str(), name, sizeof name, &value), c.code) << c.line;
        EXPECT_EQ(name, c.name) << c.line;
        EXPECT_EQ(value, c.value) << c.line;
    }
}

struct mc_result {
    int ok;
    std::vector<std::pair<std::string, double>> values;
    std::vector<std::string> alerts;
    std::string out;
    double seconds;
};

mc_result run_multi(const std::string &cfg)
{
    auto c = std::make_unique<vesk_mymulticustom_counter>();
    vesk_copy(c->cfg_string, cfg);
    multicustom_init(c.get());
    testing::internal::CaptureStdout();
    auto t0 = std::chrono::steady_clock::now();
    mc_result r{};
    r.ok = multicustom_update(c.get());
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
    r.out = testing::internal::GetCapturedStdout();
    r.seconds = took.count();
    EXPECT_EQ(c->updated, r.ok);
    for (uint64_t i = 0; i < c->mc_count; i++) {
        r.values.emplace_back(c->data[i].id, c->data[i].value);
        for (int k = 0; k < c->data[i].agent_alerts_count; k++) r.alerts.push_back(c->data[i].agent_alerts[k].text);
    }
    return r;
}

TEST(MulticustomRunner, OutputProtocol)
{
    REQUIRE_ROOT();
    reset_agent_state();
    std::vector<std::pair<std::string, double>> first512;
    for (int i = 1; i <= 512; i++) first512.emplace_back("v", i);
    struct {
        const char *what;
        std::string cfg;
        int ok;
        std::vector<std::pair<std::string, double>> values;
        std::vector<std::string> alerts;
        const char *printed; // expected in standard output, or null
    } cases[] = {
        {"bad line skipped, shown printable", " sys printf 'load \\033]0;x\\n# c\\n\\nx 1\\n'", 1, {{"x", 1}}, {},
         "[error] [multicustom] 'printf 'load \\033]0;x\\n# c\\n\\nx 1\\n'' cannot parse line (no double number "
         "at the end):\n>\tload \\x1b]0;x\n\n"},
        {"alert on every value", " sys alert=>90 printf 'disk 95\\nswap 3\\n'", 1, {{"disk", 95}, {"swap", 3}},
         {"disk >90", "swap >90"}, nullptr},
        {"only comments is empty output", " sys echo '# nothing'", 0, {}, {},
         "ERROR! Multicustom script has returned an empty string, killed\n"},
        {"server status may print nothing", " sys type=11001 echo '# nothing'", 1, {}, {}, nullptr},
        {"names become valid UTF-8", " sys printf 'caf\\303\\251 \\377x 1\\n'", 1, {{"caf\xc3\xa9 \xef\xbf\xbdx", 1}},
         {}, nullptr},
        {"refused identity", " sys uid=-1 echo 'x 1'", 0, {}, {}, "[custom] ERROR! Cannot setuid to '-1'\n"},
        {"at most 512 values", " sys seq 1 600 | sed 's/^/v /'", 1, first512, {},
         "[warning] too many values (600) in multicustom 'seq 1 600 | sed 's/^/v /'' (max 512 allowed)\n"},
        // a line that never ends, from a script that never ends
        {"deadline", " sys timeout=1 printf 'x 1\\npartial'; sleep 30", 0, {{"x", 1}}, {},
         "ERROR! Multicustom script running too long (1 sec), killed\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        mc_result r = run_multi(c.cfg);
        EXPECT_EQ(r.ok, c.ok) << r.out;
        EXPECT_EQ(r.values, c.values);
        EXPECT_EQ(r.alerts, c.alerts);
        EXPECT_LT(r.seconds, 3);
        if (c.printed) {
            EXPECT_NE(r.out.find(c.printed), std::string::npos) << r.out;
        }
    }
}

} // namespace
