// The MySQL/MariaDB counter: statement and InnoDB rates, buffer-pool sizes, uptime
// and restarts, replica health, threads, crashed tables and long queries, read
// through the client library at every update.
#pragma once

#include <cstdint>
#include <string>

#include "mycustom.hpp"
#include "vesk_service.hpp"

struct vesk_mycustom_data_mysql {
    std::string user;
    std::string pass;   // empty for the empty-password form
    std::string host;   // IPv4 text or host name, or "[container]"
    std::string socket; // empty when a port is given
    uint32_t port = 0;
    int ok = 0;
    int in_docker = 0;
    std::string docker_container_name;
    uint64_t insert = 0, select = 0, update = 0, delet = 0;
    uint64_t aborted = 0;
    uint64_t innodb_pool = 0; // bytes in buffer-pool data pages
    uint64_t innodb_free = 0; // bytes in free buffer-pool pages
    uint64_t slow = 0;
    uint64_t innodb_rows_deleted = 0, innodb_rows_inserted = 0, innodb_rows_read = 0, innodb_rows_updated = 0;
    uint8_t is_slave = 0;
    uint32_t slave_io = 0, slave_sql = 0;
    uint32_t slave_delay = 0; // seconds behind the source
    uint32_t uptime = 0;
    int restarted = 0;
    uint32_t threads_connected = 0;
    uint32_t crashed_tables = 0;
    uint32_t long_queries = 0;
};

// The statements of an update, in the order it runs them; the InnoDB rows only when
// the InnoDB version asks for them, then the replica statement it chooses.
struct mysql_statement_texts {
    const char *status, *version, *innodb_version, *innodb_rows, *threads, *crashed, *long_queries;
};
extern const mysql_statement_texts mysql_statements;

int mysql_init1(void *cnt);
int mysql_update(void *cnt);
int mysql_delta(void *cnt, uint32_t span_ms, uint64_t iteration);
int mysql_tobson(void *cnt, bson *b);
int mysql_dump(void *cnt);
int mysql_free(void *cnt);

// Reads "id user:password@host:port-or-socket" (rewritten in place) into the
// counter's id and the record's connection fields.
void mysql_parse_conf(vesk_mycustom_counter *c, vesk_mycustom_data_mysql &d);

// ---- the statements' results ----

// Rows of name and value (the global status, the InnoDB rows) into their fields;
// a NULL or missing value stores 0.
void mysql_apply_status(const sql_result &r, vesk_mycustom_data_mysql &d);

struct mysql_server_version {
    bool mariadb = false;
    unsigned major = 0, minor = 0;
};
mysql_server_version mysql_parse_version(const sql_result &r);

// What the InnoDB version asks for: the InnoDB row counts, and which replica
// statement the server understands. `innodb` is none when the statement failed.
struct mysql_plan {
    bool innodb_rows = false;
    const char *replica_statement = "SHOW SLAVE STATUS";
};
mysql_plan mysql_parse_innodb_version(const sql_result *innodb, const mysql_server_version &server);

// The replica statement's rows: a NULL or missing column leaves its field as it was.
void mysql_apply_replica(const sql_result &r, vesk_mycustom_data_mysql &d);

// Each row's column `col` into `field`; a NULL or missing cell leaves it as it was.
void mysql_apply_each(const sql_result &r, size_t col, uint32_t &field);
