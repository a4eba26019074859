// The mount counter: the mounts chosen at start, their space and inodes.
#include "vesk_mount.hpp"

#include <mntent.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "bson.hpp"
#include "encoding.hpp"
#include "mycustom.hpp"
#include "vesk_config.hpp"
#include "vesk_owners.hpp"

const char *vesk_mtab_path = "/etc/mtab";
int (*vesk_statvfs)(const char *path, struct statvfs *st) = statvfs;

using steady = std::chrono::steady_clock;

namespace {
// A call this long is to a slow (remote) file system: a local one answers in
// microseconds, and a worker merely kept off the CPU by a busy host seldom looks
// this slow.
constexpr std::chrono::milliseconds kSlowCall{5};
// How long a mount not known to answer in time may hold a worker while others wait,
// before a spare takes its place: a remote file system that answers at all does so
// within a few milliseconds, and eight workers still pass by some eighty dead mounts
// in a quarter of a second.
constexpr std::chrono::milliseconds kUnknownCall{20};
} // namespace

// The mounts are asked by a small pool of worker threads that live from pass to pass,
// so a mount that does not answer (a dead NFS server, a stalled FUSE file system)
// holds up only its worker, never the cycle, and slow remote mounts are asked side
// by side. A worker held in its call past that mount's allowance while other mounts
// wait, or still in it when the pass's deadline comes, is stuck: it leaves the pool
// so that a spare can take its place, and comes back once its call returns if the
// pool has room, else it ends. Everything here is guarded by `m`; the threads share
// the record and may outlive the counter while the kernel holds them.
struct mount_pass {
    struct call {
        std::string dir;      // for statvfs; fixed at init
        bool busy = false;    // asked and not answered yet: not asked again meanwhile
        uint64_t asked = 0;   // the last pass a worker took it in
        uint64_t answered = 0;
        uint64_t reported = 0;   // the last pass whose report it is in
        steady::duration took{}; // its last call; none before the first
        // A mount not yet answered counts as slow: it may be a remote one.
        bool slow() const { return answered == 0 || took >= kSlowCall; }
        // How long its call may hold a worker while other mounts wait: a mount known
        // to answer in time that suddenly hangs frees its worker well before the
        // deadline, and ordinary jitter seldom trips it.
        steady::duration allowance(steady::duration span) const
        {
            if (answered == 0 || took > span) return kUnknownCall;
            return 2 * took + span / 8;
        }
        int rc = -1;
        struct statvfs st {};
    };
    struct worker {
        std::thread thread;
        std::condition_variable wake; // set to work, told to quit, or the stop
        bool working = true;          // false while it waits among the idle
        bool in_call = false;
        steady::time_point since{};
        steady::time_point due{}; // past this, a spare takes its place while mounts wait
        bool stuck = false;       // in a call past its allowance or a deadline: out of the pool meanwhile
        bool quit = false;
        bool ended = false; // its thread is done and can be joined
        uint64_t used = 0;  // the last pass it was set to work in
    };

    std::mutex m;
    std::condition_variable answered; // for the counter: the last answer of the pass came
    std::vector<call> calls;          // one per mount, in index order
    std::vector<size_t> queue;        // the mounts asked in this pass, in asking order
    size_t next = 0;                  // the first of `queue` that no worker has taken
    size_t left = 0;                  // how many of `queue` have not answered
    uint64_t number = 0;              // of the pass
    steady::duration span{};          // how long the pass waits for the answers
    bool stopping = false;
    std::list<worker> workers;
    std::vector<worker *> idle; // the last one to go idle is set to work first
    size_t pool = 0;            // workers neither stuck nor ended
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

constexpr size_t kMaxWorkers = 8;
// A stop signal cannot wake the counter's wait for the answers: it looks this often.
constexpr std::chrono::milliseconds kStopLook{50};
// A worker no pass has needed for this many passes ends.
constexpr uint64_t kIdlePasses = 60;

// A worker: takes the pass's mounts one after the other, waits among the idle ones
// between passes, and ends at the stop, when told to quit, or when it comes back from
// a stuck call to a full pool.
void mount_work(std::shared_ptr<mount_pass> p, mount_pass::worker *w)
{
    std::unique_lock lock(p->m);
    while (!p->stopping && !w->quit) {
        if (p->next == p->queue.size()) {
            w->working = false;
            p->idle.push_back(w); // never grows: room for the whole pool is reserved
            w->wake.wait(lock, [&] { return w->working || w->quit || p->stopping; });
            continue;
        }
        mount_pass::call &c = p->calls[p->queue[p->next++]];
        const uint64_t pass = p->number;
        c.asked = pass;
        w->in_call = true;
        w->since = steady::now();
        w->due = w->since + c.allowance(p->span);
        lock.unlock();
        struct statvfs st {};
        int rc = vesk_statvfs(c.dir.c_str(), &st);
        lock.lock();
        w->in_call = false;
        c.took = steady::now() - w->since;
        c.busy = false;
        c.answered = pass;
        c.rc = rc;
        c.st = st;
        if (pass == p->number && --p->left == 0) p->answered.notify_one();
        if (w->stuck) {
            if (p->pool == kMaxWorkers) break;
            w->stuck = false;
            p->pool++;
        }
    }
    w->ended = true;
}

// While the pass's mounts wait: a worker held past its call's allowance leaves the
// pool, and more workers are set to the mounts. At the pass's first call one, which
// is all that local mounts need; later, when no worker is at the pass, when every
// worker at it has been held kSlowCall in its call, or when the pass is behind, one
// for each waiting mount that was slow last time (at least one), so that slow mounts
// are asked side by side and dead ones are passed by. Idle workers go first, then
// new threads while the pool has room. False when no worker is at the pass and none
// can be had. Called with `m` held.
bool mount_workers_grow(const std::shared_ptr<mount_pass> &p, bool first, bool behind)
{
    const auto now = steady::now();
    bool at_work = false, held = true;
    for (mount_pass::worker &w : p->workers) {
        if (!w.working || w.stuck || w.ended) continue;
        if (w.in_call && now >= w.due) {
            w.stuck = true;
            p->pool--;
            continue;
        }
        at_work = true;
        held = held && w.in_call && now - w.since >= kSlowCall;
    }
    if (at_work && !held && !behind) return true;
    size_t more = 0, added = 0;
    for (size_t k = p->next; !first && k < p->queue.size(); k++) more += p->calls[p->queue[k]].slow();
    more = std::max<size_t>(more, 1);
    for (; added < more && !p->idle.empty(); added++) {
        mount_pass::worker *w = p->idle.back();
        p->idle.pop_back();
        w->working = true;
        w->used = p->number;
        w->wake.notify_one();
    }
    for (; added < more && p->pool < kMaxWorkers; added++) {
        bool listed = false;
        try {
            mount_pass::worker &w = p->workers.emplace_back();
            listed = true;
            w.used = p->number;
            stop_signals_blocked blocked; // the stop signals go to the main thread
            w.thread = std::thread(mount_work, p, &w);
        } catch (const std::exception &) { // no memory or no thread to be had
            if (listed) p->workers.pop_back();
            break;
        }
        p->pool++;
    }
    return at_work || added > 0;
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
        // The report holds one object per name: a mount stacked on a directory already
        // listed, or one whose path shares its first 255 bytes with an earlier one,
        // would hide the other from a strict reader.
        std::set<std::string> names;
        while (getmntent_r(table.get(), &ent, buf.data(), static_cast<int>(buf.size()))) {
            if (!mount_selected(ent.mnt_fsname, ent.mnt_type, ent.mnt_dir, config)) continue;
            std::string name = vesk_report_text(ent.mnt_dir, VESK_DEVNAME_MAX);
            if (!names.insert(name).second) {
                printf("mount %s left out of the report: its name repeats an earlier mount's\n", ent.mnt_dir);
                continue;
            }
            d->list.append({.ok = 1, .device = std::move(name), .dir = ent.mnt_dir});
        }
        if (!d->list.entries.empty()) {
            auto pass = std::make_shared<mount_pass>();
            for (const mibmount &e : d->list.entries) pass->calls.push_back({.dir = e.dir});
            pass->queue.reserve(pass->calls.size());
            pass->idle.reserve(kMaxWorkers);
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
    // Every mount is asked under one deadline. A mount whose earlier call is still
    // blocked is not asked again.
    const auto span = mount_deadline(config.interval);
    const auto start = steady::now(), deadline = start + span, behind = start + span / 2;
    std::list<mount_pass::worker> ended;
    std::unique_lock lock(p->m);
    for (auto it = p->workers.begin(); it != p->workers.end();) {
        auto here = it++;
        if (here->ended) ended.splice(ended.end(), p->workers, here);
    }
    if (!p->idle.empty() && p->idle.front()->used + kIdlePasses < p->number) {
        p->idle.front()->quit = true;
        p->idle.front()->wake.notify_one();
        p->idle.erase(p->idle.begin());
        p->pool--;
    }
    const uint64_t pass = ++p->number;
    p->span = span;
    // Those longest out of the report come first, then those asked least lately, so
    // that a pass the deadline cut short is taken up where it stopped and a mount that
    // was late once is not left behind the mounts that are always late. Those lead,
    // never reported, but each holds a worker only for its allowance before a spare
    // takes over.
    p->queue.clear();
    for (size_t i = 0; i < p->calls.size(); i++)
        if (!p->calls[i].busy) p->queue.push_back(i);
    std::sort(p->queue.begin(), p->queue.end(), [&c = p->calls](size_t a, size_t b) {
        return std::tuple(c[a].reported, c[a].asked, a) < std::tuple(c[b].reported, c[b].asked, b);
    });
    for (size_t i : p->queue) p->calls[i].busy = true;
    p->next = 0;
    p->left = p->queue.size();
    bool ready = p->left == 0 || mount_workers_grow(p, true, false);
    while (ready && p->left > 0 && !stop) {
        const auto now = steady::now();
        if (now >= deadline) break;
        // While mounts wait, see often whether the workers are slow or held too long;
        // then only the deadline counts, and the stop, which no signal can bring to
        // this wait.
        const bool waiting = p->next < p->queue.size();
        p->answered.wait_until(lock, std::min(deadline, now + (waiting ? kSlowCall : kStopLook)));
        if (p->next < p->queue.size()) ready = mount_workers_grow(p, false, steady::now() >= behind);
    }
    // Mounts no worker took were never asked: they are asked again in the next pass,
    // and not by a worker freed before then, which would ask them outside any pass
    // while they count as idle.
    for (size_t k = p->next; k < p->queue.size(); k++) p->calls[p->queue[k]].busy = false;
    p->queue.resize(p->next);
    for (mount_pass::worker &w : p->workers)
        if (w.in_call && !w.stuck) {
            w.stuck = true;
            p->pool--;
        }
    std::vector<const char *> late;
    for (size_t i = 0; i < p->calls.size(); i++) {
        mount_pass::call &c = p->calls[i];
        mibmount &e = d->list.entries[i];
        if (c.answered == pass) {
            c.reported = pass;
            e.sizes = c.rc == 0 ? mount_sizes_of(c.st) : mount_sizes{};
            e.ok = 1;
            continue;
        }
        if (c.asked == pass) late.push_back(e.device.c_str());
        e.sizes = {};
        e.ok = 0;
    }
    lock.unlock();
    // After the stop the cycle sends nothing: no mount is said to be late.
    if (!stop)
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
        // One held in a call may stay there as long as the file system does not
        // answer; the stop does not wait for it.
        for (mount_pass::worker &w : pass->workers) {
            w.wake.notify_one();
            if (w.in_call) w.thread.detach();
        }
    }
    for (mount_pass::worker &w : pass->workers)
        if (w.thread.joinable()) w.thread.join();
}

int mount_free(void *cnt)
{
    sys_release<vesk_mycustom_data_mount>(static_cast<vesk_mycustom_counter *>(cnt));
    return 1;
}
