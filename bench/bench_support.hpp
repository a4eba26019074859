// What the benchmarks measure beside time: the process's open descriptors and its
// resident memory.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <string>

#include "vesk_devlist.hpp"
#include "vesk_os.hpp"

// Descriptors open in this process.
inline int open_fds()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d)) n++;
        closedir(d);
    }
    return n - 3; // ".", ".." and the directory's own descriptor
}

// Resident memory in KiB.
inline long resident_kib()
{
    std::string statm;
    if (!vesk_read_file("/proc/self/statm", statm)) return 0;
    return static_cast<long>(parse_statm_resident(statm).value_or(0)) * (sysconf(_SC_PAGESIZE) / 1024);
}
