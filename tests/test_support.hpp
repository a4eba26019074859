// Helpers shared by the unit tests.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "vesk_config.hpp"
#include "vesk_core.hpp"

// Reading an identity line creates the container-table segment: keep the tests'
// segments in an IPC namespace of their own, away from the machine's keys.
inline const bool vesk_test_private_ipc = [] { return unshare(CLONE_NEWIPC) == 0; }();

// A temporary directory, removed with everything in it.
class temp_dir {
public:
    temp_dir()
    {
        char tmpl[] = "/tmp/vesk-unit.XXXXXX";
        const char *d = mkdtemp(tmpl);
        if (!d) throw std::runtime_error("mkdtemp failed");
        path_ = d;
    }
    ~temp_dir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path &path() const { return path_; }

    // Writes a file below the directory and returns its full path. The file is
    // 0644 whatever the umask: the agent refuses configuration files that group or
    // others could write.
    std::string write(const std::string &name, const std::string &text) const
    {
        std::filesystem::path p = path_ / name;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << text;
        std::filesystem::permissions(p, std::filesystem::perms(0644));
        return p.string();
    }

private:
    std::filesystem::path path_;
};

// Settings at their defaults and an empty registry.
inline void reset_agent_state()
{
    init_config();
    memset(static_cast<void *>(&stats), 0, sizeof stats);
    stop = 0;
}

// The agent's stop handler for SIGTERM while it lives, as start-up installs it: it
// only sets `stop`, and interrupted calls are not restarted.
class stop_handler {
public:
    stop_handler()
    {
        struct sigaction sa {};
        sa.sa_handler = [](int) { stop = 1; };
        sigaction(SIGTERM, &sa, &old_);
        stop = 0;
    }
    ~stop_handler()
    {
        sigaction(SIGTERM, &old_, nullptr);
        stop = 0;
    }
    stop_handler(const stop_handler &) = delete;
    stop_handler &operator=(const stop_handler &) = delete;

private:
    struct sigaction old_ {};
};

// SIGTERM to the calling thread once `after` has passed; join the thread it gives.
inline std::thread stop_signal_after(std::chrono::milliseconds after)
{
    pthread_t waiter = pthread_self();
    return std::thread([waiter, after] {
        std::this_thread::sleep_for(after);
        pthread_kill(waiter, SIGTERM);
    });
}
