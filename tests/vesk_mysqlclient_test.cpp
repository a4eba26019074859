// The MySQL client loader on a library that lacks an entry point, and on one whose
// mysql_init cannot allocate; the MySQL and Sphinx counters on the latter.
#include <gtest/gtest.h>

#include "counter_support.hpp"
#include "encoding.hpp"
#include "vesk_mysql.hpp"
#include "vesk_mysqlclient.hpp"
#include "vesk_sphinx.hpp"

using test_support::core_counter;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

const mycustom_ops kMysqlOps{.init = mysql_init1, .update = mysql_update, .delta = mysql_delta,
                             .tobson = mysql_tobson, .dump = mysql_dump, .free = mysql_free};
const mycustom_ops kSphinxOps{.init = sphinx_init, .update = sphinx_update, .delta = sphinx_delta,
                              .tobson = sphinx_tobson, .dump = sphinx_dump, .free = sphinx_free};

struct load_result {
    int result;
    std::string out, err;
};

load_result load(const std::string &lib)
{
    vesk_copy(config.mysql_lib, lib);
    CaptureStdout();
    CaptureStderr();
    int r = vesk_mysql_load();
    return {r, GetCapturedStdout(), GetCapturedStderr()};
}

} // namespace

TEST(MysqlLoader, MissingEntryPoint)
{
    init_config();
    const std::string noopts = VESK_CLIENTLIBS "/libvesk-fake-mysqlclient-noopts.so";
    load_result r = load(noopts);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, "libmysqlclient: " + noopts + "\nERROR loading mysql = " + noopts + "\nClosing libmysql\n");
    EXPECT_EQ(r.err, "dlsym(mysql_options) error: " + noopts + ": undefined symbol: mysql_options\n");
    EXPECT_FALSE(config.mysql_handle);
    EXPECT_EQ(mysql_init_stub, nullptr);
}

TEST(MysqlLoader, HandleThatCannotBeAllocated)
{
    init_config();
    load_result r = load(VESK_CLIENTLIBS "/libvesk-fake-mysqlclient.so");
    ASSERT_EQ(r.result, 1) << r.err;
    {
        CaptureStdout();
        core_counter m(kMysqlOps, "main mon:pw@127.0.0.1:3306\n");
        core_counter s(kSphinxOps, "main u:pw@127.0.0.1:9306\n");
        GetCapturedStdout();
        // No call follows the failed mysql_init: each of them would abort.
        CaptureStderr();
        EXPECT_EQ(m.update(), 0);
        EXPECT_EQ(s.update(), 0);
        EXPECT_EQ(GetCapturedStderr(),
                  "Failed to connect to mysql(mon:***@127.0.0.1:3306 ): Error: mysql_init failed (out of memory)\n"
                  "Failed to connect to sphinx(u:***@127.0.0.1:9306): Error: mysql_init failed (out of memory)\n");
        EXPECT_EQ(m.data<vesk_mycustom_data_mysql>().ok, 0);
        EXPECT_EQ(s.data<vesk_mycustom_data_sphinx>().ok, 0);
    }
    vesk_mysql_unload();
}
