// The MySQL client loader on a missing file, a library that lacks an entry point,
// the real library, and one whose mysql_init cannot allocate; the MySQL and Sphinx
// counters on what it loaded.
#include <gtest/gtest.h>

#include "counter_support.hpp"
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

TEST(MysqlLoader, RefusedLibrariesLeaveNothingLoaded)
{
    init_config();
    const std::string missing = "/nonexistent/libmysqlclient.so";
    load_result r = load(missing);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, "libmysqlclient: " + missing + "\nERROR loading mysql = " + missing + "\n");
    EXPECT_EQ(r.err.rfind("dlopen error: " + missing + ": cannot open shared object file", 0), 0u) << r.err;
    EXPECT_FALSE(config.mysql_handle);

    const std::string noopts = VESK_CLIENTLIBS "/libvesk-fake-mysqlclient-noopts.so";
    r = load(noopts);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, "libmysqlclient: " + noopts + "\nERROR loading mysql = " + noopts + "\nClosing libmysql\n");
    EXPECT_EQ(r.err, "dlsym(mysql_options) error: " + noopts + ": undefined symbol: mysql_options\n");
    EXPECT_FALSE(config.mysql_handle);
    EXPECT_EQ(mysql_init_stub, nullptr);

    // Counters of a library that did not load do nothing at all.
    core_counter c(kSphinxOps, "main u:p@127.0.0.1:9306\n");
    EXPECT_EQ(c.init_result, 0);
    EXPECT_EQ(c.counter().data, nullptr);
    EXPECT_EQ(c.update(), 0);
}

TEST(MysqlLoader, RealLibraryAndFailedConnections)
{
    init_config();
    // libmariadb exports only the older name of the end call.
    load_result r = load("libmysqlclient.so");
    ASSERT_EQ(r.result, 1) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(mysql_library_end_stub, nullptr);

    {
        CaptureStdout();
        core_counter sock(kMysqlOps, "s mon:s3cret@localhost:/nonexistent/mysqld.sock\n");
        core_counter noport(kMysqlOps, "n mon:s3cret@127.0.0.1\n");
        core_counter docker(kMysqlOps, "d mon:s3cret@[db-1]:3306\n");
        GetCapturedStdout();
        CaptureStdout();
        CaptureStderr();
        EXPECT_EQ(sock.update(), 0);
        EXPECT_EQ(noport.update(), 0);
        // No container table here: the container never resolves.
        EXPECT_EQ(docker.update(), 0);
        std::string err = GetCapturedStderr();
        EXPECT_EQ(GetCapturedStdout(), "[mysql] Cannot resolve IP for container 'db-1'\n");
        EXPECT_EQ(err.rfind("Failed to connect to mysql(mon:***@localhost//nonexistent/mysqld.sock): Error: Can't connect "
                            "to local server through socket '/nonexistent/mysqld.sock'",
                            0),
                  0u)
            << err;
        EXPECT_NE(err.find("Failed to connect to mysql(mon:***@127.0.0.1:(0 | )): Error: \n"), std::string::npos) << err;
        EXPECT_EQ(err.find("s3cret"), std::string::npos);
        EXPECT_EQ(sock.data<vesk_mycustom_data_mysql>().ok, 0);
    } // the counters are freed while the library is loaded, as at the agent's stop

    vesk_mysql_unload();
    EXPECT_FALSE(config.mysql_handle);
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
