// The Apache counter: mod_status's machine-readable page ("?auto") over HTTP/1.0
// with Basic credentials: workers, scoreboard slots by state, accesses per second.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vesk_types.hpp"

// The figures of one status page.
struct apache_status {
    uint64_t busyWorkers = 0;
    uint64_t idleWorkers = 0;
    uint64_t scWaiting = 0;     // '_'
    uint64_t scReading = 0;     // 'R'
    uint64_t scKeepalive = 0;   // 'K'
    uint64_t scIdlecleanup = 0; // 'I'
    uint64_t scDns = 0;         // 'D'
    uint64_t scFinishing = 0;   // 'G'
    uint64_t scClosing = 0;     // 'C'
    uint64_t scLogging = 0;     // 'L'
    uint64_t totalAccesses = 0; // in data_delta: accesses per second
};

struct vesk_mycustom_data_apache {
    std::string host;
    std::string user;
    std::string pass;
    std::string auth64; // Base64 of "user:pass" when both are set, else empty
    uint32_t port = 0;
    int ok = 0;
    apache_status st;
};

// Reads "id [user:[pass]@]host:port" (':' and '@' already counted as blanks by the
// shared reader); the id goes to `id`.
void apache_parse_conf(char *conf, std::string &id, vesk_mycustom_data_apache &d);

// The request for the page; `slashed` picks "/server-status/?auto" over "/server-status?auto".
std::string apache_request(const std::string &auth64, bool slashed);

// The figures of a status page's body; none when it holds none of the lines
// "Total Accesses:", "BusyWorkers:", "IdleWorkers:" or "Scoreboard:" (an HTML
// page, an error page, a wrong URL). Lines that are absent read 0.
std::optional<apache_status> apache_parse_res(std::string_view body);

int apache_init(void *cnt);
int apache_update(void *cnt);
int apache_delta(void *cnt, uint32_t span_ms, uint64_t iteration);
int apache_tobson(void *cnt, bson *b);
int apache_dump(void *cnt);
int apache_free(void *cnt);
