// Custom counters: the configuration line, running the script, its value and alerts.
#include "vesk_custom.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "bson.hpp"
#include "encoding.hpp"
#include "vesk_child.hpp"
#include "vesk_clock.hpp"
#include "vesk_config.hpp"
#include "vesk_popen.hpp"

// ---- configuration text ----

namespace {

bool blank(char ch) { return isspace(static_cast<unsigned char>(ch)) != 0; }

// Walks a configuration text token by token. After each token the cursor also
// passes the blanks that follow it, so the command starts at its first character
// however many blanks separate the fields.
struct token_cursor {
    std::string_view text;
    size_t pos = 0;

    void skip_blanks()
    {
        while (pos < text.size() && blank(text[pos])) pos++;
    }
    std::string_view peek() const
    {
        size_t end = pos;
        while (end < text.size() && !blank(text[end])) end++;
        return text.substr(pos, end - pos);
    }
    std::string_view next()
    {
        std::string_view tok = peek();
        pos += tok.size();
        skip_blanks();
        return tok;
    }
    std::string_view rest() const { return text.substr(pos); }
};

void drop_last(std::string &field)
{
    if (!field.empty()) field.pop_back();
}

// One field that may be written in double quotes over several tokens. The quote
// state carries over from the report name to the name.
std::string quoted_field(token_cursor &cur, bool &quoted)
{
    std::string field;
    for (;;) {
        std::string_view tok = cur.next();
        if (tok.empty()) return field; // the line has ended
        if (tok.front() == '"') {
            field.append(tok.substr(1));
            if (tok.back() == '"') {
                drop_last(field);
                return field;
            }
            quoted = true;
        } else if (tok.find('"') != std::string_view::npos) {
            field += ' ';
            field.append(tok);
            drop_last(field);
            quoted = false;
            return field;
        } else if (quoted) {
            field += ' ';
            field.append(tok);
        } else {
            return std::string(tok);
        }
    }
}

int option_number(std::string_view tok, size_t skip)
{
    std::string digits(tok.substr(skip));
    long v = strtol(digits.c_str(), nullptr, 10);
    return static_cast<int>(std::clamp<long>(v, INT_MIN, INT_MAX));
}

bool starts_with(std::string_view tok, std::string_view prefix) { return tok.substr(0, prefix.size()) == prefix; }

} // namespace

script_conf parse_script_conf(std::string_view cfg, script_kind kind)
{
    script_conf conf;
    conf.interval = config.custom_counters_delimiter;
    conf.uid = config.custom_default_uid;
    conf.gid = config.custom_default_gid;
    conf.max_seconds = config.custom_default_timeout;
    conf.type = kind == script_kind::custom ? VESK_CUSTOM_TYPE : VESK_MULTICUSTOM_TYPE;

    while (!cfg.empty() && cfg.front() == ' ') cfg.remove_prefix(1);
    if (!cfg.empty() && cfg.back() == '\n') cfg.remove_suffix(1);
    conf.text = cfg;

    token_cursor cur{cfg};
    cur.skip_blanks();
    bool quoted = false;
    conf.report = quoted_field(cur, quoted);
    if (kind == script_kind::custom) conf.id = quoted_field(cur, quoted);

    for (;;) {
        std::string_view tok = cur.peek();
        if (tok.empty()) break;
        if (starts_with(tok, "uid="))
            conf.uid = option_number(tok, 4);
        else if (kind == script_kind::custom && starts_with(tok, "incremental"))
            conf.incremental = 1;
        else if (starts_with(tok, "gid="))
            conf.gid = option_number(tok, 4);
        else if (starts_with(tok, "timeout="))
            conf.max_seconds = option_number(tok, 8);
        else if (starts_with(tok, "periods="))
            conf.interval = option_number(tok, 8);
        else if (starts_with(tok, "interval="))
            conf.interval = option_number(tok, 9);
        else if (starts_with(tok, "type="))
            conf.type = option_number(tok, 5);
        else if (starts_with(tok, "alert="))
            conf.alert_condition = std::string(tok.substr(6, 49));
        else
            break;
        cur.next();
    }
    conf.exec = std::string(cur.rest());
    // The customs child divides the cycle number by the period.
    if (conf.interval < 1) conf.interval = 1;
    return conf;
}

int script_total_interval(int period)
{
    int64_t total = static_cast<int64_t>(period) * config.interval;
    return static_cast<int>(std::clamp<int64_t>(total, INT_MIN, INT_MAX));
}

void print_script_conf(const char *title, const script_conf &conf, bool with_id)
{
    printf("%s", title);
    printf("\tCfg string = %s\n", conf.text.c_str());
    printf("\tReport = %s\n", conf.report.c_str());
    if (with_id) printf("\tId = %s\n", conf.id.c_str());
    printf("\tExec = %s\n", conf.exec.c_str());
    if (!conf.alert_condition.empty()) printf("\tAlert when = %s\n", conf.alert_condition.c_str());
    printf("\tUid = %d, Gid = %d, Interval = %d, MaxSeconds = %d, Inc = %d, Type = %d\n", conf.uid, conf.gid,
           conf.interval, conf.max_seconds, conf.incremental, conf.type);
    printf("\tParsed interval value: %d (will run every %d seconds)\n", conf.interval,
           script_total_interval(conf.interval));
}

void append_script_element(bson *b, const script_element &e)
{
    std::string key = std::string(e.report) + "_" + e.name;
    if (vesk_bson_append_start_object(b, key.c_str()) != BSON_OK) return;
    vesk_bson_append_string(b, "report", e.report);
    vesk_bson_append_string(b, "name", e.name);
    vesk_bson_append_int(b, "interval", e.interval);
    if (e.counter_type) vesk_bson_append_string(b, "counter_type", e.counter_type);
    if (e.alert_when[0]) vesk_bson_append_string(b, "alert_when", e.alert_when);
    vesk_bson_append_double(b, "value", e.value);
    vesk_bson_append_int(b, "errors", e.errors);
    if (e.type != VESK_CUSTOM_TYPE) vesk_bson_append_long(b, "type", e.type);
    int n = std::clamp(e.alerts_count, 0, VESK_MAX_ALERTS);
    if (n > 0 || e.type == VESK_SERVER_STATUS_TYPE) {
        if (vesk_bson_append_start_array(b, "alerts") == BSON_OK) {
            for (int i = 0; i < n; i++) {
                char idx[12];
                snprintf(idx, sizeof idx, "%d", i);
                vesk_bson_append_string(b, idx, e.alerts[i].text);
            }
            vesk_bson_append_finish_array(b);
        }
    }
    vesk_bson_append_finish_object(b);
}

std::string script_line_printable(std::string_view line)
{
    bool nl = line.ends_with('\n');
    return vesk_printable(line.substr(0, line.size() - nl)) + (nl ? "\n" : "");
}

// ---- the custom counter ----

namespace {

vesk_mycustom_counter *as_counter(void *cnt) { return static_cast<vesk_mycustom_counter *>(cnt); }
vesk_mycustom_data_custom *record(void *p) { return static_cast<vesk_mycustom_data_custom *>(p); }

void alloc_record(void *&p)
{
    if (p)
        *record(p) = vesk_mycustom_data_custom{};
    else
        p = new vesk_mycustom_data_custom{};
}

void free_record(void *&p)
{
    delete record(p);
    p = nullptr;
}

} // namespace

void custom_parse_conf(vesk_mycustom_counter *cnt)
{
    script_conf conf = parse_script_conf(cnt->cfg_string, script_kind::custom);
    store_script_conf(cnt, conf);
    print_script_conf("Custom counter init:\n", conf, true);
}

int custom_init(void *cnt)
{
    auto *c = as_counter(cnt);
    alloc_record(c->data);
    alloc_record(c->data_prev);
    alloc_record(c->data_delta);
    vesk_copy(c->report, "Custom");
    custom_parse_conf(c);
    return 0;
}

int custom_update(void *cnt)
{
    auto *c = as_counter(cnt);
    auto *d = record(c->data);
    if (!d) return 0;
    int err = 1;
    call_exec(c->exec, c->uid, c->gid, c->max_seconds, c->type, &err, d);
    if (err) {
        d->ok = 0;
        d->updated = 0;
        return 0;
    }
    if (config.debug)
        printf("[customs] '%s/%s' after call_exec(): value = %f, errors = %d\n", c->report, c->id, d->value,
               d->errors);
    d->ok = 1;
    d->updated = 1;
    return 1;
}

int custom_delta(void *cnt, uint32_t, uint64_t iteration)
{
    auto *c = as_counter(cnt);
    auto *cur = record(c->data);
    auto *prev = record(c->data_prev);
    auto *out = record(c->data_delta);
    if (!cur || !prev || !out) return 1;
    int total = script_total_interval(c->interval);
    *out = *cur;
    if (!cur->mustBeUpdated) {
        out->updated = 0;
        if (config.debug)
            printf("[customs] Counter '%s/%s': mustBeUpdated=0 (interval check), not sending (total_interval=%d "
                   "seconds)\n",
                   c->report, c->id, total);
    } else if (!c->incremental) {
        out->updated = cur->updated;
        if (config.debug) {
            if (cur->updated)
                printf("[customs] Counter '%s/%s': non-incremental, mustBeUpdated=1, updated=1, will be sent "
                       "(total_interval=%d seconds)\n",
                       c->report, c->id, total);
            else
                printf("[customs] Counter '%s/%s': non-incremental, mustBeUpdated=1 but updated=0 (update() "
                       "failed), will not be sent\n",
                       c->report, c->id);
        }
    } else if (iteration == 0 || (cur->updated && !prev->updated)) {
        // Priming; a good run also primes again after a priming run that failed.
        *prev = *cur;
        out->updated = 0;
        if (config.debug)
            printf("[customs] Counter '%s/%s': first iteration (incremental), copying to prev, not sending\n",
                   c->report, c->id);
    } else if (cur->updated && prev->updated) {
        out->value = cur->value > prev->value ? cur->value - prev->value : 0;
        out->updated = 1;
        if (config.debug)
            printf("[customs] Counter '%s/%s': incremental delta calculated: prev=%.2f, curr=%.2f, delta=%.2f "
                   "(total_interval=%d seconds)\n",
                   c->report, c->id, prev->value, cur->value, out->value, total);
        *prev = *cur;
    } else {
        out->updated = 0;
        if (config.debug)
            printf("[customs] Counter '%s/%s': incremental, mustBeUpdated=1 but c->updated=%d, p->updated=%d, "
                   "cannot calculate delta\n",
                   c->report, c->id, cur->updated, prev->updated);
    }
    return 1;
}

int custom_tobson(void *cnt, bson *b)
{
    auto *c = as_counter(cnt);
    auto *d = record(c->data_delta);
    if (!d) return 1;
    if (config.debug)
        printf("[custom_tobson] Counter '%s/%s': mustBeUpdated=%d, updated=%d, value=%f\n", c->report, c->id,
               d->mustBeUpdated, d->updated, d->value);
    if (!d->mustBeUpdated || !d->updated) return 1;
    script_element e;
    e.report = c->report;
    e.name = c->id;
    e.interval = script_total_interval(c->interval);
    e.alert_when = c->alert_condition;
    e.value = d->value;
    e.errors = d->errors;
    e.type = c->type;
    e.alerts = d->agent_alerts;
    e.alerts_count = d->agent_alerts_count;
    append_script_element(b, e);
    return 1;
}

int custom_dump(void *cnt)
{
    auto *c = as_counter(cnt);
    auto *d = record(c->data_delta);
    if (!d) return 1;
    printf("MyCustom %s report %s (ok=%d, upd=%d, must=%d) :\n", c->id, c->report, d->ok, d->updated,
           d->mustBeUpdated);
    printf("\tvalue = %f\n", d->value);
    printf("\terrors = %d\n", d->errors);
    if (c->alert_condition[0]) printf("\talert_when = %s\n", c->alert_condition);
    int n = std::clamp(d->agent_alerts_count, 0, VESK_MAX_ALERTS);
    for (int i = 0; i < n; i++) printf("\tAgent alert #%d: '%s'\n", i, d->agent_alerts[i].text);
    return 1;
}

int custom_free(void *cnt)
{
    auto *c = as_counter(cnt);
    free_record(c->data);
    free_record(c->data_prev);
    free_record(c->data_delta);
    return 1;
}

// ---- the script runner ----

const script_messages custom_messages = {
    "ERROR! Cannot setuid\n",
    "ERROR! Cannot open pipe with result of execution shell command: %s\n",
    "\t\tCustom STDERR: %s",
    "[customs]",
};

namespace {

void sleep_ms(long ms)
{
    struct timespec ts {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {}
}

int poll_ms(int64_t ms) { return static_cast<int>(std::clamp<int64_t>(ms, 0, INT_MAX)); }

// Echoes a command's standard error line by line, each line at most 255 characters
// with its non-printable bytes written as \xNN: a script decides what it writes,
// and root's terminal or journal must neither grow without bound nor take escape
// sequences from it. Lines past the tenth of a run are only counted.
struct stderr_echo {
    static constexpr int kShown = 10;
    const char *exec;
    const script_messages &msg;
    std::string pending{};
    int lines = 0;

    bool seen() const { return lines > 0; }
    void line(std::string_view l)
    {
        if (lines == 0) fprintf(stderr, "\tGot some STDERR lines when running command \"%s\":\n", exec);
        if (++lines > kShown) return;
        fprintf(stderr, msg.stderr_line, script_line_printable(l).c_str());
    }
    void feed(std::string_view piece, bool end)
    {
        pending.append(piece);
        take_lines(pending, 255, end, [this](const std::string &l) { line(l); });
    }
    void finish()
    {
        feed({}, true);
        if (lines > kShown) fprintf(stderr, "\t\t\u2026 %d more lines\n", lines - kShown);
    }
};

// The runner child: drops privileges, starts the command in a process group of
// its own, tells the customs child that group, and passes the command's output on
// while it echoes its standard error. Both streams are drained together, so a
// command that fills one of them never stalls on the other.
[[noreturn]] void runner_child(const char *exec, int uid, int gid, int max_seconds, int out_fd, int group_fd,
                               const script_messages &msg)
{
    // Out of the agent's session before the identity change, so nothing that runs
    // as the script's user keeps the agent's controlling terminal.
    setsid();
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    signal(SIGABRT, SIG_DFL);
    if (!vesk_drop_privileges(static_cast<uid_t>(uid), static_cast<gid_t>(gid))) {
        printf(msg.setuid_failed, uid);
        fflush(nullptr);
        _exit(255);
    }
    signal(SIGPIPE, SIG_IGN);
    fflush(nullptr);
    vesk_proc_outs *proc = vesk_popen(exec);
    if (!proc) {
        printf(msg.popen_failed, exec);
        fflush(nullptr);
        _exit(127);
    }
    pid_t group = proc->pid;
    vesk_write_all(group_fd, reinterpret_cast<const char *>(&group), sizeof group);
    close(group_fd);

    stderr_echo echo{exec, msg};
    pollfd fds[2] = {{fileno(proc->out), POLLIN, 0}, {fileno(proc->err), POLLIN, 0}};
    bool out_ok = true; // the customs child still reads
    // A safety net only: the customs child kills us long before this.
    int64_t deadline = vesk_mono_ms() + (std::max(max_seconds, 0) + 2LL) * 1000;
    char buf[256];
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        int64_t left = deadline - vesk_mono_ms();
        if (left <= 0) break;
        int r = poll(fds, 2, poll_ms(left));
        if (r < 0 && errno != EINTR) break;
        for (int i = 0; r > 0 && i < 2; i++) {
            if (fds[i].fd < 0 || !fds[i].revents) continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) {
                fds[i].fd = -1;
                continue;
            }
            if (i == 0 && out_ok) out_ok = vesk_write_all(out_fd, buf, static_cast<size_t>(n));
            if (i == 1) echo.feed(std::string_view(buf, static_cast<size_t>(n)), false);
        }
    }
    echo.finish();
    vesk_pclose_with_timeout(proc, max_seconds);
    close(out_fd);
    fflush(nullptr);
    _exit(echo.seen() ? 5 : 0);
}

} // namespace

script_run::~script_run()
{
    if (pid_ > 0 && !reaped_) {
        kill_all();
        check();
    }
}

bool script_run::start(const char *exec, int uid, int gid, int max_seconds, const script_messages &msg,
                       const char *fork_failed_fmt)
{
    msg_ = &msg;
    int data[2], group[2];
    if (pipe2(data, O_CLOEXEC) != 0) {
        printf("ERROR! Cannot pipe\n");
        exit(1);
    }
    if (pipe2(group, O_CLOEXEC) != 0) {
        close(data[0]);
        close(data[1]);
        printf("ERROR! Cannot pipe\n");
        exit(1);
    }
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        printf(fork_failed_fmt, exec);
        for (int fd : {data[0], data[1], group[0], group[1]}) close(fd);
        return false;
    }
    if (pid == 0) {
        close(data[0]);
        close(group[0]);
        runner_child(exec, uid, gid, max_seconds, data[1], group[1], msg);
    }
    close(data[1]);
    close(group[1]);
    pid_ = pid;
    out_.reset(data[0]);
    group_fd_.reset(group[0]);
    return true;
}

script_run::read_end script_run::read_output(int max_seconds, const std::function<bool(std::string_view)> &take)
{
    if (check() < 0) {
        printf("ERROR! waitpid %d\n", errno);
        return read_end::wait_failed;
    }
    int64_t deadline = vesk_mono_ms() + static_cast<int64_t>(max_seconds) * 1000;
    char buf[4096];
    for (;;) {
        // The stop ends the wait below, even one that lands just before it: the
        // command goes at once, so that it holds up neither the stop nor anything after it.
        if (stop) {
            kill_all();
            return read_end::stopped;
        }
        int64_t left = deadline - vesk_mono_ms();
        if (left <= 0) {
            kill_all();
            return read_end::timed_out;
        }
        pollfd p{out_.get(), POLLIN, 0};
        int r = vesk_ppoll(&p, 1, left);
        if (r == 0 || (r < 0 && (errno == EINTR || errno == ECANCELED))) continue;
        ssize_t n = r < 0 ? -1 : read(out_.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        // The runner closes the pipe only once the command is reaped or killed: the
        // final reaping judges how it ended, free of races.
        if (n <= 0 || !take(std::string_view(buf, static_cast<size_t>(n)))) return read_end::done;
    }
}

int script_run::check()
{
    if (reaped_) return 1;
    if (pid_ <= 0) {
        errno = ECHILD;
        return -1;
    }
    pid_t r;
    do {
        r = waitpid(pid_, &status_, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == pid_) {
        reaped_ = true;
        return 1;
    }
    return r == 0 ? 0 : -1;
}

void script_run::kill_all()
{
    if (group_ == 0 && group_fd_) {
        // The runner child sends the group right after starting the command, or
        // closes the pipe when it could not start it; a signal meanwhile must not
        // cost us the group.
        pollfd p{group_fd_.get(), POLLIN, 0};
        int r;
        while ((r = poll(&p, 1, 1000)) < 0 && errno == EINTR) {}
        pid_t g = 0;
        ssize_t n = 0;
        while (r > 0 && (n = read(group_fd_.get(), &g, sizeof g)) < 0 && errno == EINTR) {}
        if (n == static_cast<ssize_t>(sizeof g)) group_ = g;
        group_fd_.reset();
    }
    if (group_ > 1) kill(-group_, SIGKILL);
    if (pid_ > 0 && !reaped_) kill(pid_, SIGKILL);
}

int script_run::reap(int max_seconds, const char *exec)
{
    const char *pre = msg_ ? msg_->debug_prefix : "[customs]";
    close_output();
    if (config.debug) printf("%s waiting for pid %d\n", pre, pid_);
    int64_t deadline = vesk_mono_ms() + (static_cast<int64_t>(max_seconds) + 2) * 1000;
    int c;
    while ((c = check()) == 0) {
        if (stop || vesk_mono_ms() > deadline) {
            if (config.debug && stop) printf("%s stopping: killing pid %d\n", pre, pid_);
            else if (config.debug) printf("%s waitpid timeout for pid %d, killing\n", pre, pid_);
            kill_all();
            sleep_ms(100);
            c = check();
            if (c == 0) {
                if (config.debug) printf("%s process %d did not terminate after SIGKILL\n", pre, pid_);
                return 1;
            }
            break;
        }
        sleep_ms(10);
    }
    if (c < 0) {
        if (config.debug) printf("%s waitpid error: %d\n", pre, errno);
        return 1;
    }
    if (WIFEXITED(status_)) {
        int code = WEXITSTATUS(status_);
        if (code != 0 && config.debug) printf("%s exited with code %d\n", pre, code);
        return code == 5 ? 1 : 0;
    }
    if (config.debug) {
        printf("%s child '%s' not exited properly: ", pre, exec);
        if (WIFCONTINUED(status_))
            printf("continued\n");
        else if (WIFSIGNALED(status_))
            printf("signaled with signal %d\n", WTERMSIG(status_));
        else if (WIFSTOPPED(status_))
            printf("stopped with signal %d\n", WSTOPSIG(status_));
        else
            printf("unknown reason\n");
    }
    return 1;
}

double custom_parse_output(std::string_view out, int counter_type, vesk_mycustom_data_custom *data)
{
    double value = 0;
    bool want_value = counter_type != VESK_SERVER_STATUS_TYPE;
    data->agent_alerts_count = 0;
    while (!out.empty()) {
        size_t nl = out.find('\n');
        std::string_view line = out.substr(0, nl);
        out.remove_prefix(nl == std::string_view::npos ? out.size() : nl + 1);
        if (line.empty()) continue;
        if (want_value) {
            std::string text(line);
            value = strtod(text.c_str(), nullptr);
            want_value = false;
        } else if (data->agent_alerts_count < VESK_MAX_ALERTS) {
            vesk_mycustom_agent_alert &a = data->agent_alerts[data->agent_alerts_count++];
            a.index = 0;
            vesk_copy_text(a.text, line);
        }
    }
    data->value = value;
    return value;
}

double call_exec(const char *exec, int uid, int gid, int max_seconds, int counter_type, int *err,
                 vesk_mycustom_data_custom *data)
{
    *err = 1;
    script_run run;
    if (!run.start(exec, uid, gid, max_seconds, custom_messages, "ERROR! Cannot fork while trying to execute %s"))
        return 0;
    data->agent_alerts_count = 0;
    data->value = 0;
    std::string out;
    auto end = run.read_output(max_seconds, [&](std::string_view piece) {
        out.append(piece.substr(0, VESK_CUSTOM_OUTPUT_MAX - out.size())); // the output is cut there
        return out.size() < VESK_CUSTOM_OUTPUT_MAX;
    });
    // The cut leaves no half of a character for the sanitizer to turn into U+FFFD.
    if (out.size() == VESK_CUSTOM_OUTPUT_MAX) out.resize(vesk_utf8_whole(out));
    bool empty = out.empty() && counter_type != VESK_SERVER_STATUS_TYPE;
    if (end == script_run::read_end::timed_out)
        printf("ERROR! Custom script '%s' running too long (%d sec), killed\n", exec, max_seconds);
    else if (end == script_run::read_end::done && empty)
        printf("ERROR! Custom script '%s' has returned an empty string, killed\n", exec);
    *err = end != script_run::read_end::done || empty;
    double value = *err ? 0 : custom_parse_output(out, counter_type, data);
    data->errors = run.reap(max_seconds, exec);
    return value;
}
