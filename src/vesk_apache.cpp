// The Apache counter: its configuration, the server-status request and page, and its operations.
#include "vesk_apache.hpp"

#include <cstdio>
#include <cstring>

#include "encoding.hpp"
#include "vesk_config.hpp"
#include "vesk_devlist.hpp"
#include "vesk_service.hpp"

namespace {

using data_t = vesk_mycustom_data_apache;

vesk_mycustom_counter *counter(void *cnt) { return static_cast<vesk_mycustom_counter *>(cnt); }


int fail()
{
    printf("APACHE ERRRR :\n");
    return 0;
}

} // namespace

void apache_parse_conf(char *conf, std::string &id, data_t &d)
{
    const bool credentials = strchr(conf, '@') != nullptr;
    service_words w = service_parse_words(conf);
    size_t at = 1;
    id = w.word(0);
    d.user.clear();
    d.pass.clear();
    if (credentials) {
        d.user = w.word(at++);
        if (!w.empty_password) d.pass = w.word(at++);
    }
    d.host = w.word(at++);
    d.port = static_cast<uint32_t>(service_port_or_socket(w.word(at)).port);
}

std::string apache_request(const std::string &auth64, bool slashed)
{
    return std::string("GET ") + (slashed ? "/server-status/?auto" : "/server-status?auto") +
           " HTTP/1.0\r\nUser-Agent: vesk-client 1.2.7\r\nAuthorization: Basic " + auth64 + "\r\n\r\n";
}

std::optional<apache_status> apache_parse_res(std::string_view body)
{
    apache_status st;
    bool found = false;
    size_t pos = 0;
    std::string_view line;
    while (vesk_next_line(body, pos, line)) {
        if (auto v = service_line_number(line, "Total Accesses:")) {
            st.totalAccesses = *v;
        } else if (auto busy = service_line_number(line, "BusyWorkers:")) {
            st.busyWorkers = *busy;
        } else if (auto idle = service_line_number(line, "IdleWorkers:")) {
            st.idleWorkers = *idle;
        } else if (line.starts_with("Scoreboard:")) {
            size_t at = 11;
            for (char slot : vesk_next_word(line, at)) {
                switch (slot) {
                case '_': st.scWaiting++; break;
                case 'R': st.scReading++; break;
                case 'K': st.scKeepalive++; break;
                case 'I': st.scIdlecleanup++; break;
                case 'D': st.scDns++; break;
                case 'G': st.scFinishing++; break;
                case 'C': st.scClosing++; break;
                case 'L': st.scLogging++; break;
                default: break;
                }
            }
        } else {
            continue;
        }
        found = true;
    }
    if (!found) return std::nullopt;
    return st;
}

int apache_init(void *cnt)
{
    auto *c = counter(cnt);
    sys_allocate<data_t>(c, true);
    vesk_copy(c->report, "Apache");
    auto *d = static_cast<data_t *>(c->data);
    std::string id;
    apache_parse_conf(c->cfg_string, id, *d);
    vesk_copy(c->id, id);
    d->auth64 = service_basic_credentials(d->user, d->pass);
    printf("Apache %s init with %s %s %s %d %s\n", c->id, d->user.c_str(), "***", d->host.c_str(),
           static_cast<int>(d->port), "***");
    return 1;
}

int apache_update(void *cnt)
{
    auto *c = counter(cnt);
    auto *d = static_cast<data_t *>(c->data);
    d->ok = 0;
    auto deadline = service_deadline(config.counter_tcp_to);
    auto body = service_http_get("apache", c->id, d->host, static_cast<int>(d->port), config.counter_tcp_to,
                                 apache_request(d->auth64, config.apacheSlashed != 0), deadline);
    if (!body) return fail();
    auto st = apache_parse_res(*body);
    if (!st) {
        printf("[apache] %s: the answer holds no status lines\n", c->id);
        return fail();
    }
    d->st = *st;
    d->ok = 1;
    return 1;
}

int apache_delta(void *cnt, uint32_t span_ms, uint64_t iteration)
{
    return service_delta<data_t>(counter(cnt), iteration, [span_ms](const data_t &cur, const data_t &prev, data_t &out) {
        out.st.totalAccesses = service_rate(cur.st.totalAccesses, prev.st.totalAccesses, span_ms, 1);
    });
}

int apache_tobson(void *cnt, bson *b)
{
    auto *c = counter(cnt);
    auto *d = static_cast<const data_t *>(c->data_delta);
    if (!d || !d->ok) return 1;
    const apache_status &s = d->st;
    service_open_mycustom(b, c);
    service_append(b, {{"ok", d->ok},
                       {"bW", service_u(s.busyWorkers)},
                       {"iW", service_u(s.idleWorkers)},
                       {"tA", service_u(s.totalAccesses)},
                       {"sc_W", service_u(s.scWaiting)},
                       {"sc_R", service_u(s.scReading)},
                       {"sc_K", service_u(s.scKeepalive)},
                       {"sc_I", service_u(s.scIdlecleanup)},
                       {"sc_D", service_u(s.scDns)},
                       {"sc_F", service_u(s.scFinishing)},
                       {"sc_C", service_u(s.scClosing)},
                       {"sc_L", service_u(s.scLogging)}});
    service_close(b);
    return 1;
}

int apache_dump(void *cnt)
{
    auto *c = counter(cnt);
    auto *d = static_cast<const data_t *>(c->data_delta);
    if (!d) return 1;
    const apache_status &s = d->st;
    sys_dump_header(c, d->ok);
    sys_dump_values({{"BusyWorkers", s.busyWorkers}, {"IdleWorkers", s.idleWorkers}, {"Total Accesses", s.totalAccesses}});
    printf("\tScoreboard main\n");
    sys_dump_values({{"\tWaiting for Connection", s.scWaiting},
                     {"\tReading Request", s.scReading},
                     {"\tKeepalive (read)", s.scKeepalive}});
    printf("\tScoreboard other\n");
    sys_dump_values({{"\tIdle cleanup of worker", s.scIdlecleanup},
                     {"\tDNS Lookup", s.scDns},
                     {"\tGracefully finishing", s.scFinishing},
                     {"\tClosing connection", s.scClosing},
                     {"\tLogging", s.scLogging}});
    return 1;
}

int apache_free(void *cnt) { return service_free<data_t>(cnt); }
