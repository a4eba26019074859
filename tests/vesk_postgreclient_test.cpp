// The PostgreSQL client loader on a missing file, a library that lacks an entry
// point and the real library; the counter's connection failures through it.
#include <gtest/gtest.h>

#include "counter_support.hpp"
#include "vesk_postgre.hpp"
#include "vesk_postgreclient.hpp"

using test_support::core_counter;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

const mycustom_ops kOps{.init = postgre_init, .update = postgre_update, .delta = postgre_delta,
                        .tobson = postgre_tobson, .dump = postgre_dump, .free = postgre_free};

} // namespace

TEST(PostgreLoader, RefusedLibraries)
{
    init_config();
    const std::string missing = "/nonexistent/libpq.so";
    vesk_copy(config.postgre_lib, missing);
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(vesk_postgre_load(), 0);
    EXPECT_EQ(GetCapturedStdout(), "libpq: " + missing + "\nError loading postgre = " + missing + "\n");
    EXPECT_EQ(GetCapturedStderr().rfind("dlopen error: " + missing + ": cannot open shared object file", 0), 0u);
    EXPECT_FALSE(config.postgre_handle);

    // The names before the missing one are resolved, those after it never looked up.
    const std::string nofname = VESK_CLIENTLIBS "/libvesk-fake-pq-nofname.so";
    vesk_copy(config.postgre_lib, nofname);
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(init_postgre_lib(), 0);
    GetCapturedStdout();
    EXPECT_EQ(GetCapturedStderr(), "dlsym(PQfname) error: " + nofname + ": undefined symbol: PQfname\n");
    EXPECT_NE(PQnfields_stub, nullptr);
    EXPECT_EQ(PQerrorMessage_stub, nullptr);
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(vesk_postgre_load(), 0);
    EXPECT_EQ(GetCapturedStdout(), "libpq: " + nofname + "\nError loading postgre = " + nofname + "\nClosing libpostgre\n");
    GetCapturedStderr();
    EXPECT_FALSE(config.postgre_handle);
    EXPECT_EQ(PQnfields_stub, nullptr);

    core_counter c(kOps, "main mon:pw@127.0.0.1:5432\n");
    EXPECT_EQ(c.init_result, 0);
    EXPECT_EQ(c.update(), 0);
}

TEST(PostgreLoader, RealLibraryAndFailedConnections)
{
    init_config();
    CaptureStdout();
    ASSERT_EQ(vesk_postgre_load(), 1);
    {
        core_counter sock(kOps, "s mon:s3cret@localhost:/nonexistent\n");
        core_counter none(kOps, "n mon:s3cret@localhost\n");
        GetCapturedStdout();
        CaptureStderr();
        EXPECT_EQ(sock.update(), 0);
        EXPECT_EQ(none.update(), 0);
        std::string err = GetCapturedStderr();
        EXPECT_EQ(err.rfind("[postgres] ERROR: Failed to connect to database [using socket]: mon *** /nonexistent Error: "
                            "connection to server on socket \"/nonexistent/.s.PGSQL.5432\" failed",
                            0),
                  0u)
            << err;
        EXPECT_NE(err.find("[postgres] ERROR: Failed to connect to database - no socket or port configured\n"),
                  std::string::npos);
        EXPECT_EQ(err.find("s3cret"), std::string::npos);
    } // the counters are freed while the library is loaded, as at the agent's stop
    vesk_postgre_unload();
    EXPECT_FALSE(config.postgre_handle);
}
