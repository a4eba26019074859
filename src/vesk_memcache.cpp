// The Memcached counter: its configuration, the "stats" exchange and reply, and its operations.
#include "vesk_memcache.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstdio>

#include "bson.hpp"
#include "encoding.hpp"
#include "mycustom.hpp"
#include "vesk_config.hpp"
#include "vesk_devlist.hpp"
#include "vesk_service.hpp"

namespace {

using mc_data = vesk_mycustom_data_memcache;

vesk_mycustom_counter *counter(void *cnt) { return static_cast<vesk_mycustom_counter *>(cnt); }
mc_data *record(void *p) { return static_cast<mc_data *>(p); }

constexpr struct {
    std::string_view name;
    uint64_t memcache_stats::*field;
} kStats[] = {
    {"cmd_get", &memcache_stats::get},           {"cmd_set", &memcache_stats::set},
    {"get_misses", &memcache_stats::misses},     {"get_hits", &memcache_stats::hits},
    {"evictions", &memcache_stats::evictions},   {"curr_connections", &memcache_stats::connections},
    {"bytes_read", &memcache_stats::read},       {"bytes_written", &memcache_stats::write},
    {"bytes", &memcache_stats::bytes},           {"limit_maxbytes", &memcache_stats::max_bytes},
};

// The counts reported per minute; the rest are reported as read.
constexpr uint64_t memcache_stats::*kRates[] = {
    &memcache_stats::get,       &memcache_stats::set,  &memcache_stats::misses, &memcache_stats::hits,
    &memcache_stats::evictions, &memcache_stats::read, &memcache_stats::write,
};

// This update's connection; none once its failure is told.
unique_fd memcache_connect(const mc_data &d)
{
    service_conn c;
    if (!d.socket.empty()) {
        // A socket path wins over a container name.
        c = service_connect_unix(d.socket, config.counter_tcp_to);
        if (c.failed == service_fail::socket) printf("Memcached: connect to socket failed");
        else if (c.failed == service_fail::timeout) service_perror("setsockopt() failed", c.error);
        else if (c.failed == service_fail::connect) service_perror("Memcache socket connect failed", c.error);
    } else {
        std::optional<std::string> host = service_address(d.in_docker, d.docker_container_name, d.ip, "memcache");
        if (!host) return {};
        // A text that is not a dotted address leaves the address 0.0.0.0.
        c = service_connect_tcp(service_ipv4(*host).value_or(in_addr{}), d.port, config.counter_tcp_to);
        if (c.failed == service_fail::socket) service_perror("socket() failed", c.error);
        else if (c.failed == service_fail::timeout) service_perror("setsockopt() failed", c.error);
    }
    return std::move(c.fd);
}

// The server's answer to "stats", or none once the failure is told.
std::optional<std::string> memcache_exchange(const mc_data &d)
{
    unique_fd fd = memcache_connect(d);
    if (!fd) return std::nullopt;
    service_clock::time_point deadline = service_deadline(config.counter_tcp_to);
    if (!service_send(fd.get(), "stats\r\n")) {
        service_perror("write() failed", errno);
        return std::nullopt;
    }
    service_reply r = service_read(fd.get(), MEMCACHE_REPLY_MAX, deadline, memcache_reply_complete);
    if (r.end == service_end::error) {
        service_perror("read() failed", r.error);
        return std::nullopt;
    }
    if (r.data.empty()) {
        if (r.end == service_end::timeout) service_perror("read() failed", EAGAIN);
        return std::nullopt;
    }
    return std::move(r.data);
}

} // namespace

std::optional<memcache_stats> parse_memcache_stats(std::string_view reply, const memcache_stats &before)
{
    if (!reply.starts_with("STAT ")) return std::nullopt;
    memcache_stats s = before;
    std::string_view text = service_whole_lines(reply), line;
    for (size_t pos = 0; vesk_next_line(text, pos, line);) {
        if (!line.starts_with("STAT")) continue;
        size_t at = 0;
        vesk_next_word(line, at);
        std::string_view name = vesk_next_word(line, at);
        for (const auto &k : kStats) {
            if (name != k.name) continue;
            uint64_t v = 0; // a name without a number stores 0
            vesk_parse_u64(vesk_next_word(line, at), v);
            s.*k.field = v;
        }
    }
    return s;
}

bool memcache_reply_complete(std::string_view reply)
{
    if (reply.starts_with("STAT ")) return reply.ends_with("\r\nEND\r\n");
    return reply.find('\n') != std::string_view::npos;
}

std::optional<std::string> memcache_parse_conf(char *conf, char (&id)[256], vesk_mycustom_data_memcache &d)
{
    vesk_copy(id, conf);
    // No user or password here, so '@' is an ordinary character.
    service_words w = service_parse_words(conf, false);
    d.ip = w.word(0);
    service_endpoint ep = service_port_or_socket(w.word(1));
    d.port = ep.port;
    d.socket = std::move(ep.socket);
    service_set_container(d, d.ip);
    // Over a Unix socket the first word plays no part.
    if (!d.socket.empty()) return std::nullopt;
    return service_endpoint_problem(d.ip, w.word(1), true);
}

int memcache_init1(void *cnt)
{
    vesk_mycustom_counter *c = counter(cnt);
    sys_allocate<mc_data>(c, true);
    vesk_copy(c->report, "Memcache");
    mc_data &d = *record(c->data);
    if (std::optional<std::string> why = memcache_parse_conf(c->cfg_string, c->id, d)) {
        service_refuse<mc_data>(c, "memcache", *why);
        return 1;
    }
    if (d.in_docker)
        printf("Memcache %s init with docker = %s, port = %d\n", c->id, d.docker_container_name.c_str(), d.port);
    else
        printf("Memcache %s init with ip = %s  port = %d, socket = %s\n", c->id, d.ip.c_str(), d.port,
               d.socket.c_str());
    return 1;
}

int memcache_update(void *cnt)
{
    mc_data *d = record(counter(cnt)->data);
    if (!d) return 0;
    std::optional<std::string> reply = memcache_exchange(*d);
    std::optional<memcache_stats> s = reply ? parse_memcache_stats(*reply, d->stats) : std::nullopt;
    if (s) d->stats = *s;
    d->ok = s ? 1 : 0;
    return d->ok;
}

int memcache_delta(void *cnt, uint32_t span_ms, uint64_t iteration)
{
    return service_delta<mc_data>(counter(cnt), iteration, [span_ms](const mc_data &cur, const mc_data &prev, mc_data &out) {
        for (auto f : kRates) out.stats.*f = service_rate(cur.stats.*f, prev.stats.*f, span_ms);
    });
}

int memcache_tobson(void *cnt, bson *b)
{
    vesk_mycustom_counter *c = counter(cnt);
    const mc_data *d = record(c->data_delta);
    if (!d || !d->ok) return 1;
    const memcache_stats &s = d->stats;
    service_open_named(b, c);
    service_append(b, {{"ok", 1},
                       {"get", service_u(s.get)},
                       {"set", service_u(s.set)},
                       {"misses", service_u(s.misses)},
                       {"hits", service_u(s.hits)},
                       {"evictions", service_u(s.evictions)},
                       {"connections", service_u(s.connections)},
                       {"read", service_u(s.read)},
                       {"write", service_u(s.write)},
                       {"bytes", service_u(s.bytes)},
                       {"max_bytes", service_u(s.max_bytes)}});
    service_close(b);
    return 1;
}

int memcache_dump(void *cnt)
{
    vesk_mycustom_counter *c = counter(cnt);
    printf("MyCustom %s report %s :\n", c->report, c->id);
    const mc_data *d = record(c->data_delta);
    if (!d) return 1;
    const memcache_stats &s = d->stats;
    printf("  get/hits/misses: %" PRIu64 " %" PRIu64 " %" PRIu64 "\n", s.get, s.hits, s.misses);
    printf("  set: %" PRIu64 "\n", s.set);
    printf("  evictions: %" PRIu64 "\n", s.evictions);
    printf("  connections: %" PRIu64 "\n", s.connections);
    printf("  read/write: %" PRIu64 " %" PRIu64 "\n", s.read, s.write);
    printf("  bytes/max_bytes: %" PRIu64 " %" PRIu64 "\n", s.bytes, s.max_bytes);
    return 1;
}

int memcache_free(void *cnt) { return service_free<mc_data>(cnt); }
