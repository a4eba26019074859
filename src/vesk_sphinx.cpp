// The Sphinx counter: its configuration, the statements through the MySQL client, its operations.
#include "vesk_sphinx.hpp"

#include <cstdio>
#include <cstdlib>

#include "bson.hpp"
#include "encoding.hpp"
#include "vesk_config.hpp"
#include "vesk_mysqlclient.hpp"

namespace {

using sphinx_data = vesk_mycustom_data_sphinx;

vesk_mycustom_counter *counter(void *cnt) { return static_cast<vesk_mycustom_counter *>(cnt); }
sphinx_data *record(void *p) { return static_cast<sphinx_data *>(p); }

// A decimal int at the start of the word ("%d"); 0 when there is none.
uint32_t port_word(const std::string &w) { return static_cast<uint32_t>(atoi(w.c_str())); }

} // namespace

void sphinx_parse_conf(vesk_mycustom_counter *c, sphinx_data &d)
{
    service_login l = service_parse_login(c->cfg_string);
    vesk_copy(c->id, l.id);
    d.user = std::move(l.user);
    d.pass = std::move(l.pass);
    d.host = std::move(l.host);
    d.port = port_word(l.last);
}

bool sphinx_apply_status(const sql_result &r, sphinx_data &d)
{
    for (const sql_row &row : r.rows) {
        const std::string *value = sql_text(row, 1);
        if (!value) return false;
        const std::string *name = sql_text(row, 0);
        if (!name) continue;
        if (*name == "query_wall") {
            char *end = nullptr;
            double w = strtod(value->c_str(), &end);
            d.Q_W = end == value->c_str() ? 0.0 : w;
            continue;
        }
        const uint64_t n = sql_u64(row, 1).value_or(0);
        if (*name == "connections") d.C = n;
        else if (*name == "command_search") d.C_S = n;
        else if (*name == "command_update") d.C_U = n;
        else if (*name == "queries") d.Q = n;
    }
    return true;
}

int sphinx_init(void *cnt)
{
    if (!config.mysql_handle) return 0;
    vesk_mycustom_counter *c = counter(cnt);
    sys_allocate<sphinx_data>(c, true);
    vesk_copy(c->report, "Sphinx");
    sphinx_data *d = record(c->data);
    sphinx_parse_conf(c, *d);
    d->ok = 1;
    return 1;
}

int sphinx_reinit(void *) { return 1; }

int sphinx_update(void *cnt)
{
    if (!config.mysql_handle) return 0;
    sphinx_data *d = record(counter(cnt)->data);
    if (!d) return 0;
    mysql_link link = mysql_open(d->host.c_str(), d->user.c_str(), d->pass.c_str(), d->port, nullptr);
    if (!link.handle) {
        fprintf(stderr, "Failed to connect to sphinx(%s:%s@%s:%d): Error: %s\n", d->user.c_str(), "***",
                d->host.c_str(), static_cast<int>(d->port), link.error.c_str());
        d->ok = 0;
        return 0;
    }
    std::optional<sql_result> status = mysql_run(link.handle.get(), "SHOW STATUS;");
    d->ok = status && sphinx_apply_status(*status, *d) ? 1 : 0;
    return d->ok;
}

int sphinx_delta(void *cnt, uint32_t span_ms, uint64_t iteration)
{
    if (!config.mysql_handle) return 0;
    return service_delta<sphinx_data>(counter(cnt), iteration, [span_ms](const sphinx_data &cur, const sphinx_data &prev,
                                                                         sphinx_data &out) {
        out.C = service_rate(cur.C, prev.C, span_ms);
        out.C_S = service_rate(cur.C_S, prev.C_S, span_ms);
        out.C_U = service_rate(cur.C_U, prev.C_U, span_ms);
        out.Q = service_rate(cur.Q, prev.Q, span_ms);
        out.Q_W = service_rate_double(cur.Q_W, prev.Q_W, span_ms, 60);
    });
}

int sphinx_tobson(void *cnt, bson *b)
{
    if (!config.mysql_handle) return 0;
    vesk_mycustom_counter *c = counter(cnt);
    const sphinx_data *d = record(c->data_delta);
    if (!d || !d->ok) return 1;
    service_open_mycustom(b, c);
    service_append(b, {{"ok", 1}, {"C", service_u(d->C)}, {"C_S", service_u(d->C_S)}, {"C_U", service_u(d->C_U)},
                       {"Q", service_u(d->Q)}});
    vesk_bson_append_double(b, "Q_W", d->Q_W);
    service_close(b);
    return 1;
}

int sphinx_dump(void *cnt)
{
    if (!config.mysql_handle) return 0;
    vesk_mycustom_counter *c = counter(cnt);
    const sphinx_data *d = record(c->data_delta);
    if (!d) return 0;
    sys_dump_header(c, d->ok);
    printf("\tconnections = %lu\n", static_cast<unsigned long>(d->C));
    printf("\tcommands_search = %lu\n", static_cast<unsigned long>(d->C_S));
    printf("\tcommands_update = %lu\n", static_cast<unsigned long>(d->C_U));
    printf("\tqueries = %lu\n", static_cast<unsigned long>(d->Q));
    printf("\tquery_wall = %f\n", d->Q_W);
    return 1;
}

int sphinx_free(void *cnt)
{
    if (!config.mysql_handle) return 0;
    return service_free<sphinx_data>(cnt);
}
