// The Memcached counter: the general "stats" of one server over TCP or a Unix socket.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vesk_types.hpp"

// The statistics the counter keeps, by their names in the reply.
struct memcache_stats {
    uint64_t get = 0;         // "cmd_get"
    uint64_t set = 0;         // "cmd_set"
    uint64_t misses = 0;      // "get_misses"
    uint64_t hits = 0;        // "get_hits"
    uint64_t evictions = 0;   // "evictions"
    uint64_t connections = 0; // "curr_connections"
    uint64_t read = 0;        // "bytes_read"
    uint64_t write = 0;       // "bytes_written"
    uint64_t bytes = 0;       // "bytes": memory in use
    uint64_t max_bytes = 0;   // "limit_maxbytes": memory limit
    bool operator==(const memcache_stats &) const = default;
};

struct vesk_mycustom_data_memcache {
    std::string ip;     // IPv4 text, or a container name in square brackets
    std::string socket; // Unix socket path; empty for TCP
    int port = 0;
    int ok = 0;
    int in_docker = 0;
    std::string docker_container_name;
    memcache_stats stats;
};

// Most of a reply that is read.
inline constexpr size_t MEMCACHE_REPLY_MAX = 4096;

// The "STAT <name> <value>" lines of a reply over `before`: statistics the reply does
// not hold keep their values. None when the reply is not a statistics answer.
std::optional<memcache_stats> parse_memcache_stats(std::string_view reply, const memcache_stats &before);
// Framing of the reply: the statistics end with "END"; an error answer is one line.
bool memcache_reply_complete(std::string_view reply);

// Splits the configuration value "<ip>:<port>", "<word>:<socket path>" or
// "[container]:<port>": the whole value becomes the id. Gives why the value cannot
// work (service_endpoint_problem), or none.
std::optional<std::string> memcache_parse_conf(char *conf, char (&id)[256], vesk_mycustom_data_memcache &d);

int memcache_init1(void *cnt);
int memcache_update(void *cnt);
int memcache_delta(void *cnt, uint32_t span_ms, uint64_t iteration);
int memcache_tobson(void *cnt, bson *b);
int memcache_dump(void *cnt);
int memcache_free(void *cnt);
