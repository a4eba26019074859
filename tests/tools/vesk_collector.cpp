// A collector for the tests: receives reports on a loopback address, stores each
// packet as DIR/packet-K.bin and prints one line per packet (see README.md).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "bson_check.hpp"

namespace {

struct options {
    bool tcp = false;
    int port = 8641;
    const char *addr = "127.0.0.1";
    std::string out_dir;
    std::string secret;
    bool verify = false;
    long count = 0;   // 0: no limit
    long timeout = 0; // seconds; 0: none
};

[[noreturn]] void usage()
{
    fprintf(stderr, "usage: vesk_collector [--tcp] [--port N] [--addr A] [--out DIR] [--secret S] "
                    "[--count N] [--timeout SECONDS]\n");
    exit(2);
}

[[noreturn]] void die(const char *what)
{
    fprintf(stderr, "vesk_collector: %s: %s\n", what, strerror(errno));
    exit(2);
}

std::string sha1_hex(const uint8_t *doc, size_t len, const std::string &secret)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int md_len = 0;
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha1(), nullptr);
    EVP_DigestUpdate(ctx, doc, len);
    EVP_DigestUpdate(ctx, secret.data(), secret.size());
    EVP_DigestFinal_ex(ctx, md, &md_len);
    EVP_MD_CTX_free(ctx);
    return bson_check::hex(md, md_len);
}

bool hex_digits(const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (!((p[i] >= '0' && p[i] <= '9') || (p[i] >= 'a' && p[i] <= 'f') || (p[i] >= 'A' && p[i] <= 'F')))
            return false;
    return true;
}

// Empty when the packet is a valid document (signed when a secret is given),
// else the reason.
std::string check_packet(const std::vector<uint8_t> &p, const options &opt)
{
    if (p.size() < 5) return "shorter than a document";
    int32_t declared;
    memcpy(&declared, p.data(), 4);
    if (declared < 5 || static_cast<size_t>(declared) > p.size()) return "bad length field";
    size_t doc_len = static_cast<size_t>(declared);
    size_t rest = p.size() - doc_len;
    if (opt.verify) {
        if (rest != 40) return "no signature";
        std::string want = sha1_hex(p.data(), doc_len, opt.secret);
        if (memcmp(want.data(), p.data() + doc_len, 40) != 0) return "bad signature";
    } else if (rest != 0 && !(rest == 40 && hex_digits(p.data() + doc_len, 40))) {
        return "trailing bytes";
    }
    return bson_check::validate(p.data(), doc_len);
}

void store(const std::vector<uint8_t> &p, long k, const options &opt)
{
    std::string reason = check_packet(p, opt);
    if (!opt.out_dir.empty()) {
        std::string path = opt.out_dir + "/packet-" + std::to_string(k) + ".bin";
        FILE *f = fopen(path.c_str(), "wb");
        if (!f) die(path.c_str());
        if (!p.empty() && fwrite(p.data(), 1, p.size(), f) != p.size()) die(path.c_str());
        fclose(f);
    }
    if (reason.empty())
        printf("packet %ld: %zu bytes, valid\n", k, p.size());
    else
        printf("packet %ld: %zu bytes, invalid: %s\n", k, p.size(), reason.c_str());
}

long now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Milliseconds left before the deadline; -1 for none.
int left_ms(long deadline)
{
    if (deadline < 0) return -1;
    long left = deadline - now_ms();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for the descriptor to be readable; false on time-out.
bool wait_readable(int fd, int ms)
{
    pollfd pfd{fd, POLLIN, 0};
    for (;;) {
        int r = poll(&pfd, 1, ms);
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) die("poll");
    }
}

// Reads one connection to its end (the agent closes after its one write).
std::vector<uint8_t> read_connection(int conn)
{
    std::vector<uint8_t> p;
    uint8_t buf[65536];
    long deadline = now_ms() + 10000;
    while (wait_readable(conn, left_ms(deadline))) {
        ssize_t n = read(conn, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p.insert(p.end(), buf, buf + n);
    }
    return p;
}

} // namespace

int main(int argc, char **argv)
{
    options opt;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc) usage();
            return argv[++i];
        };
        if (a == "--tcp") opt.tcp = true;
        else if (a == "--udp") opt.tcp = false;
        else if (a == "--port") opt.port = atoi(value());
        else if (a == "--addr") opt.addr = value();
        else if (a == "--out") opt.out_dir = value();
        else if (a == "--secret") { opt.secret = value(); opt.verify = true; }
        else if (a == "--count") opt.count = atol(value());
        else if (a == "--timeout") opt.timeout = atol(value());
        else usage();
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);

    int s = socket(AF_INET, opt.tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    if (s < 0) die("socket");
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(opt.port));
    if (inet_pton(AF_INET, opt.addr, &sa.sin_addr) != 1) usage();
    if (bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0) die("bind");
    if (opt.tcp && listen(s, 16) < 0) die("listen");
    socklen_t sl = sizeof sa;
    getsockname(s, reinterpret_cast<sockaddr *>(&sa), &sl);
    printf("listening %s %s:%d\n", opt.tcp ? "tcp" : "udp", opt.addr, ntohs(sa.sin_port));

    long deadline = opt.timeout > 0 ? now_ms() + opt.timeout * 1000 : -1;
    long received = 0;
    while (opt.count == 0 || received < opt.count) {
        if (!wait_readable(s, left_ms(deadline))) break;
        std::vector<uint8_t> p;
        if (opt.tcp) {
            int conn = accept(s, nullptr, nullptr);
            if (conn < 0) {
                if (errno == EINTR) continue;
                die("accept");
            }
            p = read_connection(conn);
            close(conn);
        } else {
            p.resize(65536);
            ssize_t n = recv(s, p.data(), p.size(), 0);
            if (n < 0) {
                if (errno == EINTR) continue;
                die("recv");
            }
            p.resize(static_cast<size_t>(n));
        }
        store(p, ++received, opt);
    }
    close(s);
    if (opt.count > 0 && received < opt.count) {
        fprintf(stderr, "vesk_collector: timeout after %ld of %ld packets\n", received, opt.count);
        return 2;
    }
    return 0;
}
