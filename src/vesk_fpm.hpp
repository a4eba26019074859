// The PHP-FPM counter: a pool's status page over FastCGI, on TCP or a Unix socket:
// accepted connections per second, process counts and the listen queue. The host
// may name a container.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vesk_types.hpp"

// The figures of one status page.
struct fpm_status {
    double accepted = 0;  // "accepted conn"; in data_delta: per second
    uint64_t active = 0;  // "active processes"
    uint64_t idle = 0;    // "idle processes"
    uint64_t total = 0;   // "total processes"
    uint64_t lqueue = 0;  // "listen queue len"
    uint64_t max_children = 0; // "max children reached"
};

struct vesk_mycustom_data_fpm {
    std::string host;   // dotted IPv4, or "[container]"
    std::string socket; // a Unix socket path; empty for TCP
    std::string server; // not used by this kind
    uint32_t port = 0;
    std::string status_path; // sent as SCRIPT_NAME and REQUEST_URI
    int ok = 0;
    int in_docker = 0;
    std::string docker_container_name;
    fpm_status st;
};

// Reads "id host:port status_path" or "id host:socket_path status_path"; the id
// goes to `id`.
void fpm_parse_conf(char *conf, std::string &id, vesk_mycustom_data_fpm &d);

// The FastCGI request for the status page at `status_path`.
std::string fpm_request(const std::string &status_path);

// The figures of the whole STDOUT stream of an answer: CGI headers, a blank line,
// the status text. None unless the text is a status page: a "Status" header other
// than 2xx, or no "accepted conn:" line, is not.
std::optional<fpm_status> fpm_parse_res(std::string_view stdout_text);

int fpm_init(void *cnt);
int fpm_update(void *cnt);
int fpm_delta(void *cnt, uint32_t span_ms, uint64_t iteration);
int fpm_tobson(void *cnt, bson *b);
int fpm_dump(void *cnt);
int fpm_free(void *cnt);
