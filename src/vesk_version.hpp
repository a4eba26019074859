// Comparison of major.minor versions.
#pragma once

#include <cstdint>

struct vesk_version_info {
    uint32_t major;
    uint32_t minor;
};

// -1, 0 or 1 as ver1 is lower than, equal to or higher than ver2.
int vesk_version_compare(const vesk_version_info *ver1, const vesk_version_info *ver2);
