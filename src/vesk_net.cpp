// The net counter: interfaces from /proc/net/dev and their rates.
#include "vesk_net.hpp"

#include <cerrno>
#include <cstdio>
#include <new>

#include "bson.hpp"
#include "encoding.hpp"
#include "mycustom.hpp"
#include "vesk_config.hpp"

namespace {

vesk_mycustom_counter *counter(void *cnt) { return static_cast<vesk_mycustom_counter *>(cnt); }
vesk_mycustom_data_net *net_data(void *p) { return static_cast<vesk_mycustom_data_net *>(p); }

// Receive bytes are the first number after the name, transmit bytes the ninth.
constexpr int kRxBytes = 0;
constexpr int kTxBytes = 8;

} // namespace

std::vector<net_dev_row> parse_net_dev(std::string_view text)
{
    std::vector<net_dev_row> rows;
    size_t pos = 0;
    std::string_view line;
    for (int header = 0; header < 2; header++)
        if (!vesk_next_line(text, pos, line)) return rows;
    while (vesk_next_line(text, pos, line)) {
        // The name ends at the first colon, which may touch the first number.
        size_t colon = line.find(':');
        size_t at = 0;
        std::string_view name = vesk_next_word(colon == std::string_view::npos ? line : line.substr(0, colon), at);
        if (name.empty()) continue;
        net_dev_row row{.name = name};
        size_t npos = colon == std::string_view::npos ? name.data() + name.size() - line.data() : colon + 1;
        for (int i = 0; i <= kTxBytes; i++) {
            uint64_t v = 0;
            if (!vesk_parse_u64(vesk_next_word(line, npos), v)) break;
            if (i == kRxBytes) row.rbytes = v;
            if (i == kTxBytes) row.sbytes = v;
        }
        rows.push_back(row);
    }
    return rows;
}

int net_init(void *cnt)
{
    vesk_mycustom_counter *c = counter(cnt);
    sys_allocate<vesk_mycustom_data_net>(c, true);
    vesk_copy(c->report, "net");
    return 1;
}

int net_update(void *cnt)
{
    vesk_mycustom_data_net *d = net_data(counter(cnt)->data);
    std::string text;
    if (!vesk_read_file(get_proc_path("/proc/net/dev"), text)) {
        d->ok = 0;
        return 0;
    }
    d->list.clear();
    try {
        for (const net_dev_row &row : parse_net_dev(text)) {
            std::string name = vesk_report_text(row.name, VESK_DEVNAME_MAX);
            if (in_excludelist(name.c_str(), config.interface_exclude_masks, config.interface_exclude_masks_count))
                continue;
            // An interface listed twice is read once, from its first line.
            if (d->list.find(name)) continue;
            d->list.append({.ok = d->ok, .device = std::move(name), .sbytes = row.sbytes, .rbytes = row.rbytes});
        }
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        printf("failed to malloc: %s: %m", "net_update");
        d->ok = 0;
        return 0;
    }
    d->ok = 1;
    return 1;
}

int net_delta(void *cnt, uint32_t span_ms, uint64_t iteration)
{
    vesk_mycustom_counter *c = counter(cnt);
    vesk_paired_delta(*net_data(c->data), *net_data(c->data_prev), *net_data(c->data_delta), iteration,
                      [span_ms](const mibnet &cur, const mibnet &old, mibnet &out) {
                          out.rbytes = vesk_counter_rate(cur.rbytes, old.rbytes, span_ms);
                          out.sbytes = vesk_counter_rate(cur.sbytes, old.sbytes, span_ms);
                      });
    return 1;
}

int net_tobson(void *cnt, bson *b)
{
    vesk_devlist_tobson(b, "net", net_data(counter(cnt)->data_delta), [b](const mibnet &e) {
        // Bits per second.
        vesk_bson_append_long(b, "rbytes", static_cast<int64_t>(e.rbytes * 8));
        vesk_bson_append_long(b, "sbytes", static_cast<int64_t>(e.sbytes * 8));
    });
    return 1;
}

int net_dump(void *cnt)
{
    vesk_mycustom_counter *c = counter(cnt);
    // A counter registered without a delta (run once, --ifs) shows the sample it read.
    const vesk_mycustom_data_net *d = net_data(c->delta ? c->data_delta : c->data);
    if (!d) return 1;
    sys_dump_header(c, d->ok);
    printf("\tNet interfaces:\n");
    for (const mibnet &e : d->list.entries) {
        printf("\tok = %d\n", e.ok);
        printf("\tdev = %s\n", e.device.c_str());
        printf("\tbytes read = %lu\n", static_cast<unsigned long>(e.rbytes));
        printf("\tbytes write = %lu\n", static_cast<unsigned long>(e.sbytes));
    }
    return 1;
}

int net_free(void *cnt)
{
    sys_release<vesk_mycustom_data_net>(static_cast<vesk_mycustom_counter *>(cnt));
    return 1;
}
