// What every service counter shares: its configuration string, container hosts,
// one connection per update with time-outs, replies read to their end under one
// deadline, the one GET of the HTTP counters, the per-minute delta, the two report
// objects, and its data buffers.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mycustom.hpp"
#include "vesk_http.hpp"
#include "vesk_owners.hpp"
#include "vesk_types.hpp"

// ---- configuration strings ----

inline constexpr size_t SERVICE_WORD_MAX = 255;
inline constexpr size_t SERVICE_CONTAINER_MAX = 127;

struct service_words {
    std::vector<std::string> words; // blank-separated, each cut to SERVICE_WORD_MAX bytes
    bool empty_password = false;    // a '@' directly after a ':'
    // The word at `i`; empty past the last.
    std::string word(size_t i) const { return i < words.size() ? words[i] : std::string(); }
};

// Rewrites `cfg` in place, every ':' (and, with `credentials`, every '@') becoming a
// blank, then splits it into words. With an empty password that word is simply absent.
service_words service_parse_words(char *cfg, bool credentials = true);

// The login form of Redis and the SQL services, "id user:password@host:last"
// (rewritten in place); with the empty-password form (":@") the password is empty.
// With `user_optional`, a value that begins with ':' has no user (":password@...",
// ":@..."), where the user's word would otherwise be missing and the rest shift.
// Missing words are empty.
struct service_login {
    std::string id, user, pass, host, last;
};
service_login service_parse_login(char *cfg, bool user_optional = false);

// A host word that begins with '[' and holds a ']' names the container between them
// (at most 127 bytes): "[]" names the empty one, which never resolves. None for any
// other host.
std::optional<std::string> service_container_name(std::string_view host);
// A counter's `in_docker` and `docker_container_name` from its host word.
template <typename Data>
void service_set_container(Data &d, std::string_view host)
{
    std::optional<std::string> name = service_container_name(host);
    d.in_docker = name.has_value();
    d.docker_container_name = name.value_or(std::string());
}

struct service_endpoint {
    int port = 0;
    std::string socket; // a Unix socket path; empty for TCP
};
// The last word of a value: a port when it is a decimal int, else a Unix socket path.
service_endpoint service_port_or_socket(std::string_view word);

// Why a counter cannot reach its service at `host` and the port word `port`, read as
// the counters read them (the port as strtol does): "no host", "no port", a port
// outside 1-65535, or a host that is not a dotted IPv4 address (nor a [container],
// where the counter takes one), joined by "; ". None when the pair can work.
std::optional<std::string> service_endpoint_problem(const std::string &host, const std::string &port,
                                                    bool containers);

// Tells once, at start, why the counter's line cannot work ("[<tag>] ERROR: <id>:
// <why>" on standard error) and drops its buffers: without them its update, delta
// and report do nothing, so the line is never polled as if it worked.
template <typename T>
void service_refuse(vesk_mycustom_counter *c, const char *tag, const std::string &why)
{
    fprintf(stderr, "[%s] ERROR: %s: %s\n", tag, c->id, why.c_str());
    sys_release<T>(c);
}

// The number after `prefix` on a status line ("Name: 123"), blanks skipped; 0 when
// there is none. None when the line does not begin with `prefix`.
std::optional<uint64_t> service_line_number(std::string_view line, std::string_view prefix);

// ---- one exchange with the service ----

// The address to connect to in this update: the running container's address when the
// counter names a container, else `host`. None when the container does not resolve;
// "[<tag>] Cannot resolve IP for container '<name>'" has then been printed.
std::optional<std::string> service_address(bool in_docker, const std::string &container, const std::string &host,
                                            const char *tag);

// A dotted IPv4 address; none for any other text (names are never resolved).
std::optional<in_addr> service_ipv4(const std::string &text);

enum class service_fail { none, socket, timeout, connect };

// "<what>: <the system's text for err>" on standard error, as perror prints it, for
// an errno that was saved when the step failed.
void service_perror(const char *what, int err);

struct service_conn {
    unique_fd fd;
    service_fail failed = service_fail::none;
    int error = 0; // errno of the step that failed
    explicit operator bool() const { return failed == service_fail::none; }
};

// A new stream socket whose receive and send time-outs are set to `timeout_s` seconds
// (at least 1) before it connects as service_connect does.
service_conn service_connect_tcp(in_addr addr, int port, int timeout_s);
// The same over a Unix socket; a path that does not fit the address fails to connect.
service_conn service_connect_unix(std::string_view path, int timeout_s);

// Connects the stream socket `fd` and leaves it blocking. As on Linux for a blocking
// connect, its send time-out bounds the attempt, counted from its start, whatever other
// signals come. 0, or the errno of the failure: ECANCELED at the stop (at once, or as
// it begins after it); on time-out what the blocking connect gives, EINPROGRESS for TCP
// and EAGAIN for a Unix listener whose queue stays full.
int service_connect(int fd, const sockaddr *addr, socklen_t len);

// The whole request, across partial writes, without SIGPIPE. False on an error, when
// no byte goes out during a whole send time-out of the socket (EAGAIN, as for blocking
// sends) or at the stop (ECANCELED), at once.
bool service_send(int fd, std::string_view request);

using service_clock = std::chrono::steady_clock;
// The end of an exchange that may take `timeout_s` seconds (at least 1).
service_clock::time_point service_deadline(int timeout_s);

// Waits until `fd` is ready for `events` (poll's bits); the deadline ends the wait,
// even when the descriptor is ready by then. A signal does not end it, except the
// stop: that wait, and any begun after the stop, ends at once as service_wait::error
// with errno ECANCELED. errno is set for service_wait::error.
enum class service_wait { ready, timeout, error };
service_wait service_poll(int fd, short events, service_clock::time_point deadline);

enum class service_end { complete, full, closed, timeout, error };

struct service_reply {
    std::string data;
    service_end end = service_end::error;
    int error = 0; // errno for service_end::error
};

// Reads until `complete(data)` says the reply is whole, `cap` bytes are in, the peer
// closes, the deadline passes, or a read fails (the stop too: service_end::error with
// ECANCELED). Nothing past `cap` is ever kept.
service_reply service_read(int fd, size_t cap, service_clock::time_point deadline,
                           const std::function<bool(std::string_view)> &complete);

// ---- reply framing ----

// The lines of `text` that end with a newline: a line cut by a cap or a time-out is
// never read as if it were whole.
inline std::string_view service_whole_lines(std::string_view text) { return text.substr(0, text.rfind('\n') + 1); }

// A reply that opens with the header line "<prefix><n>" and then carries n bytes and a
// CR LF (a Redis bulk string, Beanstalkd's "OK <n>"): its body as far as it arrived, and
// whether all n bytes did. None when the reply does not open with such a header.
struct service_sized_body {
    std::string_view body;
    bool whole = false;
};
std::optional<service_sized_body> service_sized_reply(std::string_view reply, std::string_view prefix);

// The framing predicate of such replies for service_read: whole once the n bytes and
// their CR LF are in; any other answer is one line.
bool service_sized_complete(std::string_view reply, std::string_view prefix);

// ---- HTTP counters (Apache, nginx, Elasticsearch) ----

// Status pages and API answers are read up to this many bytes.
inline constexpr size_t SERVICE_HTTP_CAP = 256 * 1024;

// A TCP connection for an HTTP counter to `address` (dotted IPv4; any other text
// means 0.0.0.0) and `port`. On failure it prints "setsockopt failed" or
// "<tag>: could not bind socket or connect whatever: (<reason>)<errno>".
unique_fd service_http_connect(const char *tag, const std::string &address, int port, int timeout_s);

enum class service_http_end { answer, send, read, timeout, full, malformed };

struct service_http_reply {
    http_answer answer; // whole when `end` is answer
    service_http_end end = service_http_end::read;
    int error = 0; // errno of a failed send or read
};

// Sends `request` and reads one whole answer: to its Content-Length, to the end of
// its chunked body, or to the close when it has neither. On a kept-alive connection
// it stops at the end of the answer. At most `cap` bytes, until `deadline`.
service_http_reply service_http_exchange(int fd, std::string_view request, size_t cap,
                                         service_clock::time_point deadline);

// The Base64 of "user:pass" (at most 511 characters before encoding) for a Basic
// Authorization header; empty unless both are set. Never print it.
std::string service_basic_credentials(const std::string &user, const std::string &pass);

// The body of a whole 2xx answer. Otherwise none, after printing
// "[<tag>] <id>: <why>" (no whole answer, or its status).
std::optional<std::string> service_http_body(const service_http_reply &r, const char *tag, const char *id);

// The one GET of the HTTP counters: sends `request` on the open connection `fd`,
// reads one whole answer before `deadline` and gives the body of a 2xx answer.
// Otherwise none, after printing why as service_http_body does.
std::optional<std::string> service_http_get(int fd, std::string_view request, service_clock::time_point deadline,
                                            const char *tag, const char *id);
// The same on a connection of its own to `address` and `port`, closed before it
// returns: none too when it cannot connect (service_http_connect prints why).
std::optional<std::string> service_http_get(const char *tag, const char *id, const std::string &address, int port,
                                            int timeout_s, std::string_view request,
                                            service_clock::time_point deadline);

// ---- the cycle ----

// The growth of a count per `per` seconds over `span_ms` milliseconds (per minute by
// default), truncated; 0 when the count did not grow. Computed in 128 bits and capped
// at the field's largest value, so neither the factor nor a huge jump can wrap.
template <typename T>
T service_rate(T cur, T prev, uint32_t span_ms, unsigned per = 60)
{
    if (cur <= prev || span_ms == 0) return 0;
    unsigned __int128 r = static_cast<unsigned __int128>(cur - prev) * per * 1000 / span_ms;
    constexpr T max = static_cast<T>(~T{0});
    return r > max ? max : static_cast<T>(r);
}

// The same for counts kept as doubles, not truncated.
inline double service_rate_double(double cur, double prev, uint32_t span_ms, double per)
{
    return cur > prev && span_ms ? (cur - prev) * per * 1000.0 / span_ms : 0.0;
}

// The delta of every service counter: `data_delta` gets the current sample, and when
// both samples are ok `rates(cur, prev, out)` fills the rates. Cycle 0 only primes.
template <typename T, typename Rates>
int service_delta(vesk_mycustom_counter *c, uint64_t iteration, Rates rates)
{
    return sys_scalar_delta<T>(c, iteration, rates);
}

// Frees the three records.
template <typename T>
int service_free(void *cnt)
{
    sys_release<T>(static_cast<vesk_mycustom_counter *>(cnt));
    return 1;
}

// ---- the report ----

// Opens the counter's object in the open array, named by its id ("memcaches",
// "beanstalks", "mysqls", "redises").
void service_open_named(bson *b, const vesk_mycustom_counter *c);
// Opens the counter's object inside "mycustoms": named "<report>_<id>", beginning
// with the strings "report" and "id".
void service_open_mycustom(bson *b, const vesk_mycustom_counter *c);
void service_close(bson *b);

// Values are 64-bit integers: unsigned fields widened without sign, int fields with it.
struct service_value {
    const char *key;
    int64_t value;
};
void service_append(bson *b, std::initializer_list<service_value> values);
inline int64_t service_u(uint64_t v) { return static_cast<int64_t>(v); }

// ---- statement results of the SQL services ----

// One cell as the client library gave it: none for NULL.
using sql_cell = std::optional<std::string>;
// The cells of one row; a row has exactly as many cells as its result has columns.
using sql_row = std::vector<sql_cell>;
struct sql_result {
    std::vector<std::string> columns; // column names, where the client library is asked for them
    std::vector<sql_row> rows;
};

// Cell `col` of `row`, when the row has that column and it is not NULL.
const std::string *sql_text(const sql_row &row, size_t col);
// The leading decimal digits of cell `col`; none when the cell is absent, NULL or does
// not begin with a digit; the largest value when the digits do not fit.
std::optional<uint64_t> sql_u64(const sql_row &row, size_t col);
