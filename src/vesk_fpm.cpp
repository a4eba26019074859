// The PHP-FPM counter: its configuration, the status page over FastCGI, and its operations.
#include "vesk_fpm.hpp"

#include <cctype>
#include <cstdio>

#include "bson.hpp"
#include "encoding.hpp"
#include "fcgi_header.hpp"
#include "vesk_config.hpp"
#include "vesk_devlist.hpp"
#include "vesk_http.hpp"
#include "vesk_service.hpp"

namespace {

using data_t = vesk_mycustom_data_fpm;

// Raw answer bytes read at most; the STDOUT stream is kept up to half of it.
constexpr size_t kAnswerCap = 128 * 1024;

vesk_mycustom_counter *counter(void *cnt) { return static_cast<vesk_mycustom_counter *>(cnt); }

unique_fd connect_unix(const data_t &d)
{
    service_conn c = service_connect_unix(d.socket, config.counter_tcp_to);
    if (c.failed == service_fail::socket) service_perror("fpm socket", c.error);
    else if (c.failed == service_fail::timeout) service_perror("fpm socket setsockopt SO_RCVTIMEO failed", c.error);
    else if (c.failed == service_fail::connect) service_perror("fpm socket connect failed", c.error);
    return std::move(c.fd);
}

unique_fd connect_tcp(const std::string &address, int port)
{
    // A text that is not a dotted address leaves 0.0.0.0.
    service_conn c = service_connect_tcp(service_ipv4(address).value_or(in_addr{}), port, config.counter_tcp_to);
    if (c.failed == service_fail::socket) service_perror("[fpm] socket", c.error);
    else if (c.failed == service_fail::timeout) service_perror("[fpm] setsockopt SO_RCVTIMEO failed", c.error);
    else if (c.failed == service_fail::connect)
        service_perror(("[fpm] Cannot connect to " + address + ":" + std::to_string(port)).c_str(), c.error);
    return std::move(c.fd);
}

} // namespace

void fpm_parse_conf(char *conf, std::string &id, data_t &d)
{
    service_words w = service_parse_words(conf);
    id = w.word(0);
    d.host = w.word(1);
    service_endpoint ep = service_port_or_socket(w.word(2));
    d.port = static_cast<uint32_t>(ep.port);
    d.socket = ep.socket;
    d.status_path = w.word(3);
    service_set_container(d, d.host);
}

std::string fpm_request(const std::string &status_path)
{
    const fcgi_name_value nvs[] = {
        {"SCRIPT_FILENAME", "/vesk_asking_for_status"},
        {"SCRIPT_NAME", status_path},
        {"REQUEST_URI", status_path},
        {"REQUEST_METHOD", "GET"},
    };
    return fcgi_build_request(nvs, std::size(nvs));
}

std::optional<fpm_status> fpm_parse_res(std::string_view text)
{
    size_t body_at = http_headers_end(text);
    std::string_view headers = body_at == std::string_view::npos ? std::string_view{} : text.substr(0, body_at);
    std::string_view body = body_at == std::string_view::npos ? text : text.substr(body_at);
    if (auto status = http_header(headers, "Status")) {
        auto digit = [&](size_t i) { return isdigit(static_cast<unsigned char>((*status)[i])) != 0; };
        if (status->size() < 3 || (*status)[0] != '2' || !digit(1) || !digit(2)) return std::nullopt;
    }
    fpm_status st;
    bool accepted = false;
    size_t pos = 0;
    std::string_view line;
    while (vesk_next_line(body, pos, line)) {
        if (auto v = service_line_number(line, "accepted conn:")) {
            st.accepted = static_cast<double>(*v);
            accepted = true;
        } else if (auto active = service_line_number(line, "active processes:")) {
            st.active = *active;
        } else if (auto idle = service_line_number(line, "idle processes:")) {
            st.idle = *idle;
        } else if (auto total = service_line_number(line, "total processes:")) {
            st.total = *total;
        } else if (auto lqueue = service_line_number(line, "listen queue len:")) {
            st.lqueue = *lqueue;
        } else if (auto most = service_line_number(line, "max children reached:")) {
            st.max_children = *most;
        }
    }
    if (!accepted) return std::nullopt;
    return st;
}

int fpm_init(void *cnt)
{
    auto *c = counter(cnt);
    sys_allocate<data_t>(c, true);
    vesk_copy(c->report, "FPM");
    auto *d = static_cast<data_t *>(c->data);
    std::string id;
    fpm_parse_conf(c->cfg_string, id, *d);
    vesk_copy(c->id, id);
    printf("FPM %s init with host: %s port: %d  status: %s socket: %s\n", c->id, d->host.c_str(),
           static_cast<int>(d->port), d->status_path.c_str(), d->socket.c_str());
    if (d->socket.size() > 107) printf("[fpm] %s: the socket path is longer than 107 bytes\n", c->id);
    return 1;
}

int fpm_update(void *cnt)
{
    auto *c = counter(cnt);
    auto *d = static_cast<data_t *>(c->data);
    d->ok = 0;
    auto deadline = service_deadline(config.counter_tcp_to);
    unique_fd fd;
    if (!d->socket.empty()) {
        fd = connect_unix(*d);
    } else {
        auto address = service_address(d->in_docker, d->docker_container_name, d->host, "fpm");
        if (!address) return 0;
        fd = connect_tcp(*address, static_cast<int>(d->port));
    }
    if (!fd) return 0;

    if (!service_send(fd.get(), fpm_request(d->status_path))) {
        service_perror("send", errno);
        return 0;
    }
    fcgi_reader reader(kAnswerCap / 2);
    size_t fed = 0;
    service_reply raw = service_read(fd.get(), kAnswerCap, deadline, [&](std::string_view bytes) {
        bool ended = reader.feed(bytes.substr(fed));
        fed = bytes.size();
        return ended;
    });
    fd.reset();
    const fcgi_answer &a = reader.answer();
    if (!a.ended) {
        if (raw.end == service_end::error) service_perror("recv", raw.error);
        else
            printf("[fpm] %s: %s\n", c->id,
                   raw.end == service_end::timeout ? "no whole answer in time"
                   : raw.end == service_end::full  ? "the answer is too long"
                                                   : "the connection closed before the whole answer");
        return 0;
    }
    auto st = a.too_long ? std::nullopt : fpm_parse_res(a.out);
    if (!st) {
        printf("[fpm] %s: the answer is not a status page\n", c->id);
        return 0;
    }
    d->st = *st;
    d->ok = 1;
    return 1;
}

int fpm_delta(void *cnt, uint32_t span_ms, uint64_t iteration)
{
    return service_delta<data_t>(counter(cnt), iteration, [span_ms](const data_t &cur, const data_t &prev, data_t &out) {
        out.st.accepted = service_rate_double(cur.st.accepted, prev.st.accepted, span_ms, 1);
    });
}

int fpm_tobson(void *cnt, bson *b)
{
    auto *c = counter(cnt);
    auto *d = static_cast<const data_t *>(c->data_delta);
    if (!d || !d->ok) return 1;
    service_open_mycustom(b, c);
    service_append(b, {{"ok", d->ok}});
    vesk_bson_append_double(b, "accepted", d->st.accepted);
    service_append(b, {{"active", service_u(d->st.active)},
                       {"idle", service_u(d->st.idle)},
                       {"total", service_u(d->st.total)},
                       {"lqueue", service_u(d->st.lqueue)},
                       {"max_children", service_u(d->st.max_children)}});
    service_close(b);
    return 1;
}

int fpm_dump(void *cnt)
{
    auto *c = counter(cnt);
    auto *d = static_cast<const data_t *>(c->data_delta);
    if (!d) return 1;
    sys_dump_header(c, d->ok);
    printf("\taccepted = %f\n", d->st.accepted);
    sys_dump_values({{"active", d->st.active},
                     {"idle", d->st.idle},
                     {"total", d->st.total},
                     {"lqueue", d->st.lqueue},
                     {"max_children", d->st.max_children}});
    return 1;
}

int fpm_free(void *cnt) { return service_free<data_t>(cnt); }
