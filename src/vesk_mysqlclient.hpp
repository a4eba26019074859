// The MySQL client library, loaded at run time, and one connection of one update
// through it. The MySQL and Sphinx counters call the library only through here.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "vesk_service.hpp"

// The published C API's types, opaque to the agent: the library allocates its own
// records, so their layout never matters here.
struct MYSQL;
struct MYSQL_RES;
using MYSQL_ROW = char **;

// Option numbers of mysql_options.
inline constexpr int MYSQL_OPT_CONNECT_TIMEOUT = 0;
inline constexpr int MYSQL_OPT_READ_TIMEOUT = 11;
inline constexpr int MYSQL_OPT_WRITE_TIMEOUT = 12;

extern MYSQL *(*mysql_init_stub)(MYSQL *);
extern void (*mysql_close_stub)(MYSQL *);
extern const char *(*mysql_error_stub)(MYSQL *);
extern MYSQL *(*mysql_real_connect_stub)(MYSQL *, const char *host, const char *user, const char *passwd,
                                         const char *db, unsigned int port, const char *unix_socket,
                                         unsigned long client_flag);
extern int (*mysql_query_stub)(MYSQL *, const char *stmt);
extern MYSQL_RES *(*mysql_store_result_stub)(MYSQL *);
extern MYSQL_ROW (*mysql_fetch_row_stub)(MYSQL_RES *);
extern unsigned int (*mysql_num_fields_stub)(MYSQL_RES *);
extern void (*mysql_free_result_stub)(MYSQL_RES *);
extern int (*mysql_options_stub)(MYSQL *, int option, const void *arg);
extern void (*mysql_library_end_stub)();

// Opens config.mysql_lib into config.mysql_handle and resolves the entry points;
// 1 when all were found. Prints its progress and errors itself.
int init_mysql_lib();
// The parent's load: init_mysql_lib, and after a failure the library closed again
// ("Closing libmysql") and the handle cleared. 1 on success.
int vesk_mysql_load();
// Ends the library's use and closes it.
void vesk_mysql_unload();

struct mysql_closer {
    void operator()(MYSQL *m) const;
};
using mysql_handle = std::unique_ptr<MYSQL, mysql_closer>;

struct mysql_link {
    mysql_handle handle; // connected, or empty
    std::string error;   // the library's text when the connection failed
};

// A new connection with the connect, write and read time-outs of the settings.
// `socket` null or empty connects over TCP.
mysql_link mysql_open(const char *host, const char *user, const char *pass, unsigned port, const char *socket);

// Runs one statement and takes its whole result; none when the statement failed.
// Every row holds as many cells as the result has columns.
std::optional<sql_result> mysql_run(MYSQL *m, const char *stmt);
