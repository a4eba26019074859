// The PostgreSQL counter: its configuration, statements and results, and its operations.
#include "vesk_postgre.hpp"

#include <charconv>
#include <cstdio>

#include "bson.hpp"
#include "encoding.hpp"
#include "vesk_config.hpp"
#include "vesk_postgreclient.hpp"

namespace {

using pg_data = vesk_mycustom_data_postgre;

vesk_mycustom_counter *counter(void *cnt) { return static_cast<vesk_mycustom_counter *>(cnt); }
pg_data *record(void *p) { return static_cast<pg_data *>(p); }

// Counts are never negative: a text that reads below zero counts as 0.
uint64_t count_of(std::string_view text)
{
    int64_t n = postgre_number(text);
    return n < 0 ? 0 : static_cast<uint64_t>(n);
}
int32_t low32(int64_t n) { return static_cast<int32_t>(static_cast<uint32_t>(n)); }

// Each column of row 0 whose name `field` knows.
template <typename Field>
void by_name(const sql_result &r, Field field)
{
    if (r.rows.empty()) return;
    const sql_row &row = r.rows[0];
    for (size_t i = 0; i < r.columns.size(); i++)
        if (const std::string *v = sql_text(row, i))
            if (uint64_t *f = field(r.columns[i])) *f = count_of(*v);
}

// The rows of a grouped count: `key` in column `key_col`, the count in the other one.
template <typename Group>
void each_group(const sql_result &r, size_t key_col, size_t count_col, Group group)
{
    for (const sql_row &row : r.rows) {
        const std::string *key = sql_text(row, key_col), *count = sql_text(row, count_col);
        if (key && count) group(*key, count_of(*count));
    }
}

// The columns each statement asks for, in its order.
constexpr std::string_view kXactColumns[] = {"commincnt", "rollbackcnt"};
constexpr std::string_view kRecoveryColumns[] = {"pg_is_in_recovery"};
constexpr std::string_view kVersionColumns[] = {"server_version_num"};
constexpr std::string_view kResColumns[] = {"res"};
constexpr std::string_view kCountColumns[] = {"count"};
constexpr std::string_view kBgwriterNewColumns[] = {"checkpoints_timed", "checkpoints_req",  "buffers_checkpoint",
                                                    "buffers_clean",     "maxwritten_clean", "buffers_alloc",
                                                    "buffers_backend",   "buffers_backend_fsync"};
constexpr std::string_view kBgwriterOldColumns[] = {"checkpoints_timed", "checkpoints_req",  "buffers_checkpoint",
                                                    "buffers_clean",     "maxwritten_clean", "buffers_backend",
                                                    "buffers_backend_fsync", "buffers_alloc"};
constexpr std::string_view kStatesColumns[] = {"state", "cnt"};
constexpr std::string_view kWaitingColumns[] = {"waiting", "cnt"};
constexpr std::string_view kLagColumns[] = {"replication_lag"};
constexpr std::string_view kSlowColumns[] = {"count", "name"};

std::string slow_form(std::string_view s, bool old)
{
    // The old servers name the statement's column differently and mark idle ones by text.
    const std::string active = old ? "current_query != '<IDLE>'" : "state = 'active'";
    const std::string query = old ? "current_query" : "query";
    const std::string older = "now() - query_start > '" + std::string(s) + " sec'::interval";
    return "select count(*), 'CNT_ALL' AS name from pg_stat_activity where " + active + " and " + older +
           " UNION select count(*), 'CNT_SEL' AS name from pg_stat_activity where " + active + " and " + query +
           " ilike 'select%' and " + older + " UNION select count(*), 'CNT_DML' AS name  from pg_stat_activity where " +
           active + " and " + older + " and " + query + " ~* '^(insert|update|delete)'";
}

} // namespace

const postgre_statement_texts postgre_statements{
    .xact = "select sum(xact_commit) as commincnt, sum(xact_rollback) as rollbackcnt  from pg_stat_database",
    .replication = "select count(*) as res from pg_stat_replication where state='streaming'",
    .recovery = "select pg_is_in_recovery()",
    .version = "show server_version_num",
};

bool postgre_valid_seconds(std::string_view text)
{
    size_t i = 0;
    auto digits = [&] {
        size_t start = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') i++;
        return i > start;
    };
    if (!digits()) return false;
    if (i < text.size() && text[i] == '.') {
        i++;
        if (!digits()) return false;
    }
    return i == text.size();
}

std::string get_query_str(std::string_view slow) { return slow_form(slow, false); }
std::string get_query_str_old(std::string_view slow) { return slow_form(slow, true); }

void postgre_parse_conf(vesk_mycustom_counter *c, pg_data &d)
{
    service_login l = service_parse_login(c->cfg_string);
    vesk_copy(c->id, l.id);
    d.user = std::move(l.user);
    d.pass = std::move(l.pass);
    d.host = std::move(l.host);
    d.port.clear();
    d.socket.clear();
    if (is_valid_int(l.last.c_str()))
        d.port = std::move(l.last);
    else
        d.socket = std::move(l.last);
}

int64_t postgre_number(std::string_view text)
{
    int64_t v = 0;
    const std::errc ec = std::from_chars(text.data(), text.data() + text.size(), v).ec;
    if (ec == std::errc::result_out_of_range) return text[0] == '-' ? INT64_MIN : INT64_MAX;
    return ec == std::errc() ? v : 0;
}

std::optional<int64_t> postgre_first(const sql_result &r)
{
    if (r.rows.empty()) return std::nullopt;
    const std::string *v = sql_text(r.rows[0], 0);
    if (!v) return std::nullopt;
    return postgre_number(*v);
}

void postgre_apply_xact(const sql_result &r, pg_data &d)
{
    by_name(r, [&](const std::string &name) -> uint64_t * {
        if (name == "commincnt") return &d.commited;
        if (name == "rollbackcnt") return &d.rolled_back;
        return nullptr;
    });
}

std::vector<pg_step> postgre_plan(int32_t v)
{
    std::vector<pg_step> plan;
    plan.push_back(v > 169999 ? pg_step::bgwriter_new : pg_step::bgwriter_old);
    if (v > 90599) {
        plan.push_back(pg_step::vacuum);
        plan.push_back(pg_step::wal_receiver);
    }
    if (v > 90199) plan.push_back(pg_step::states);
    plan.push_back(v > 90599 ? pg_step::waiting_new : pg_step::waiting_old);
    if (v > 99999) plan.push_back(pg_step::wal_size_new);
    else if (v > 90599) plan.push_back(pg_step::wal_size_old);
    plan.push_back(v > 99999 ? pg_step::lag_new : pg_step::lag_old);
    plan.push_back(v > 90199 ? pg_step::slow_new : pg_step::slow_old);
    return plan;
}

void postgre_zero_unplanned(int32_t v, pg_data &d)
{
    if (v <= 90599) {
        d.autovacuum = 0;
        d.wal_receiver = 0;
        d.wal_size = 0;
    }
    if (v <= 90199) {
        d.active_connections = 0;
        d.idle_connections = 0;
        d.idle_in_transact_conn = 0;
    }
}

postgre_step_statement postgre_statement(pg_step step, std::string_view slow)
{
    switch (step) {
    case pg_step::bgwriter_new:
        return {"SELECT c.num_timed AS checkpoints_timed,c.num_requested AS checkpoints_req,c.buffers_written AS "
               "buffers_checkpoint,b.buffers_clean,b.maxwritten_clean,b.buffers_alloc,io.buffers_backend,io.buffers_"
               "backend_fsync FROM pg_stat_checkpointer c, pg_stat_bgwriter b, (select sum(write_time) as "
               "buffers_backend, sum(fsync_time) as buffers_backend_fsync from pg_stat_io) as io",
                kBgwriterNewColumns};
    case pg_step::bgwriter_old:
        return {"select checkpoints_timed,checkpoints_req,buffers_checkpoint,buffers_clean,maxwritten_clean,buffers_"
               "backend,buffers_backend_fsync,buffers_alloc from pg_stat_bgwriter", kBgwriterOldColumns};
    case pg_step::vacuum: return {"select count(pid) from pg_stat_progress_vacuum", kCountColumns};
    case pg_step::wal_receiver: return {"select count(pid) from pg_stat_wal_receiver", kCountColumns};
    case pg_step::states: return {"select state, count(*) as cnt from pg_stat_activity group by state", kStatesColumns};
    case pg_step::waiting_new:
        return {"SELECT CASE WHEN wait_event_type IS NULL THEN 'f' ELSE 't' END AS waiting, COUNT(*) AS cnt FROM "
               "pg_stat_activity GROUP BY waiting", kWaitingColumns};
    case pg_step::waiting_old:
        return {"SELECT waiting, COUNT(*) AS cnt FROM pg_stat_activity GROUP BY waiting", kWaitingColumns};
    case pg_step::wal_size_new:
        return {"select count(*) * (select pg_size_bytes(current_setting('wal_segment_size'))) as res from "
               "pg_ls_waldir()", kResColumns};
    case pg_step::wal_size_old:
        return {"select (count(*)-1) * (select pg_size_bytes(current_setting('wal_segment_size'))) as res from "
               "pg_ls_dir('pg_xlog')", kResColumns};
    case pg_step::lag_new:
        return {"SELECT CASE WHEN pg_last_wal_receive_lsn() = pg_last_wal_replay_lsn() THEN 0 ELSE EXTRACT (EPOCH "
               "FROM now() - pg_last_xact_replay_timestamp())::INTEGER END AS replication_lag", kLagColumns};
    case pg_step::lag_old:
        return {"SELECT CASE WHEN pg_last_xlog_receive_location() = pg_last_xlog_replay_location() THEN 0 ELSE "
               "EXTRACT (EPOCH FROM now() - pg_last_xact_replay_timestamp())::INTEGER END AS replication_lag",
                kLagColumns};
    case pg_step::slow_new: return {get_query_str(slow), kSlowColumns};
    case pg_step::slow_old: return {get_query_str_old(slow), kSlowColumns};
    }
    return {};
}

void postgre_apply(pg_step step, const sql_result &r, pg_data &d)
{
    switch (step) {
    case pg_step::bgwriter_new:
    case pg_step::bgwriter_old:
        by_name(r, [&](const std::string &name) -> uint64_t * {
            if (name == "checkpoints_timed") return &d.checkpoint_timeout;
            if (name == "checkpoints_req") return &d.checkpoint_segments;
            if (name == "buffers_checkpoint") return &d.buffers_checkpoint;
            if (name == "buffers_clean") return &d.buffers_clean;
            if (name == "maxwritten_clean") return &d.maxwritten_clean;
            if (name == "buffers_backend") return &d.buffers_backend;
            if (name == "buffers_backend_fsync") return &d.buffers_backend_fsync;
            if (name == "buffers_alloc") return &d.buffers_alloc;
            return nullptr;
        });
        break;
    case pg_step::vacuum:
        if (auto v = postgre_first(r)) d.autovacuum = low32(*v);
        break;
    case pg_step::wal_receiver:
        if (auto v = postgre_first(r)) d.wal_receiver = low32(*v);
        break;
    case pg_step::states:
        // Each answer counts afresh: a state without backends has no row at all.
        d.active_connections = d.idle_connections = d.idle_in_transact_conn = 0;
        each_group(r, 0, 1, [&](const std::string &state, uint64_t n) {
            if (state == "active") d.active_connections = n;
            else if (state == "idle") d.idle_connections = n;
            else if (state == "idle in transaction") d.idle_in_transact_conn = n;
        });
        break;
    case pg_step::waiting_new:
    case pg_step::waiting_old:
        d.connections = d.lock_waiting_connections = 0;
        each_group(r, 0, 1, [&](const std::string &waiting, uint64_t n) {
            if (waiting == "t") d.lock_waiting_connections = n;
            else if (waiting == "f") d.connections = n;
        });
        d.connections += d.lock_waiting_connections;
        break;
    case pg_step::wal_size_new:
    case pg_step::wal_size_old:
        if (auto v = postgre_first(r)) d.wal_size = *v < 0 ? 0 : static_cast<uint64_t>(*v);
        break;
    case pg_step::lag_new:
    case pg_step::lag_old:
        if (auto v = postgre_first(r)) d.replication_lag = low32(*v);
        break;
    case pg_step::slow_new:
    case pg_step::slow_old:
        each_group(r, 1, 0, [&](const std::string &name, uint64_t n) {
            if (name == "CNT_ALL") d.cnt_all = n;
            else if (name == "CNT_SEL") d.cnt_sel = n;
            else if (name == "CNT_DML") d.cnt_dml = n;
        });
        break;
    }
}

int postgre_init(void *cnt)
{
    if (!config.postgre_handle) return 0;
    vesk_mycustom_counter *c = counter(cnt);
    sys_allocate<pg_data>(c, true);
    vesk_copy(c->report, "Postgre");
    pg_data *d = record(c->data);
    postgre_parse_conf(c, *d);
    printf("Postgre %s init with user='%s' pass='%s' host='%s' port='%s' socket='%s'\n", c->id, d->user.c_str(), "***",
           d->host.c_str(), d->port.c_str(), d->socket.c_str());
    return 1;
}

int postgre_reinit(void *) { return 1; }

namespace {

// One update's exchange on `conn`: connects, runs the series and fills `d`. The
// result is the update's.
int postgre_exchange(vesk_mycustom_counter *c, pg_data *d, pg_handle &conn, uint64_t &notices)
{
    // One deadline for connecting and every statement: a server that stalls at any
    // point costs the cycle this long at most.
    const int seconds = config.counter_tcp_to < 2 ? 2 : config.counter_tcp_to;
    pg_intake in(service_deadline(seconds));
    const char *user = d->user.c_str(), *pass = d->pass.c_str();
    auto too_late = [&] {
        fprintf(stderr, "[postgres] ERROR: no answer within %d s from %s\n", seconds, c->id);
        d->ok = 0;
        return 0;
    };
    pg_outcome opened = pg_outcome::failed;
    if (!d->socket.empty()) {
        opened = pg_open(conn, d->socket.c_str(), nullptr, user, pass, in, notices);
        if (opened == pg_outcome::failed)
            fprintf(stderr, "[postgres] ERROR: Failed to connect to database [using socket]: %s %s %s Error: %s\n",
                    user, "***", d->socket.c_str(), pg_error(conn.get()).c_str());
    } else if (!d->port.empty()) {
        opened = pg_open(conn, d->host.c_str(), d->port.c_str(), user, pass, in, notices);
        if (opened == pg_outcome::failed)
            fprintf(stderr, "[postgres] ERROR: Failed to connect to database: %s %s %s %s Error: %s\n", user, "***",
                    d->host.c_str(), d->port.c_str(), pg_error(conn.get()).c_str());
    } else {
        fprintf(stderr, "[postgres] ERROR: Failed to connect to database - no socket or port configured\n");
    }
    // After `late`, `unexpected` or `too_big` the connection is good for nothing more.
    auto ended = [&](pg_outcome broken) {
        if (broken == pg_outcome::late) return too_late();
        if (broken == pg_outcome::too_big)
            fprintf(stderr, "[postgres] ERROR: %s: answer over %zu MiB, connection closed\n", c->id,
                    PG_INPUT_MAX >> 20);
        else
            fprintf(stderr, "[postgres] ERROR: %s: unexpected answer to a statement, connection closed\n", c->id);
        d->ok = 0;
        return 0;
    };
    if (opened != pg_outcome::done && opened != pg_outcome::failed) return ended(opened);
    if (opened != pg_outcome::done) {
        d->ok = 0;
        return 0;
    }

    bool failed = false;
    pg_outcome broken = pg_outcome::done;
    auto run = [&](const char *stmt, std::span<const std::string_view> columns) -> std::optional<sql_result> {
        sql_result r;
        // After the stop no statement is sent: the cycle sends nothing anyway.
        if (broken != pg_outcome::done || stop) return std::nullopt;
        switch (pg_outcome o = pg_run(conn.get(), stmt, columns, in, r)) {
        case pg_outcome::done: return r;
        case pg_outcome::failed:
            fprintf(stderr, "[postgres] ERROR: query failed: %s\n  %s", stmt, pg_error(conn.get()).c_str());
            failed = true;
            break;
        case pg_outcome::late:
        case pg_outcome::unexpected:
        case pg_outcome::too_big: broken = o; break;
        }
        return std::nullopt;
    };
    if (auto r = run(postgre_statements.xact, kXactColumns)) postgre_apply_xact(*r, *d);
    if (auto r = run(postgre_statements.replication, kResColumns))
        if (auto v = postgre_first(*r)) d->replication_state = low32(*v);
    if (auto r = run(postgre_statements.recovery, kRecoveryColumns))
        if (!r->rows.empty()) d->in_recovery = sql_text(r->rows[0], 0) && *sql_text(r->rows[0], 0) == "t";
    std::optional<sql_result> version = run(postgre_statements.version, kVersionColumns);
    if (broken != pg_outcome::done) return ended(broken);
    if (!version) {
        d->ok = 0;
        return 1;
    }
    const int32_t v = low32(postgre_first(*version).value_or(0));
    // The setting is checked when it is read; a text that is no number never reaches SQL.
    const char *slow = postgre_valid_seconds(config.slow_query_sec) ? config.slow_query_sec : "100";
    postgre_zero_unplanned(v, *d);
    for (pg_step step : postgre_plan(v))
        if (const postgre_step_statement st = postgre_statement(step, slow); auto r = run(st.text.c_str(), st.columns))
            postgre_apply(step, *r, *d);
    if (broken != pg_outcome::done) return ended(broken);
    d->ok = failed ? 0 : 1;
    return 1;
}

} // namespace

int postgre_update(void *cnt)
{
    if (!config.postgre_handle) return 0;
    vesk_mycustom_counter *c = counter(cnt);
    pg_data *d = record(c->data);
    if (!d) return 0;
    uint64_t notices = 0; // counted by the connection, so declared before it
    pg_handle conn;
    const int result = postgre_exchange(c, d, conn, notices);
    conn.reset();
    // A server may send notices by the thousand: they are never printed.
    if (config.debug && notices)
        printf("[postgres] %s: %llu notices from the server dropped\n", c->id,
               static_cast<unsigned long long>(notices));
    return result;
}

int postgre_delta(void *cnt, uint32_t span_ms, uint64_t iteration)
{
    if (!config.postgre_handle) return 0;
    return service_delta<pg_data>(counter(cnt), iteration, [span_ms](const pg_data &cur, const pg_data &prev,
                                                                     pg_data &out) {
        out.commited = service_rate(cur.commited, prev.commited, span_ms);
        out.rolled_back = service_rate(cur.rolled_back, prev.rolled_back, span_ms);
    });
}

int postgre_tobson(void *cnt, bson *b)
{
    if (!config.postgre_handle) return 0;
    vesk_mycustom_counter *c = counter(cnt);
    const pg_data *d = record(c->data_delta);
    if (!d || !d->ok) return 1;
    service_open_mycustom(b, c);
    service_append(b, {{"ok", d->ok},
                       {"cmtd", service_u(d->commited)},
                       {"rolbck", service_u(d->rolled_back)},
                       {"chk_t", service_u(d->checkpoint_timeout)},
                       {"chk_seg", service_u(d->checkpoint_segments)},
                       {"all_con", service_u(d->connections)},
                       {"actv_con", service_u(d->active_connections)},
                       {"idle_con", service_u(d->idle_connections)},
                       {"i_in_tr_con", service_u(d->idle_in_transact_conn)},
                       {"lock_con", service_u(d->lock_waiting_connections)},
                       {"buf_chk", service_u(d->buffers_checkpoint)},
                       {"buf_clean", service_u(d->buffers_clean)},
                       {"maxw_clean", service_u(d->maxwritten_clean)},
                       {"buf_b", service_u(d->buffers_backend)},
                       {"buf_b_fsync", service_u(d->buffers_backend_fsync)},
                       {"buf_alloc", service_u(d->buffers_alloc)},
                       {"slo_all", service_u(d->cnt_all)},
                       {"slo_dml", service_u(d->cnt_dml)},
                       {"slo_sel", service_u(d->cnt_sel)},
                       {"autovacuum", d->autovacuum},
                       {"in_recovery", d->in_recovery},
                       {"wal_receiver", d->wal_receiver},
                       {"wal_size", service_u(d->wal_size)},
                       {"replication_state", d->replication_state},
                       {"replication_lag", d->replication_lag}});
    service_close(b);
    return 1;
}

int postgre_dump(void *cnt)
{
    if (!config.postgre_handle) return 0;
    vesk_mycustom_counter *c = counter(cnt);
    const pg_data *d = record(c->data);
    if (!d) return 0;
    sys_dump_header(c, d->ok);
    // Every value as an unsigned decimal, int fields included.
    auto u = [](int64_t v) { return static_cast<uint64_t>(v); };
    sys_dump_values({{"commited", d->commited},
                     {"rolled_back", d->rolled_back},
                     {"checkpoint_timeout", d->checkpoint_timeout},
                     {"checkpoint_segments", d->checkpoint_segments},
                     {"connections", d->connections},
                     {"active_connections", d->active_connections},
                     {"idle_connections", d->idle_connections},
                     {"idle_in_transact_conn", d->idle_in_transact_conn},
                     {"lock_waiting_connections", d->lock_waiting_connections},
                     {"buffers_checkpoint", d->buffers_checkpoint},
                     {"buffers_clean", d->buffers_clean},
                     {"maxwritten_clean", d->maxwritten_clean},
                     {"buffers_backend", d->buffers_backend},
                     {"buffers_backend_fsync", d->buffers_backend_fsync},
                     {"buffers_alloc", d->buffers_alloc},
                     {"slo_all", d->cnt_all},
                     {"slo_dml", d->cnt_dml},
                     {"slo_sel", d->cnt_sel},
                     {"progress_vacuum", u(d->autovacuum)},
                     {"in_recovery", u(d->in_recovery)},
                     {"wal receiver", u(d->wal_receiver)},
                     {"wal size", d->wal_size},
                     {"replication state", u(d->replication_state)},
                     {"replication lag", u(d->replication_lag)}});
    return 1;
}

int postgre_free(void *cnt)
{
    if (!config.postgre_handle) return 0;
    return service_free<pg_data>(cnt);
}
