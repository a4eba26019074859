#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "counter_support.hpp"
#include "vesk_mount.hpp"

using test_support::core_counter;
using test_support::CounterTest;

namespace {

struct statvfs fs(unsigned long bsize, unsigned long frsize, fsblkcnt_t blocks, fsblkcnt_t bavail, fsfilcnt_t files,
                  fsfilcnt_t ffree)
{
    struct statvfs st {};
    st.f_bsize = bsize;
    st.f_frsize = frsize;
    st.f_blocks = blocks;
    st.f_bavail = bavail;
    st.f_bfree = bavail;
    st.f_files = files;
    st.f_ffree = ffree;
    return st;
}

// What coreutils' stat says of the file system that holds `path`.
struct df_view {
    uint64_t total, free;
    double space, inodes;
};

df_view stat_f(const std::string &path)
{
    std::istringstream in(test_support::run("stat -f -c '%S %b %a %c %d' '" + path + "'"));
    unsigned long long frsize = 0, blocks = 0, avail = 0, files = 0, ffree = 0;
    in >> frsize >> blocks >> avail >> files >> ffree;
    EXPECT_GT(frsize, 0u) << path;
    return {static_cast<uint64_t>((static_cast<unsigned __int128>(blocks) * frsize) >> 20),
            static_cast<uint64_t>((static_cast<unsigned __int128>(avail) * frsize) >> 20),
            blocks ? static_cast<double>(avail) / static_cast<double>(blocks) : 0,
            files ? static_cast<double>(ffree) / static_cast<double>(files) : 0};
}

// The fields of one mount object of a report: "name", "free", "total", the fractions.
struct reported {
    std::string name;
    int64_t ok, free, total;
    double space, inodes;
};

std::vector<reported> mounts_of(core_counter &mnt)
{
    std::vector<reported> out;
    std::string text = mnt.report();
    // mounts:{KEY:{ok:i64=1;name:str=N;free:i64=F;total:i64=T;space_perc:dbl=S;inodes_perc:dbl=I;};...};
    const std::string head = "mounts:{";
    EXPECT_EQ(text.rfind(head, 0), 0u) << text;
    size_t pos = head.size();
    for (;;) {
        size_t open = text.find(":{ok:i64=", pos);
        if (open == std::string::npos) break;
        reported r;
        std::string key = text.substr(pos, open - pos);
        size_t name_at = text.find(";name:str=", open) + 10;
        size_t free_at = text.find(";free:i64=", name_at);
        r.name = text.substr(name_at, free_at - name_at);
        EXPECT_EQ(key, r.name);
        r.ok = std::stoll(text.substr(open + 9));
        r.free = std::stoll(text.substr(free_at + 10));
        r.total = std::stoll(text.substr(text.find(";total:i64=", free_at) + 11));
        r.space = std::stod(text.substr(text.find(";space_perc:dbl=", free_at) + 16));
        size_t inodes_at = text.find(";inodes_perc:dbl=", free_at) + 17;
        r.inodes = std::stod(text.substr(inodes_at));
        out.push_back(r);
        pos = text.find(";};", inodes_at) + 3;
    }
    return out;
}

} // namespace

TEST(MountSizes, FromStatvfs)
{
    constexpr uint64_t kMaxInt64 = 9223372036854775807ULL;
    struct {
        const char *what;
        struct statvfs st;
        mount_sizes want;
    } cases[] = {
        {"4 KiB blocks, a quarter available", fs(4096, 4096, 1000000, 250000, 400, 100), {976, 3906, 0.25, 0.25}},
        // Block counts are in fragments: a large preferred I/O size must not inflate the sizes.
        {"fragment smaller than the I/O size", fs(1048576, 4096, 2621440, 262144, 10, 10), {1024, 10240, 1.0, 0.1}},
        {"no fragment size: the block size counts", fs(4096, 0, 512, 256, 0, 0), {1, 2, 0, 0.5}},
        {"no inodes, no blocks", fs(4096, 4096, 0, 0, 0, 0), {0, 0, 0, 0}},
        {"sizes past 64 bits before the shift", fs(4096, 4096, 1ULL << 62, 1ULL << 61, 1, 1),
         {1ULL << 53, 1ULL << 54, 1.0, 0.5}},
        {"sizes past what the report holds", fs(1 << 30, 1 << 30, ~0ULL, ~0ULL, 1, 1), {kMaxInt64, kMaxInt64, 1, 1}},
    };
    for (const auto &c : cases) {
        mount_sizes s = mount_sizes_of(c.st);
        EXPECT_EQ(s.free, c.want.free) << c.what;
        EXPECT_EQ(s.total, c.want.total) << c.what;
        EXPECT_DOUBLE_EQ(s.inodes_usage, c.want.inodes_usage) << c.what;
        EXPECT_DOUBLE_EQ(s.space_usage, c.want.space_usage) << c.what;
    }
}

TEST(MountSelection, DevicesTypesAndMasks)
{
    struct {
        const char *fsname, *type, *dir;
        bool exclude_tmpfs;
        bool want;
    } cases[] = {
        {"/dev/sda1", "ext4", "/", false, true},
        {"/dev/mapper/vg-data", "xfs", "/data", false, true},
        {"tmpfs", "tmpfs", "/run", false, false},       // default exact mask
        {"tmpfs", "tmpfs", "/run/lock", false, false},  // default exact mask
        {"tmpfs", "tmpfs", "/run/lockx", false, true},  // exact masks match whole paths only
        {"tmpfs", "tmpfs", "/tmp", false, true},
        {"tmpfs", "tmpfs", "/tmp", true, false},
        {"none", "tmpfs", "/dev/shm", false, false},
        {"tmpfs", "tmpfs", "/run/user/1000", false, false}, // default prefix mask
        {"tank", "zfs", "/tank", false, true},
        {"tank/home", "zfs", "/home", true, true},
        {"sshfs#host:", "fuse.sshfs", "/mnt/remote", false, true},
        {"fuse", "fuse", "/mnt/fuse", false, false},
        {"host:/x", "nfs", "/mnt/nfs", false, false},
        {"overlay", "overlay", "/merged", false, false},
        {"/dev/sda15", "vfat", "/boot/efi", false, false}, // default exact mask
        {"/dev/sda2", "ext4", "/boot", false, true},
        {"devtmpfs", "devtmpfs", "/dev", false, false},
        {"/devices", "ext4", "/weird", false, true}, // the device rule is a prefix
    };
    for (const auto &c : cases) {
        init_config();
        config.exclude_tmpfs = c.exclude_tmpfs;
        EXPECT_EQ(mount_selected(c.fsname, c.type, c.dir, config), c.want) << c.fsname << " " << c.dir;
    }
}

// The counter on a mount table of its own: the entries it keeps, in table order,
// with what the file system of each directory reports.
TEST_F(CounterTest, MountTableAndSizes)
{
    namespace fsys = std::filesystem;
    const std::string base = scratch("m");
    const std::string spaced = base + "/with space";
    const std::string deep = base + "/" + std::string(200, 'a') + "/" + std::string(200, 'b');
    const std::string odd = base + "/bad\xff";
    fsys::create_directories(spaced);
    fsys::create_directories(deep);
    fsys::create_directories(odd);
    write_file("mtab", "proc /proc proc rw 0 0\n"
                       "/dev/vda / ext4 rw,relatime 0 0\n"
                       "tmpfs /run tmpfs rw 0 0\n"
                       "none /dev/shm tmpfs rw 0 0\n"
                       "tmpfs " + base + " tmpfs rw 0 0\n"
                       "tank " + base + "/gone zfs rw 0 0\n"
                       "# a comment line\n"
                       "/dev/sdb1 " + base + "/with\\040space ext4 rw 0 0\n"
                       "overlay /merged overlay rw 0 0\n"
                       "/dev/sdc1 " + deep + " ext4 rw 0 0\n"
                       "/dev/sdd1 " + odd + " ext4 rw 0 0\n");
    const std::string mtab = scratch("mtab");
    vesk_mtab_path = mtab.c_str();
    core_counter mnt(CORE_MOUNT);
    vesk_mtab_path = "/etc/mtab";
    EXPECT_EQ(mnt.init_result, 1);
    EXPECT_STREQ(mnt.get()->report, "Mount");
    EXPECT_EQ(mnt.update(), 1);
    std::vector<reported> got = mounts_of(mnt);

    struct want {
        std::string name, dir;
        bool exists;
    } wants[] = {
        {"/", "/", true},
        {base, base, true},
        {base + "/gone", base + "/gone", false},
        {spaced, spaced, true},
        {deep.substr(0, 255), deep, true},
        {base + "/bad\xEF\xBF\xBD", odd, true},
    };
    ASSERT_EQ(got.size(), std::size(wants));
    for (size_t i = 0; i < got.size(); i++) {
        const want &w = wants[i];
        EXPECT_EQ(got[i].name, w.name);
        EXPECT_EQ(got[i].ok, 1) << w.name;
        if (!w.exists) {
            EXPECT_EQ(got[i].free + got[i].total, 0) << w.name;
            EXPECT_EQ(got[i].space + got[i].inodes, 0.0) << w.name;
            continue;
        }
        // Free space moves while other tests write; the sizes do not.
        df_view df = stat_f(w.dir);
        EXPECT_EQ(got[i].total, static_cast<int64_t>(df.total)) << w.name;
        EXPECT_NEAR(static_cast<double>(got[i].free), static_cast<double>(df.free), 64.0) << w.name;
        EXPECT_NEAR(got[i].space, df.space, 0.01) << w.name;
        EXPECT_NEAR(got[i].inodes, df.inodes, 0.01) << w.name;
    }

    std::string dump = mnt.dump();
    EXPECT_EQ(dump.rfind("MyCustom Mount report (1) :\n\tMount = /\n\t\tok = 1\n\t\ttotal = ", 0), 0u) << dump;
    EXPECT_NE(dump.find("\tMount = " + base + "/gone\n\t\tok = 1\n\t\ttotal = 0\n\t\tfree = 0\n\t\tfree perc = "
                        "0.000000\n\t\tinodes free perc = 0.000000\n"),
              std::string::npos)
        << dump;
}

TEST_F(CounterTest, MountTableMissing)
{
    const std::string mtab = scratch("no-such-mtab");
    vesk_mtab_path = mtab.c_str();
    core_counter mnt(CORE_MOUNT);
    vesk_mtab_path = "/etc/mtab";
    EXPECT_EQ(mnt.init_result, 0);
    EXPECT_EQ(mnt.update(), 1);
    EXPECT_EQ(mnt.report(), "mounts:{};");
    EXPECT_EQ(mnt.dump(), "MyCustom Mount report (0) :\n");
}
