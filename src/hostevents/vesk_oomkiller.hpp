// Out-of-memory kills counted from the system log: a follower thread reads the
// chosen log file from its end, across rotation and truncation, and counts the
// lines that carry the kill pattern.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "vesk_owners.hpp"

namespace hostevents {

// A line is a kill line when it contains any of the texts and, for a system log
// that every daemon writes to, when the kernel logged it.
struct kill_pattern {
    std::vector<std::string> texts;
    bool ignore_case = false;
    bool kernel_only = false;
};

// True when the syslog line's program tag is the kernel's: "kernel:" right after
// the host name, behind a "Mmm dd hh:mm:ss" or an RFC 3339 time stamp.
bool syslog_kernel_line(std::string_view line);

// Counts the complete lines that contain the pattern, from text that arrives in
// pieces. Only the last few bytes of an unfinished line are kept, so a line of any
// length costs bounded memory; a line counts once, when its newline arrives.
class kill_line_counter {
public:
    explicit kill_line_counter(kill_pattern pattern);
    // The number of matching lines that this piece completes.
    long long feed(std::string_view piece);
    // Forgets an unfinished line (the file was reopened).
    void reset();

private:
    bool found_in(std::string_view text) const;

    kill_pattern pattern_;
    size_t longest_ = 0;   // bytes of the longest text
    std::string tail_;     // end of the unfinished line, while it has not matched
    std::string head_;     // start of the unfinished line, for the program tag
    bool matched_ = false; // the unfinished line already holds the pattern
};

// Follows one log file in a thread of its own and counts its kill lines. The
// process has one inotify instance, read by the running follower: one follower at
// a time.
class log_follower {
public:
    using log_fn = std::function<void(const std::string &)>;

    // log receives the follower's diagnostics (by default dated lines on stderr).
    log_follower(std::string path, kill_pattern pattern, log_fn log);
    ~log_follower();
    log_follower(const log_follower &) = delete;
    log_follower &operator=(const log_follower &) = delete;

    // Starts the thread, with the agent's stop signals blocked in it.
    void start();
    // Ends every wait of the thread promptly; nothing happens once it has ended.
    void request_stop();
    // Waits for the thread to end; the error that ended it, if one did.
    std::optional<std::string> wait();
    // Kill lines counted since the previous call.
    long long take_count() { return count_.exchange(0); }

    const std::string &path() const { return path_; }
    // Bytes of the current file read so far (for tests that need to know the
    // follower has caught up).
    long long position() const { return pos_.load(); }
    bool ended() const { return ended_.load(); }
    // The kernel's id of the thread once it runs, else 0 (for tests that watch it).
    pid_t thread_id() const { return tid_.load(); }

private:
    enum class change { none, modified, truncated, deleted, stop };
    enum class wake { stop, events, readable, timeout };
    struct fs_event {
        int wd;
        uint32_t mask;
        std::string name;
    };

    void run();
    bool open_file();
    bool reopen();
    bool seek_to_end();
    void follow();
    void drain();
    bool consume(bool following);
    change wait_for_change();
    change check_status();
    enum class created { yes, stop, failed };
    created wait_for_creation();
    wake wait_wake(int inotify_fd, int timeout_ms, std::vector<fs_event> &events, int stream_fd = -1);
    void drop_file_watch();
    void watcher_error(int err);
    void fail(std::string reason) { reason_ = std::move(reason); }

    const std::string path_;
    kill_line_counter counter_;
    log_fn log_;
    unique_fd stop_fd_;
    unique_fd fd_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> ended_{false};
    std::atomic<long long> count_{0};
    std::atomic<long long> pos_{0};
    std::atomic<pid_t> tid_{0};
    std::optional<std::string> reason_;
    std::vector<char> buf_;
    bool stream_ = false;       // procfs and the like: no inotify events, no end to seek to
    long long woke_at_ = -1;    // position when the stream last polled readable
    bool poll_status_ = false;  // the file could not be watched: look at it periodically
    int file_wd_ = -1;
    off_t known_size_ = 0;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

// One log source: the file and the pattern of its kill lines.
struct oom_source {
    std::string file;
    kill_pattern pattern;
};

// The sources in the order they are tried: syslog, kmsg under the procfs root, messages.
std::vector<oom_source> oom_sources(const std::string &kmsg_path,
                                    const std::string &syslog_path = "/var/log/syslog",
                                    const std::string &messages_path = "/var/log/messages");

// The index of the first source whose file status can be read, or -1.
int oom_choose_source(const std::vector<oom_source> &sources);

// The watch behind the C functions; its sources, output and log are passed in so
// that it can be tried on files of a test's own.
struct oom_watch {
    std::unique_ptr<log_follower> fileForRead;
};
void oom_watch_init(oom_watch &w, const std::vector<oom_source> &sources, FILE *out,
                    log_follower::log_fn log);
long long oom_watch_take(oom_watch &w, FILE *err);
void oom_watch_close(oom_watch &w, FILE *out);

} // namespace hostevents
