// The disk counter: block devices from sysfs, /proc/diskstats, and their rates.
#include "vesk_disk.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <memory>
#include <new>

#include "bson.hpp"
#include "encoding.hpp"
#include "mycustom.hpp"
#include "vesk_config.hpp"
#include "vesk_core.hpp"
#include "vesk_cpu.hpp"
#include "vesk_owners.hpp"

namespace {

vesk_mycustom_counter *counter(void *cnt) { return static_cast<vesk_mycustom_counter *>(cnt); }
vesk_mycustom_data_disk *disk_data(void *p) { return static_cast<vesk_mycustom_data_disk *>(p); }

struct dir_closer {
    void operator()(DIR *d) const { closedir(d); }
};

// The first character of a device's removable attribute; false when it cannot be read.
bool read_removable(int dirfd, const std::string &name)
{
    unique_fd fd(openat(dirfd, (name + "/removable").c_str(), O_RDONLY | O_CLOEXEC));
    char c = 0;
    return fd && read(fd.get(), &c, 1) == 1 && c == '1';
}

bool has_device_link(int dirfd, const std::string &name)
{
    char target[4096];
    return readlinkat(dirfd, (name + "/device").c_str(), target, sizeof target) >= 0;
}

// The names of the block devices the sysfs block directory lists, in directory
// order, that the counter reports; false when the directory cannot be opened.
bool list_block_devices(std::vector<std::string> &names)
{
    std::unique_ptr<DIR, dir_closer> dir(opendir(get_sys_path("/sys/block")));
    if (!dir) return false;
    int fd = dirfd(dir.get());
    while (struct dirent *ent = readdir(dir.get())) {
        std::string name = ent->d_name;
        // ".", ".." and entries that are no device have no device link.
        if (!has_device_link(fd, name)) continue;
        if (disk_selected(name, read_removable(fd, name))) names.push_back(std::move(name));
    }
    return true;
}

} // namespace

std::vector<diskstats_row> parse_diskstats(std::string_view text)
{
    std::vector<diskstats_row> rows;
    size_t pos = 0;
    std::string_view line;
    while (vesk_next_line(text, pos, line)) {
        size_t at = 0;
        uint64_t skip = 0;
        // Major and minor numbers, then the name.
        if (!vesk_parse_u64(vesk_next_word(line, at), skip) || !vesk_parse_u64(vesk_next_word(line, at), skip))
            continue;
        diskstats_row row{.name = vesk_next_word(line, at), .counts = {}};
        if (row.name.empty()) continue;
        // reads, merged, sectors, ms, writes, merged, sectors, ms, in progress, ms busy
        uint64_t *fields[] = {&row.counts.rbytes, nullptr, &row.counts.sRead, &row.counts.rticks,
                              &row.counts.wbytes, nullptr, &row.counts.sWritten, &row.counts.wticks,
                              nullptr, &row.counts.tticks};
        for (uint64_t *f : fields) {
            uint64_t v = 0;
            if (!vesk_parse_u64(vesk_next_word(line, at), v)) break;
            if (f) *f = v;
        }
        row.counts.ok = 1;
        rows.push_back(row);
    }
    return rows;
}

bool disk_selected(std::string_view name, bool removable)
{
    return name.starts_with("sd") || !removable;
}

double disk_mstot(uint64_t cputot, uint32_t ncpus, long ticks_per_second)
{
    // Single precision, as the collectors' history was computed.
    float ms = static_cast<float>(cputot) * 1000.0f / static_cast<float>(ticks_per_second) / static_cast<float>(ncpus);
    return static_cast<double>(ms);
}

void disk_rates(const mibdisk &cur, const mibdisk &prev, uint32_t span_ms, double mstot, mibdisk &out)
{
    for (auto f : {&mibdisk::rbytes, &mibdisk::wbytes, &mibdisk::rticks, &mibdisk::wticks, &mibdisk::tticks,
                   &mibdisk::sRead, &mibdisk::sWritten})
        out.*f = vesk_counter_rate(cur.*f, prev.*f, span_ms);
    double ops = static_cast<double>(out.rbytes) + static_cast<double>(out.wbytes);
    out.avio = ops > 0 ? static_cast<float>(static_cast<double>(out.tticks) / ops) : 0.0f;
    // Without an elapsed time from the cpu counter there is no share to give.
    double busy = static_cast<double>(out.tticks) * (span_ms / 1000.0) * 100.0 / mstot;
    out.busy = mstot > 0 && std::isfinite(busy) ? static_cast<float>(busy) : 0.0f;
}

int disk_init(void *cnt)
{
    vesk_mycustom_counter *c = counter(cnt);
    sys_allocate<vesk_mycustom_data_disk>(c, true);
    vesk_copy(c->report, "disk");
    return 1;
}

int disk_update(void *cnt)
{
    vesk_mycustom_data_disk *d = disk_data(counter(cnt)->data);
    d->list.clear();
    try {
        std::vector<std::string> names;
        std::string text;
        if (!list_block_devices(names) || !vesk_read_file(get_proc_path("/proc/diskstats"), text)) {
            d->ok = 0;
            return 0;
        }
        std::vector<diskstats_row> rows = parse_diskstats(text);
        for (const std::string &name : names) {
            mibdisk e;
            for (const diskstats_row &row : rows) {
                if (row.name != name) continue;
                e = row.counts;
                break;
            }
            e.device = vesk_report_text(name, VESK_DEVNAME_MAX);
            d->list.append(std::move(e));
        }
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        printf("failed to malloc: %s: %m", "disk_update");
        d->list.clear();
        d->ok = 0;
        return 0;
    }
    d->ok = 1;
    return 1;
}

int disk_delta(void *cnt, uint32_t span_ms, uint64_t iteration)
{
    vesk_mycustom_counter *c = counter(cnt);
    // The cpu counter's delta of this same cycle has measured the elapsed ticks.
    const auto *cpu = static_cast<const vesk_mycustom_data_cpu *>(stats.core_counters[CORE_CPU].data_delta);
    double mstot = cpu && cpu->ncpus ? disk_mstot(cpu->cputot, cpu->ncpus, sysconf(_SC_CLK_TCK)) : 0;
    vesk_paired_delta(*disk_data(c->data), *disk_data(c->data_prev), *disk_data(c->data_delta), iteration,
                      [&](const mibdisk &cur, const mibdisk &old, mibdisk &out) {
                          disk_rates(cur, old, span_ms, mstot, out);
                      });
    return 1;
}

int disk_tobson(void *cnt, bson *b)
{
    vesk_devlist_tobson(b, "disks", disk_data(counter(cnt)->data_delta), [b](const mibdisk &e) {
        vesk_bson_append_long(b, "rbytes", static_cast<int64_t>(e.rbytes));
        vesk_bson_append_long(b, "wbytes", static_cast<int64_t>(e.wbytes));
        vesk_bson_append_long(b, "rticks", static_cast<int64_t>(e.rticks));
        vesk_bson_append_long(b, "wticks", static_cast<int64_t>(e.wticks));
        vesk_bson_append_long(b, "tticks", static_cast<int64_t>(e.tticks));
        vesk_bson_append_long(b, "sread", static_cast<int64_t>(e.sRead));
        vesk_bson_append_long(b, "swrite", static_cast<int64_t>(e.sWritten));
        vesk_bson_append_double(b, "avio", e.avio);
        vesk_bson_append_double(b, "busy", e.busy);
    });
    return 1;
}

int disk_dump(void *cnt)
{
    vesk_mycustom_counter *c = counter(cnt);
    const vesk_mycustom_data_disk *d = disk_data(c->data_delta);
    if (!d) return 1;
    sys_dump_header(c, d->ok);
    for (const mibdisk &e : d->list.entries) {
        printf("\tok = %d\n", e.ok);
        printf("\tdev = %s\n", e.device.c_str());
        printf("\tops read = %lu\n", static_cast<unsigned long>(e.rbytes));
        printf("\tops write = %lu\n", static_cast<unsigned long>(e.wbytes));
        printf("\tsectors read = %lu\n", static_cast<unsigned long>(e.sRead));
        printf("\tsectors write = %lu\n", static_cast<unsigned long>(e.sWritten));
        printf("\tavio = %lf\n", static_cast<double>(e.avio));
        printf("\tbusy = %lf\n", static_cast<double>(e.busy));
    }
    return 1;
}

int disk_free(void *cnt)
{
    sys_release<vesk_mycustom_data_disk>(static_cast<vesk_mycustom_counter *>(cnt));
    return 1;
}
