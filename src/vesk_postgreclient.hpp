// The PostgreSQL client library, loaded at run time, and one connection of one
// update through it. The PostgreSQL counter calls the library only through here.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "vesk_owners.hpp"
#include "vesk_service.hpp"

// The published C API's types, opaque to the agent.
struct pg_conn;
struct pg_result;
using PGconn = pg_conn;
using PGresult = pg_result;
// The values of ConnStatusType and ExecStatusType the agent tests.
inline constexpr int PG_CONNECTION_OK = 0;
inline constexpr int PG_CONNECTION_BAD = 1;
inline constexpr int PG_RES_COMMAND_OK = 1;
inline constexpr int PG_RES_TUPLES_OK = 2;
inline constexpr int PG_RES_FATAL_ERROR = 7;
inline constexpr int PG_RES_SINGLE_TUPLE = 9;
// PostgresPollingStatusType.
inline constexpr int PG_POLLING_FAILED = 0;
inline constexpr int PG_POLLING_READING = 1;
inline constexpr int PG_POLLING_WRITING = 2;
inline constexpr int PG_POLLING_OK = 3;

extern PGconn *(*PQconnectdb_stub)(const char *conninfo);
extern PGconn *(*PQsetdbLogin_stub)(const char *host, const char *port, const char *options, const char *tty,
                                    const char *dbname, const char *login, const char *pwd);
extern int (*PQstatus_stub)(const PGconn *);
extern PGresult *(*PQexec_stub)(PGconn *, const char *query);
extern char *(*PQgetvalue_stub)(const PGresult *, int row, int column);
extern int (*PQresultStatus_stub)(const PGresult *);
extern int (*PQntuples_stub)(const PGresult *);
extern int (*PQnfields_stub)(const PGresult *);
extern char *(*PQfname_stub)(const PGresult *, int column);
extern char *(*PQerrorMessage_stub)(const PGconn *);
extern void (*PQclear_stub)(PGresult *);
extern void (*PQfinish_stub)(PGconn *);
// The asynchronous calls, so that no connection and no statement can wait unbounded.
extern PGconn *(*PQconnectStartParams_stub)(const char *const *keywords, const char *const *values,
                                            int expand_dbname);
extern int (*PQconnectPoll_stub)(PGconn *);
extern int (*PQsocket_stub)(const PGconn *);
extern int (*PQsendQuery_stub)(PGconn *, const char *query);
extern int (*PQconsumeInput_stub)(PGconn *);
extern int (*PQisBusy_stub)(PGconn *);
extern PGresult *(*PQgetResult_stub)(PGconn *);
// Notices go to the agent, not to the library's printing on standard error.
using PQnoticeProcessor = void (*)(void *arg, const char *message);
extern PQnoticeProcessor (*PQsetNoticeProcessor_stub)(PGconn *, PQnoticeProcessor, void *arg);
extern int (*PQsetSingleRowMode_stub)(PGconn *);

// Opens config.postgre_lib into config.postgre_handle and resolves the entry points;
// 1 when all were found. Prints its progress and errors itself.
int init_postgre_lib();
// The parent's load: init_postgre_lib, and after a failure the library closed again
// ("Closing libpostgre") and the handle cleared. 1 on success.
int vesk_postgre_load();
// Closes the library.
void vesk_postgre_unload();

struct pg_closer {
    void operator()(PGconn *c) const;
};
using pg_handle = std::unique_ptr<PGconn, pg_closer>;

// How one step with the server ended: done; failed (the connection's error text
// tells why); still waiting when the deadline passed; answered with something no
// statement of the counter asks for, such as a COPY or other columns; or with more
// bytes than the update may take.
enum class pg_outcome { done, failed, late, unexpected, too_big };

// What the server may send in one update, in bytes, whatever the shape of its
// messages: all the answers of a sound server come to a few kB.
inline constexpr size_t PG_INPUT_MAX = 4 << 20;

// How the server's bytes reach the library in one update: by the deadline, at most
// PG_INPUT_MAX of them, and only through the agent. Left to itself the library reads
// all that its socket holds, in a loop, into a buffer that grows to the length a
// message's header announces; on loopback the server's kernel refills the socket
// from within those very reads, so no check between two calls of the library bounds
// what it takes. So the agent takes the server's bytes off the socket a piece at a
// time and hands them over through a socket pair that stands in for the library's
// socket while it reads.
class pg_intake {
public:
    explicit pg_intake(service_clock::time_point end) : deadline(end) {}
    const service_clock::time_point deadline;

    // Waits for the server's next piece, unless the library left some of the last one,
    // and lets `read` (a call of the library that reads) take it; what the library
    // writes meanwhile goes on to the server. Too big once the server has sent more
    // than PG_INPUT_MAX.
    pg_outcome take(PGconn *c, const std::function<void()> &read);

private:
    size_t left_ = PG_INPUT_MAX;
    unique_fd ours_, theirs_; // the pair: the agent writes into ours_, the library reads theirs_
    dev_t dev_ = 0;           // the socket the pair stands in for
    ino_t ino_ = 0;

    pg_outcome pass_on(int server);
};

// Connects to database "postgres" (host null for the default) within the intake's
// bounds. `conn` may be set even when the connection failed. The notices the server
// sends on it are only counted, in `notices`, which must outlive the connection.
pg_outcome pg_open(pg_handle &conn, const char *host, const char *port, const char *user, const char *pass,
                   pg_intake &in, uint64_t &notices);

// Texts from the server are shown at most this long.
inline constexpr size_t PG_SHOWN_MAX = 256;
// The connection's last error text as it may be printed: at most PG_SHOWN_MAX bytes
// in the printable form, and one newline that ends the line.
std::string pg_error(const PGconn *c);

// Runs one statement within the intake's bounds and takes its whole result with the
// column names into `out`; done only when it returned rows. Its results must have
// exactly `columns`, in that order: any other answer is unexpected. After `late`,
// `unexpected` or `too_big` the connection is in the middle of a statement and good
// only for closing.
pg_outcome pg_run(PGconn *c, const char *stmt, std::span<const std::string_view> columns, pg_intake &in,
                  sql_result &out);
