// The socket counter: the kernel's socket totals.
#pragma once

#include <cstdint>
#include <string_view>

#include "vesk_types.hpp"

struct vesk_mycustom_data_socket {
    int ok;
    uint32_t tcp_inuse;
    uint32_t tcp_tw;
    uint32_t tcp_orphan;
    // Cleared by every update; nothing fills or reports them.
    uint32_t tcp_syn;
    uint32_t tcp_ack;
    uint32_t tcp_fin;
    uint32_t tcp_close;
    uint32_t tcp_est;
    uint32_t udp_inuse;
};

// Reads the "TCP:" and "UDP:" lines of /proc/net/sockstat text into `d`. A count that
// its line lacks keeps the value it had.
void parse_sockstat(std::string_view text, vesk_mycustom_data_socket &d);

int socket_init(void *cnt);
int socket_update(void *cnt);
int socket_tobson(void *cnt, bson *b);
int socket_dump(void *cnt);
int socket_free(void *cnt);
