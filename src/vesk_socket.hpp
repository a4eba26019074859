// The socket counter: the kernel's socket totals.
#pragma once

#include <cstdint>
#include <string_view>

#include "vesk_types.hpp"

struct vesk_mycustom_data_socket {
    int ok = 0;
    uint32_t tcp_inuse = 0;
    uint32_t tcp_tw = 0;
    uint32_t tcp_orphan = 0;
    // Cleared by every update; nothing fills or reports them.
    uint32_t tcp_syn = 0;
    uint32_t tcp_ack = 0;
    uint32_t tcp_fin = 0;
    uint32_t tcp_close = 0;
    uint32_t tcp_est = 0;
    uint32_t udp_inuse = 0;
};

// Reads the "TCP:" and "UDP:" lines of /proc/net/sockstat text into `d`. A count that
// its line lacks keeps the value it had.
void parse_sockstat(std::string_view text, vesk_mycustom_data_socket &d);

int socket_init(void *cnt);
int socket_update(void *cnt);
int socket_tobson(void *cnt, bson *b);
int socket_dump(void *cnt);
int socket_free(void *cnt);
