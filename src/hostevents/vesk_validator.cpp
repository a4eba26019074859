// Trying the custom and multicustom commands of a configuration file by hand.
#include "hostevents/vesk_validator.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "hostevents/config.hpp"
#include "vesk_child.hpp"
#include "vesk_owners.hpp"

extern char **environ;

namespace hostevents {

namespace {

constexpr size_t MAX_LINE = 64 * 1024;
// A command that never stops talking must not eat the machine's memory.
constexpr size_t MAX_OUTPUT = 1024 * 1024;

// White space between the key and the names: tab, newline, form feed, return, blank.
bool sep(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }
bool digit(char c) { return c >= '0' && c <= '9'; }

size_t run_of(std::string_view s, size_t i, bool (*in)(char))
{
    size_t j = i;
    while (j < s.size() && in(s[j])) j++;
    return j - i;
}

// The end of "key", then `names` names, each followed by white space, at the start of
// the line; npos when the line does not have that form. A name is a run of
// characters that are neither white space nor a double quote, or a double-quoted text.
size_t match_key_and_names(std::string_view line, std::string_view key, int names)
{
    if (line.substr(0, key.size()) != key) return std::string_view::npos;
    size_t i = key.size();
    for (int n = 0; n < names; n++) {
        size_t ws = run_of(line, i, sep);
        if (ws == 0) return std::string_view::npos;
        i += ws;
        if (i < line.size() && line[i] == '"') {
            size_t close = line.find('"', i + 1);
            if (close == std::string_view::npos || close == i + 1) return std::string_view::npos;
            i = close + 1;
        } else {
            size_t len = run_of(line, i, [](char c) { return !sep(c) && c != '"'; });
            if (len == 0) return std::string_view::npos;
            i += len;
        }
    }
    size_t ws = run_of(line, i, sep);
    return ws == 0 ? std::string_view::npos : i + ws;
}

// After an option's name: the length of a valid value at the start of rest, or 0.
size_t number_value(std::string_view rest) { return run_of(rest, 0, digit); }

size_t alert_value(std::string_view rest)
{
    size_t ops = run_of(rest, 0, [](char c) { return std::string_view("=<>inout").find(c) != std::string_view::npos; });
    if (ops == 0) return 0;
    size_t args = run_of(rest, ops, [](char c) { return digit(c) || std::string_view("_(,.").find(c) != std::string_view::npos; });
    if (args == 0) return 0;
    size_t len = ops + args;
    if (len < rest.size() && rest[len] == 'm') len++;
    return len;
}

size_t no_value(std::string_view) { return 0; }

// The child's step that failed before the shell ran, as it reports it.
enum class spawn_step : int { detach, identity, exec };
struct spawn_failure {
    spawn_step step;
    int err;
};

struct option_rule {
    std::string_view lead; // a blank and the option's name
    size_t (*value)(std::string_view rest);
    bool needs_value;
    long long checked_line::*id = nullptr; // where uid= and gid= go
};

constexpr option_rule OPTIONS[] = {
    {" uid=", number_value, true, &checked_line::uid},
    {" gid=", number_value, true, &checked_line::gid},
    {" interval=", number_value, true},
    {" timeout=", number_value, true},
    {" alert", alert_value, true},
    {" incremental", no_value, false},
};

// A user or group id from its digits; -1 (refused by the identity change) when it
// does not fit.
long long id_value(std::string_view digits)
{
    long long v = 0;
    for (char c : digits) {
        v = v * 10 + (c - '0');
        if (v >= 0xFFFFFFFFLL) return -1;
    }
    return v;
}

// The leftmost match of the option in line at or after from: its position and length.
std::pair<size_t, size_t> find_option(std::string_view line, size_t from, const option_rule &rule)
{
    for (size_t pos = line.find(rule.lead, from); pos != std::string_view::npos;
         pos = line.find(rule.lead, pos + 1)) {
        size_t v = rule.value(line.substr(pos + rule.lead.size()));
        if (v > 0 || !rule.needs_value) return {pos, rule.lead.size() + v};
    }
    return {std::string_view::npos, 0};
}

std::string wait_status_text(int status)
{
    if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) {
        const char *d = strsignal(WTERMSIG(status));
        std::string text = std::string("signal: ") + (d ? d : std::to_string(WTERMSIG(status)).c_str());
        if (WCOREDUMP(status)) text += " (core dumped)";
        return text;
    }
    return "exit status " + std::to_string(status);
}

// Reads a file line by line; a line longer than MAX_LINE ends the reading.
class line_reader {
public:
    explicit line_reader(int fd) : fd_(fd) {}
    bool next(std::string &line)
    {
        for (;;) {
            size_t nl = buf_.find('\n', scan_);
            if (nl != std::string::npos) {
                line.assign(buf_, 0, nl);
                buf_.erase(0, nl + 1);
                scan_ = 0;
                break;
            }
            scan_ = buf_.size();
            if (buf_.size() > MAX_LINE) return false;
            if (eof_) {
                if (buf_.empty()) return false;
                line = std::move(buf_);
                buf_.clear();
                scan_ = 0;
                break;
            }
            char chunk[8192];
            ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) eof_ = true; // a read error ends the file
            else buf_.append(chunk, static_cast<size_t>(n));
        }
        if (line.size() > MAX_LINE) return false;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
    }

private:
    int fd_;
    std::string buf_;
    size_t scan_ = 0;
    bool eof_ = false;
};

// Texts from the file may hold any byte, a NUL included.
void put_line(FILE *out, std::string_view prefix, std::string_view text)
{
    fwrite(prefix.data(), 1, prefix.size(), out);
    fwrite(text.data(), 1, text.size(), out);
    fputc('\n', out);
}

} // namespace

checked_line validator_parse_line(std::string_view raw)
{
    std::string_view line = trim_space(raw);
    checked_line r;
    r.line = line;
    if (line.substr(0, 6) != "custom" && line.substr(0, 11) != "multicustom") return r;

    size_t names_end = match_key_and_names(line, "custom", 2);
    if (names_end == std::string_view::npos) names_end = match_key_and_names(line, "multicustom", 1);
    if (names_end == std::string_view::npos) {
        r.kind = line_kind::unparsable;
        return r;
    }

    // What is cut out of the line: the key and names, and each option where it was
    // found (its first occurrence after the names), so neither a name nor the command
    // loses text that merely looks like an option.
    std::vector<std::pair<size_t, size_t>> cuts;
    cuts.emplace_back(0, trim_space(line.substr(0, names_end)).size());
    for (const auto &rule : OPTIONS) {
        auto [pos, len] = find_option(line, names_end - 1, rule);
        if (pos == std::string_view::npos) continue;
        cuts.emplace_back(pos + 1, len - 1);
        if (rule.id) r.*rule.id = id_value(line.substr(pos + rule.lead.size(), len - rule.lead.size()));
    }
    std::sort(cuts.begin(), cuts.end());
    std::string command;
    size_t at = 0;
    for (auto [pos, len] : cuts) {
        if (pos > at) command.append(line.substr(at, pos - at));
        at = std::max(at, pos + len);
    }
    if (at < line.size()) command.append(line.substr(at));
    r.command = trim_space(command);
    r.kind = r.command.rfind("rm", 0) == 0 ? line_kind::unsafe : line_kind::command;
    return r;
}

command_result run_shell_command(const std::string &command, long long uid, long long gid)
{
    command_result r;
    if (command.find('\0') != std::string::npos) {
        r.failed = true;
        r.failure = "exec: \"sh\": " + error_text(EINVAL);
        return r;
    }
    // The output, and a close-on-exec pipe on which the child reports a step that
    // failed before the shell started.
    int p[2], st[2];
    if (pipe2(p, O_CLOEXEC) != 0 || pipe2(st, O_CLOEXEC) != 0) {
        r.failed = true;
        r.failure = "pipe: " + error_text(errno);
        return r;
    }
    unique_fd rd(p[0]), wr(p[1]), st_rd(st[0]), st_wr(st[1]);

    std::string arg0 = "sh", arg1 = "-c", arg2 = command;
    char *argv[] = {arg0.data(), arg1.data(), arg2.data(), nullptr};
    bool id_ok = uid >= 0 && gid >= 0;
    pid_t pid = fork();
    if (pid < 0) {
        r.failed = true;
        r.failure = "fork: " + error_text(errno);
        return r;
    }
    if (pid == 0) {
        // Checked as the agent would run it: the line's identity, out of root's session.
        int report = st_wr.get();
        spawn_failure f{spawn_step::detach, 0};
        if (vesk_child_detach(wr.get(), wr.get(), report)) {
            f.step = spawn_step::identity;
            errno = EINVAL;
            if (id_ok && vesk_drop_privileges(static_cast<uid_t>(uid), static_cast<gid_t>(gid))) {
                f.step = spawn_step::exec;
                execve("/bin/sh", argv, environ);
            }
        }
        f.err = errno;
        if (report >= 0) (void)!write(report, &f, sizeof f);
        _exit(127);
    }
    wr.reset();
    st_wr.reset();
    spawn_failure f{};
    ssize_t got;
    while ((got = read(st_rd.get(), &f, sizeof f)) < 0 && errno == EINTR) {}

    char buf[8192];
    for (;;) {
        ssize_t n = read(rd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        size_t room = MAX_OUTPUT - std::min(MAX_OUTPUT, r.output.size());
        r.output.append(buf, std::min(room, static_cast<size_t>(n)));
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            r.failed = true;
            r.failure = "wait: " + error_text(errno);
            return r;
        }
    }
    if (got == static_cast<ssize_t>(sizeof f)) {
        r.failed = true;
        switch (f.step) {
        case spawn_step::detach: r.failure = "setsid: " + error_text(f.err); break;
        case spawn_step::identity:
            r.failure = "setuid " + std::to_string(uid) + " gid " + std::to_string(gid) + ": " + error_text(f.err);
            break;
        case spawn_step::exec: r.failure = "exec: \"sh\": " + error_text(f.err); break;
        }
    } else if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
        r.failed = true;
        r.failure = wait_status_text(status);
    }
    return r;
}

long long validate_conf_file(const std::string &file_name, FILE *out)
{
    put_line(out, "Config file: ", file_name);
    fflush(out);
    // A name with a NUL byte in it names no file.
    bool named = file_name.find('\0') == std::string::npos;
    unique_fd file(named ? open(file_name.c_str(), O_RDONLY | O_CLOEXEC) : -1);
    if (!file) fatal_dated("open " + file_name + ": " + error_text(named ? errno : EINVAL));

    long long customErrors = 0;
    const std::string separator(62, '-');
    line_reader reader(file.get());
    std::string raw;
    while (reader.next(raw)) {
        checked_line c = validator_parse_line(raw);
        switch (c.kind) {
        case line_kind::ignored:
            continue;
        case line_kind::unparsable:
            put_line(out, "[ERROR]: Can't parse custom! ", c.line);
            continue;
        case line_kind::unsafe:
            put_line(out, "[ERROR]: Unsafe command! ", c.line);
            continue;
        case line_kind::command:
            break;
        }
        put_line(out, "", c.line);
        fflush(out);
        command_result res = run_shell_command(c.command, c.uid, c.gid);
        if (res.failed) {
            fprintf(out, "%s\n", res.failure.c_str());
            customErrors++;
        }
        fwrite(res.output.data(), 1, res.output.size(), out);
        fprintf(out, "\n%s\n", separator.c_str());
        fflush(out);
    }
    fprintf(out, "Errors = %lld\n", customErrors);
    fflush(out);
    return customErrors > 0 ? 1 : 0;
}

} // namespace hostevents
