// The socket counter: the kernel's socket totals from /proc/net/sockstat.
#include "vesk_socket.hpp"

#include <cstdio>
#include <initializer_list>
#include <limits>

#include "bson.hpp"
#include "encoding.hpp"
#include "mycustom.hpp"
#include "vesk_config.hpp"
#include "vesk_devlist.hpp"

namespace {

vesk_mycustom_data_socket *socket_data(void *cnt)
{
    return static_cast<vesk_mycustom_data_socket *>(static_cast<vesk_mycustom_counter *>(cnt)->data);
}

// The line is a tag and then label-and-count pairs ("TCP: inuse N orphan N tw N ...");
// takes the counts of the first pairs in order, stopping at the first that is not a
// 32-bit count.
void read_counts(std::string_view line, std::initializer_list<uint32_t *> counts)
{
    size_t pos = 0;
    vesk_next_word(line, pos);
    for (uint32_t *dst : counts) {
        vesk_next_word(line, pos);
        uint64_t v = 0;
        if (!vesk_parse_u64(vesk_next_word(line, pos), v) || v > std::numeric_limits<uint32_t>::max()) return;
        *dst = static_cast<uint32_t>(v);
    }
}

} // namespace

void parse_sockstat(std::string_view text, vesk_mycustom_data_socket &d)
{
    size_t pos = 0;
    std::string_view line;
    while (vesk_next_line(text, pos, line)) {
        if (line.starts_with("TCP:"))
            read_counts(line, {&d.tcp_inuse, &d.tcp_orphan, &d.tcp_tw});
        else if (line.starts_with("UDP:"))
            read_counts(line, {&d.udp_inuse});
    }
}

int socket_init(void *cnt)
{
    auto *c = static_cast<vesk_mycustom_counter *>(cnt);
    sys_allocate<vesk_mycustom_data_socket>(c, false);
    vesk_copy(c->report, "socket");
    return 1;
}

int socket_update(void *cnt)
{
    vesk_mycustom_data_socket *d = socket_data(cnt);
    std::string text;
    if (!vesk_read_file(get_proc_path("/proc/net/sockstat"), text)) {
        d->ok = 0;
        return 0;
    }
    d->tcp_syn = d->tcp_ack = d->tcp_fin = d->tcp_close = d->tcp_est = 0;
    parse_sockstat(text, *d);
    d->ok = 1;
    return 1;
}

int socket_tobson(void *cnt, bson *b)
{
    const vesk_mycustom_data_socket *d = socket_data(cnt);
    const bool ok = d && d->ok;
    // Collectors read these as int32 although the kernel counts are unsigned.
    vesk_bson_append_start_object(b, "socket");
    vesk_bson_append_long(b, "ok", ok ? 1 : 0);
    vesk_bson_append_int(b, "tcp_inuse", ok ? static_cast<int32_t>(d->tcp_inuse) : 0);
    vesk_bson_append_int(b, "tcp_tw", ok ? static_cast<int32_t>(d->tcp_tw) : 0);
    vesk_bson_append_int(b, "tcp_orphan", ok ? static_cast<int32_t>(d->tcp_orphan) : 0);
    vesk_bson_append_int(b, "udp_inuse", ok ? static_cast<int32_t>(d->udp_inuse) : 0);
    vesk_bson_append_finish_object(b);
    return 1;
}

int socket_dump(void *cnt)
{
    auto *c = static_cast<vesk_mycustom_counter *>(cnt);
    const vesk_mycustom_data_socket *d = socket_data(cnt);
    if (!d) return 1;
    sys_dump_header(c, d->ok);
    printf("\ttcp_inuse = %u\n", d->tcp_inuse);
    printf("\ttcp_tw = %u\n", d->tcp_tw);
    printf("\ttcp_orphan = %u\n", d->tcp_orphan);
    printf("\tudp_inuse = %u\n", d->udp_inuse);
    return 1;
}

int socket_free(void *cnt)
{
    sys_release<vesk_mycustom_data_socket>(static_cast<vesk_mycustom_counter *>(cnt));
    return 1;
}
