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
#include <list>
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

// The mounts are asked by one worker thread that lives from pass to pass, so a mount
// that does not answer (a dead NFS server, a stalled FUSE file system) holds up only
// that thread, never the cycle. A worker held in one call for longer than
// kStuckAfter is taken for stuck: a spare goes on with the rest of the pass, and the
// stuck one ends once its call returns. Everything here is guarded by `m`; the
// threads share the record and may outlive the counter while the kernel holds them.
struct mount_pass {
    struct call {
        std::string dir;    // for statvfs; fixed at init
        bool busy = false;  // asked and not answered yet: not asked again meanwhile
        uint64_t asked = 0; // the pass it was last asked in
        uint64_t answered = 0;
        int rc = -1;
        struct statvfs st {};
    };
    struct worker {
        std::thread thread;
        bool in_call = false;
        std::chrono::steady_clock::time_point since{};
        bool replaced = false; // a spare took its place: it ends after its call
        bool ended = false;    // its thread is done and can be joined
    };

    std::mutex m;
    std::condition_variable work;     // for the workers: a pass began, or the stop
    std::condition_variable answered; // for the counter: the last answer of the pass came
    std::vector<call> calls;          // one per mount, in index order
    std::vector<size_t> queue;        // the mounts asked in this pass
    size_t next = 0;                  // the first of `queue` that no worker has taken
    size_t left = 0;                  // how many of `queue` have not answered
    uint64_t number = 0;              // of the pass
    bool stopping = false;
    std::list<worker> workers;
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

using steady = std::chrono::steady_clock;

// Far more than one statvfs takes on a file system that answers.
constexpr std::chrono::milliseconds kStuckAfter{10};

// A worker: takes the pass's mounts one after the other until the stop, or until a
// spare has taken its place.
void mount_work(std::shared_ptr<mount_pass> p, mount_pass::worker *w)
{
    std::unique_lock lock(p->m);
    while (!p->stopping && !w->replaced) {
        if (p->next == p->queue.size()) {
            p->work.wait(lock);
            continue;
        }
        mount_pass::call &c = p->calls[p->queue[p->next++]];
        const uint64_t pass = p->number;
        w->in_call = true;
        w->since = steady::now();
        lock.unlock();
        struct statvfs st {};
        int rc = vesk_statvfs(c.dir.c_str(), &st);
        lock.lock();
        w->in_call = false;
        c.busy = false;
        c.answered = pass;
        c.rc = rc;
        c.st = st;
        if (pass == p->number && --p->left == 0) p->answered.notify_one();
    }
    w->ended = true;
}

// Puts a spare in place of every worker stuck in a call and makes sure one worker
// can take mounts; false when none can (no thread to be had). Called with `m` held.
bool mount_workers_ready(const std::shared_ptr<mount_pass> &p)
{
    const auto now = steady::now();
    bool ready = false;
    for (mount_pass::worker &w : p->workers) {
        if (w.replaced || w.ended) continue;
        if (w.in_call && now - w.since >= kStuckAfter)
            w.replaced = true;
        else
            ready = true;
    }
    if (ready) return true;
    mount_pass::worker &w = p->workers.emplace_back();
    try {
        stop_signals_blocked blocked; // the stop signals go to the main thread
        w.thread = std::thread(mount_work, p, &w);
    } catch (const std::system_error &) {
        p->workers.pop_back();
        return false;
    }
    return true;
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
        if (!d->list.entries.empty()) {
            auto pass = std::make_shared<mount_pass>();
            for (const mibmount &e : d->list.entries) pass->calls.push_back({.dir = e.dir});
            pass->queue.reserve(pass->calls.size());
            d->workers.pass = std::move(pass);
        }
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        printf("failed to malloc: %s: %m", "mount_init");
        d->list.clear();
        d->workers.pass.reset();
        d->ok = 0;
        return 0;
    }
    d->ok = 1;
    return 1;
}

int mount_update(void *cnt)
{
    vesk_mycustom_data_mount *d = mount_data(cnt);
    const std::shared_ptr<mount_pass> &p = d->workers.pass;
    if (!p) return 1;
    // Every mount is asked under one deadline: a stuck worker is soon replaced, so
    // mounts that stall together cost the pass one deadline. A mount whose earlier
    // call is still blocked is not asked again.
    const auto deadline = steady::now() + mount_deadline(config.interval);
    std::list<mount_pass::worker> ended;
    std::unique_lock lock(p->m);
    for (auto it = p->workers.begin(); it != p->workers.end();) {
        auto here = it++;
        if (here->ended) ended.splice(ended.end(), p->workers, here);
    }
    const uint64_t pass = ++p->number;
    p->queue.clear();
    p->next = 0;
    for (size_t i = 0; i < p->calls.size(); i++) {
        mount_pass::call &c = p->calls[i];
        if (c.busy) continue;
        c.busy = true;
        c.asked = pass;
        p->queue.push_back(i);
    }
    p->left = p->queue.size();
    bool ready = p->left == 0 || mount_workers_ready(p);
    p->work.notify_all();
    while (ready && p->left > 0) {
        const auto now = steady::now();
        if (now >= deadline) break;
        // While mounts wait for a worker, look for a stuck one often; then only the
        // deadline counts.
        const bool waiting = p->next < p->queue.size();
        p->answered.wait_until(lock, waiting ? std::min(deadline, now + kStuckAfter) : deadline);
        if (p->next < p->queue.size()) ready = mount_workers_ready(p);
    }
    // Mounts no worker took were never asked: they are asked again in the next pass,
    // and not by a worker freed before then, which would ask them outside any pass
    // while they count as idle.
    for (size_t k = p->next; k < p->queue.size(); k++) p->calls[p->queue[k]].busy = false;
    p->queue.resize(p->next);
    std::vector<const char *> late;
    for (size_t i = 0; i < p->calls.size(); i++) {
        const mount_pass::call &c = p->calls[i];
        mibmount &e = d->list.entries[i];
        if (c.answered == pass) {
            e.sizes = c.rc == 0 ? mount_sizes_of(c.st) : mount_sizes{};
            e.ok = 1;
            continue;
        }
        if (c.asked == pass) late.push_back(e.device.c_str());
        e.sizes = {};
        e.ok = 0;
    }
    lock.unlock();
    for (const char *dir : late) printf("mount %s does not answer, left out of the report\n", dir);
    for (mount_pass::worker &w : ended) w.thread.join();
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

mount_workers::~mount_workers()
{
    if (!pass) return;
    {
        std::lock_guard lock(pass->m);
        pass->stopping = true;
        pass->work.notify_all();
        // One held in a call may stay there as long as the file system does not
        // answer; the stop does not wait for it.
        for (mount_pass::worker &w : pass->workers)
            if (w.in_call) w.thread.detach();
    }
    for (mount_pass::worker &w : pass->workers)
        if (w.thread.joinable()) w.thread.join();
}

int mount_free(void *cnt)
{
    sys_release<vesk_mycustom_data_mount>(static_cast<vesk_mycustom_counter *>(cnt));
    return 1;
}
