// Loading the PostgreSQL client library and one connection of an update through it.
#include "vesk_postgreclient.hpp"

#include <dlfcn.h>

#include <cstdio>

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
}

struct result_clear {
    void operator()(PGresult *r) const { PQclear_stub(r); }
};

} // namespace

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
        !vesk_dl_require(lib, "PQclear", PQclear_stub) || !vesk_dl_require(lib, "PQfinish", PQfinish_stub))
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

pg_handle pg_open(const char *host, const char *port, const char *user, const char *pass)
{
    // The database name may carry connection settings: only constant ones go there,
    // never a credential. Without a time-out a silent host would hold the whole cycle
    // for minutes; the library counts anything under 2 seconds as 2.
    char db[64];
    snprintf(db, sizeof db, "dbname=postgres connect_timeout=%d", config.counter_tcp_to < 2 ? 2 : config.counter_tcp_to);
    return pg_handle(PQsetdbLogin_stub(host, port, nullptr, nullptr, db, user, pass));
}

bool pg_connected(const PGconn *c) { return c && PQstatus_stub(c) == PG_CONNECTION_OK; }

const char *pg_error(const PGconn *c)
{
    const char *e = c ? PQerrorMessage_stub(c) : nullptr;
    return e ? e : "out of memory\n";
}

std::optional<sql_result> pg_run(PGconn *c, const char *stmt)
{
    std::unique_ptr<PGresult, result_clear> res(PQexec_stub(c, stmt));
    if (!res || PQresultStatus_stub(res.get()) != PG_RES_TUPLES_OK) return std::nullopt;
    sql_result out;
    const int fields = PQnfields_stub(res.get()), rows = PQntuples_stub(res.get());
    for (int f = 0; f < fields; f++) {
        const char *name = PQfname_stub(res.get(), f);
        out.columns.emplace_back(name ? name : "");
    }
    out.rows.reserve(rows > 0 ? static_cast<size_t>(rows) : 0);
    for (int r = 0; r < rows; r++) {
        sql_row &row = out.rows.emplace_back();
        row.reserve(static_cast<size_t>(fields));
        for (int f = 0; f < fields; f++) {
            const char *v = PQgetvalue_stub(res.get(), r, f);
            row.emplace_back(v ? sql_cell(v) : sql_cell());
        }
    }
    return out;
}
