// The Redis counter: one server's "info" over TCP, after an optional AUTH.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vesk_types.hpp"

// What the counter keeps of the "info" text. The six counts are read in full, since
// busy servers pass 2^32; the other numbers hold the low 32 bits of what is sent.
struct redis_info {
    std::string replica_role;            // "role:", at most 255 bytes
    uint32_t master_link_status = 0;     // 1 when "master_link_status:" begins with "up"
    uint32_t connected_slaves = 0;       // "connected_slaves:"
    uint32_t master_sync_in_progress = 0; // "master_sync_in_progress:" (dump only)
    uint32_t master_sync_left_bytes = 0; // "master_sync_left_bytes:"
    uint32_t uptime = 0;                 // "uptime_in_seconds:"
    uint32_t connected_clients = 0;      // "connected_clients:"
    uint64_t total_connections_received = 0;
    uint64_t total_commands_processed = 0;
    uint64_t keyspace_hits = 0;
    uint64_t keyspace_misses = 0;
    uint64_t expired_keys = 0;
    uint64_t evicted_keys = 0;
    uint32_t rdb_last_bgsave_status = 0; // 1 when "rdb_last_bgsave_status:" begins with "ok"
    uint64_t used_memory = 0;            // "used_memory:", bytes
    uint32_t num_of_keys = 0;            // keys of the "db0:keys=" line
};

struct vesk_mycustom_data_redis {
    std::string user; // never sent
    std::string pass; // empty: no AUTH
    std::string host; // dotted IPv4 text, or a container name in square brackets
    uint32_t port = 0;
    int ok = 0;
    int in_docker = 0;
    std::string docker_container_name;
    uint32_t status = 0; // 1 after a successful connect
    redis_info info;
};

// Most of an answer that is read.
inline constexpr size_t REDIS_REPLY_MAX = 8192;

// The "info" bulk string over `before`: lines it does not hold keep their values.
// None when the reply is not a bulk string (an error such as "-NOAUTH", or garbage).
std::optional<redis_info> parse_redis_info(std::string_view reply, const redis_info &before);
// Framing: "$<n>" then n bytes; any other answer is one line.
bool redis_reply_complete(std::string_view reply);

// Reads "<id> <user>:<password>@<host>:<port>" into the id and the record. The
// user, the password or both may be empty (":<password>@", "<user>:@", ":@"). Gives
// why the line cannot work (service_endpoint_problem), or none.
std::optional<std::string> redis_parse_conf(char *conf, char (&id)[256], vesk_mycustom_data_redis &d);

int redis_init(void *cnt);
int redis_update(void *cnt);
int redis_delta(void *cnt, uint32_t span_ms, uint64_t iteration);
int redis_tobson(void *cnt, bson *b);
int redis_dump(void *cnt);
int redis_free(void *cnt);
