// What a command that the agent starts inherits from it: no more than it needs.
// The agent runs as root, often from an interactive shell or a service manager,
// and the commands are administrators' scripts that mostly run as an unprivileged
// user. These run in a freshly forked child, before exec, so they make only
// async-signal-safe calls.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>

// Drops to exactly this user and group (supplementary groups included) and checks
// that root cannot be regained. A uid or gid of -1 is refused.
inline bool vesk_drop_privileges(uid_t uid, gid_t gid)
{
    if (uid == static_cast<uid_t>(-1) || gid == static_cast<gid_t>(-1)) return false;
    // Supplementary groups first: root's would otherwise stay with the command.
    if (setgroups(1, &gid) != 0 || setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0) return false;
    uid_t ru, eu, su;
    gid_t rg, eg, sg;
    if (getresuid(&ru, &eu, &su) != 0 || getresgid(&rg, &eg, &sg) != 0) return false;
    if (ru != uid || eu != uid || su != uid || rg != gid || eg != gid || sg != gid) return false;
    return uid == 0 || setuid(0) != 0;
}

// Closes every descriptor in [from, to].
inline void vesk_close_fds(unsigned from, unsigned to)
{
    if (from > to || close_range(from, to, 0) == 0) return;
    // Kernels before 5.9 lack close_range: walk up to the descriptor limit.
    struct rlimit rl {};
    unsigned limit = 65536;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
        limit = static_cast<unsigned>(std::min<rlim_t>(rl.rlim_cur, 1u << 20));
    for (unsigned fd = from; fd <= to && fd < limit; fd++) close(static_cast<int>(fd));
}

// Detaches a forked child from the agent before it starts a command:
// - a session of its own: no controlling terminal, so the command cannot reach the
//   terminal the agent was started from (opening /dev/tty fails with ENXIO), and
//   the session id is the group id a time-out kills;
// - standard input from /dev/null, out_fd and err_fd as standard output and error;
// - no other descriptor, except keep_fd when it is not -1 (it may be renumbered:
//   the new number is stored back);
// - "/" as the working directory;
// - SIGPIPE at its default action and no signal blocked (the agent ignores SIGPIPE,
//   and its threads block signals).
// The environment is left as it is. False when a step failed (errno set).
inline bool vesk_child_detach(int out_fd, int err_fd, int &keep_fd)
{
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (setsid() < 0) return false;
    // Lift the descriptors out of 0-2 first, so no dup2 below overwrites another.
    auto lift = [](int &fd) { return fd < 0 || fd > 2 || (fd = fcntl(fd, F_DUPFD_CLOEXEC, 3)) >= 0; };
    if (!lift(out_fd) || !lift(err_fd) || !lift(keep_fd)) return false;
    int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null_fd < 0 || !lift(null_fd)) return false;
    if (dup2(null_fd, 0) < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0) return false;
    if (keep_fd < 0) {
        vesk_close_fds(3, ~0U);
    } else {
        vesk_close_fds(3, static_cast<unsigned>(keep_fd) - 1);
        vesk_close_fds(static_cast<unsigned>(keep_fd) + 1, ~0U);
    }
    return chdir("/") == 0;
}
