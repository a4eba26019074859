// A scripted server for the service counter tests: it listens on loopback TCP or a
// Unix socket, reads each request whole, and answers it with the next reply of its
// script (the last one repeats). It records every request it read. Connections are
// served one after another; a reply that keeps its connection open answers the next
// request on it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vesk_devlist.hpp"
#include "vesk_owners.hpp"

namespace test_support {

struct canned_reply {
    std::vector<std::string> pieces; // written one by one, a short pause between
    bool close = true;               // close the connection after the reply
    bool silent = false;             // never answer; hold the connection open
};

class canned_server {
public:
    // Whether the bytes read so far are one whole request.
    using request_end = std::function<bool(const std::string &)>;
    // The requests of line protocols (Memcached, Redis, Beanstalkd) end with CR LF.
    static bool line_request(const std::string &r) { return r.ends_with("\r\n"); }

    // On 127.0.0.1 with a free port, or on the Unix socket `path`. Requests are HTTP or
    // FastCGI ones unless `whole` says otherwise.
    explicit canned_server(std::vector<canned_reply> script, const std::string &path = {}, request_end whole = {})
        : script_(std::move(script)), whole_(std::move(whole))
    {
        if (path.empty()) {
            listen_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t len = sizeof sa;
            if (bind(listen_.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
                getsockname(listen_.get(), reinterpret_cast<sockaddr *>(&sa), &len) == 0)
                port_ = ntohs(sa.sin_port);
        } else {
            listen_.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_un sa{};
            sa.sun_family = AF_UNIX;
            strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
            bind(listen_.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        }
        listen(listen_.get(), 8);
        thread_ = std::thread([this] { serve(); });
    }
    ~canned_server()
    {
        stop_ = true;
        thread_.join();
    }
    canned_server(const canned_server &) = delete;

    int port() const { return port_; }
    std::vector<std::string> requests()
    {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    // Waits for input on fd for up to `ms`; false when the server stops first.
    bool wait_in(int fd, int ms)
    {
        for (int waited = 0; !stop_; waited += 20) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) > 0) return true;
            if (ms >= 0 && waited >= ms) return false;
        }
        return false;
    }

    // By default an HTTP request ends with a blank line, a FastCGI one with the empty
    // PARAMS record.
    bool request_whole(const std::string &r) const
    {
        if (whole_) return whole_(r);
        static const std::string fcgi_end("\x01\x04\x00\x01\x00\x00\x00\x00", 8);
        return r.ends_with("\r\n\r\n") || (r.size() >= 24 && r.ends_with(fcgi_end));
    }

    void serve()
    {
        size_t next = 0;
        while (wait_in(listen_.get(), -1)) {
            unique_fd conn(accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            // Pieces leave one by one, so the client sees them in separate reads.
            int one = 1;
            setsockopt(conn.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            bool open = true;
            while (open && conn) {
                std::string req;
                char buf[4096];
                while (!request_whole(req) && wait_in(conn.get(), 2000)) {
                    ssize_t n = recv(conn.get(), buf, sizeof buf, 0);
                    if (n <= 0) break;
                    req.append(buf, static_cast<size_t>(n));
                }
                if (!request_whole(req)) break;
                {
                    std::lock_guard lock(mutex_);
                    requests_.push_back(req);
                }
                const canned_reply &r = script_[std::min(next++, script_.size() - 1)];
                if (r.silent) {
                    while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    break;
                }
                for (size_t i = 0; i < r.pieces.size(); i++) {
                    if (i) std::this_thread::sleep_for(std::chrono::milliseconds(30));
                    send(conn.get(), r.pieces[i].data(), r.pieces[i].size(), MSG_NOSIGNAL);
                }
                open = !r.close;
            }
        }
    }

    std::vector<canned_reply> script_;
    request_end whole_;
    unique_fd listen_;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

// A whole file of the fixtures.
inline std::string fixture_text(const std::string &rel)
{
    std::string out;
    vesk_read_file((std::string(VESK_FIXTURES) + "/" + rel).c_str(), out);
    return out;
}

} // namespace test_support
