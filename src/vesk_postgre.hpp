// The PostgreSQL counter: transaction rates, checkpoint and background-writer
// totals, connections by state, long-running statements, vacuum, recovery, WAL and
// replication figures, read through the client library at every update.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "mycustom.hpp"
#include "vesk_service.hpp"

struct vesk_mycustom_data_postgre {
    std::string user;
    std::string pass; // empty when the line gives none
    std::string host;
    std::string socket; // Unix-domain socket directory; empty when a port is given
    std::string port;   // as text; empty when a socket is given
    int32_t ok = 0;
    uint64_t commited = 0;
    uint64_t rolled_back = 0;
    uint64_t checkpoint_timeout = 0;
    uint64_t checkpoint_segments = 0;
    uint64_t connections = 0;
    uint64_t active_connections = 0;
    uint64_t idle_connections = 0;
    uint64_t idle_in_transact_conn = 0;
    uint64_t lock_waiting_connections = 0;
    uint64_t buffers_checkpoint = 0;
    uint64_t buffers_clean = 0;
    uint64_t maxwritten_clean = 0;
    uint64_t buffers_backend = 0;
    uint64_t buffers_backend_fsync = 0;
    uint64_t buffers_alloc = 0;
    uint64_t cnt_all = 0;
    uint64_t cnt_dml = 0;
    uint64_t cnt_sel = 0;
    int32_t autovacuum = 0;
    int32_t in_recovery = 0;
    int32_t wal_receiver = 0;
    uint64_t wal_size = 0;
    int32_t replication_state = 0;
    int32_t replication_lag = 0;
};

// The statements every update runs first, in this order; the version's answer then
// chooses the rest (postgre_plan).
struct postgre_statement_texts {
    const char *xact, *replication, *recovery, *version;
};
extern const postgre_statement_texts postgre_statements;

int postgre_init(void *cnt);
int postgre_reinit(void *cnt);
int postgre_update(void *cnt);
int postgre_delta(void *cnt, uint32_t span_ms, uint64_t iteration);
int postgre_tobson(void *cnt, bson *b);
int postgre_dump(void *cnt);
int postgre_free(void *cnt);

// Reads "id user:password@host:port" or "id user:password@host:/socket/dir"
// (rewritten in place) into the counter's id and the record's connection fields.
void postgre_parse_conf(vesk_mycustom_counter *c, vesk_mycustom_data_postgre &d);

// A number of seconds as slow_query_sec accepts it: digits with an optional fraction,
// which is pasted into statements and so can hold nothing else.
bool postgre_valid_seconds(std::string_view text);

// The statements after the version, in their order, as the server's version number
// chooses them. The texts of the slow-statement forms are built by get_query_str.
enum class pg_step {
    bgwriter_new, bgwriter_old, vacuum, wal_receiver, states, waiting_new, waiting_old,
    wal_size_new, wal_size_old, lag_new, lag_old, slow_new, slow_old,
};
std::vector<pg_step> postgre_plan(int32_t version);
// Fields that the chosen statements leave out are set to 0 for this version.
void postgre_zero_unplanned(int32_t version, vesk_mycustom_data_postgre &d);
// The statement of a step and the columns it asks for, in their order; `slow` is the
// slow_query_sec text for the two slow forms.
struct postgre_step_statement {
    std::string text;
    std::span<const std::string_view> columns;
};
postgre_step_statement postgre_statement(pg_step step, std::string_view slow);
std::string get_query_str(std::string_view slow);
std::string get_query_str_old(std::string_view slow);

// ---- the statements' results ----

// A field text as a base-10 64-bit integer from its leading digits (an optional '-');
// empty or other text gives 0.
int64_t postgre_number(std::string_view text);
// Row 0, column 0, when the result has them.
std::optional<int64_t> postgre_first(const sql_result &r);
// The transaction sums, by their column names.
void postgre_apply_xact(const sql_result &r, vesk_mycustom_data_postgre &d);
// The result of the step into its fields.
void postgre_apply(pg_step step, const sql_result &r, vesk_mycustom_data_postgre &d);
