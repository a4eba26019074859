// The nginx counter: the stub_status page over HTTP/1.1 with Basic credentials:
// connection counts and requests per second. The host may name a container.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vesk_types.hpp"

// The figures of one stub_status page.
struct nginx_status {
    double all = 0;         // requests handled; in data_delta: requests per second
    uint64_t active = 0;    // "Active connections"
    uint64_t reading = 0;
    uint64_t writing = 0;
    uint64_t keepalive = 0; // "Waiting"
};

struct vesk_mycustom_data_nginx {
    std::string host; // dotted IPv4, or "[container]"
    std::string user;
    std::string pass;
    std::string server;      // the Host header's value
    std::string auth64;      // Base64 of "user:pass" when both are set, else empty
    uint32_t port = 0;
    std::string request_uri; // the page's path without its leading '/'
    int ok = 0;
    int in_docker = 0;
    std::string docker_container_name;
    nginx_status st;
};

// Reads "id [user:[pass]@]host:port/uri server"; the id goes to `id`.
void nginx_parse_conf(char *conf, std::string &id, vesk_mycustom_data_nginx &d);

std::string nginx_request(const vesk_mycustom_data_nginx &d);

// The figures of a stub_status body; none without an "Active connections:" line.
std::optional<nginx_status> nginx_parse_res(std::string_view body);

int nginx_init(void *cnt);
int nginx_update(void *cnt);
int nginx_delta(void *cnt, uint32_t span_ms, uint64_t iteration);
int nginx_tobson(void *cnt, bson *b);
int nginx_dump(void *cnt);
int nginx_free(void *cnt);
