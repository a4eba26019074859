// The mount counter: the mounts chosen at start, their space and inodes.
#include "vesk_mount.hpp"

#include <mntent.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "bson.hpp"
#include "encoding.hpp"
#include "mycustom.hpp"
#include "vesk_config.hpp"
#include "vesk_owners.hpp"

const char *vesk_mtab_path = "/etc/mtab";
int (*vesk_statvfs)(const char *path, struct statvfs *st) = statvfs;

// One statvfs, asked on a thread of its own so that a mount that does not answer
// (a dead NFS server, a stalled FUSE file system) cannot hold up the cycle. The
// thread shares the record and may outlive the counter while the kernel holds it.
struct mount_probe {
    std::mutex m;
    std::condition_variable answered;
    bool done = false;
    int rc = -1;
    struct statvfs st {};
};

namespace {

vesk_mycustom_counter *counter(void *cnt) { return static_cast<vesk_mycustom_counter *>(cnt); }
vesk_mycustom_data_mount *mount_data(void *cnt)
{
    return static_cast<vesk_mycustom_data_mount *>(counter(cnt)->data);
}

struct mnt_closer {
    void operator()(FILE *f) const { endmntent(f); }
};

// Blocks × block size in MiB. The product is taken in 128 bits: a FUSE file system
// may report block counts that overflow 64 bits once multiplied.
uint64_t mib(uint64_t blocks, uint64_t block_size)
{
    unsigned __int128 bytes = static_cast<unsigned __int128>(blocks) * block_size;
    unsigned __int128 m = bytes >> 20;
    constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    return m > kMax ? kMax : static_cast<uint64_t>(m);
}

// Starts the call on a detached thread (started with the stop signals blocked, so
// they reach the main thread); null when no thread can be had. The thread
// owns its copy of the path and a share of the record, so a call that the kernel
// holds past the counter's end finishes on its own.
std::shared_ptr<mount_probe> mount_ask(const std::string &dir)
{
    auto probe = std::make_shared<mount_probe>();
    try {
        std::thread([probe, dir] {
            struct statvfs st {};
            int rc = vesk_statvfs(dir.c_str(), &st);
            std::lock_guard lock(probe->m);
            probe->rc = rc;
            probe->st = st;
            probe->done = true;
            probe->answered.notify_all();
        }).detach();
    } catch (const std::system_error &) {
        return nullptr;
    }
    return probe;
}

bool mount_answered(mount_probe &p, std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock lock(p.m);
    return p.answered.wait_until(lock, deadline, [&p] { return p.done; });
}

// How long one update pass waits for the mounts' answers: about a second, and well
// inside a short interval.
std::chrono::milliseconds mount_deadline(uint32_t interval)
{
    using std::chrono::milliseconds;
    return std::min(milliseconds(1000), milliseconds(250) * std::max<uint32_t>(interval, 1));
}

} // namespace

bool mount_selected(const char *fsname, const char *type, const char *dir, const vesk_config &conf)
{
    bool selected = strncmp(fsname, "/dev", 4) == 0 || strcmp(type, "zfs") == 0 ||
                    strncmp(type, "fuse.", 5) == 0 || (!conf.exclude_tmpfs && strcmp(fsname, "tmpfs") == 0);
    return selected && !in_excludelist(dir, conf.path_exclude_masks, conf.path_exclude_masks_count);
}

mount_sizes mount_sizes_of(const struct statvfs &st)
{
    // Block counts are in fragment-size units; f_bsize is only the preferred I/O size.
    uint64_t unit = st.f_frsize ? st.f_frsize : st.f_bsize;
    mount_sizes s;
    s.free = mib(st.f_bavail, unit);
    s.total = mib(st.f_blocks, unit);
    s.inodes_usage = st.f_files ? static_cast<double>(st.f_ffree) / static_cast<double>(st.f_files) : 0;
    s.space_usage = st.f_blocks ? static_cast<double>(st.f_bavail) / static_cast<double>(st.f_blocks) : 0;
    return s;
}

int mount_init(void *cnt)
{
    vesk_mycustom_counter *c = counter(cnt);
    sys_allocate<vesk_mycustom_data_mount>(c, false);
    auto *d = static_cast<vesk_mycustom_data_mount *>(c->data);
    vesk_copy(c->report, "Mount");
    std::unique_ptr<FILE, mnt_closer> table(setmntent(vesk_mtab_path, "r"));
    if (!table) {
        d->ok = 0;
        return 0;
    }
    try {
        // Room for the longest escaped path the kernel writes; longer lines are cut by getmntent_r.
        std::vector<char> buf(4 * 4096 * 2 + 1024);
        struct mntent ent {};
        while (getmntent_r(table.get(), &ent, buf.data(), static_cast<int>(buf.size()))) {
            if (!mount_selected(ent.mnt_fsname, ent.mnt_type, ent.mnt_dir, config)) continue;
            d->list.append({.ok = 1, .device = vesk_report_text(ent.mnt_dir, VESK_DEVNAME_MAX), .dir = ent.mnt_dir});
        }
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        printf("failed to malloc: %s: %m", "mount_init");
        d->list.clear();
        d->ok = 0;
        return 0;
    }
    d->ok = 1;
    return 1;
}

int mount_update(void *cnt)
{
    vesk_mycustom_data_mount *d = mount_data(cnt);
    // Every mount is asked at once, so mounts that stall together cost the pass one
    // deadline. A mount whose earlier call is still blocked is not asked again.
    const auto deadline = std::chrono::steady_clock::now() + mount_deadline(config.interval);
    std::vector<bool> asked(d->list.entries.size());
    {
        stop_signals_blocked blocked;
        for (size_t i = 0; i < asked.size(); i++) {
            mibmount &e = d->list.entries[i];
            if (e.probe) {
                std::lock_guard lock(e.probe->m);
                if (!e.probe->done) continue;
            }
            e.probe = mount_ask(e.dir);
            asked[i] = true;
        }
    }
    for (size_t i = 0; i < asked.size(); i++) {
        mibmount &e = d->list.entries[i];
        bool late = !asked[i] || (e.probe && !mount_answered(*e.probe, deadline));
        if (late) {
            if (asked[i]) printf("mount %s does not answer, left out of the report\n", e.device.c_str());
            e.sizes = {};
            e.ok = 0;
            continue;
        }
        e.sizes = e.probe && e.probe->rc == 0 ? mount_sizes_of(e.probe->st) : mount_sizes{};
        e.probe.reset();
        e.ok = 1;
    }
    return 1;
}

int mount_tobson(void *cnt, bson *b)
{
    vesk_devlist_tobson(b, "mounts", mount_data(cnt), [b](const mibmount &e) {
        vesk_bson_append_long(b, "free", static_cast<int64_t>(e.sizes.free));
        vesk_bson_append_long(b, "total", static_cast<int64_t>(e.sizes.total));
        vesk_bson_append_double(b, "space_perc", e.sizes.space_usage);
        vesk_bson_append_double(b, "inodes_perc", e.sizes.inodes_usage);
    });
    return 1;
}

int mount_dump(void *cnt)
{
    vesk_mycustom_counter *c = counter(cnt);
    const vesk_mycustom_data_mount *d = mount_data(cnt);
    if (!d) return 1;
    sys_dump_header(c, d->ok);
    for (const mibmount &e : d->list.entries) {
        printf("\tMount = %s\n", e.device.c_str());
        printf("\t\tok = %d\n", e.ok);
        printf("\t\ttotal = %lu\n", static_cast<unsigned long>(e.sizes.total));
        printf("\t\tfree = %lu\n", static_cast<unsigned long>(e.sizes.free));
        printf("\t\tfree perc = %lf\n", e.sizes.space_usage);
        printf("\t\tinodes free perc = %lf\n", e.sizes.inodes_usage);
    }
    return 1;
}

int mount_free(void *cnt)
{
    sys_release<vesk_mycustom_data_mount>(static_cast<vesk_mycustom_counter *>(cnt));
    return 1;
}
