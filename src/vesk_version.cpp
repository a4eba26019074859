// Comparison of major.minor versions.
#include "vesk_version.hpp"

int vesk_version_compare(const vesk_version_info *ver1, const vesk_version_info *ver2)
{
    if (ver1->major != ver2->major) return ver1->major < ver2->major ? -1 : 1;
    if (ver1->minor != ver2->minor) return ver1->minor < ver2->minor ? -1 : 1;
    return 0;
}
