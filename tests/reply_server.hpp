// A loopback TCP server for the service counter tests: it serves its connections one
// after another, and on each answers every request with its scripted pieces, sent
// apart so that the client receives them in separate reads.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "vesk_devlist.hpp"
#include "vesk_owners.hpp"

// A captured reply of tests/fixtures/services.
inline std::string service_fixture(const std::string &name)
{
    std::string text;
    vesk_read_file((VESK_FIXTURES "/services/" + name).c_str(), text);
    return text;
}

class reply_server {
public:
    using answer = std::vector<std::string>;   // pieces of one answer
    using connection = std::vector<answer>;    // one answer per request

    explicit reply_server(std::vector<connection> script) : script_(std::move(script))
    {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        lis_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (bind(lis_.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 && listen(lis_.get(), 8) == 0 &&
            getsockname(lis_.get(), reinterpret_cast<sockaddr *>(&sa), &len) == 0)
            port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~reply_server() { done(); }

    int port() const { return port_; }
    // Every request received, in order, once the script has run.
    const std::vector<std::string> &requests()
    {
        done();
        return requests_;
    }

private:
    void done()
    {
        if (thread_.joinable()) thread_.join();
    }
    static bool readable(int fd) { pollfd p{fd, POLLIN, 0}; return poll(&p, 1, 3000) == 1; }

    void serve()
    {
        for (const connection &conn : script_) {
            if (!readable(lis_.get())) return;
            unique_fd fd(accept(lis_.get(), nullptr, nullptr));
            int one = 1;
            setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            for (const answer &a : conn) {
                char buf[4096];
                ssize_t n = readable(fd.get()) ? recv(fd.get(), buf, sizeof buf, 0) : -1;
                if (n <= 0) break;
                requests_.emplace_back(buf, static_cast<size_t>(n));
                for (const std::string &piece : a) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    (void)!send(fd.get(), piece.data(), piece.size(), MSG_NOSIGNAL);
                }
            }
        }
    }

    std::vector<connection> script_;
    unique_fd lis_;
    int port_ = 0;
    std::vector<std::string> requests_;
    std::thread thread_;
};
