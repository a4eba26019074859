// The Elasticsearch counter: the search thread pool and the totals of a node's
// thread pools, and the cluster's health, over one HTTP/1.1 connection. Values are
// reported as read, at their full width. The host may name a container.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vesk_types.hpp"

struct vesk_mycustom_data_elastic {
    std::string host; // dotted IPv4, or "[container]"
    std::string user; // not filled
    std::string pass; // not filled
    std::string node_name; // the node in the request path and under "nodes" in the answer
    uint16_t port = 0;
    int32_t ok = 0;
    int32_t in_docker = 0;
    std::string docker_container_name;
    int64_t node_queue_size = 0;  // "queue" summed over the node's thread pools
    int64_t node_active_size = 0; // "active" summed over the node's thread pools
    int64_t threads_search_active = 0;
    int64_t threads_search_queue = 0;
    int32_t status = 0; // 3 green, 2 yellow, 1 red; 0 until a colour was read
    int64_t relocating_shards = 0;
    int64_t initializing_shards = 0;
    int64_t unassigned_shards = 0;
};

// Reads "id host:port node"; the id goes to `id`. Without the ':' the host takes
// the rest and neither port nor node is read.
void elastic_parse_conf(const char *conf, std::string &id, vesk_mycustom_data_elastic &d);

// "GET <path> HTTP/1.1", with no header lines.
std::string vesk_elastic_construct_api_request(const std::string &path);

// The node's thread pools from a /_nodes/<node>/stats/thread_pool body. Sums that
// cannot be taken (no such node, a pool without an integer member) read 0 and are
// marked missing. None when the body is not a JSON object.
struct elastic_thread_pools {
    int64_t search_active = 0;
    int64_t search_queue = 0;
    int64_t queue_sum = 0;
    int64_t active_sum = 0;
    bool queue_missing = false;
    bool active_missing = false;
};
std::optional<elastic_thread_pools> elastic_parse_node_items(std::string_view body, std::string_view node);

// The /_cluster/health body: the colour (3, 2, 1; none for any other text) and the
// shard counts. None when the body is not a JSON object.
struct elastic_health {
    std::optional<int32_t> status;
    int64_t relocating = 0;
    int64_t initializing = 0;
    int64_t unassigned = 0;
};
std::optional<elastic_health> elastic_parse_cluster_health(std::string_view body);

int elastic_init(void *cnt);
int elastic_reinit(void *cnt);
int elastic_update(void *cnt);
int elastic_delta(void *cnt, uint32_t span_ms, uint64_t iteration);
int elastic_tobson(void *cnt, bson *b);
int elastic_dump(void *cnt);
int elastic_free(void *cnt);
