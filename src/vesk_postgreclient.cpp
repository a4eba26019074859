// Loading the PostgreSQL client library and one connection of an update through it.
#include "vesk_postgreclient.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "encoding.hpp"
#include "vesk_config.hpp"

PGconn *(*PQconnectdb_stub)(const char *) = nullptr;
PGconn *(*PQsetdbLogin_stub)(const char *, const char *, const char *, const char *, const char *, const char *,
                             const char *) = nullptr;
int (*PQstatus_stub)(const PGconn *) = nullptr;
PGresult *(*PQexec_stub)(PGconn *, const char *) = nullptr;
char *(*PQgetvalue_stub)(const PGresult *, int, int) = nullptr;
int (*PQresultStatus_stub)(const PGresult *) = nullptr;
int (*PQntuples_stub)(const PGresult *) = nullptr;
int (*PQnfields_stub)(const PGresult *) = nullptr;
char *(*PQfname_stub)(const PGresult *, int) = nullptr;
char *(*PQerrorMessage_stub)(const PGconn *) = nullptr;
void (*PQclear_stub)(PGresult *) = nullptr;
void (*PQfinish_stub)(PGconn *) = nullptr;
PGconn *(*PQconnectStartParams_stub)(const char *const *, const char *const *, int) = nullptr;
int (*PQconnectPoll_stub)(PGconn *) = nullptr;
int (*PQsocket_stub)(const PGconn *) = nullptr;
int (*PQsendQuery_stub)(PGconn *, const char *) = nullptr;
int (*PQconsumeInput_stub)(PGconn *) = nullptr;
int (*PQisBusy_stub)(PGconn *) = nullptr;
PGresult *(*PQgetResult_stub)(PGconn *) = nullptr;
PQnoticeProcessor (*PQsetNoticeProcessor_stub)(PGconn *, PQnoticeProcessor, void *) = nullptr;
int (*PQsetSingleRowMode_stub)(PGconn *) = nullptr;

namespace {

void clear_stubs()
{
    PQconnectdb_stub = nullptr;
    PQsetdbLogin_stub = nullptr;
    PQstatus_stub = nullptr;
    PQexec_stub = nullptr;
    PQgetvalue_stub = nullptr;
    PQresultStatus_stub = nullptr;
    PQntuples_stub = nullptr;
    PQnfields_stub = nullptr;
    PQfname_stub = nullptr;
    PQerrorMessage_stub = nullptr;
    PQclear_stub = nullptr;
    PQfinish_stub = nullptr;
    PQconnectStartParams_stub = nullptr;
    PQconnectPoll_stub = nullptr;
    PQsocket_stub = nullptr;
    PQsendQuery_stub = nullptr;
    PQconsumeInput_stub = nullptr;
    PQisBusy_stub = nullptr;
    PQgetResult_stub = nullptr;
    PQsetNoticeProcessor_stub = nullptr;
    PQsetSingleRowMode_stub = nullptr;
}

struct result_clear {
    void operator()(PGresult *r) const { PQclear_stub(r); }
};
using pg_result_ptr = std::unique_ptr<PGresult, result_clear>;

// Waits until the socket is ready for `events`; late once the deadline has passed,
// even when it is ready, so that a server that trickles bytes cannot stretch the
// exchange.
pg_outcome wait_socket(int fd, short events, service_clock::time_point deadline)
{
    if (fd < 0) return pg_outcome::failed;
    switch (service_poll(fd, events, deadline)) {
    case service_wait::ready: return pg_outcome::done;
    case service_wait::timeout: return pg_outcome::late;
    case service_wait::error: break;
    }
    return pg_outcome::failed;
}

// Whether descriptor `fd` is open on the file `st` describes.
bool is_file(int fd, const struct stat &st)
{
    struct stat now {};
    return fstat(fd, &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino;
}

// The bytes the socket holds, or -1.
int queued_on(int fd)
{
    int n = 0;
    return ioctl(fd, FIONREAD, &n) < 0 ? -1 : n;
}

void count_notice(void *notices, const char *) { ++*static_cast<uint64_t *>(notices); }

// Every statement of the counter gives a few rows of short texts; a server that sends
// more is not one the counter can read, and is not let fill the agent's memory.
constexpr size_t kMaxRows = 10000;
constexpr size_t kMaxBytes = 1 << 20;

// Whether `res` has exactly the columns its statement asks for.
bool same_columns(const PGresult *res, std::span<const std::string_view> columns)
{
    if (PQnfields_stub(res) != static_cast<int>(columns.size())) return false;
    for (size_t f = 0; f < columns.size(); f++) {
        const char *name = PQfname_stub(res, static_cast<int>(f));
        if (!name || columns[f] != name) return false;
    }
    return true;
}

// Adds the rows of `res` to `out` (and its column names, when `out` has none yet);
// false when `res` has other columns than `columns`, or once `out` holds more than the
// bounds allow.
bool take_rows(const PGresult *res, std::span<const std::string_view> columns, sql_result &out, size_t &bytes)
{
    if (!same_columns(res, columns)) return false;
    const int fields = PQnfields_stub(res), rows = PQntuples_stub(res);
    if (out.columns.empty())
        for (int f = 0; f < fields; f++) {
            const char *name = PQfname_stub(res, f);
            out.columns.emplace_back(name ? name : "");
        }
    for (int r = 0; r < rows; r++) {
        if (out.rows.size() == kMaxRows) return false;
        sql_row &row = out.rows.emplace_back();
        row.reserve(static_cast<size_t>(fields));
        for (int f = 0; f < fields; f++) {
            const char *v = PQgetvalue_stub(res, r, f);
            row.emplace_back(v ? sql_cell(v) : sql_cell());
            bytes += v ? strlen(v) : 0;
        }
        if (bytes > kMaxBytes) return false;
    }
    return true;
}

// The room the library makes before it reads, so that it mostly takes a piece whole;
// what it leaves (a TLS layer reads record by record) waits in the pair.
constexpr size_t kPiece = 8192;

} // namespace

pg_outcome pg_intake::take(PGconn *c, const std::function<void()> &read)
{
    // A piece the library left is handed over without a wait: the deadline holds here too.
    if (service_clock::now() >= deadline) return pg_outcome::late;
    const int fd = PQsocket_stub(c);
    struct stat sock {};
    if (fd < 0 || fstat(fd, &sock) < 0) return pg_outcome::failed;
    // A pair stands in for one socket; the library opens another for each address it tries.
    if (!theirs_ || sock.st_dev != dev_ || sock.st_ino != ino_) {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) < 0) return pg_outcome::failed;
        ours_.reset(pair[0]);
        theirs_.reset(pair[1]);
        dev_ = sock.st_dev;
        ino_ = sock.st_ino;
    }
    const int held = queued_on(theirs_.get());
    if (held < 0) return pg_outcome::failed;
    if (held == 0) {
        const pg_outcome ready = wait_socket(fd, POLLIN, deadline);
        if (ready != pg_outcome::done) return ready;
        const int queued = queued_on(fd);
        if (queued < 0) return pg_outcome::failed;
        // Ready with nothing queued: the server closed or reset the connection, so
        // nothing more can come, and the library finds out for itself.
        if (queued == 0) {
            read();
            return pg_outcome::done;
        }
        char piece[kPiece];
        const ssize_t n = recv(fd, piece, std::min(sizeof piece, static_cast<size_t>(queued)), MSG_DONTWAIT);
        if (n <= 0) return pg_outcome::failed;
        if (static_cast<size_t>(n) > left_) return pg_outcome::too_big;
        left_ -= static_cast<size_t>(n);
        if (send(ours_.get(), piece, static_cast<size_t>(n), MSG_NOSIGNAL) != n) return pg_outcome::failed;
    }
    struct stat pair {};
    unique_fd server(fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!server || fstat(theirs_.get(), &pair) < 0 || dup3(theirs_.get(), fd, O_CLOEXEC) < 0)
        return pg_outcome::failed;
    read();
    // The library may have given up the socket meanwhile, and opened another under
    // the same number: then it has no more use for this one.
    if (!is_file(fd, pair)) return pg_outcome::done;
    if (dup3(server.get(), fd, O_CLOEXEC) < 0) return pg_outcome::failed;
    return pass_on(fd);
}

pg_outcome pg_intake::pass_on(int server)
{
    char buf[kPiece];
    for (;;) {
        const ssize_t n = recv(ours_.get(), buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) return pg_outcome::done; // nothing (more) written
        for (ssize_t at = 0; at < n;) {
            const ssize_t sent = send(server, buf + at, static_cast<size_t>(n - at), MSG_NOSIGNAL);
            if (sent > 0) {
                at += sent;
            } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                const pg_outcome ready = wait_socket(server, POLLOUT, deadline);
                if (ready != pg_outcome::done) return ready;
            } else if (sent < 0 && errno != EINTR) {
                return pg_outcome::failed;
            }
        }
    }
}

int init_postgre_lib()
{
    printf("libpq: %s\n", config.postgre_lib);
    config.postgre_handle.reset(dlopen(config.postgre_lib, RTLD_LAZY));
    if (!config.postgre_handle) {
        fprintf(stderr, "dlopen error: %s\n", vesk_dl_error());
        return 0;
    }
    void *lib = config.postgre_handle.get();
    if (!vesk_dl_require(lib, "PQconnectdb", PQconnectdb_stub) ||
        !vesk_dl_require(lib, "PQsetdbLogin", PQsetdbLogin_stub) || !vesk_dl_require(lib, "PQstatus", PQstatus_stub) ||
        !vesk_dl_require(lib, "PQexec", PQexec_stub) || !vesk_dl_require(lib, "PQgetvalue", PQgetvalue_stub) ||
        !vesk_dl_require(lib, "PQresultStatus", PQresultStatus_stub) ||
        !vesk_dl_require(lib, "PQntuples", PQntuples_stub) || !vesk_dl_require(lib, "PQnfields", PQnfields_stub) ||
        !vesk_dl_require(lib, "PQfname", PQfname_stub) ||
        !vesk_dl_require(lib, "PQerrorMessage", PQerrorMessage_stub) ||
        !vesk_dl_require(lib, "PQclear", PQclear_stub) || !vesk_dl_require(lib, "PQfinish", PQfinish_stub) ||
        !vesk_dl_require(lib, "PQconnectStartParams", PQconnectStartParams_stub) ||
        !vesk_dl_require(lib, "PQconnectPoll", PQconnectPoll_stub) || !vesk_dl_require(lib, "PQsocket", PQsocket_stub) ||
        !vesk_dl_require(lib, "PQsendQuery", PQsendQuery_stub) ||
        !vesk_dl_require(lib, "PQconsumeInput", PQconsumeInput_stub) ||
        !vesk_dl_require(lib, "PQisBusy", PQisBusy_stub) || !vesk_dl_require(lib, "PQgetResult", PQgetResult_stub) ||
        !vesk_dl_require(lib, "PQsetNoticeProcessor", PQsetNoticeProcessor_stub) ||
        !vesk_dl_require(lib, "PQsetSingleRowMode", PQsetSingleRowMode_stub))
        return 0;
    return 1;
}

int vesk_postgre_load()
{
    if (init_postgre_lib()) return 1;
    printf("Error loading postgre = %s\n", config.postgre_lib);
    if (config.postgre_handle) {
        printf("Closing libpostgre\n");
        config.postgre_handle.reset();
    }
    clear_stubs();
    return 0;
}

void vesk_postgre_unload()
{
    config.postgre_handle.reset();
    clear_stubs();
}

void pg_closer::operator()(PGconn *c) const { PQfinish_stub(c); }

pg_outcome pg_open(pg_handle &conn, const char *host, const char *port, const char *user, const char *pass,
                   pg_intake &in, uint64_t &notices)
{
    // Empty values fall back to the library's defaults, as PQsetdbLogin's do; the
    // database name is taken as a name only, never as connection settings.
    const char *const keys[] = {"host", "port", "dbname", "user", "password", nullptr};
    const char *const values[] = {host, port, "postgres", user, pass, nullptr};
    conn.reset(PQconnectStartParams_stub(keys, values, 0));
    if (!conn) return pg_outcome::failed;
    // Before the first byte from the server: it may send notices while it logs us in.
    PQsetNoticeProcessor_stub(conn.get(), count_notice, &notices);
    if (PQstatus_stub(conn.get()) == PG_CONNECTION_BAD) return pg_outcome::failed;
    // Before the first poll the library waits to write.
    int state = PG_POLLING_WRITING;
    for (;;) {
        if (state == PG_POLLING_OK) return pg_outcome::done;
        if (state == PG_POLLING_FAILED) return pg_outcome::failed;
        pg_outcome ready;
        if (state == PG_POLLING_READING) {
            ready = in.take(conn.get(), [&] { state = PQconnectPoll_stub(conn.get()); });
        } else {
            // Waiting to write, the library sends; it reads no more than a step of a TLS
            // handshake then.
            ready = wait_socket(PQsocket_stub(conn.get()), POLLOUT, in.deadline);
            if (ready == pg_outcome::done) state = PQconnectPoll_stub(conn.get());
        }
        if (ready != pg_outcome::done) return ready;
    }
}

std::string pg_error(const PGconn *c)
{
    const char *e = c ? PQerrorMessage_stub(c) : nullptr;
    std::string_view text = e ? e : "out of memory\n";
    // The server writes most of this text, and the library quotes its stray bytes:
    // neither its size nor escape sequences may reach a terminal or a log. The
    // library's text ends in a newline unless a stray NUL cut it short; the line ends
    // here either way, so that the next message starts a line of its own.
    if (text.ends_with('\n')) text.remove_suffix(1);
    return vesk_printable(text, PG_SHOWN_MAX) + "\n";
}

pg_outcome pg_run(PGconn *c, const char *stmt, std::span<const std::string_view> columns, pg_intake &in,
                  sql_result &out)
{
    // Row by row: the library then holds no more of the answer than the agent has taken.
    if (!PQsendQuery_stub(c, stmt) || !PQsetSingleRowMode_stub(c)) return pg_outcome::failed;
    // A statement that gave anything but rows failed, whatever came after; else the
    // rows of its last part stand for it.
    sql_result taking;
    size_t bytes = 0;
    bool rows = false, failed = false;
    for (;;) {
        // Results that arrive without end cannot hold the update past its deadline.
        if (service_clock::now() >= in.deadline) return pg_outcome::late;
        while (PQisBusy_stub(c)) {
            int consumed = 0;
            const pg_outcome ready = in.take(c, [&] { consumed = PQconsumeInput_stub(c); });
            if (ready != pg_outcome::done) return ready;
            if (!consumed) return pg_outcome::failed;
        }
        pg_result_ptr res(PQgetResult_stub(c));
        if (!res) break;
        // Rows or an error are what a statement gives. Anything else, a COPY above all
        // (the library hands it back at every call and never ends the statement),
        // leaves the connection where the counter cannot follow.
        switch (PQresultStatus_stub(res.get())) {
        case PG_RES_SINGLE_TUPLE:
            if (!take_rows(res.get(), columns, taking, bytes)) return pg_outcome::unexpected;
            break;
        case PG_RES_TUPLES_OK: // the end of one part's rows
            if (!take_rows(res.get(), columns, taking, bytes)) return pg_outcome::unexpected;
            if (!failed) out = std::move(taking);
            taking = {};
            bytes = 0;
            rows = true;
            break;
        case PG_RES_COMMAND_OK:
        case PG_RES_FATAL_ERROR: failed = true; break;
        default: return pg_outcome::unexpected;
        }
    }
    return rows && !failed ? pg_outcome::done : pg_outcome::failed;
}
