// The Redis counter: its configuration, the AUTH and "info" exchange, and its operations.
#include "vesk_redis.hpp"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "bson.hpp"
#include "encoding.hpp"
#include "mycustom.hpp"
#include "vesk_config.hpp"
#include "vesk_devlist.hpp"
#include "vesk_service.hpp"

namespace {

using rd_data = vesk_mycustom_data_redis;

vesk_mycustom_counter *counter(void *cnt) { return static_cast<vesk_mycustom_counter *>(cnt); }
rd_data *record(void *p) { return static_cast<rd_data *>(p); }

// A decimal number as "%d" reads it (blanks, a sign, digits), cut to its low 32 bits.
std::optional<uint32_t> low32(std::string_view text)
{
    size_t i = text.find_first_not_of(" \t");
    if (i == std::string_view::npos) return std::nullopt;
    bool negative = text[i] == '-';
    if (text[i] == '-' || text[i] == '+') i++;
    uint64_t n = 0; // wraps modulo 2^64, which keeps the low 32 bits right
    size_t start = i;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++) n = n * 10 + static_cast<uint64_t>(text[i] - '0');
    if (i == start) return std::nullopt;
    return static_cast<uint32_t>(negative ? 0 - n : n);
}

template <uint32_t redis_info::*F>
void set_low32(redis_info &info, std::string_view value)
{
    if (std::optional<uint32_t> n = low32(value)) info.*F = *n;
}

template <uint64_t redis_info::*F>
void set_full(redis_info &info, std::string_view value)
{
    uint64_t n = 0;
    if (vesk_parse_u64(value, n)) info.*F = n;
}

// 1 when the value's word begins with `yes`, 0 for any other word.
template <uint32_t redis_info::*F>
void set_flag(redis_info &info, std::string_view value, std::string_view yes)
{
    size_t at = 0;
    std::string_view word = vesk_next_word(value, at);
    if (!word.empty()) info.*F = word.starts_with(yes) ? 1 : 0;
}

using line_setter = void (*)(redis_info &, std::string_view);

// The lines the counter reads, tried in this order; the first prefix that matches wins.
constexpr struct {
    std::string_view prefix;
    line_setter set;
} kLines[] = {
    {"uptime_in_seconds:", set_low32<&redis_info::uptime>},
    {"connected_clients:", set_low32<&redis_info::connected_clients>},
    {"total_connections_received:", set_full<&redis_info::total_connections_received>},
    {"total_commands_processed:", set_full<&redis_info::total_commands_processed>},
    {"keyspace_hits:", set_full<&redis_info::keyspace_hits>},
    {"keyspace_misses:", set_full<&redis_info::keyspace_misses>},
    {"expired_keys:", set_full<&redis_info::expired_keys>},
    {"evicted_keys:", set_full<&redis_info::evicted_keys>},
    {"rdb_last_bgsave_status:",
     [](redis_info &i, std::string_view v) { set_flag<&redis_info::rdb_last_bgsave_status>(i, v, "ok"); }},
    {"used_memory:", set_full<&redis_info::used_memory>},
    {"role:",
     [](redis_info &i, std::string_view v) {
         size_t at = 0;
         std::string_view word = vesk_next_word(v, at);
         if (!word.empty()) i.replica_role = word.substr(0, SERVICE_WORD_MAX);
     }},
    {"master_link_status:",
     [](redis_info &i, std::string_view v) { set_flag<&redis_info::master_link_status>(i, v, "up"); }},
    {"connected_slaves:", set_low32<&redis_info::connected_slaves>},
    {"master_sync_in_progress:", set_low32<&redis_info::master_sync_in_progress>},
    {"master_sync_left_bytes:", set_low32<&redis_info::master_sync_left_bytes>},
    {"db0:keys=", set_low32<&redis_info::num_of_keys>},
};

constexpr uint64_t redis_info::*kRates[] = {
    &redis_info::total_connections_received, &redis_info::total_commands_processed, &redis_info::keyspace_hits,
    &redis_info::keyspace_misses,            &redis_info::expired_keys,             &redis_info::evicted_keys,
};

// AUTH as a command array, so that the password reaches the server byte for byte
// (an inline command would take quotes and backslashes in it as syntax).
std::string auth_command(const std::string &password)
{
    return "*2\r\n$4\r\nAUTH\r\n$" + std::to_string(password.size()) + "\r\n" + password + "\r\n";
}

bool one_line(std::string_view reply) { return reply.find('\n') != std::string_view::npos; }

// The server's "info" text, read over `before`; none on any failure.
std::optional<redis_info> redis_exchange(rd_data &d)
{
    std::optional<std::string> host = service_address(d.in_docker, d.docker_container_name, d.host, "redis");
    if (!host) return std::nullopt;
    // Any text but a dotted address gives the all-ones address, which never connects.
    service_conn c = service_connect_tcp(service_ipv4(*host).value_or(in_addr{INADDR_NONE}),
                                         static_cast<int>(d.port), config.counter_tcp_to);
    if (c.failed == service_fail::socket) {
        // Out of descriptors, say: this update fails and the next one tries again.
        fprintf(stderr, "socket() error!\n");
        return std::nullopt;
    }
    if (c.failed == service_fail::timeout) {
        printf("setsockopt failed\n");
        return std::nullopt;
    }
    d.status = c ? 1 : 0;
    if (!c) return std::nullopt;
    const int fd = c.fd.get();
    service_clock::time_point deadline = service_deadline(config.counter_tcp_to);

    if (!d.pass.empty()) {
        printf("[INFO] redis auth with ***\n");
        if (!service_send(fd, auth_command(d.pass))) return std::nullopt;
        service_reply a = service_read(fd, REDIS_REPLY_MAX, deadline, one_line);
        if (a.end == service_end::error || a.data.empty()) return std::nullopt;
        if (!a.data.starts_with("+OK")) {
            std::string_view answer(a.data);
            answer = answer.substr(0, answer.find_first_of("\r\n"));
            printf("[WARN] redis auth failed %.*s\n", static_cast<int>(answer.size()), answer.data());
            return std::nullopt;
        }
    }
    if (!service_send(fd, "info\r\n")) return std::nullopt;
    service_reply r = service_read(fd, REDIS_REPLY_MAX, deadline, redis_reply_complete);
    if (r.end == service_end::error) return std::nullopt;
    return parse_redis_info(r.data, d.info);
}

} // namespace

std::optional<redis_info> parse_redis_info(std::string_view reply, const redis_info &before)
{
    std::optional<service_sized_body> bulk = service_sized_reply(reply, "$");
    if (!bulk) return std::nullopt;
    redis_info info = before;
    std::string_view text = bulk->whole ? bulk->body : service_whole_lines(bulk->body), line;
    for (size_t pos = 0; vesk_next_line(text, pos, line);) {
        for (const auto &k : kLines) {
            if (!line.starts_with(k.prefix)) continue;
            k.set(info, line.substr(k.prefix.size()));
            break;
        }
    }
    return info;
}

bool redis_reply_complete(std::string_view reply) { return service_sized_complete(reply, "$"); }

std::optional<std::string> redis_parse_conf(char *conf, char (&id)[256], vesk_mycustom_data_redis &d)
{
    // No user is the common case: ":password@host:port", or ":@host:port" with no password either.
    service_login l = service_parse_login(conf, true);
    vesk_copy(id, l.id);
    d.user = std::move(l.user);
    d.pass = std::move(l.pass);
    d.host = std::move(l.host);
    // "%d": trailing text is ignored, and the number lands in 32 bits.
    d.port = static_cast<uint32_t>(strtol(l.last.c_str(), nullptr, 10));
    service_set_container(d, d.host);
    return service_endpoint_problem(d.host, l.last, true);
}

int redis_init(void *cnt)
{
    vesk_mycustom_counter *c = counter(cnt);
    sys_allocate<rd_data>(c, true);
    vesk_copy(c->report, "Redis");
    if (std::optional<std::string> why = redis_parse_conf(c->cfg_string, c->id, *record(c->data)))
        service_refuse<rd_data>(c, "redis", *why);
    return 0;
}

int redis_update(void *cnt)
{
    rd_data *d = record(counter(cnt)->data);
    if (!d) return 0;
    std::optional<redis_info> info = redis_exchange(*d);
    if (info) d->info = std::move(*info);
    d->ok = info ? 1 : 0;
    return d->ok;
}

int redis_delta(void *cnt, uint32_t span_ms, uint64_t iteration)
{
    return service_delta<rd_data>(counter(cnt), iteration, [span_ms](const rd_data &cur, const rd_data &prev, rd_data &out) {
        for (auto f : kRates) out.info.*f = service_rate(cur.info.*f, prev.info.*f, span_ms);
    });
}

int redis_tobson(void *cnt, bson *b)
{
    vesk_mycustom_counter *c = counter(cnt);
    const rd_data *d = record(c->data_delta);
    if (!d || !d->ok) return 1;
    const redis_info &i = d->info;
    service_open_named(b, c);
    service_append(b, {{"ok", 1},
                       {"status", d->status},
                       {"uptime", i.uptime},
                       {"connected_clients", i.connected_clients},
                       {"total_connections_received", service_u(i.total_connections_received)},
                       {"total_commands_processed", service_u(i.total_commands_processed)},
                       {"keyspace_hits", service_u(i.keyspace_hits)},
                       {"keyspace_misses", service_u(i.keyspace_misses)},
                       {"expired_keys", service_u(i.expired_keys)},
                       {"evicted_keys", service_u(i.evicted_keys)},
                       {"connected_slaves", i.connected_slaves}});
    // Only a replica has a link to its master.
    if (i.replica_role.starts_with("slave")) service_append(b, {{"master_link_status", i.master_link_status}});
    service_append(b, {{"master_sync_left_bytes", i.master_sync_left_bytes},
                       {"rdb_last_bgsave_status", i.rdb_last_bgsave_status},
                       {"memused", service_u(i.used_memory)},
                       {"keys", i.num_of_keys}});
    service_close(b);
    return 1;
}

int redis_dump(void *cnt)
{
    vesk_mycustom_counter *c = counter(cnt);
    printf("MyCustom %s report %s :\n", c->report, c->id);
    const rd_data *d = record(c->data_delta);
    if (!d) return 1;
    const redis_info &i = d->info;
    auto n = [](uint32_t v) { return static_cast<int>(v); };
    printf("Redis %s (%s:%d):\n", "", d->host.c_str(), n(d->port));
    printf("  status: %d\n", n(d->status));
    printf("  uptime: %d\n", n(i.uptime));
    printf("  connected clients: %d\n", n(i.connected_clients));
    printf("  total connections received: %" PRIu64 "\n", i.total_connections_received);
    printf("  total commands processed: %" PRIu64 "\n", i.total_commands_processed);
    printf("  keyspace hits: %" PRIu64 "\n", i.keyspace_hits);
    printf("  keyspace_misses: %" PRIu64 "\n", i.keyspace_misses);
    printf("  expired keys: %" PRIu64 "\n", i.expired_keys);
    printf("  evicted keys: %" PRIu64 "\n", i.evicted_keys);
    printf("  rdb last bg save: %d\n", n(i.rdb_last_bgsave_status));
    printf("  memory used: %" PRIu64 "\n", i.used_memory);
    printf("  number of keys: %d\n", n(i.num_of_keys));
    printf("# Replication:\n");
    printf("  role: %s\n", i.replica_role.c_str());
    printf("  status: %d\n", n(i.master_link_status));
    printf("  connected slaves: %d\n", n(i.connected_slaves));
    printf("  master_sync_in_progress: %d\n", n(i.master_sync_in_progress));
    printf("  master_sync_left_bytes: %d\n", n(i.master_sync_left_bytes));
    return 1;
}

int redis_free(void *cnt) { return service_free<rd_data>(cnt); }
