// What every service counter shares: configuration words, container hosts, connections, replies.
#include "vesk_service.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bson.hpp"
#include "cencode.hpp"
#include "encoding.hpp"
#include "vesk_devlist.hpp"
#include "vesk_clock.hpp"
#include "vesk_config.hpp"
#include "vesk_docker_core.hpp"

service_words service_parse_words(char *cfg, bool credentials)
{
    service_words out;
    bool after_colon = false;
    for (char *p = cfg; *p; p++) {
        if (*p == ':') {
            *p = ' ';
            after_colon = true;
        } else if (credentials && *p == '@') {
            *p = ' ';
            if (after_colon) out.empty_password = true;
        } else {
            after_colon = false;
        }
    }
    const std::string_view text(cfg);
    size_t pos = 0;
    for (std::string_view w = vesk_next_word(text, pos); !w.empty(); w = vesk_next_word(text, pos))
        out.words.emplace_back(w.substr(0, SERVICE_WORD_MAX));
    return out;
}

service_login service_parse_login(char *cfg, bool user_optional)
{
    // Read before ':' becomes a blank: the value's first character.
    const std::string_view text(cfg);
    size_t pos = 0;
    vesk_next_word(text, pos);
    const bool no_user = user_optional && vesk_next_word(text, pos).starts_with(':');
    service_words w = service_parse_words(cfg);
    size_t i = 0;
    auto next = [&]() { return i < w.words.size() ? std::move(w.words[i++]) : std::string(); };
    service_login l;
    l.id = next();
    if (!no_user) l.user = next();
    if (!w.empty_password) l.pass = next();
    l.host = next();
    l.last = next();
    return l;
}

std::optional<std::string> service_container_name(std::string_view host)
{
    if (host.empty() || host[0] != '[') return std::nullopt;
    size_t close = host.find(']', 1);
    if (close == std::string_view::npos) return std::nullopt;
    return std::string(host.substr(1, std::min(close - 1, SERVICE_CONTAINER_MAX)));
}

service_endpoint service_port_or_socket(std::string_view word)
{
    service_endpoint ep;
    std::string w(word);
    if (is_valid_int(w.c_str())) {
        errno = 0;
        long port = strtol(w.c_str(), nullptr, 10);
        ep.port = errno == ERANGE || port > INT_MAX || port < INT_MIN ? 0 : static_cast<int>(port);
    } else {
        ep.socket = std::move(w);
    }
    return ep;
}

std::optional<std::string> service_endpoint_problem(const std::string &host, const std::string &port,
                                                    bool containers)
{
    std::string why;
    auto add = [&why](const std::string &what) { why += (why.empty() ? "" : "; ") + what; };
    if (host.empty())
        add("no host");
    else if (!service_ipv4(host) && !(containers && service_container_name(host)))
        add("host '" + host +
            (containers ? "' is neither a dotted IPv4 address nor a [container]" : "' is not a dotted IPv4 address"));
    errno = 0;
    const long n = strtol(port.c_str(), nullptr, 10);
    if (port.empty())
        add("no port");
    else if (errno == ERANGE || n < 1 || n > 65535)
        add("port '" + port + "' is not a number from 1 to 65535");
    if (why.empty()) return std::nullopt;
    return why;
}

std::optional<uint64_t> service_line_number(std::string_view line, std::string_view prefix)
{
    if (!line.starts_with(prefix)) return std::nullopt;
    size_t pos = prefix.size();
    uint64_t v = 0;
    return vesk_parse_u64(vesk_next_word(line, pos), v) ? v : 0;
}

std::optional<std::string> service_address(bool in_docker, const std::string &container, const std::string &host,
                                           const char *tag)
{
    if (!in_docker) return host;
    // No container has the empty name: the Engine is not asked about "[]".
    const char *ip = container.empty() ? nullptr : vesk_docker_resolve(config.docker, container.c_str());
    if (!ip) {
        printf("[%s] Cannot resolve IP for container '%s'\n", tag, container.c_str());
        return std::nullopt;
    }
    // The table is shared with another process: take a bounded copy at once.
    return std::string(ip, strnlen(ip, 15));
}

std::optional<in_addr> service_ipv4(const std::string &text)
{
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) return std::nullopt;
    return a;
}

void service_perror(const char *what, int err) { fprintf(stderr, "%s: %s\n", what, strerror(err)); }

namespace {

int at_least_one(int seconds) { return seconds < 1 ? 1 : seconds; }

// A stop ends every wait on a service: the one under way, interrupted by the signal,
// and any that would begin after it. The exchange then fails with ECANCELED.
bool stopping()
{
    if (!stop) return false;
    errno = ECANCELED;
    return true;
}

service_conn open_stream(int family, int timeout_s)
{
    service_conn c;
    c.fd.reset(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!c.fd) {
        c.failed = service_fail::socket;
        c.error = errno;
        return c;
    }
    timeval tv{at_least_one(timeout_s), 0};
    if (setsockopt(c.fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 ||
        setsockopt(c.fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
        c.failed = service_fail::timeout;
        c.error = errno;
        c.fd.reset();
    }
    return c;
}

// The end of a wait that begins now and that the socket's send time-out bounds, as
// it would bound a blocking send or connect; none when the socket has no time-out.
service_clock::time_point send_timeout_end(int fd)
{
    timeval tv{};
    socklen_t len = sizeof tv;
    if (getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &len) != 0 || (tv.tv_sec == 0 && tv.tv_usec == 0))
        return service_clock::time_point::max();
    return service_clock::now() + std::chrono::seconds(tv.tv_sec) + std::chrono::microseconds(tv.tv_usec);
}

// A connect that does not block: 0, or the errno of the failure.
int connect_by(int fd, const sockaddr *addr, socklen_t len, service_clock::time_point deadline)
{
    for (;;) {
        if (stopping()) return ECANCELED;
        if (connect(fd, addr, len) == 0) return 0;
        if (errno == EINPROGRESS) {
            // TCP: the handshake goes on, and its end shows as the socket's writability.
            switch (service_poll(fd, POLLOUT, deadline)) {
            case service_wait::ready: break;
            case service_wait::timeout: return EINPROGRESS;
            case service_wait::error: return errno;
            }
            int err = 0;
            socklen_t err_len = sizeof err;
            return getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &err_len) == 0 ? err : errno;
        }
        // A Unix listener whose queue is full: nothing tells when it has room again,
        // so the connect is tried anew every 10 ms until the deadline.
        if (errno != EAGAIN || addr->sa_family != AF_UNIX) return errno;
        if (service_clock::now() >= deadline) return EAGAIN;
        vesk_ppoll(nullptr, 0, 10);
    }
}

void connect_or_fail(service_conn &c, const sockaddr *addr, socklen_t len)
{
    c.error = service_connect(c.fd.get(), addr, len);
    if (c.error != 0) {
        c.failed = service_fail::connect;
        c.fd.reset();
    }
}

} // namespace

int service_connect(int fd, const sockaddr *addr, socklen_t len)
{
    const service_clock::time_point deadline = send_timeout_end(fd);
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return errno;
    int err = connect_by(fd, addr, len, deadline);
    // Exchanges after the connect rely on the blocking socket and its time-outs.
    if (fcntl(fd, F_SETFL, flags) != 0 && err == 0) err = errno;
    return err;
}

service_conn service_connect_tcp(in_addr addr, int port, int timeout_s)
{
    service_conn c = open_stream(AF_INET, timeout_s);
    if (!c) return c;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr = addr;
    connect_or_fail(c, reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
    return c;
}

service_conn service_connect_unix(std::string_view path, int timeout_s)
{
    service_conn c = open_stream(AF_UNIX, timeout_s);
    if (!c) return c;
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof sa.sun_path || path.find('\0') != std::string_view::npos) {
        c.failed = service_fail::connect;
        c.error = ENAMETOOLONG;
        c.fd.reset();
        return c;
    }
    memcpy(sa.sun_path, path.data(), path.size());
    connect_or_fail(c, reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
    return c;
}

bool service_send(int fd, std::string_view request)
{
    // The waits, not the sends, block: whatever other signals come, and no longer
    // once the stop comes. As with blocking sends, each period of the send time-out
    // in which some bytes went is followed by another; one in which none went fails.
    service_clock::time_point end = send_timeout_end(fd);
    bool progressed = false;
    while (!request.empty()) {
        service_wait w = service_poll(fd, POLLOUT, end);
        if (w == service_wait::timeout && progressed) {
            end = send_timeout_end(fd);
            progressed = false;
            continue;
        }
        if (w == service_wait::timeout) errno = EAGAIN;
        if (w != service_wait::ready) return false;
        ssize_t sent = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
        if (sent <= 0) {
            if (sent == 0) errno = EIO;
            return false;
        }
        request.remove_prefix(static_cast<size_t>(sent));
        progressed = true;
    }
    return true;
}

service_clock::time_point service_deadline(int timeout_s)
{
    return service_clock::now() + std::chrono::seconds(at_least_one(timeout_s));
}

service_wait service_poll(int fd, short events, service_clock::time_point deadline)
{
    pollfd p{fd, events, 0};
    for (;;) {
        if (stopping()) return service_wait::error;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - service_clock::now()).count();
        if (left <= 0) return service_wait::timeout;
        int ready = vesk_ppoll(&p, 1, left);
        if (ready > 0) return service_wait::ready;
        if (ready < 0 && errno != EINTR) return service_wait::error;
    }
}

service_reply service_read(int fd, size_t cap, service_clock::time_point deadline,
                           const std::function<bool(std::string_view)> &complete)
{
    service_reply r;
    char buf[16384];
    while (true) {
        if (r.data.size() >= cap) {
            r.end = service_end::full;
            return r;
        }
        service_wait w = service_poll(fd, POLLIN, deadline);
        if (w != service_wait::ready) {
            r.end = w == service_wait::timeout ? service_end::timeout : service_end::error;
            if (w == service_wait::error) r.error = errno;
            return r;
        }
        ssize_t n = recv(fd, buf, std::min(sizeof buf, cap - r.data.size()), MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            r.end = service_end::error;
            r.error = errno;
            return r;
        }
        if (n == 0) {
            r.end = service_end::closed;
            return r;
        }
        r.data.append(buf, static_cast<size_t>(n));
        if (complete(r.data)) {
            r.end = service_end::complete;
            return r;
        }
    }
}

namespace {

struct sized_header {
    size_t length; // of the header line, its newline included
    uint64_t n;    // bytes announced
};

std::optional<sized_header> read_sized_header(std::string_view reply, std::string_view prefix)
{
    if (!reply.starts_with(prefix)) return std::nullopt;
    size_t nl = reply.find('\n', prefix.size());
    if (nl == std::string_view::npos) return std::nullopt;
    std::string_view num = reply.substr(prefix.size(), nl - prefix.size());
    if (num.ends_with('\r')) num.remove_suffix(1);
    uint64_t n = 0;
    auto [end, ec] = std::from_chars(num.data(), num.data() + num.size(), n);
    if (num.empty() || ec != std::errc() || end != num.data() + num.size() || n > SIZE_MAX / 2) return std::nullopt;
    return sized_header{nl + 1, n};
}

} // namespace

std::optional<service_sized_body> service_sized_reply(std::string_view reply, std::string_view prefix)
{
    std::optional<sized_header> h = read_sized_header(reply, prefix);
    if (!h) return std::nullopt;
    std::string_view rest = reply.substr(h->length);
    return service_sized_body{rest.substr(0, h->n), rest.size() >= h->n};
}

bool service_sized_complete(std::string_view reply, std::string_view prefix)
{
    if (std::optional<sized_header> h = read_sized_header(reply, prefix)) return reply.size() - h->length >= h->n + 2;
    // Until its first line is in, a reply may still turn out to be a sized one.
    return reply.find('\n') != std::string_view::npos;
}

void service_open_named(bson *b, const vesk_mycustom_counter *c)
{
    vesk_bson_append_start_object(b, vesk_utf8_sanitize({c->id, strnlen(c->id, sizeof c->id)}).c_str());
}

void service_open_mycustom(bson *b, const vesk_mycustom_counter *c)
{
    std::string report = vesk_utf8_sanitize({c->report, strnlen(c->report, sizeof c->report)});
    std::string id = vesk_utf8_sanitize({c->id, strnlen(c->id, sizeof c->id)});
    vesk_bson_append_start_object(b, (report + "_" + id).c_str());
    vesk_bson_append_string(b, "report", report.c_str());
    vesk_bson_append_string(b, "id", id.c_str());
}

void service_close(bson *b) { vesk_bson_append_finish_object(b); }

void service_append(bson *b, std::initializer_list<service_value> values)
{
    for (const service_value &v : values) vesk_bson_append_long(b, v.key, v.value);
}

unique_fd service_http_connect(const char *tag, const std::string &address, int port, int timeout_s)
{
    service_conn c = service_connect_tcp(service_ipv4(address).value_or(in_addr{}), port, timeout_s);
    if (c.failed == service_fail::socket || c.failed == service_fail::timeout) {
        printf("setsockopt failed\n");
    } else if (c.failed == service_fail::connect) {
        printf("%s: could not bind socket or connect whatever: (%s)%d\n", tag, strerror(c.error), c.error);
    }
    return std::move(c.fd);
}

service_http_reply service_http_exchange(int fd, std::string_view request, size_t cap,
                                         service_clock::time_point deadline)
{
    service_http_reply r;
    if (!service_send(fd, request)) {
        r.end = service_http_end::send;
        r.error = errno;
        return r;
    }
    http_state state = http_state::incomplete;
    service_reply raw = service_read(fd, cap, deadline, [&](std::string_view bytes) {
        state = http_parse_answer(bytes, false, r.answer);
        return state != http_state::incomplete;
    });
    // The close is what ends a body that has neither a length nor chunks.
    if (raw.end == service_end::closed) state = http_parse_answer(raw.data, true, r.answer);
    if (state == http_state::complete) r.end = service_http_end::answer;
    else if (state == http_state::malformed) r.end = service_http_end::malformed;
    else if (raw.end == service_end::timeout) r.end = service_http_end::timeout;
    else if (raw.end == service_end::full) r.end = service_http_end::full;
    else {
        r.end = service_http_end::read;
        r.error = raw.end == service_end::error ? raw.error : 0;
    }
    return r;
}

namespace {

// Why an exchange brought no answer, in a few words.
std::string http_failure(const service_http_reply &r)
{
    switch (r.end) {
    case service_http_end::answer: return "HTTP status " + std::to_string(r.answer.status);
    case service_http_end::send: return std::string("cannot send the request: ") + strerror(r.error);
    case service_http_end::read:
        return r.error ? std::string("cannot read the answer: ") + strerror(r.error)
                       : "the connection closed before the whole answer";
    case service_http_end::timeout: return "no whole answer in time";
    case service_http_end::full: return "the answer is too long";
    case service_http_end::malformed: return "the answer is not HTTP";
    }
    return {};
}

} // namespace

std::optional<std::string> service_http_body(const service_http_reply &r, const char *tag, const char *id)
{
    if (r.end == service_http_end::answer && r.answer.status >= 200 && r.answer.status < 300) return r.answer.body;
    printf("[%s] %s: %s\n", tag, id, http_failure(r).c_str());
    return std::nullopt;
}

std::optional<std::string> service_http_get(int fd, std::string_view request, service_clock::time_point deadline,
                                            const char *tag, const char *id)
{
    return service_http_body(service_http_exchange(fd, request, SERVICE_HTTP_CAP, deadline), tag, id);
}

std::optional<std::string> service_http_get(const char *tag, const char *id, const std::string &address, int port,
                                            int timeout_s, std::string_view request,
                                            service_clock::time_point deadline)
{
    unique_fd fd = service_http_connect(tag, address, port, timeout_s);
    if (!fd) return std::nullopt;
    return service_http_get(fd.get(), request, deadline, tag, id);
}

std::string service_basic_credentials(const std::string &user, const std::string &pass)
{
    if (user.empty() || pass.empty()) return {};
    std::string plain = user + ":" + pass;
    if (plain.size() > 511) plain.resize(511);
    return base64_encode_line(plain);
}

const std::string *sql_text(const sql_row &row, size_t col)
{
    if (col >= row.size() || !row[col]) return nullptr;
    return &*row[col];
}

std::optional<uint64_t> sql_u64(const sql_row &row, size_t col)
{
    const std::string *t = sql_text(row, col);
    if (!t) return std::nullopt;
    uint64_t v = 0;
    auto [end, ec] = std::from_chars(t->data(), t->data() + t->size(), v);
    if (ec == std::errc::result_out_of_range) return UINT64_MAX;
    if (ec != std::errc()) return std::nullopt;
    return v;
}
