// The Beanstalkd counter: its configuration, the "stats" exchange and reply, and its operations.
#include "vesk_beanstalk.hpp"

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

using bs_data = vesk_mycustom_data_beanstalk;

vesk_mycustom_counter *counter(void *cnt) { return static_cast<vesk_mycustom_counter *>(cnt); }
bs_data *record(void *p) { return static_cast<bs_data *>(p); }

constexpr struct {
    std::string_view key;
    uint64_t beanstalk_stats::*field;
} kKeys[] = {
    {"uptime:", &beanstalk_stats::uptime},   {"current-connections:", &beanstalk_stats::connections},
    {"cmd-put:", &beanstalk_stats::put},     {"cmd-delete:", &beanstalk_stats::cdelete},
    {"job-timeouts:", &beanstalk_stats::timeout}, {"total-jobs:", &beanstalk_stats::jobs},
};

constexpr uint64_t beanstalk_stats::*kRates[] = {&beanstalk_stats::put, &beanstalk_stats::cdelete,
                                                 &beanstalk_stats::timeout};

// The server's answer to "stats"; none on any failure.
std::optional<std::string> beanstalk_exchange(const bs_data &d)
{
    // A text that is not a dotted address leaves the address 0.0.0.0.
    service_conn c = service_connect_tcp(service_ipv4(d.ip).value_or(in_addr{}), d.port, config.counter_tcp_to);
    if (c.failed == service_fail::timeout) printf("setsockopt failed\n");
    if (!c) return std::nullopt;
    service_clock::time_point deadline = service_deadline(config.counter_tcp_to);
    if (!service_send(c.fd.get(), "stats\r\n")) return std::nullopt;
    service_reply r = service_read(c.fd.get(), BEANSTALK_REPLY_MAX, deadline, beanstalk_reply_complete);
    if (r.end == service_end::error) return std::nullopt;
    return std::move(r.data);
}

} // namespace

std::optional<beanstalk_stats> parse_beanstalk_stats(std::string_view reply, const beanstalk_stats &before)
{
    std::optional<service_sized_body> ok = service_sized_reply(reply, "OK ");
    if (!ok) return std::nullopt;
    beanstalk_stats s = before;
    std::string_view text = ok->whole ? ok->body : service_whole_lines(ok->body), line;
    for (size_t pos = 0; vesk_next_line(text, pos, line);) {
        size_t at = 0;
        std::string_view word = vesk_next_word(line, at);
        for (const auto &k : kKeys) {
            if (word != k.key) continue;
            uint64_t v = 0; // a key without a number stores 0
            vesk_parse_u64(vesk_next_word(line, at), v);
            s.*k.field = v;
        }
    }
    return s;
}

bool beanstalk_reply_complete(std::string_view reply) { return service_sized_complete(reply, "OK "); }

std::optional<std::string> beanstalk_parse_conf(char *conf, char (&id)[256], std::string &ip, int32_t &port)
{
    vesk_copy(id, conf);
    service_words w = service_parse_words(conf, false);
    ip = w.word(0);
    port = static_cast<int32_t>(strtol(w.word(1).c_str(), nullptr, 10));
    return service_endpoint_problem(ip, w.word(1), false);
}

int beanstalk_init1(void *cnt)
{
    vesk_mycustom_counter *c = counter(cnt);
    sys_allocate<bs_data>(c, true);
    vesk_copy(c->report, "Beanstalk");
    bs_data &d = *record(c->data);
    if (std::optional<std::string> why = beanstalk_parse_conf(c->cfg_string, c->id, d.ip, d.port)) {
        service_refuse<bs_data>(c, "beanstalk", *why);
        return 1;
    }
    printf("Beanstalk %s init with ip = %s  port = %d \n", c->id, d.ip.c_str(), d.port);
    return 1;
}

int beanstalk_update(void *cnt)
{
    bs_data *d = record(counter(cnt)->data);
    if (!d) return 0;
    std::optional<std::string> reply = beanstalk_exchange(*d);
    std::optional<beanstalk_stats> s = reply ? parse_beanstalk_stats(*reply, d->stats) : std::nullopt;
    if (s) d->stats = *s;
    d->ok = s ? 1 : 0;
    return d->ok;
}

int beanstalk_delta(void *cnt, uint32_t span_ms, uint64_t iteration)
{
    return service_delta<bs_data>(counter(cnt), iteration, [span_ms](const bs_data &cur, const bs_data &prev, bs_data &out) {
        for (auto f : kRates) out.stats.*f = service_rate(cur.stats.*f, prev.stats.*f, span_ms);
    });
}

int beanstalk_tobson(void *cnt, bson *b)
{
    vesk_mycustom_counter *c = counter(cnt);
    const bs_data *d = record(c->data_delta);
    if (!d || !d->ok) return 1;
    const beanstalk_stats &s = d->stats;
    service_open_named(b, c);
    service_append(b, {{"ok", 1},
                       {"put", service_u(s.put)},
                       {"cdelete", service_u(s.cdelete)},
                       {"uptime", service_u(s.uptime)},
                       {"timeout", service_u(s.timeout)},
                       {"connections", service_u(s.connections)}});
    service_close(b);
    return 1;
}

int beanstalk_dump(void *cnt)
{
    vesk_mycustom_counter *c = counter(cnt);
    printf("MyCustom %s report %s :\n", c->report, c->id);
    const bs_data *d = record(c->data_delta);
    if (!d) return 1;
    const beanstalk_stats &s = d->stats;
    printf("  put/delete/jobs: %" PRIu64 " %" PRIu64 " %" PRIu64 "\n", s.put, s.cdelete, s.jobs);
    printf("  connections: %" PRIu64 "\n", s.connections);
    printf("  uptime/timeout: %" PRIu64 " %" PRIu64 "\n", s.uptime, s.timeout);
    return 1;
}

int beanstalk_free(void *cnt) { return service_free<bs_data>(cnt); }
