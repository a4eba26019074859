// Custom counters: an administrator's shell command whose first output line is a
// value and whose further lines are alerts, run on its own period under an
// unprivileged identity. Also the script runner that multicustom counters share.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "encoding.hpp"
#include "mycustom.hpp"
#include "vesk_config.hpp"
#include "vesk_custom_alert.hpp"
#include "vesk_owners.hpp"

inline constexpr int VESK_CUSTOM_TYPE = 11;
inline constexpr int VESK_SERVER_STATUS_TYPE = 11001;
inline constexpr int VESK_MULTICUSTOM_TYPE = 12;
// A custom script's output is read up to this many bytes.
inline constexpr size_t VESK_CUSTOM_OUTPUT_MAX = 1024;

// A parsed configuration text of a custom or multicustom line.
struct script_conf {
    std::string report;
    std::string id; // empty for multicustom lines, which have no name field
    std::string alert_condition;
    std::string exec;
    int interval = 0; // the period, in report cycles
    int uid = 0;
    int gid = 0;
    int max_seconds = 0;
    int incremental = 0;
    int type = 0;
    std::string text{}; // the configuration text without leading blanks and final newline
};

enum class script_kind { custom, multicustom };

// Parses the text after the key: report name, (custom only) name, options, command.
// Defaults come from config. A period below 1 is taken as 1.
script_conf parse_script_conf(std::string_view cfg, script_kind kind);

// Stores what both counter kinds take from their configuration text; names and
// the alert condition reach the report, so they are made valid UTF-8. `conf`
// then shows the stored texts.
template <typename Counter>
void store_script_conf(Counter *cnt, script_conf &conf)
{
    vesk_copy_text(cnt->report, conf.report);
    if constexpr (requires { cnt->id; }) {
        vesk_copy_text(cnt->id, conf.id);
        conf.id = cnt->id;
    }
    vesk_copy_text(cnt->alert_condition, conf.alert_condition);
    vesk_copy(cnt->exec, conf.exec);
    cnt->interval = conf.interval;
    cnt->uid = conf.uid;
    cnt->gid = conf.gid;
    cnt->max_seconds = conf.max_seconds;
    cnt->incremental = conf.incremental;
    cnt->type = conf.type;
    conf.report = cnt->report;
    conf.alert_condition = cnt->alert_condition;
}

// Seconds between two runs of a script with this period: period × report interval.
int script_total_interval(int period);

// Prints a parsed configuration as the counter's init reports it.
void print_script_conf(const char *title, const script_conf &conf, bool with_id);

// One element of the report array "custom": a custom counter, or one value of a
// multicustom counter.
struct script_element {
    const char *report = "";
    const char *name = "";
    int interval = 0;
    const char *counter_type = nullptr; // written only when set
    const char *alert_when = "";        // written only when not empty
    double value = 0;
    int errors = 0;
    int type = 0;
    const vesk_mycustom_agent_alert *alerts = nullptr;
    int alerts_count = 0;
};
// Appends the element, named by the report name, '_' and the name.
void append_script_element(bson *b, const script_element &e);

// A line of a script's output as it may go to the agent's terminal or log: its
// non-printable bytes written as \xNN, a final newline kept.
std::string script_line_printable(std::string_view line);

// The seven operations of a custom counter.
int custom_init(void *cnt);
int custom_update(void *cnt);
int custom_delta(void *cnt, uint32_t span_ms, uint64_t iteration);
int custom_tobson(void *cnt, bson *b);
int custom_dump(void *cnt);
int custom_free(void *cnt);
void custom_parse_conf(vesk_mycustom_counter *cnt);

// Runs a custom command once and fills value, errors and alerts of `data`.
// *err is 0 for a usable result, else 1. Returns the value.
double call_exec(const char *exec, int uid, int gid, int max_seconds, int counter_type, int *err,
                 vesk_mycustom_data_custom *data);

// Splits a custom script's output into the value (returned) and alerts.
double custom_parse_output(std::string_view out, int counter_type, vesk_mycustom_data_custom *data);

// ---- the runner child, shared with the multicustom counter ----

// How a runner child words its failures.
struct script_messages {
    const char *setuid_failed;  // printf format; takes the uid
    const char *popen_failed;   // printf format; takes the command
    const char *stderr_line;    // printf format; takes one standard-error line
    const char *debug_prefix;   // "[customs]" or "[multicustoms]"
};
extern const script_messages custom_messages;

// Hands each line of `pending` to `line`, newline included, and removes it: at most
// `max` characters a line, a longer one going in pieces. With `end`, the rest too.
template <typename Line>
void take_lines(std::string &pending, size_t max, bool end, Line line)
{
    for (;;) {
        size_t nl = pending.find('\n');
        size_t len = nl != std::string::npos && nl < max ? nl + 1
                     : pending.size() >= max             ? max
                     : end                               ? pending.size()
                                                         : 0;
        if (len == 0) return;
        line(pending.substr(0, len));
        pending.erase(0, len);
    }
}

// One run of a command, as the customs child sees it: the runner child, which
// drops privileges, starts the command and passes its output on.
class script_run {
public:
    script_run() = default;
    script_run(const script_run &) = delete;
    script_run &operator=(const script_run &) = delete;
    ~script_run();

    // Forks the runner child. False when the fork failed (message printed).
    // A pipe that cannot be made ends the customs child with status 1.
    bool start(const char *exec, int uid, int gid, int max_seconds, const script_messages &msg,
               const char *fork_failed_fmt);
    // How a read of the command's output ended.
    enum class read_end { done, timed_out, wait_failed, stopped };
    // Reads the command's output until it ends or `take` wants no more (it returns
    // false), for at most max_seconds; a time-out kills the command's whole group,
    // and so does the stop, at once (stopped).
    read_end read_output(int max_seconds, const std::function<bool(std::string_view)> &take);
    void close_output() { out_.reset(); }
    // Polls the runner child without waiting: 1 once it is reaped (now or earlier),
    // 0 while it runs, -1 when it cannot be waited for (errno set).
    int check();
    // Kills the command's whole process group, then the runner child.
    void kill_all();
    // Final reaping: waits up to max_seconds + 2 seconds, or until the stop, then
    // kills. Returns the errors flag: 1 when the command wrote to standard error or
    // did not end properly.
    int reap(int max_seconds, const char *exec);

private:
    pid_t pid_ = -1;
    unique_fd out_;
    unique_fd group_fd_; // the command's process group id arrives here
    pid_t group_ = 0;
    bool reaped_ = false;
    int status_ = 0;
    const script_messages *msg_ = nullptr;
};
