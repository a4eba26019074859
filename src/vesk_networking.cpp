// Transport: the collector's address, the signed report, the UDP or TCP send, the dump file.
#include "vesk_networking.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <udns.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "bson.hpp"
#include "encoding.hpp"
#include "vesk_bson.hpp"
#include "vesk_clock.hpp"
#include "vesk_config.hpp"
#include "vesk_log.hpp"
#include "vesk_owners.hpp"
#include "vesk_service.hpp"
#include "vesk_sign.hpp"

namespace {

// The next name server to ask; successive cycles ask the list in turn.
int dns_rr_counter = 0;

void debug_print(const char *text)
{
    if (config.debug) fputs(text, stdout);
}

// Closes udns's default context when the attempt ends.
struct dns_session {
    dns_session() { dns_reset(nullptr); }
    ~dns_session() { dns_close(nullptr); }
    dns_session(const dns_session &) = delete;
    dns_session &operator=(const dns_session &) = delete;
};

// The A records of `name` through udns's default context, or none. udns's own
// dns_resolve waits out its time-outs whatever the signals; this wait ends at the stop.
dns_rr_a4 *resolve_a4(const char *name)
{
    struct outcome {
        bool done = false;
        dns_rr_a4 *rr = nullptr;
    } o;
    auto take = [](dns_ctx *, dns_rr_a4 *rr, void *data) {
        auto *out = static_cast<outcome *>(data);
        out->rr = rr;
        out->done = true;
    };
    dns_query *q = dns_submit_a4(nullptr, name, 0, take, &o);
    if (!q) return nullptr;
    const int fd = dns_sock(nullptr);
    while (!o.done) {
        if (stop) {
            // A cancelled query is the caller's to free; an ended one the library frees.
            dns_cancel(nullptr, q);
            free(q);
            return nullptr;
        }
        // Retries and gives up the query when its time comes; -1 once none is left.
        const int wait_s = dns_timeouts(nullptr, -1, time(nullptr));
        if (wait_s < 0) break;
        // A stop that lands right after the test above still ends this wait.
        pollfd p{fd, POLLIN, 0};
        if (vesk_ppoll(&p, 1, wait_s * 1000LL) > 0) dns_ioevent(nullptr, time(nullptr));
    }
    return o.rr;
}

// One attempt through the name server at `server` (a name or an address).
void resolve_through(const char *server)
{
    char server_ip[16];
    if (hostname_to_ip(server, server_ip) != 0) {
        printf("error 3");
        return;
    }
    dns_session session;
    dns_add_serv(nullptr, server_ip);
    unique_malloc<dns_rr_a4> answer;
    if (dns_open(nullptr) >= 0) answer.reset(resolve_a4(config.serverName));
    if (stop) return; // the lookup was given up, and the report goes nowhere
    if (!answer) {
        printf("error 2");
    } else if (answer->dnsa4_nrr < 1) {
        printf("error 1");
    } else {
        char ip[INET_ADDRSTRLEN];
        if (inet_ntop(AF_INET, &answer->dnsa4_addr[0], ip, sizeof ip)) vesk_copy(config.serverIp, ip);
        if (config.debug) printf("%s", config.serverIp);
    }
}

// The text the packet goes to: the resolved address, else the configured one.
const char *destination_text() { return config.serverIp[0] ? config.serverIp : config.defaultServerIp; }

sockaddr_in destination()
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(config.port));
    if (inet_pton(AF_INET, destination_text(), &sa.sin_addr) != 1) sa.sin_addr.s_addr = 0;
    return sa;
}

void write_dump(const uint8_t *packet, uint32_t len)
{
    if (!config.dump_packages) return;
    if (vesk_write_dump(VESK_DUMP_FILE, packet, len) != 0) {
        // Said once: a dump that cannot be written stays so cycle after cycle.
        static bool told = false;
        if (!told) fprintf(stderr, "cannot write dump file %s: %s\n", VESK_DUMP_FILE, strerror(errno));
        told = true;
        return;
    }
    if (config.debug)
        _vesk_log(LOG_LEVEL_DEBUG, "\33[0;33m[debug] Package (%u bytes) dumped to /tmp/vesk.last\n\33[0;0m\n", len);
}

// A malloc'ed report or packet and its length; empty when it could not be made.
struct wire_buffer {
    unique_malloc<uint8_t> data;
    uint32_t len = 0;
};

wire_buffer build_report(unsigned long localAddress)
{
    wire_buffer r;
    uint8_t *report = nullptr;
    if (stats_to_bson(&report, &r.len, localAddress) != 0) return r;
    r.data.reset(report);
    if (config.debug) vesk_bson_print_raw(reinterpret_cast<const char *>(report), 3);
    return r;
}

// A datagram carries at most VESK_MAX_DATAGRAM bytes: a report that would be
// larger goes out without some of its objects rather than not at all.
void fit_datagram(wire_buffer &report)
{
    uint32_t signature = signature_length();
    if (report.len + signature <= VESK_MAX_DATAGRAM) return;
    size_t whole = size_t{report.len} + signature;
    vesk_report_cut cut = report_fit(report.data.get(), &report.len, VESK_MAX_DATAGRAM - signature);
    fprintf(stderr, "report of %zu bytes is larger than one datagram: left out %d custom objects and %d mounts\n", whole,
            cut.custom, cut.mounts);
}

wire_buffer make_packet(uint8_t *report, uint32_t len)
{
    wire_buffer p;
    uint8_t *packet = nullptr;
    if (sign(report, static_cast<int>(len), &packet, &p.len) != 0)
        printf("report not sent: the packet could not be made\n");
    p.data.reset(packet);
    return p;
}

} // namespace

vesk_name_servers choose_name_servers(const char *serverName, const char (*configured)[256], int configured_count)
{
    size_t name_len = strlen(serverName);
    size_t domain_len = strlen(VESK_BUILTIN_COLLECTOR_DOMAIN);
    bool builtin_domain =
        name_len >= domain_len && memcmp(serverName + name_len - domain_len, VESK_BUILTIN_COLLECTOR_DOMAIN, domain_len) == 0;
    if (builtin_domain && configured_count == 0) return {dns_servers_hard, dns_servers_hard_count};
    return {configured, configured_count};
}

int hostname_to_ip(const char *hostname, char *ip)
{
    hostent *he = gethostbyname(hostname);
    if (!he || he->h_addrtype != AF_INET || !he->h_addr_list || !he->h_addr_list[0]) return 1;
    char text[INET_ADDRSTRLEN];
    if (!inet_ntop(AF_INET, he->h_addr_list[0], text, sizeof text)) return 1;
    strcpy(ip, text); // at most 15 characters and the terminator
    return 0;
}

void update_ip()
{
    if (config.serverName[0] == '\0') return;
    int count = config.dns_servers_count < 0 ? 0 : config.dns_servers_count;
    if (count > VESK_MAX_DNS_SERVERS) count = VESK_MAX_DNS_SERVERS;
    vesk_name_servers ns = choose_name_servers(config.serverName, config.dns_servers, count);
    if (ns.count == 0) {
        debug_print("Updating server ip via local dns... ");
        hostname_to_ip(config.serverName, config.serverIp);
        if (config.debug) printf("%s ... done \n", config.serverIp);
        return;
    }
    // The counter is shared by both lists; keep it inside the one in use.
    if (dns_rr_counter >= ns.count || dns_rr_counter < 0) dns_rr_counter = 0;
    const char *server = ns.list[dns_rr_counter];
    if (config.debug) printf("Updating server ip via %s... ", server);
    resolve_through(server);
    dns_rr_counter = (dns_rr_counter + 1) % ns.count;
    debug_print(" ... done \n");
}

unsigned long get_socket_local_ip(int sockfd)
{
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getsockname(sockfd, reinterpret_cast<sockaddr *>(&sa), &len) != 0 || sa.sin_family != AF_INET) return 0;
    if (config.debug) {
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
        printf("Raw IP: %ld\nString IP: '%s'\n", static_cast<long>(sa.sin_addr.s_addr), text);
    }
    return ntohl(sa.sin_addr.s_addr);
}

unsigned long encrypt_long(unsigned long raw, const char *key_data)
{
    if (!key_data || strnlen(key_data, 8) < 8) return 0;
    // Mask bytes are read pair by pair; the first pair that is not two hex digits
    // ends the reading, and the bytes not read stay 0.
    uint32_t mask = 0;
    for (int k = 0; k < 4; k++) {
        int hi = vesk_hex_digit(key_data[2 * k]);
        int lo = vesk_hex_digit(key_data[2 * k + 1]);
        if (hi < 0 || lo < 0) break;
        mask |= static_cast<uint32_t>(hi << 4 | lo) << (24 - 8 * k);
    }
    auto extended = static_cast<int64_t>(static_cast<int32_t>(mask));
    return raw ^ static_cast<unsigned long>(extended);
}

int vesk_write_dump(const char *path, const uint8_t *packet, size_t len)
{
    // /tmp is shared with every user: never follow a link, never truncate or
    // write a file someone else prepared, and keep the secret-bearing copy private.
    unique_fd fd(open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) return -1;
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return -1;
    if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1) {
        errno = EPERM;
        return -1;
    }
    if (fchmod(fd.get(), 0600) != 0 || ftruncate(fd.get(), 0) != 0) return -1;
    return vesk_put_all(::write, fd.get(), packet, len) ? 0 : -1;
}

void send_data_udp(uint8_t *msg, uint32_t len)
{
    unique_fd s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
    if (!s) {
        printf("sending via udp FAILED %d\n", errno);
        return;
    }
    sockaddr_in dest = destination();
    wire_buffer packet = make_packet(msg, len);
    if (!packet.data) return;
    if (config.debug) printf("sending via UDP to %s:%d ...", destination_text(), config.port);
    if (sendto(s.get(), packet.data.get(), packet.len, 0, reinterpret_cast<sockaddr *>(&dest), sizeof dest) < 0) {
        printf("sending via udp FAILED %d\n", errno);
        return;
    }
    debug_print("DONE\n");
    write_dump(packet.data.get(), packet.len);
}

void send_data_tcp()
{
    unique_fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    timeval tv{};
    tv.tv_sec = config.server_tcp_to;
    if (!s || setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 ||
        setsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
        printf("setsockopt failed\n");
        return;
    }
    // Bounded by the send time-out as a blocking connect, and ended by the stop.
    sockaddr_in dest = destination();
    if (int err = service_connect(s.get(), reinterpret_cast<sockaddr *>(&dest), sizeof dest)) {
        printf("could not bind socket or connect whatever (%s) %d %d\n", destination_text(), -1, err);
        return;
    }
    unsigned long local = encrypt_long(get_socket_local_ip(s.get()), config.secret);
    wire_buffer report = build_report(local);
    if (!report.data) return;
    wire_buffer packet = make_packet(report.data.get(), report.len);
    if (!packet.data) return;
    if (config.debug) printf("Sending via TCP to %s:%d ...", destination_text(), config.port);
    // As a request to a service: whole, without SIGPIPE, and ended by the stop.
    if (!service_send(s.get(), {reinterpret_cast<const char *>(packet.data.get()), packet.len})) {
        printf("sending via tcp FAILED %d\n", errno);
        return;
    }
    debug_print("DONE\n");
    write_dump(packet.data.get(), packet.len);
}

void send_data()
{
    update_ip();
    // Stopped while the collector's name was looked up: nothing more is sent.
    if (stop) return;
    if (config.proto == IPPROTO_TCP) {
        send_data_tcp();
        return;
    }
    wire_buffer report = build_report(0);
    if (!report.data) return;
    fit_datagram(report);
    send_data_udp(report.data.get(), report.len);
}
