// The Beanstalkd counter: one work-queue server's "stats" over TCP.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vesk_types.hpp"

struct beanstalk_stats {
    uint64_t put = 0;         // "cmd-put:"
    uint64_t cdelete = 0;     // "cmd-delete:"
    uint64_t jobs = 0;        // "total-jobs:" (read, not reported)
    uint64_t uptime = 0;      // "uptime:", seconds
    uint64_t timeout = 0;     // "job-timeouts:"
    uint64_t connections = 0; // "current-connections:"
};

struct vesk_mycustom_data_beanstalk {
    std::string ip; // dotted IPv4 text
    int32_t port = 0;
    int32_t ok = 0;
    beanstalk_stats stats;
};

// Most of a reply that is read.
inline constexpr size_t BEANSTALK_REPLY_MAX = 4096;

// The statistics of an "OK <n>" answer over `before`: keys it does not hold keep
// their values. None for any other answer.
std::optional<beanstalk_stats> parse_beanstalk_stats(std::string_view reply, const beanstalk_stats &before);
// Framing: "OK <n>" then n bytes; any other answer is one line.
bool beanstalk_reply_complete(std::string_view reply);

// Splits "<ip>:<port>"; the whole value becomes the id. Gives why the value cannot
// work (service_endpoint_problem), or none.
std::optional<std::string> beanstalk_parse_conf(char *conf, char (&id)[256], std::string &ip, int32_t &port);

int beanstalk_init1(void *cnt);
int beanstalk_update(void *cnt);
int beanstalk_delta(void *cnt, uint32_t span_ms, uint64_t iteration);
int beanstalk_tobson(void *cnt, bson *b);
int beanstalk_dump(void *cnt);
int beanstalk_free(void *cnt);
