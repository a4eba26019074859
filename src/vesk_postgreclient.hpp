// The PostgreSQL client library, loaded at run time, and one connection of one
// update through it. The PostgreSQL counter calls the library only through here.
#pragma once

#include <memory>
#include <optional>

#include "vesk_service.hpp"

// The published C API's types, opaque to the agent.
struct pg_conn;
struct pg_result;
using PGconn = pg_conn;
using PGresult = pg_result;
// The values of ConnStatusType and ExecStatusType the agent tests.
inline constexpr int PG_CONNECTION_OK = 0;
inline constexpr int PG_RES_TUPLES_OK = 2;

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

// A new connection to database "postgres" (host null for the default); the handle
// may be set even when the connection failed: PQstatus tells.
pg_handle pg_open(const char *host, const char *port, const char *user, const char *pass);
bool pg_connected(const PGconn *c);
// The connection's last error text, never null.
const char *pg_error(const PGconn *c);

// Runs one statement and takes its whole result with the column names; none unless
// it returned rows. Every row holds as many cells as the result has columns.
std::optional<sql_result> pg_run(PGconn *c, const char *stmt);
