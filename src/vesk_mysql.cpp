// The MySQL/MariaDB counter: its configuration, statements and results, and its operations.
#include "vesk_mysql.hpp"

#include <charconv>
#include <cstdio>

#include "bson.hpp"
#include "encoding.hpp"
#include "vesk_config.hpp"
#include "vesk_mysqlclient.hpp"

namespace {

using mysql_data = vesk_mycustom_data_mysql;

vesk_mycustom_counter *counter(void *cnt) { return static_cast<vesk_mycustom_counter *>(cnt); }
mysql_data *record(void *p) { return static_cast<mysql_data *>(p); }

// The counts reported as per-minute rates.
constexpr uint64_t mysql_data::*kRates[] = {
    &mysql_data::insert, &mysql_data::select, &mysql_data::update, &mysql_data::delet, &mysql_data::aborted,
    &mysql_data::slow, &mysql_data::innodb_rows_deleted, &mysql_data::innodb_rows_inserted,
    &mysql_data::innodb_rows_read, &mysql_data::innodb_rows_updated,
};

// The buffer pool's pages are counted at a fixed 16 KiB.
uint64_t page_bytes(uint64_t pages)
{
    constexpr uint64_t page = 16384;
    return pages > UINT64_MAX / page ? UINT64_MAX : pages * page;
}

// "<major>.<minor>" at the start of a text; what cannot be read stays as it was.
void leading_version(std::string_view text, unsigned &major, unsigned &minor)
{
    const char *end = text.data() + text.size();
    auto [pos, ec] = std::from_chars(text.data(), end, major);
    if (ec == std::errc() && pos < end && *pos == '.') std::from_chars(pos + 1, end, minor);
}

} // namespace

const mysql_statement_texts mysql_statements{
    .status = "SHOW GLOBAL STATUS where Variable_name in ('Com_select','Com_insert','Com_update','Com_delete',"
              "'Aborted_connects','Innodb_buffer_pool_pages_data','Slow_queries','Innodb_buffer_pool_pages_free', "
              "'Uptime')",
    .version = "SELECT version()",
    .innodb_version = "SHOW VARIABLES LIKE 'innodb_version'",
    .innodb_rows = "SHOW GLOBAL STATUS WHERE Variable_name LIKE 'innodb_rows_%'",
    .threads = "show status where variable_name = 'Threads_connected'",
    .crashed = "select count(*) from information_schema.tables where TABLE_COMMENT like \"%crashed%\"",
    .long_queries = "select count(*) from information_schema.processlist where time > 180 and LOWER(command) NOT "
                    "REGEXP 'sleep|replica|starting|.*binlog dump.*|daemon|slave.*|^connect$|^connect out$' and "
                    "(state IS NULL OR lower(state) NOT LIKE '%waiting for %')",
};

void mysql_parse_conf(vesk_mycustom_counter *c, mysql_data &d)
{
    service_login l = service_parse_login(c->cfg_string);
    vesk_copy(c->id, l.id);
    d.user = std::move(l.user);
    d.pass = std::move(l.pass);
    d.host = std::move(l.host);
    service_endpoint ep = service_port_or_socket(l.last);
    d.port = ep.port > 0 ? static_cast<uint32_t>(ep.port) : 0;
    d.socket = std::move(ep.socket);
    service_set_container(d, d.host);
}

void mysql_apply_status(const sql_result &r, mysql_data &d)
{
    for (const sql_row &row : r.rows) {
        const std::string *name = sql_text(row, 0);
        if (!name) continue;
        const uint64_t v = sql_u64(row, 1).value_or(0);
        if (*name == "Com_select") d.select = v;
        else if (*name == "Com_insert") d.insert = v;
        else if (*name == "Com_update") d.update = v;
        else if (*name == "Com_delete") d.delet = v;
        else if (*name == "Aborted_connects") d.aborted = v;
        else if (*name == "Innodb_buffer_pool_pages_data") d.innodb_pool = page_bytes(v);
        else if (*name == "Innodb_buffer_pool_pages_free") d.innodb_free = page_bytes(v);
        else if (*name == "Slow_queries") d.slow = v;
        else if (*name == "Uptime") d.uptime = static_cast<uint32_t>(v);
        else if (*name == "Innodb_rows_deleted") d.innodb_rows_deleted = v;
        else if (*name == "Innodb_rows_inserted") d.innodb_rows_inserted = v;
        else if (*name == "Innodb_rows_read") d.innodb_rows_read = v;
        else if (*name == "Innodb_rows_updated") d.innodb_rows_updated = v;
    }
}

mysql_server_version mysql_parse_version(const sql_result &r)
{
    mysql_server_version v;
    const std::string *text = r.rows.empty() ? nullptr : sql_text(r.rows[0], 0);
    if (!text) return v;
    std::string_view t = std::string_view(*text).substr(0, 255);
    v.mariadb = t.find("MariaDB") != std::string_view::npos || t.find("mariadb") != std::string_view::npos;
    leading_version(t, v.major, v.minor);
    return v;
}

mysql_plan mysql_parse_innodb_version(const sql_result *innodb, const mysql_server_version &server)
{
    mysql_plan plan;
    if (!innodb) return plan;
    bool found = false;
    unsigned major = 0, minor = 0;
    for (const sql_row &row : innodb->rows) {
        const std::string *v = sql_text(row, 1);
        if (!v) break;
        found = true;
        leading_version(*v, major, minor);
    }
    if (!found) return plan;
    plan.innodb_rows = major >= 5;
    if (!server.mariadb && server.major >= 8) plan.replica_statement = "SHOW REPLICA STATUS";
    return plan;
}

void mysql_apply_replica(const sql_result &r, mysql_data &d)
{
    // Columns of the replica statement: the I/O and SQL threads' states, and the
    // seconds behind the source.
    constexpr size_t io_running = 10, sql_running = 11, behind = 32;
    for (const sql_row &row : r.rows) {
        d.is_slave = 1;
        const std::string *io = sql_text(row, io_running), *sql = sql_text(row, sql_running);
        if (io && sql) {
            d.slave_io = io->starts_with('Y') ? 1 : 0;
            d.slave_sql = sql->starts_with('Y') ? 1 : 0;
        }
        if (auto lag = sql_u64(row, behind)) d.slave_delay = static_cast<uint32_t>(*lag);
    }
}

void mysql_apply_each(const sql_result &r, size_t col, uint32_t &field)
{
    for (const sql_row &row : r.rows)
        if (auto v = sql_u64(row, col)) field = static_cast<uint32_t>(*v);
}

int mysql_init1(void *cnt)
{
    if (!config.mysql_handle) return 0;
    vesk_mycustom_counter *c = counter(cnt);
    sys_allocate<mysql_data>(c, true);
    vesk_copy(c->report, "Mysql");
    mysql_data *d = record(c->data);
    mysql_parse_conf(c, *d);
    printf("Mysql %s init with %s %s %s %d %s\n", c->id, d->user.c_str(), "***", d->host.c_str(),
           static_cast<int>(d->port), d->socket.c_str());
    return 1;
}

int mysql_update(void *cnt)
{
    if (!config.mysql_handle) return 0;
    mysql_data *d = record(counter(cnt)->data);
    if (!d) return 0;
    const char *user = d->user.c_str();
    mysql_link link;
    if (!d->socket.empty()) {
        link = mysql_open("localhost", user, d->pass.c_str(), 0, d->socket.c_str());
        if (!link.handle)
            fprintf(stderr, "Failed to connect to mysql(%s:%s@%s/%s): Error: %s\n", user, "***", "localhost",
                    d->socket.c_str(), link.error.c_str());
    } else if (d->port == 0) {
        fprintf(stderr, "Failed to connect to mysql(%s:%s@%s:(%d | %s)): Error: %s\n", user, "***", d->host.c_str(),
                static_cast<int>(d->port), d->socket.c_str(), "");
    } else {
        std::optional<std::string> addr = service_address(d->in_docker, d->docker_container_name, d->host, "mysql");
        if (addr) {
            link = mysql_open(addr->c_str(), user, d->pass.c_str(), d->port, nullptr);
            if (!link.handle)
                fprintf(stderr, "Failed to connect to mysql(%s:%s@%s:%d )%s: Error: %s\n", user, "***", addr->c_str(),
                        static_cast<int>(d->port), d->in_docker ? " (using docker)" : "", link.error.c_str());
        }
    }
    if (!link.handle) {
        d->ok = 0;
        return 0;
    }

    MYSQL *m = link.handle.get();
    bool failed = false;
    auto run = [&](const char *stmt) -> std::optional<sql_result> {
        // The client library waits out its own time-outs, signal or not; after a
        // stop at least no further statement is sent.
        if (stop) {
            failed = true;
            return std::nullopt;
        }
        std::optional<sql_result> r = mysql_run(m, stmt);
        if (!r) {
            const char *e = mysql_error_stub(m);
            fprintf(stderr, "[mysql] ERROR: query failed: %s\n  %s\n", stmt, e ? e : "");
            failed = true;
        }
        return r;
    };
    if (auto r = run(mysql_statements.status)) mysql_apply_status(*r, *d);
    std::optional<sql_result> version = run(mysql_statements.version);
    const mysql_server_version server = version ? mysql_parse_version(*version) : mysql_server_version{};
    std::optional<sql_result> innodb = run(mysql_statements.innodb_version);
    const mysql_plan plan = mysql_parse_innodb_version(innodb ? &*innodb : nullptr, server);
    if (plan.innodb_rows)
        if (auto r = run(mysql_statements.innodb_rows)) mysql_apply_status(*r, *d);
    d->is_slave = 0;
    if (auto r = run(plan.replica_statement)) mysql_apply_replica(*r, *d);
    if (auto r = run(mysql_statements.threads)) mysql_apply_each(*r, 1, d->threads_connected);
    if (auto r = run(mysql_statements.crashed)) mysql_apply_each(*r, 0, d->crashed_tables);
    if (auto r = run(mysql_statements.long_queries)) mysql_apply_each(*r, 0, d->long_queries);
    link.handle.reset();
    d->ok = failed ? 0 : 1;
    return 1;
}

int mysql_delta(void *cnt, uint32_t span_ms, uint64_t iteration)
{
    if (!config.mysql_handle) return 0;
    vesk_mycustom_counter *c = counter(cnt);
    const mysql_data *d = record(c->data), *prev = record(c->data_prev);
    if (!d || !prev || !c->data_delta) return 0;
    // A restart seen while a sample was bad waits for the first cycle that reports.
    if (iteration == 0) c->restarted_flag = 0;
    else if (d->uptime < prev->uptime) c->restarted_flag = 1;
    const int restarted = c->restarted_flag;
    service_delta<mysql_data>(c, iteration, [&](const mysql_data &cur, const mysql_data &old, mysql_data &out) {
        c->restarted_flag = 0;
        for (auto f : kRates) out.*f = service_rate(cur.*f, old.*f, span_ms);
    });
    record(c->data_delta)->restarted = restarted;
    return 1;
}

int mysql_tobson(void *cnt, bson *b)
{
    if (!config.mysql_handle) return 0;
    vesk_mycustom_counter *c = counter(cnt);
    const mysql_data *d = record(c->data_delta);
    if (!d || !d->ok) return 1;
    service_open_named(b, c);
    service_append(b, {{"insert", service_u(d->insert)},
                       {"select", service_u(d->select)},
                       {"update", service_u(d->update)},
                       {"delete", service_u(d->delet)},
                       {"aborted", service_u(d->aborted)},
                       {"innodb_pool", service_u(d->innodb_pool)},
                       {"slow", service_u(d->slow)},
                       {"innodb_free", service_u(d->innodb_free)},
                       {"innodb_del", service_u(d->innodb_rows_deleted)},
                       {"innodb_ins", service_u(d->innodb_rows_inserted)},
                       {"innodb_read", service_u(d->innodb_rows_read)},
                       {"innodb_updated", service_u(d->innodb_rows_updated)}});
    if (d->is_slave)
        service_append(b, {{"slave_running", d->slave_io && d->slave_sql ? 1 : 0}, {"behind_master", d->slave_delay}});
    service_append(b, {{"uptime", d->uptime},
                       {"restarted", d->restarted},
                       {"threads_connected", d->threads_connected},
                       {"crashed_tables", d->crashed_tables},
                       {"long_queries", d->long_queries}});
    service_close(b);
    return 1;
}

int mysql_dump(void *cnt)
{
    if (!config.mysql_handle) return 0;
    vesk_mycustom_counter *c = counter(cnt);
    const mysql_data *d = record(c->data_delta);
    if (!d) return 0;
    auto lu = [](uint64_t v) { return static_cast<unsigned long>(v); };
    printf("MyCustom %s report %s (%d):\n", c->report, c->id, d->ok);
    printf("\tuptime    = %lu\n", lu(d->uptime));
    printf("\trestarted = %d\n", d->restarted);
    printf("\tinsert  = %lu\n", lu(d->insert));
    printf("\tselect  = %lu\n", lu(d->select));
    printf("\tupdate  = %lu\n", lu(d->update));
    printf("\tdelet   = %lu\n", lu(d->delet));
    printf("\taborted = %lu\n", lu(d->aborted));
    printf("\tinnodb_pool = %lu\n", lu(d->innodb_pool));
    printf("\tinnodb_free = %lu\n", lu(d->innodb_free));
    printf("\tslow = %lu\n", lu(d->slow));
    printf("\tinnodb_rows_deleted  = %lu\n", lu(d->innodb_rows_deleted));
    printf("\tinnodb_rows_inserted = %lu\n", lu(d->innodb_rows_inserted));
    printf("\tinnodb_rows_read     = %lu\n", lu(d->innodb_rows_read));
    printf("\tinnodb_rows_updated  = %lu\n", lu(d->innodb_rows_updated));
    printf("\tthreads_connected  = %lu\n", lu(d->threads_connected));
    printf("\tcrashed_tables  = %lu\n", lu(d->crashed_tables));
    printf("\tlong_queries  = %lu\n", lu(d->long_queries));
    printf("\tis_slave = %hhu\n", d->is_slave);
    if (d->is_slave) {
        printf("\tslave_sql   = %u\n", d->slave_sql);
        printf("\tslave_io    = %u\n", d->slave_io);
        printf("\tslave_delay = %u\n", d->slave_delay);
    }
    return 1;
}

int mysql_free(void *cnt)
{
    if (!config.mysql_handle) return 0;
    return service_free<mysql_data>(cnt);
}
