// Commands through /bin/sh -c with separate output and error pipes, reaped with a time-out.
#include "vesk_popen.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>

#include "vesk_child.hpp"
#include "vesk_owners.hpp"

namespace {

// Waits without blocking; true once the child is reaped or cannot be waited for.
bool reaped(pid_t pid)
{
    for (;;) {
        pid_t r = waitpid(pid, nullptr, WNOHANG);
        if (r == -1 && errno == EINTR) continue;
        return r != 0;
    }
}

void sleep_10ms()
{
    struct timespec ts {0, 10 * 1000 * 1000};
    nanosleep(&ts, nullptr);
}

void close_streams(vesk_proc_outs *meta)
{
    if (meta->out) fclose(meta->out);
    if (meta->err) fclose(meta->err);
    meta->out = meta->err = nullptr;
}

} // namespace

vesk_proc_outs *vesk_popen(const char *command)
{
    // Close-on-exec, so a command's background process never holds another command's pipes.
    int out_pipe[2], err_pipe[2], sync_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) return nullptr;
    unique_fd out_r(out_pipe[0]), out_w(out_pipe[1]);
    if (pipe2(err_pipe, O_CLOEXEC) != 0) return nullptr;
    unique_fd err_r(err_pipe[0]), err_w(err_pipe[1]);
    // Closed by the child's exec: by then its session, and so its group, exists.
    if (pipe2(sync_pipe, O_CLOEXEC) != 0) return nullptr;
    unique_fd sync_r(sync_pipe[0]), sync_w(sync_pipe[1]);

    pid_t pid = fork();
    if (pid < 0) return nullptr;
    if (pid == 0) {
        int keep = sync_w.get();
        if (!vesk_child_detach(out_w.get(), err_w.get(), keep)) _exit(127);
        execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
        _exit(127);
    }
    out_w.reset();
    err_w.reset();
    sync_w.reset();
    char byte;
    while (read(sync_r.get(), &byte, 1) < 0 && errno == EINTR) {}

    auto *meta = new vesk_proc_outs{pid, nullptr, nullptr};
    meta->out = fdopen(out_r.get(), "r");
    if (meta->out) out_r.release();
    meta->err = fdopen(err_r.get(), "r");
    if (meta->err) err_r.release();
    if (!meta->out || !meta->err) {
        close_streams(meta);
        kill(-pid, SIGKILL);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {}
        delete meta;
        return nullptr;
    }
    return meta;
}

void vesk_pclose(vesk_proc_outs *meta)
{
    if (!meta) return;
    close_streams(meta);
    while (waitpid(meta->pid, nullptr, 0) < 0 && errno == EINTR) {}
    delete meta;
}

void vesk_pclose_with_timeout(vesk_proc_outs *meta, int timeout_seconds)
{
    if (!meta) return;
    close_streams(meta);
    time_t start = time(nullptr);
    while (!reaped(meta->pid)) {
        if (time(nullptr) - start > timeout_seconds) {
            if (kill(-meta->pid, SIGKILL) != 0) kill(meta->pid, SIGKILL);
            time_t killed = time(nullptr);
            while (!reaped(meta->pid) && time(nullptr) - killed <= 1) sleep_10ms();
            break;
        }
        sleep_10ms();
    }
    delete meta;
}
