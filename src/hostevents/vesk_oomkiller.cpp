// The out-of-memory kill watcher: the follower thread over the system log.
#include "hostevents/vesk_oomkiller.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <linux/magic.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "hostevents/config.hpp"

namespace hostevents {

namespace {

// Without a stop descriptor the stop flag is looked at this often, and so is a
// stream whose readiness says nothing (see wait_for_change).
constexpr int STREAM_POLL_MS = 250;
constexpr int STATUS_POLL_MS = 1000;
constexpr size_t READ_CHUNK = 64 * 1024;

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// The one inotify instance of the process, created on first need. It lives as long
// as the process: a follower may still be waiting on it while the process exits.
int inotify_instance()
{
    static std::once_flag once;
    static int fd = -1;
    std::call_once(once, [] {
        fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd < 0) fatal_dated("FATAL -- failed to create Watcher");
    });
    return fd;
}

bool on_procfs(int fd)
{
    struct statfs sf {};
    return fstatfs(fd, &sf) == 0 && sf.f_type == PROC_SUPER_MAGIC;
}

// Reads what a stream holds now (a non-blocking descriptor), so that only what
// comes later is counted.
void discard_backlog(int fd)
{
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0 || (n < 0 && errno == EINTR)) continue;
        return; // end, would block, or an error the next read reports
    }
}

// Whether s begins with the shape: 'd' stands for a digit, 'D' for a digit or a
// blank, 'A' and 'a' for an upper- and a lower-case letter, anything else for itself.
bool fits(std::string_view s, std::string_view shape)
{
    if (s.size() < shape.size()) return false;
    for (size_t i = 0; i < shape.size(); i++) {
        char c = s[i];
        bool digit = c >= '0' && c <= '9';
        bool ok = shape[i] == 'd'   ? digit
                  : shape[i] == 'D' ? digit || c == ' '
                  : shape[i] == 'A' ? c >= 'A' && c <= 'Z'
                  : shape[i] == 'a' ? c >= 'a' && c <= 'z'
                                    : c == shape[i];
        if (!ok) return false;
    }
    return true;
}

// Bytes of a line start kept for the tag: stamp, host name (at most 255) and tag.
constexpr size_t HEAD_MAX = 512;

} // namespace

bool syslog_kernel_line(std::string_view line)
{
    std::string_view rest;
    if (fits(line, "Aaa Dd dd:dd:dd ")) {
        rest = line.substr(16);
    } else {
        // "2026-12-09T05:46:58.123456+00:00", rsyslog's default on Debian 12.
        size_t end = line.find(' ');
        if (end == std::string_view::npos) return false;
        std::string_view stamp = line.substr(0, end);
        bool offset_only = stamp.find_first_not_of("0123456789.:+-Z", 19) == std::string_view::npos;
        if (!fits(stamp, "dddd-dd-ddTdd:dd:dd") || !offset_only) return false;
        rest = line.substr(end + 1);
    }
    size_t host_end = rest.find(' ');
    if (host_end == 0 || host_end == std::string_view::npos) return false;
    return rest.substr(host_end + 1).starts_with("kernel:");
}

// ---- line matching ----

kill_line_counter::kill_line_counter(kill_pattern pattern) : pattern_(std::move(pattern))
{
    for (std::string &t : pattern_.texts) {
        if (pattern_.ignore_case) std::transform(t.begin(), t.end(), t.begin(), lower);
        longest_ = std::max(longest_, t.size());
    }
}

bool kill_line_counter::found_in(std::string_view text) const
{
    for (std::string_view p : pattern_.texts) {
        if (p.empty()) return true;
        if (!pattern_.ignore_case) {
            if (text.find(p) != std::string_view::npos) return true;
            continue;
        }
        auto it = std::search(text.begin(), text.end(), p.begin(), p.end(),
                              [](char a, char b) { return lower(a) == b; });
        if (it != text.end()) return true;
    }
    return false;
}

long long kill_line_counter::feed(std::string_view piece)
{
    long long lines = 0;
    for (;;) {
        size_t nl = piece.find('\n');
        std::string_view part = piece.substr(0, nl);
        if (pattern_.kernel_only && head_.size() < HEAD_MAX)
            head_.append(part.substr(0, HEAD_MAX - head_.size()));
        if (!matched_) {
            tail_.append(part);
            matched_ = found_in(tail_);
        }
        if (nl == std::string_view::npos) {
            // Keep only what a match across the next piece could still need.
            size_t keep = longest_ ? longest_ - 1 : 0;
            if (matched_) tail_.clear();
            else if (tail_.size() > keep) tail_.erase(0, tail_.size() - keep);
            return lines;
        }
        if (matched_ && (!pattern_.kernel_only || syslog_kernel_line(head_))) lines++;
        reset();
        piece.remove_prefix(nl + 1);
    }
}

void kill_line_counter::reset()
{
    tail_.clear();
    head_.clear();
    matched_ = false;
}

// ---- the follower ----

log_follower::log_follower(std::string path, kill_pattern pattern, log_fn log)
    : path_(std::move(path)), counter_(std::move(pattern)), log_(std::move(log)),
      stop_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (!log_) log_ = [](const std::string &m) { log_dated(m); };
}

log_follower::~log_follower()
{
    request_stop();
    if (thread_.joinable()) thread_.join();
}

void log_follower::start()
{
    if (thread_.joinable() || ended_) return;
    stop_signals_blocked blocked;
    try {
        thread_ = std::thread(&log_follower::run, this);
    } catch (const std::system_error &e) {
        fail(e.what());
        ended_ = true;
    }
}

void log_follower::request_stop()
{
    stop_ = true;
    if (stop_fd_) {
        uint64_t one = 1;
        ssize_t r = write(stop_fd_.get(), &one, sizeof one);
        (void)r; // a full counter already wakes the thread
    }
}

std::optional<std::string> log_follower::wait()
{
    if (thread_.joinable()) thread_.join();
    return reason_;
}

void log_follower::run()
{
    tid_ = gettid();
    if (open_file() && seek_to_end()) follow();
    drop_file_watch();
    fd_.reset();
    ended_ = true;
}

bool log_follower::open_file()
{
    fd_.reset();
    for (;;) {
        // Non-blocking, so neither opening nor reading a stream can hold up a stop.
        int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) {
            fd_.reset(fd);
            struct stat st {};
            if (fstat(fd, &st) == 0) {
                dev_ = st.st_dev;
                ino_ = st.st_ino;
                stream_ = !S_ISREG(st.st_mode) || on_procfs(fd);
            }
            return true;
        }
        if (errno == EINTR) continue;
        if (errno != ENOENT) {
            fail("Unable to open file " + path_ + ": " + error_text(errno));
            return false;
        }
        log_("Waiting for " + path_ + " to appear...");
        switch (wait_for_creation()) {
        case created::yes: continue;
        case created::stop: return false;
        case created::failed: return false;
        }
    }
}

bool log_follower::reopen()
{
    counter_.reset();
    pos_ = 0;
    return open_file();
}

bool log_follower::seek_to_end()
{
    if (stream_) {
        // Seeking a procfs file such as kmsg leaves its backlog in place: read it away.
        discard_backlog(fd_.get());
    } else {
        off_t end = lseek(fd_.get(), 0, SEEK_END);
        if (end < 0) {
            fail("Seek error on " + path_ + ": " + error_text(errno));
            return false;
        }
        pos_ = end;
    }
    log_("Seeked " + path_ + " - {Offset:0 Whence:2}\n");
    return true;
}

// Reads and counts until the end of what is there; false after a read error, which
// ends the follower when following (a stop request also ends the reading then).
bool log_follower::consume(bool following)
{
    buf_.resize(READ_CHUNK);
    for (;;) {
        if (following && stop_) return true;
        ssize_t n = read(fd_.get(), buf_.data(), buf_.size());
        if (n > 0) {
            count_ += counter_.feed(std::string_view(buf_.data(), static_cast<size_t>(n)));
            pos_ += n;
            continue;
        }
        if (n == 0 || errno == EAGAIN) return true;
        if (errno == EINTR) continue;
        if (following) fail("Error reading " + path_ + ": " + error_text(errno));
        return false;
    }
}

// The file is going away: take the lines that reached it since the last read, so a
// kill logged just before a rotation is not lost.
void log_follower::drain()
{
    if (!stream_) consume(false);
}

void log_follower::follow()
{
    while (!stop_) {
        if (!consume(true)) return;
        if (stop_) return;
        switch (wait_for_change()) {
        case change::none:
        case change::modified:
            break;
        case change::stop:
            return;
        case change::truncated:
            log_("Re-opening truncated file " + path_ + " ...");
            if (!reopen()) return;
            log_("Successfully reopened truncated " + path_);
            break;
        case change::deleted:
            drain();
            log_("Re-opening moved/deleted file " + path_ + " ...");
            if (!reopen()) return;
            log_("Successfully reopened " + path_);
            break;
        }
    }
}

void log_follower::drop_file_watch()
{
    if (file_wd_ >= 0) inotify_rm_watch(inotify_instance(), file_wd_);
    file_wd_ = -1;
}

// What became of the file by its name: gone or replaced, shrunk, or anything else.
log_follower::change log_follower::check_status()
{
    struct stat st {};
    if (stat(path_.c_str(), &st) != 0) {
        if (errno == ENOENT) return change::deleted;
        fatal_dated("FATAL -- Failed to stat file " + path_ + ": " + error_text(errno));
    }
    if (st.st_dev != dev_ || st.st_ino != ino_) return change::deleted;
    off_t known = known_size_;
    known_size_ = st.st_size;
    if (st.st_size < pos_.load() || (known > 0 && st.st_size < known)) return change::truncated;
    return st.st_size > pos_.load() ? change::modified : change::none;
}

log_follower::change log_follower::wait_for_change()
{
    std::vector<fs_event> events;
    if (stream_) {
        // procfs sends no inotify events, but kmsg polls ready when the kernel logs,
        // so an idle host costs no wake. A stream that woke us and then had nothing
        // to read (a FIFO whose writer left, a device without a poll of its own)
        // would wake us again at once: it is looked at after a pause instead.
        bool empty_wake = woke_at_ == pos_.load();
        woke_at_ = -1;
        wake w = empty_wake ? wait_wake(-1, STREAM_POLL_MS, events) : wait_wake(-1, -1, events, fd_.get());
        if (w == wake::readable) woke_at_ = pos_.load();
        return w == wake::stop ? change::stop : change::modified;
    }
    if (file_wd_ < 0 && !poll_status_) {
        int ifd = inotify_instance();
        file_wd_ = inotify_add_watch(ifd, path_.c_str(), IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF);
        if (file_wd_ < 0) {
            if (errno == ENOENT) return change::deleted;
            poll_status_ = true; // no watch to be had (e.g. the watch limit): look periodically
        }
        known_size_ = pos_;
        // Whatever happened between the last read and the watch sends no event.
        change c = check_status();
        if (c == change::deleted) drop_file_watch();
        if (c != change::none) return c;
    }
    for (;;) {
        if (poll_status_) {
            if (wait_wake(-1, STATUS_POLL_MS, events) == wake::stop) return change::stop;
            change c = check_status();
            if (c != change::none) return c;
            continue;
        }
        wake w = wait_wake(inotify_instance(), -1, events);
        if (w == wake::stop) return change::stop;
        bool deleted = false, written = false;
        for (const auto &e : events) {
            if (e.mask & IN_Q_OVERFLOW) written = true; // events were lost: look again
            if (e.wd != file_wd_) continue;
            if (e.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) deleted = true;
            if (e.mask & (IN_MODIFY | IN_ATTRIB)) written = true;
        }
        change c = deleted ? change::deleted : written ? check_status() : change::none;
        if (c == change::deleted) drop_file_watch();
        if (c != change::none) return c;
    }
}

log_follower::created log_follower::wait_for_creation()
{
    namespace fs = std::filesystem;
    fs::path p(path_);
    std::string dir = p.has_parent_path() ? p.parent_path().string() : std::string(".");
    std::string base = p.filename().string();

    int ifd = inotify_instance();
    int wd = inotify_add_watch(ifd, dir.c_str(), IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF);
    if (wd < 0) {
        fail("Failed to detect creation of " + path_ + ": " + error_text(errno));
        return created::failed;
    }
    struct watch_guard {
        int ifd, wd;
        ~watch_guard() { inotify_rm_watch(ifd, wd); }
    } guard{ifd, wd};

    // It may have come while the watch was being set up.
    if (access(path_.c_str(), F_OK) == 0) return created::yes;
    std::vector<fs_event> events;
    for (;;) {
        if (wait_wake(ifd, -1, events) == wake::stop) return created::stop;
        for (const auto &e : events) {
            if (e.wd != wd) continue;
            if ((e.mask & (IN_CREATE | IN_MOVED_TO)) && e.name == base) return created::yes;
            if (e.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
                fail("Failed to detect creation of " + path_ + ": " + error_text(ENOENT));
                return created::failed;
            }
        }
    }
}

// Logs a failed wait and pauses (a stop still ends the pause), so a broken
// instance cannot make the thread spin.
void log_follower::watcher_error(int err)
{
    log_("Error in Watcher Error channel: " + error_text(err));
    pollfd s{stop_fd_.get(), POLLIN, 0};
    poll(&s, stop_fd_ ? 1 : 0, stop_ ? 0 : STATUS_POLL_MS);
}

// Waits for a stop, inotify events (when inotify_fd >= 0), the stream becoming
// readable or hung up (when stream_fd >= 0) or the time-out.
log_follower::wake log_follower::wait_wake(int inotify_fd, int timeout_ms, std::vector<fs_event> &events,
                                           int stream_fd)
{
    events.clear();
    for (;;) {
        if (stop_) return wake::stop;
        pollfd fds[3];
        nfds_t n = 0;
        if (stop_fd_) fds[n++] = {stop_fd_.get(), POLLIN, 0};
        if (inotify_fd >= 0) fds[n++] = {inotify_fd, POLLIN, 0};
        if (stream_fd >= 0) fds[n++] = {stream_fd, POLLIN, 0};
        // Without a stop descriptor the flag is looked at every so often.
        int t = timeout_ms;
        if (!stop_fd_ && (t < 0 || t > STREAM_POLL_MS)) t = STREAM_POLL_MS;
        int r = poll(fds, n, t);
        if (stop_) return wake::stop;
        if (r < 0) {
            if (errno == EINTR) continue;
            watcher_error(errno);
            return wake::timeout;
        }
        if (r == 0) {
            if (timeout_ms >= 0) return wake::timeout;
            continue;
        }
        if (stream_fd >= 0 && fds[n - 1].revents) return wake::readable;
        if (inotify_fd < 0) continue;
        alignas(inotify_event) char buf[8192];
        for (;;) {
            ssize_t len = read(inotify_fd, buf, sizeof buf);
            if (len < 0) {
                if (errno == EINTR) continue;
                if (errno != EAGAIN) {
                    watcher_error(errno);
                    return wake::timeout;
                }
                break;
            }
            for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(inotify_event)) <= len;) {
                inotify_event ev;
                memcpy(&ev, buf + off, sizeof ev);
                std::string name;
                if (ev.len) name.assign(buf + off + sizeof ev, strnlen(buf + off + sizeof ev, ev.len));
                events.push_back({ev.wd, ev.mask, std::move(name)});
                off += static_cast<ssize_t>(sizeof ev + ev.len);
            }
        }
        if (!events.empty()) return wake::events;
    }
}

// ---- sources and the watch ----

std::vector<oom_source> oom_sources(const std::string &kmsg_path, const std::string &syslog_path,
                                    const std::string &messages_path)
{
    // The kernel writes "Killed process"; match it whatever its case. Its syslog
    // lines say "Out of memory" for a global kill and "Memory cgroup out of memory"
    // for a kill inside a memory cgroup (containers, systemd slices). Any daemon
    // can write those words to the log files, so there only the kernel's lines count.
    return {
        {syslog_path, {{"Out of memory", "Memory cgroup out of memory"}, false, true}},
        {kmsg_path, {{"killed process"}, true, false}},
        {messages_path, {{"killed process"}, true, true}},
    };
}

int oom_choose_source(const std::vector<oom_source> &sources)
{
    for (size_t i = 0; i < sources.size(); i++) {
        struct stat st {};
        if (stat(sources[i].file.c_str(), &st) == 0) return static_cast<int>(i);
    }
    return -1;
}

void oom_watch_init(oom_watch &w, const std::vector<oom_source> &sources, FILE *out,
                    log_follower::log_fn log)
{
    w.fileForRead.reset();
    int i = oom_choose_source(sources);
    if (i < 0) {
        fprintf(out, "Won't monitor for OOM kills: can't read %s, %s or %s",
                sources.size() > 0 ? sources[0].file.c_str() : "",
                sources.size() > 1 ? sources[1].file.c_str() : "",
                sources.size() > 2 ? sources[2].file.c_str() : "");
        fflush(out);
        return;
    }
    const oom_source &s = sources[static_cast<size_t>(i)];
    w.fileForRead = std::make_unique<log_follower>(s.file, s.pattern, std::move(log));
    fprintf(out, "OOM errors source: %s\n", s.file.c_str());
    fflush(out);
    w.fileForRead->start();
}

long long oom_watch_take(oom_watch &w, FILE *err)
{
    if (!w.fileForRead) {
        fputs("Can't read system message: has no /var/log/syslog, dmesg or /var/log/messages\n", err);
        fflush(err);
        return 0;
    }
    return w.fileForRead->take_count();
}

void oom_watch_close(oom_watch &w, FILE *out)
{
    if (!w.fileForRead) return;
    fputs("calling Done()\n", out);
    fflush(out);
    w.fileForRead->request_stop();
    if (auto reason = w.fileForRead->wait())
        fprintf(out, "error closing tailf %s: %s\n", w.fileForRead->path().c_str(), reason->c_str());
    fputs("[go] tailf stopped\n", out);
    fflush(out);
}

} // namespace hostevents
