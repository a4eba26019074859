#include <gtest/gtest.h>

#include "vesk_config.hpp"

TEST(PathHelpers, SubstituteRoots)
{
    init_config();
    vesk_copy(config.procFsPath, "/host/proc");
    EXPECT_STREQ(get_proc_path("/proc/net/dev"), "/host/proc/net/dev");
}
