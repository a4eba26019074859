// Transport of the reports to the collector: address update, signature, UDP or
// TCP send, and the copy of the last packet.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr const char *VESK_DUMP_FILE = "/tmp/vesk.last";

// A collector under this domain is resolved through the public resolvers below
// when no name server is configured.
inline constexpr const char *VESK_BUILTIN_COLLECTOR_DOMAIN = "collector.vesk.io";
inline constexpr int dns_servers_hard_count = 4;
inline constexpr char dns_servers_hard[dns_servers_hard_count][256] = {
    "1.1.1.1", "1.0.0.1",        // Cloudflare
    "9.9.9.9", "149.112.112.112" // Quad9
};

// Builds, signs and sends one report.
void send_data();
// Refreshes config.serverIp from config.serverName, when one is configured.
void update_ip();
// System resolver: the first IPv4 address of hostname as dotted text into ip
// (16 bytes). 0 on success; 1, with ip unchanged, when there is none.
int hostname_to_ip(const char *hostname, char *ip);
void send_data_tcp();
void send_data_udp(uint8_t *msg, uint32_t len);
// Local IPv4 address of a connected socket, host byte order; 0 when unknown.
unsigned long get_socket_local_ip(int sockfd);
// raw XOR the first eight hex digits of key_data, read as a sign-extended 32-bit
// number; 0 when key_data is null or shorter than eight characters.
unsigned long encrypt_long(unsigned long raw, const char *key_data);

// The name servers to ask for a collector name: the configured ones, or the
// built-in ones for a name under the built-in collector domain when none is
// configured. count 0 means the system resolver.
struct vesk_name_servers {
    const char (*list)[256];
    int count;
};
vesk_name_servers choose_name_servers(const char *serverName, const char (*configured)[256], int configured_count);

// Writes the packet to path without following a symbolic link, mode 0600, only
// into a regular file of ours. 0 when written, else -1 with errno set (EPERM for a
// file that is not ours to write).
int vesk_write_dump(const char *path, const uint8_t *packet, size_t len);
