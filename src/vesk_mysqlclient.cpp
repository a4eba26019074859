// Loading the MySQL client library and one connection of an update through it.
#include "vesk_mysqlclient.hpp"

#include <dlfcn.h>

#include <cstdio>

#include "vesk_config.hpp"

MYSQL *(*mysql_init_stub)(MYSQL *) = nullptr;
void (*mysql_close_stub)(MYSQL *) = nullptr;
const char *(*mysql_error_stub)(MYSQL *) = nullptr;
MYSQL *(*mysql_real_connect_stub)(MYSQL *, const char *, const char *, const char *, const char *, unsigned int,
                                  const char *, unsigned long) = nullptr;
int (*mysql_query_stub)(MYSQL *, const char *) = nullptr;
MYSQL_RES *(*mysql_store_result_stub)(MYSQL *) = nullptr;
MYSQL_ROW (*mysql_fetch_row_stub)(MYSQL_RES *) = nullptr;
unsigned int (*mysql_num_fields_stub)(MYSQL_RES *) = nullptr;
void (*mysql_free_result_stub)(MYSQL_RES *) = nullptr;
int (*mysql_options_stub)(MYSQL *, int, const void *) = nullptr;
void (*mysql_library_end_stub)() = nullptr;

namespace {

// Every pointer back to null, so nothing can call into a closed library.
void clear_stubs()
{
    mysql_init_stub = nullptr;
    mysql_close_stub = nullptr;
    mysql_error_stub = nullptr;
    mysql_real_connect_stub = nullptr;
    mysql_query_stub = nullptr;
    mysql_store_result_stub = nullptr;
    mysql_fetch_row_stub = nullptr;
    mysql_num_fields_stub = nullptr;
    mysql_free_result_stub = nullptr;
    mysql_options_stub = nullptr;
    mysql_library_end_stub = nullptr;
}

struct result_free {
    void operator()(MYSQL_RES *r) const { mysql_free_result_stub(r); }
};

unsigned at_least_one(int seconds) { return seconds < 1 ? 1u : static_cast<unsigned>(seconds); }

} // namespace

int init_mysql_lib()
{
    printf("libmysqlclient: %s\n", config.mysql_lib);
    config.mysql_handle.reset(dlopen(config.mysql_lib, RTLD_LAZY));
    if (!config.mysql_handle) {
        fprintf(stderr, "dlopen error: %s\n", vesk_dl_error());
        return 0;
    }
    void *lib = config.mysql_handle.get();
    if (!vesk_dl_require(lib, "mysql_init", mysql_init_stub) || !vesk_dl_require(lib, "mysql_close", mysql_close_stub) ||
        !vesk_dl_require(lib, "mysql_error", mysql_error_stub) ||
        !vesk_dl_require(lib, "mysql_real_connect", mysql_real_connect_stub) ||
        !vesk_dl_require(lib, "mysql_query", mysql_query_stub) ||
        !vesk_dl_require(lib, "mysql_store_result", mysql_store_result_stub) ||
        !vesk_dl_require(lib, "mysql_fetch_row", mysql_fetch_row_stub) ||
        !vesk_dl_require(lib, "mysql_num_fields", mysql_num_fields_stub) ||
        !vesk_dl_require(lib, "mysql_free_result", mysql_free_result_stub) ||
        !vesk_dl_require(lib, "mysql_options", mysql_options_stub))
        return 0;
    // The older name of the same call, for libraries that export only that one.
    if (!vesk_dl_resolve(lib, "mysql_library_end", mysql_library_end_stub) &&
        !vesk_dl_resolve(lib, "mysql_server_end", mysql_library_end_stub)) {
        fprintf(stderr, "dlsym(mysql_library/server_end) error: %s\n", vesk_dl_error());
        return 0;
    }
    return 1;
}

int vesk_mysql_load()
{
    if (init_mysql_lib()) return 1;
    printf("ERROR loading mysql = %s\n", config.mysql_lib);
    if (config.mysql_handle) {
        printf("Closing libmysql\n");
        config.mysql_handle.reset();
    }
    clear_stubs();
    return 0;
}

void vesk_mysql_unload()
{
    if (config.mysql_handle && mysql_library_end_stub) mysql_library_end_stub();
    config.mysql_handle.reset();
    clear_stubs();
}

void mysql_closer::operator()(MYSQL *m) const { mysql_close_stub(m); }

mysql_link mysql_open(const char *host, const char *user, const char *pass, unsigned port, const char *socket)
{
    mysql_link link;
    // The library allocates the handle itself: its record's size is its own business.
    mysql_handle h(mysql_init_stub(nullptr));
    if (!h) {
        link.error = "mysql_init failed (out of memory)";
        return link;
    }
    // A time-out of 0 would mean none at all: a stalled server must never hold the cycle.
    const unsigned connect_to = at_least_one(config.mysql_connect_to);
    const unsigned write_to = at_least_one(config.mysql_write_to);
    const unsigned read_to = at_least_one(config.mysql_read_to);
    mysql_options_stub(h.get(), MYSQL_OPT_CONNECT_TIMEOUT, &connect_to);
    mysql_options_stub(h.get(), MYSQL_OPT_WRITE_TIMEOUT, &write_to);
    mysql_options_stub(h.get(), MYSQL_OPT_READ_TIMEOUT, &read_to);
    if (!mysql_real_connect_stub(h.get(), host, user, pass, nullptr, port, socket && *socket ? socket : nullptr, 0)) {
        const char *e = mysql_error_stub(h.get());
        link.error = e ? e : "";
        return link;
    }
    link.handle = std::move(h);
    return link;
}

std::optional<sql_result> mysql_run(MYSQL *m, const char *stmt)
{
    mysql_query_stub(m, stmt);
    std::unique_ptr<MYSQL_RES, result_free> res(mysql_store_result_stub(m));
    if (!res) return std::nullopt;
    sql_result out;
    const unsigned fields = mysql_num_fields_stub(res.get());
    while (MYSQL_ROW row = mysql_fetch_row_stub(res.get())) {
        sql_row &r = out.rows.emplace_back(fields);
        for (unsigned i = 0; i < fields; i++)
            if (row[i]) r[i].emplace(row[i]);
    }
    return out;
}
