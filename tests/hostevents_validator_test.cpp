#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "hostevents/hostevents.h"
#include "hostevents/vesk_validator.hpp"

using namespace hostevents;

namespace {

std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Runs the check of a file and returns what it printed.
std::string check_file(const std::string &path, long long &result)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    result = validate_conf_file(path, out);
    fclose(out);
    std::string text(buf, len);
    free(buf);
    return text;
}

struct temp_file {
    std::string path;
    explicit temp_file(const std::string &content)
    {
        char tmpl[] = "/tmp/vesk-validator-XXXXXX";
        int fd = mkstemp(tmpl);
        path = tmpl;
        if (fd >= 0) {
            EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
            close(fd);
        }
    }
    ~temp_file() { unlink(path.c_str()); }
};

} // namespace

TEST(ValidatorLine, TakesKeyNamesAndOptionsOff)
{
    struct {
        std::string raw;
        line_kind kind;
        std::string command;
    } cases[] = {
        {"custom g c uid=0 interval=60 /usr/bin/check --fast", line_kind::command, "/usr/bin/check --fast"},
        {"multicustom g /usr/bin/multi", line_kind::command, "/usr/bin/multi"},
        {"  custom g c echo hi \r", line_kind::command, "echo hi"},
        {"custom \"my group\" \"my counter\" timeout=5 echo x", line_kind::command, "echo x"},
        {"multicustom \"a b\" cmd \"q r\"", line_kind::command, "cmd \"q r\""},
        {"custom g c gid=5 timeout=10 uid=1 alert>=1.5m incremental run", line_kind::command, "run"},
        {"custom g c run alert=<5 --x", line_kind::command, "run  --x"},
        {"custom g c uid=1 uid=2 run", line_kind::command, "uid=2 run"}, // only the first of each
        {"custom g c uid=0", line_kind::command, ""},
        {"custom g c incremental", line_kind::command, ""},
        {"custom g c\tuid=0 run", line_kind::command, "uid=0 run"},       // an option after a tab stays
        {"custom g c run\tuid=0", line_kind::command, "run\tuid=0"},
        {"custom g c uid= run", line_kind::command, "uid= run"},          // no digits: no option
        {"custom g c rmdir /tmp/x", line_kind::unsafe, "rmdir /tmp/x"},
        {"custom g c uid=0 rm -rf /", line_kind::unsafe, "rm -rf /"},
        {"custom g c /bin/rm -f /tmp/x", line_kind::command, "/bin/rm -f /tmp/x"},
        {"custom g c", line_kind::unparsable, ""},
        {"custom g c   ", line_kind::unparsable, ""},                     // trailing blanks are trimmed
        {"custom_uid 0", line_kind::unparsable, ""},
        {"customer g c run", line_kind::unparsable, ""},
        {"custom \"g c run", line_kind::unparsable, ""},                 // unclosed quote
        {"custom \"\" c run", line_kind::unparsable, ""},                // empty quoted name
        {"multicustom g", line_kind::unparsable, ""},
        {"# custom g c run", line_kind::ignored, ""},
        {"interval 15", line_kind::ignored, ""},
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

TEST(Validator, ChecksEveryCustomLineOfAFile)
{
    // The agent ignores SIGPIPE and blocks signals in its threads; the commands must
    // see neither.
    auto old_pipe = signal(SIGPIPE, SIG_IGN);
    sigset_t term, old_mask;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, &old_mask);

    const std::string conf = VESK_FIXTURES "/hostevents/validator.conf";
    long long result = -1;
    std::string got = check_file(conf, result);

    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    signal(SIGPIPE, old_pipe);

    EXPECT_EQ(got, "Config file: " + conf + "\n" + slurp(VESK_FIXTURES "/hostevents/validator.expected"));
    EXPECT_EQ(result, 1);
}

TEST(Validator, ResultAndSummaryFollowTheFailures)
{
    const std::string dashes(62, '-');
    struct {
        std::string content;
        std::string want; // after the "Config file: " line
        long long result;
    } cases[] = {
        {"# nothing\ninterval 15\n", "Errors = 0\n", 0},
        {"custom g c echo ok", "custom g c echo ok\nok\n\n" + dashes + "\nErrors = 0\n", 0},  // no final newline
        {"custom g c echo a\r\ncustom g c false\r\n",
         "custom g c echo a\na\n\n" + dashes + "\ncustom g c false\nexit status 1\n\n" + dashes + "\nErrors = 1\n", 1},
        // A line over 64 KiB ends the reading there.
        {"custom g c exit 4\n" + std::string(70000, 'x') + "\ncustom g c exit 5\n",
         "custom g c exit 4\nexit status 4\n\n" + dashes + "\nErrors = 1\n", 1},
    };
    for (const auto &c : cases) {
        temp_file f(c.content);
        long long result = -1;
        EXPECT_EQ(check_file(f.path, result), "Config file: " + f.path + "\n" + c.want) << c.content.substr(0, 40);
        EXPECT_EQ(result, c.result);
    }
    long long result = -1;
    const std::string none = VESK_FIXTURES "/hostevents/validator-none.conf";
    EXPECT_EQ(check_file(none, result), "Config file: " + none + "\nErrors = 0\n");
    EXPECT_EQ(result, 0);
}

TEST(Validator, ShellThatCannotBeFoundIsAFailure)
{
    const char *old = getenv("PATH");
    std::string saved = old ? old : "";
    setenv("PATH", "/nonexistent-vesk-path", 1);
    command_result r = run_shell_command("echo hi");
    setenv("PATH", saved.c_str(), 1);
    EXPECT_TRUE(r.failed);
    EXPECT_EQ(r.failure, "exec: \"sh\": No such file or directory");
    EXPECT_EQ(r.output, "");
}

TEST(ValidatorDeathTest, MissingFileEndsTheProcessWithStatus1)
{
    const std::string missing = "/nonexistent-vesk-dir/vesk.conf";
    EXPECT_EXIT(ValidateConfName(he_string{missing.data(), static_cast<ptrdiff_t>(missing.size())}),
                testing::ExitedWithCode(1),
                "^Config file: /nonexistent-vesk-dir/vesk.conf\n"
                "[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} "
                "open /nonexistent-vesk-dir/vesk.conf: No such file or directory\n$");
    // The name is taken by its length: bytes after it are not part of it.
    const char name[] = "/nonexistent-vesk-dir/a.confTRAILING";
    EXPECT_EXIT(ValidateConfName(he_string{name, 28}), testing::ExitedWithCode(1),
                "open /nonexistent-vesk-dir/a.conf: No such");
}
