// The nginx counter: its configuration, the stub_status request and page, and its operations.
#include "vesk_nginx.hpp"

#include <cstdio>

#include "bson.hpp"
#include "encoding.hpp"
#include "vesk_config.hpp"
#include "vesk_devlist.hpp"
#include "vesk_service.hpp"

namespace {

using data_t = vesk_mycustom_data_nginx;

vesk_mycustom_counter *counter(void *cnt) { return static_cast<vesk_mycustom_counter *>(cnt); }

int fail(data_t *d)
{
    d->ok = 0;
    printf("NGINX ERRRR :\n");
    return 0;
}

// "Reading: 0 Writing: 1 Waiting: 2": each label's number, as far as they go.
void read_states(std::string_view line, nginx_status &st)
{
    const std::pair<std::string_view, uint64_t *> labels[] = {
        {"Reading:", &st.reading}, {"Writing:", &st.writing}, {"Waiting:", &st.keepalive}};
    size_t pos = 0;
    for (const auto &[label, field] : labels) {
        if (vesk_next_word(line, pos) != label || !vesk_parse_u64(vesk_next_word(line, pos), *field)) return;
    }
}

} // namespace

void nginx_parse_conf(char *conf, std::string &id, data_t &d)
{
    bool at_sign = false, empty_password = false, after_colon = false;
    for (char *p = conf; *p; p++) {
        if (*p == ':') {
            after_colon = true;
        } else if (*p == '@' || *p == '/') {
            if (*p == '@') at_sign = true;
            if (after_colon) empty_password = true;
        } else {
            after_colon = false;
            continue;
        }
        *p = ' ';
    }
    service_words w = service_parse_words(conf);
    size_t at = 1;
    id = w.word(0);
    d.user.clear();
    d.pass.clear();
    if (at_sign) {
        d.user = w.word(at++);
        if (!empty_password) d.pass = w.word(at++);
    }
    d.host = w.word(at++);
    d.port = static_cast<uint32_t>(service_port_or_socket(w.word(at++)).port);
    d.request_uri = w.word(at++);
    d.server = w.word(at);
    service_set_container(d, d.host);
}

std::string nginx_request(const data_t &d)
{
    return "GET /" + d.request_uri + " HTTP/1.1\r\nHost:" + d.server +
           "\r\nUser-Agent: vesk-client 1.2.7\r\nAuthorization: Basic " + d.auth64 + "\r\n\r\n";
}

std::optional<nginx_status> nginx_parse_res(std::string_view body)
{
    nginx_status st;
    bool found = false, totals_next = false;
    size_t pos = 0;
    std::string_view line;
    while (vesk_next_line(body, pos, line)) {
        const bool totals = totals_next;
        totals_next = false;
        if (line.starts_with("Active connections:")) {
            size_t at = 19;
            vesk_parse_u64(vesk_next_word(line, at), st.active);
            found = true;
        } else if (line.starts_with("server accepts handled requests")) {
            totals_next = true;
        } else if (totals) {
            // accepted, handled, requests
            size_t at = 0;
            uint64_t n[3];
            int read = 0;
            while (read < 3 && vesk_parse_u64(vesk_next_word(line, at), n[read])) read++;
            if (read == 3) st.all = static_cast<double>(n[2]);
        } else if (line.starts_with("Reading:")) {
            read_states(line, st);
        }
    }
    if (!found) return std::nullopt;
    return st;
}

int nginx_init(void *cnt)
{
    auto *c = counter(cnt);
    sys_allocate<data_t>(c, true);
    vesk_copy(c->report, "Nginx");
    auto *d = static_cast<data_t *>(c->data);
    std::string id;
    nginx_parse_conf(c->cfg_string, id, *d);
    vesk_copy(c->id, id);
    d->auth64 = service_basic_credentials(d->user, d->pass);
    printf("Nginx %s init with %s %s %s %d %s %s\n", c->id, d->user.c_str(), "***", d->host.c_str(),
           static_cast<int>(d->port), d->request_uri.c_str(), "***");
    return 1;
}

int nginx_update(void *cnt)
{
    auto *c = counter(cnt);
    auto *d = static_cast<data_t *>(c->data);
    auto deadline = service_deadline(config.counter_tcp_to);
    auto address = service_address(d->in_docker, d->docker_container_name, d->host, "nginx");
    if (!address) return fail(d);
    auto body = service_http_get("nginx", c->id, *address, static_cast<int>(d->port), config.counter_tcp_to,
                                 nginx_request(*d), deadline);
    if (!body) return fail(d);
    auto st = nginx_parse_res(*body);
    if (!st) {
        printf("[nginx] %s: the answer holds no status lines\n", c->id);
        return fail(d);
    }
    d->st = *st;
    d->ok = 1;
    return 1;
}

int nginx_delta(void *cnt, uint32_t span_ms, uint64_t iteration)
{
    return service_delta<data_t>(counter(cnt), iteration, [span_ms](const data_t &cur, const data_t &prev, data_t &out) {
        out.st.all = service_rate_double(cur.st.all, prev.st.all, span_ms, 1);
    });
}

int nginx_tobson(void *cnt, bson *b)
{
    auto *c = counter(cnt);
    auto *d = static_cast<const data_t *>(c->data_delta);
    if (!d || !d->ok) return 1;
    service_open_mycustom(b, c);
    service_append(b, {{"ok", d->ok}});
    vesk_bson_append_double(b, "rps", d->st.all);
    service_append(b, {{"active", service_u(d->st.active)},
                       {"reading", service_u(d->st.reading)},
                       {"writing", service_u(d->st.writing)},
                       {"keepalive", service_u(d->st.keepalive)}});
    service_close(b);
    return 1;
}

int nginx_dump(void *cnt)
{
    auto *c = counter(cnt);
    auto *d = static_cast<const data_t *>(c->data_delta);
    if (!d) return 1;
    sys_dump_header(c, d->ok);
    printf("\tAll = %f\n", d->st.all);
    sys_dump_values({{"Active", d->st.active}, {"Reading", d->st.reading}, {"Writing", d->st.writing},
                     {"Keepalive", d->st.keepalive}});
    return 1;
}

int nginx_free(void *cnt) { return service_free<data_t>(cnt); }
