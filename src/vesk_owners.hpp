// Owners of the agent's system resources, so that no path can leak one.
#pragma once

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/shm.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

// A file descriptor (file, socket, pipe end, inotify or eventfd instance).
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    unique_fd(unique_fd &&o) noexcept : fd_(o.release()) {}
    unique_fd &operator=(unique_fd &&o) noexcept
    {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1)
    {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// A library opened with dlopen.
struct dl_closer {
    void operator()(void *h) const { if (h) dlclose(h); }
};
using unique_dl = std::unique_ptr<void, dl_closer>;

// The loader's last error text, never null.
inline const char *vesk_dl_error()
{
    const char *e = dlerror();
    return e ? e : "symbol not found";
}

// Stores symbol `name` of `lib` into the function pointer `slot` (null when it is
// missing) and says whether it was found.
template <typename Fn>
bool vesk_dl_resolve(void *lib, const char *name, Fn &slot)
{
    dlerror();
    void *p = dlsym(lib, name);
    slot = reinterpret_cast<Fn>(p);
    return p != nullptr;
}

// The same for an entry point a client library must have: a missing one prints
// "dlsym(<name>) error: <loader's text>" on standard error.
template <typename Fn>
bool vesk_dl_require(void *lib, const char *name, Fn &slot)
{
    if (vesk_dl_resolve(lib, name, slot)) return true;
    fprintf(stderr, "dlsym(%s) error: %s\n", name, vesk_dl_error());
    return false;
}

// A System V shared-memory attachment; detached when the owner goes.
class shm_attachment {
public:
    shm_attachment() = default;
    explicit shm_attachment(void *addr) : addr_(addr) {}
    shm_attachment(const shm_attachment &) = delete;
    shm_attachment &operator=(const shm_attachment &) = delete;
    shm_attachment(shm_attachment &&o) noexcept : addr_(std::exchange(o.addr_, nullptr)) {}
    shm_attachment &operator=(shm_attachment &&o) noexcept
    {
        if (this != &o) {
            reset();
            addr_ = std::exchange(o.addr_, nullptr);
        }
        return *this;
    }
    ~shm_attachment() { reset(); }

    void *get() const { return addr_; }
    explicit operator bool() const { return addr_ != nullptr; }
    void *release() { return std::exchange(addr_, nullptr); }
    void reset()
    {
        if (addr_) shmdt(addr_);
        addr_ = nullptr;
    }

private:
    void *addr_ = nullptr;
};

// Blocks the agent's stop signals (and SIGPIPE) for its lifetime, so a thread
// started meanwhile inherits the block and the handlers run on the main thread.
class stop_signals_blocked {
public:
    stop_signals_blocked()
    {
        sigset_t block;
        sigemptyset(&block);
        for (int s : {SIGTERM, SIGINT, SIGABRT, SIGPIPE}) sigaddset(&block, s);
        pthread_sigmask(SIG_BLOCK, &block, &old_);
    }
    ~stop_signals_blocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    stop_signals_blocked(const stop_signals_blocked &) = delete;
    stop_signals_blocked &operator=(const stop_signals_blocked &) = delete;

    // The mask from before the block, for a wait that lets the signals in again.
    const sigset_t &before() const { return old_; }

private:
    sigset_t old_;
};

// A block from malloc that a C interface handed over.
struct malloc_deleter {
    void operator()(void *p) const { std::free(p); }
};
template <typename T>
using unique_malloc = std::unique_ptr<T, malloc_deleter>;

// The whole buffer through `put` (write or send), across partial writes and
// interrupted calls. False on an error or a time-out (errno set).
template <typename Put>
bool vesk_put_all(Put put, int fd, const void *data, size_t len)
{
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        ssize_t n = put(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

inline bool vesk_write_all(int fd, const void *data, size_t len)
{
    return vesk_put_all([](int f, const void *d, size_t n) { return ::write(f, d, n); }, fd, data, len);
}
