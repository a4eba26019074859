// Statement results of any shape (rows of any length, NULLs anywhere, any texts) go
// through every reader of the MySQL, Sphinx and PostgreSQL counters without reading
// outside a row, and what they store keeps its invariants.
#include <cstdint>
#include <string_view>

#include "../sql_support.hpp"
#include "vesk_mysql.hpp"
#include "vesk_postgre.hpp"
#include "vesk_sphinx.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view text(reinterpret_cast<const char *>(data), size);
    const sql_result plain = sql_from_text(text, false), named = sql_from_text(text, true);

    vesk_mycustom_data_mysql m;
    mysql_apply_status(plain, m);
    const mysql_server_version v = mysql_parse_version(plain);
    (void)mysql_parse_innodb_version(&plain, v);
    mysql_apply_replica(plain, m);
    mysql_apply_each(plain, 0, m.crashed_tables);
    mysql_apply_each(plain, 1, m.threads_connected);
    // Buffer-pool bytes are whole pages, or the largest value when they do not fit.
    for (uint64_t bytes : {m.innodb_pool, m.innodb_free})
        if (bytes % 16384 != 0 && bytes != UINT64_MAX) __builtin_trap();
    if (m.is_slave != (plain.rows.empty() ? 0 : 1)) __builtin_trap();

    vesk_mycustom_data_sphinx s;
    sphinx_apply_status(plain, s);

    vesk_mycustom_data_postgre p;
    postgre_apply_xact(named, p);
    for (int32_t version : {90199, 90600, 100000, 170000})
        for (pg_step step : postgre_plan(version)) postgre_apply(step, named, p);
    // Every backend counts in all connections, waiting or not.
    if (p.connections < p.lock_waiting_connections) __builtin_trap();
    (void)postgre_first(named);
    (void)postgre_number(text);
    return 0;
}
