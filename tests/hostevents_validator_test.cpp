#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "hostevents/hostevents.h"
#include "hostevents/vesk_validator.hpp"
#include "test_support.hpp"

using namespace hostevents;

// Whole files, the agent's ignored SIGPIPE and the missing file are checked on the
// real agent (validator_test.sh); these are the parser's corners.
TEST(ValidatorLine, TakesKeyNamesAndOptionsOff)
{
    struct {
        std::string raw;
        line_kind kind;
        std::string command;
    } cases[] = {
        {"  custom g c echo hi \r", line_kind::command, "echo hi"},
        {"multicustom \"a b\" cmd \"q r\"", line_kind::command, "cmd \"q r\""},
        {"custom g c gid=5 timeout=10 uid=1 alert>=1.5m incremental run", line_kind::command, "run"},
        {"custom g c run alert=<5 --x", line_kind::command, "run  --x"},
        {"custom g c uid=1 uid=2 run", line_kind::command, "uid=2 run"}, // only the first of each
        {"custom g c uid= run", line_kind::command, "uid= run"},          // no digits: no option
        {"custom g c uid=0 rm -rf /", line_kind::unsafe, "rm -rf /"},
        {"custom g c   ", line_kind::unparsable, ""},                     // trailing blanks are trimmed
        {"customer g c run", line_kind::unparsable, ""},
        {"custom \"g c run", line_kind::unparsable, ""},                 // unclosed quote
        {"custom \"\" c run", line_kind::unparsable, ""},                // empty quoted name
        {"multicustom g", line_kind::unparsable, ""},
        {"", line_kind::ignored, ""},
        // An option is taken off where it was found, never from the command or a name.
        {"custom g c /bin/check --interval=60 interval=60", line_kind::command, "/bin/check --interval=60"},
        {"custom \"a uid=1\" c uid=2 run", line_kind::command, "run"},
        {"custom g c run --fluid=1 uid=1", line_kind::command, "run --fluid=1"},
    };
    for (const auto &c : cases) {
        checked_line got = validator_parse_line(c.raw);
        EXPECT_EQ(static_cast<int>(got.kind), static_cast<int>(c.kind)) << c.raw;
        if (c.kind == line_kind::command || c.kind == line_kind::unsafe) {
            EXPECT_EQ(got.command, c.command) << c.raw;
        }
    }
}

TEST(Validator, ResultAndSummaryFollowTheFailures)
{
    const std::string dashes(62, '-');
    struct {
        std::string content;
        std::string want; // after the "Config file: " line
        long long result;
    } cases[] = {
        {"# custom g c run\ninterval 15\n", "Errors = 0\n", 0},
        // carriage returns dropped, and the last line needs no newline
        {"custom g c echo a\r\ncustom g c false",
         "custom g c echo a\na\n\n" + dashes + "\ncustom g c false\nexit status 1\n\n" + dashes + "\nErrors = 1\n", 1},
        // A line over 64 KiB ends the reading there.
        {"custom g c exit 4\n" + std::string(70000, 'x') + "\ncustom g c exit 5\n",
         "custom g c exit 4\nexit status 4\n\n" + dashes + "\nErrors = 1\n", 1},
    };
    temp_dir dir;
    for (const auto &c : cases) {
        std::string path = dir.write("vesk.conf", c.content);
        char *buf = nullptr;
        size_t len = 0;
        FILE *out = open_memstream(&buf, &len);
        EXPECT_EQ(validate_conf_file(path, out), c.result);
        fclose(out);
        EXPECT_EQ(std::string(buf, len), "Config file: " + path + "\n" + c.want) << c.content.substr(0, 40);
        free(buf);
    }
}

TEST(ValidatorDeathTest, NameIsTakenByItsLength)
{
    const char name[] = "/nonexistent-vesk-dir/a.confTRAILING";
    EXPECT_EXIT(ValidateConfName(he_string{name, 28}), testing::ExitedWithCode(1),
                "open /nonexistent-vesk-dir/a.conf: No such");
}
