// The Elasticsearch counter: its configuration, the two API answers it reads, and its operations.
#include "vesk_elastic.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "encoding.hpp"
#include "nxjson.hpp"
#include "vesk_config.hpp"
#include "vesk_devlist.hpp"
#include "vesk_json.hpp"
#include "vesk_service.hpp"

namespace {

using data_t = vesk_mycustom_data_elastic;

constexpr size_t kNodeMax = 229; // the request path fits 256 bytes

vesk_mycustom_counter *counter(void *cnt) { return static_cast<vesk_mycustom_counter *>(cnt); }

// A parsed tree with the text it points into.
struct json_doc {
    std::string text;
    nx_json_ptr root;

    explicit json_doc(std::string_view body) : text(body), root(nx_json_parse(text.data(), nullptr)) {}
    bool is_object() const { return root && root->type == NX_JSON_OBJECT; }
};

int fail(data_t *d)
{
    printf("elastic error\n");
    d->ok = 0;
    return 0;
}

// Where the blanks from `pos` end.
size_t skip_blanks(std::string_view s, size_t pos)
{
    return std::min(s.find_first_not_of(" \t\n\v\f\r", pos), s.size());
}

} // namespace

void elastic_parse_conf(const char *conf, std::string &id, data_t &d)
{
    const std::string_view s(conf);
    size_t pos = 0;
    id = vesk_next_word(s, pos).substr(0, SERVICE_WORD_MAX);
    d.port = 0;
    d.node_name.clear();
    // The host is everything up to the first ':', blanks included.
    pos = skip_blanks(s, pos);
    const size_t colon = s.find(':', pos);
    d.host = s.substr(pos, colon - pos).substr(0, SERVICE_WORD_MAX);
    service_set_container(d, d.host);
    if (colon == std::string_view::npos || colon == pos) return;
    pos = skip_blanks(s, colon + 1);
    // The port as a decimal int kept in 16 bits; without digits nothing more is read.
    const bool negative = pos < s.size() && s[pos] == '-';
    if (pos < s.size() && (s[pos] == '-' || s[pos] == '+')) pos++;
    if (pos == s.size() || !isdigit(static_cast<unsigned char>(s[pos]))) return;
    uint32_t port = 0;
    for (; pos < s.size() && isdigit(static_cast<unsigned char>(s[pos])); pos++)
        port = port * 10 + static_cast<uint32_t>(s[pos] - '0');
    d.port = static_cast<uint16_t>(negative ? 0u - port : port);
    d.node_name = vesk_next_word(s, pos).substr(0, kNodeMax);
}

std::string vesk_elastic_construct_api_request(const std::string &path) { return "GET " + path + " HTTP/1.1\r\n\r\n"; }

std::optional<elastic_thread_pools> elastic_parse_node_items(std::string_view body, std::string_view node)
{
    json_doc doc(body);
    if (!doc.is_object()) return std::nullopt;
    const std::string pools = "nodes." + std::string(node.substr(0, kNodeMax)) + ".thread_pool";
    elastic_thread_pools t;
    t.search_active = json_get_long_by_path(doc.root.get(), (pools + ".search.active").c_str());
    t.search_queue = json_get_long_by_path(doc.root.get(), (pools + ".search.queue").c_str());
    const nx_json *all = json_get_item_by_path(doc.root.get(), pools.c_str());
    int error = 0;
    t.queue_sum = json_column_sum(all, "queue", &error);
    if (error) t.queue_sum = 0;
    t.queue_missing = error != 0;
    t.active_sum = json_column_sum(all, "active", &error);
    if (error) t.active_sum = 0;
    t.active_missing = error != 0;
    return t;
}

std::optional<elastic_health> elastic_parse_cluster_health(std::string_view body)
{
    json_doc doc(body);
    if (!doc.is_object()) return std::nullopt;
    elastic_health h;
    char status[99];
    json_get_str_by_path(doc.root.get(), "status", status, sizeof status);
    std::string_view colour(status);
    if (colour.starts_with("green")) h.status = 3;
    else if (colour.starts_with("yellow")) h.status = 2;
    else if (colour.starts_with("red")) h.status = 1;
    h.relocating = json_get_long_by_path(doc.root.get(), "relocating_shards");
    h.initializing = json_get_long_by_path(doc.root.get(), "initializing_shards");
    h.unassigned = json_get_long_by_path(doc.root.get(), "unassigned_shards");
    return h;
}

int elastic_init(void *cnt)
{
    auto *c = counter(cnt);
    sys_allocate<data_t>(c, true);
    vesk_copy(c->report, "Elastic");
    std::string id;
    elastic_parse_conf(c->cfg_string, id, *static_cast<data_t *>(c->data));
    vesk_copy(c->id, id);
    return 1;
}

int elastic_reinit(void *) { return 1; }

int elastic_update(void *cnt)
{
    auto *c = counter(cnt);
    auto *d = static_cast<data_t *>(c->data);
    auto deadline = service_deadline(config.counter_tcp_to);
    auto address = service_address(d->in_docker, d->docker_container_name, d->host, "elastic");
    if (!address) return fail(d);
    unique_fd fd = service_http_connect("elastic", *address, d->port, config.counter_tcp_to);
    if (!fd) return fail(d);

    // Both answers on the one connection, within the one time-out.
    auto exchange = [&](const std::string &path, const char *shown) -> std::optional<std::string> {
        auto body = service_http_get(fd.get(), vesk_elastic_construct_api_request(path), deadline, "elastic", c->id);
        if (!body) printf("[elastic] Response for %s is NULL\n", shown);
        return body;
    };
    auto nodes = exchange("/_nodes/" + d->node_name + "/stats/thread_pool", "/_nodes/.../stats/thread_pool");
    if (!nodes) return fail(d);
    auto pools = elastic_parse_node_items(*nodes, d->node_name);
    if (!pools) {
        d->node_queue_size = d->node_active_size = d->threads_search_active = d->threads_search_queue = 0;
        return fail(d);
    }
    d->threads_search_active = pools->search_active;
    d->threads_search_queue = pools->search_queue;
    d->node_queue_size = pools->queue_sum;
    if (pools->queue_missing) printf("[elastic] Error: 'queue' not found in thread_pool object\n");
    d->node_active_size = pools->active_sum;
    if (pools->active_missing) printf("[elastic] Error: 'active' not found in thread_pool object\n");

    auto health_body = exchange("/_cluster/health", "/_cluster/health");
    if (!health_body) return fail(d);
    auto health = elastic_parse_cluster_health(*health_body);
    if (!health) {
        printf("[elastic] Cannot parse cluster health\n");
        return fail(d);
    }
    if (health->status) d->status = *health->status; // an unknown colour keeps the last one
    d->relocating_shards = health->relocating;
    d->initializing_shards = health->initializing;
    d->unassigned_shards = health->unassigned;
    d->ok = 1;
    return 1;
}

int elastic_delta(void *cnt, uint32_t, uint64_t)
{
    auto *c = counter(cnt);
    auto *d = static_cast<data_t *>(c->data);
    if (!d || !c->data_prev || !c->data_delta) return 1;
    *static_cast<data_t *>(c->data_delta) = *d;
    *static_cast<data_t *>(c->data_prev) = *d;
    return 1;
}

int elastic_tobson(void *cnt, bson *b)
{
    auto *c = counter(cnt);
    auto *d = static_cast<const data_t *>(c->data_delta);
    if (!d || !d->ok) return 1;
    service_open_mycustom(b, c);
    service_append(b, {{"ok", d->ok},
                       {"node_queue_size", d->node_queue_size},
                       {"node_active_size", d->node_active_size},
                       {"threads_search_queue", d->threads_search_queue},
                       {"threads_search_active", d->threads_search_active},
                       {"status", d->status},
                       {"initializing_shards", d->initializing_shards},
                       {"relocating_shards", d->relocating_shards},
                       {"unassigned_shards", d->unassigned_shards}});
    service_close(b);
    return 1;
}

int elastic_dump(void *cnt)
{
    auto *c = counter(cnt);
    auto *d = static_cast<const data_t *>(c->data_delta);
    if (!d) return 1;
    sys_dump_header(c, d->ok);
    auto line = [](const char *label, int64_t v) { printf("\t%s = %lld\n", label, static_cast<long long>(v)); };
    line("node_queue_size", d->node_queue_size);
    line("node_active_size", d->node_active_size);
    line("threads_search_queue", d->threads_search_queue);
    line("threads_search_active", d->threads_search_active);
    line("Status", d->status);
    line("Relocating shards", d->relocating_shards);
    line("unassigned_shards", d->unassigned_shards);
    line("initializing_shards", d->initializing_shards);
    return 1;
}

int elastic_free(void *cnt) { return service_free<data_t>(cnt); }
