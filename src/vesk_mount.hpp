// The mount counter: space and inodes of the mounted file systems chosen at start.
#pragma once

#include <sys/statvfs.h>

#include <cstdint>
#include <memory>
#include <string>

#include "vesk_devlist.hpp"
#include "vesk_types.hpp"

struct vesk_config;

// Sizes and free shares of one file system.
struct mount_sizes {
    uint64_t free = 0;       // MiB available to unprivileged users
    uint64_t total = 0;      // MiB
    double inodes_usage = 0; // free share of inodes, 0 to 1
    double space_usage = 0;  // available share of blocks, 0 to 1
};

struct mibmount {
    int ok = 0;           // 0 while the mount does not answer: left out of the report
    int32_t index = 0;
    std::string device{}; // the mount directory as reported (valid UTF-8, cut)
    std::string dir{};    // the mount directory as the table gives it, for statvfs
    mount_sizes sizes{};  // zeros when statvfs fails
};

// What the counter shares with the threads that ask its mounts (vesk_mount.cpp).
struct mount_pass;

// The worker threads of one mount counter, kept from pass to pass. When the record
// goes they are stopped and joined, except one held in a call by the kernel: that one
// ends on its own once the call returns.
struct mount_workers {
    std::shared_ptr<mount_pass> pass{};

    mount_workers() = default;
    ~mount_workers();
    mount_workers(const mount_workers &) = delete;
    mount_workers &operator=(const mount_workers &) = delete;
};

struct vesk_mycustom_data_mount {
    int ok = 0;
    device_list<mibmount> list;
    mount_workers workers; // none until the first update, none at all without mounts
};

// The mount table read at init; tests point it at a fixture.
extern const char *vesk_mtab_path;

// Whether a mount-table entry is reported: a device under /dev, zfs, a FUSE file
// system, or tmpfs unless excluded; never a directory that an exclusion mask matches.
bool mount_selected(const char *fsname, const char *type, const char *dir, const vesk_config &conf);

// What statvfs says of one file system, in the units the report carries.
mount_sizes mount_sizes_of(const struct statvfs &st);

// The statvfs the mount counter calls; tests put a file system of their own here.
extern int (*vesk_statvfs)(const char *path, struct statvfs *st);

int mount_init(void *cnt);
int mount_update(void *cnt);
int mount_tobson(void *cnt, bson *b);
int mount_dump(void *cnt);
int mount_free(void *cnt);
