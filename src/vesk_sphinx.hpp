// The Sphinx counter: connections, search and update commands, queries and query
// wall time of one searchd, read through its MySQL-protocol listener.
#pragma once

#include <cstdint>
#include <string>

#include "mycustom.hpp"
#include "vesk_service.hpp"

struct vesk_mycustom_data_sphinx {
    std::string user;
    std::string pass; // may be empty
    std::string host;
    uint32_t port = 0;
    int ok = 0;
    uint64_t C = 0;   // "connections"
    uint64_t C_S = 0; // "command_search"
    uint64_t C_U = 0; // "command_update"
    uint64_t Q = 0;   // "queries"
    double Q_W = 0;   // "query_wall", seconds
};

int sphinx_init(void *cnt);
int sphinx_reinit(void *cnt);
int sphinx_update(void *cnt);
int sphinx_delta(void *cnt, uint32_t span_ms, uint64_t iteration);
int sphinx_tobson(void *cnt, bson *b);
int sphinx_dump(void *cnt);
int sphinx_free(void *cnt);

// Reads "id user:password@host:port" (rewritten in place).
void sphinx_parse_conf(vesk_mycustom_counter *c, vesk_mycustom_data_sphinx &d);
// The rows of "SHOW STATUS;" into their fields. False at the first row without a
// value; the rows before it are stored.
bool sphinx_apply_status(const sql_result &r, vesk_mycustom_data_sphinx &d);
