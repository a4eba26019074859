// The MySQL/MariaDB counter where the real-server suite cannot reach it: other server
// versions, results of another shape, InnoDB row counts and a restart between two
// good cycles.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "counter_support.hpp"
#include "sql_support.hpp"
#include "vesk_mysql.hpp"

using test_support::core_counter;

namespace {

const mycustom_ops kOps{.init = mysql_init1, .update = mysql_update, .delta = mysql_delta,
                        .tobson = mysql_tobson, .dump = mysql_dump, .free = mysql_free};

// The counter acts only while its client library is loaded: any open library stands
// in for it, since what these tests drive never calls into it.
class MysqlCounter : public testing::Test {
protected:
    void SetUp() override
    {
        reset_agent_state();
        config.mysql_handle.reset(dlopen(nullptr, RTLD_LAZY));
    }
    void TearDown() override { init_config(); }
};

} // namespace

TEST(MysqlResults, VersionChoosesTheReplicaStatement)
{
    struct {
        const char *version;
        const char *innodb; // the InnoDB version rows; null for a failed statement
        bool mariadb;
        bool innodb_rows;
        const char *replica;
    } cases[] = {
        {"10.11.19-MariaDB-0+deb12u1-log", "", true, false, "SHOW SLAVE STATUS"},
        {"10.4.32-MariaDB", "innodb_version\t10.4.32\n", true, true, "SHOW SLAVE STATUS"},
        {"8.0.36", "innodb_version\t8.0.36\n", false, true, "SHOW REPLICA STATUS"},
        {"5.7.44-log", "innodb_version\t5.7.44\n", false, true, "SHOW SLAVE STATUS"},
        {"8.0.36", nullptr, false, false, "SHOW SLAVE STATUS"},
        {"8.0.36", "innodb_version\t\\N\ninnodb_version\t8.0.36\n", false, false, "SHOW SLAVE STATUS"},
        {"5.1.73-mariadb", "innodb_version\t1.0.17\n", true, false, "SHOW SLAVE STATUS"},
        {"\\N", "innodb_version\t8.0.36\n", false, true, "SHOW SLAVE STATUS"},
    };
    for (const auto &c : cases) {
        mysql_server_version v = mysql_parse_version(sql_from_text(c.version, false));
        EXPECT_EQ(v.mariadb, c.mariadb) << c.version;
        sql_result innodb = sql_from_text(c.innodb ? c.innodb : "", false);
        mysql_plan p = mysql_parse_innodb_version(c.innodb ? &innodb : nullptr, v);
        EXPECT_EQ(p.innodb_rows, c.innodb_rows) << c.version;
        EXPECT_STREQ(p.replica_statement, c.replica) << c.version;
    }
}

// Nothing is read past a row's end, and a NULL is an absent value.
TEST(MysqlResults, OfAnotherShape)
{
    vesk_mycustom_data_mysql d;
    d.select = d.insert = d.slow = 7;
    mysql_apply_status(sql_from_text("Com_select\nCom_insert\t\\N\n\\N\t5\nSlow_queries\tmany\n", false), d);
    EXPECT_EQ(d.select + d.insert + d.slow, 0u);

    // A short replica row: a replica, but the thread states and the lag are not there.
    d.slave_io = d.slave_sql = 1;
    d.slave_delay = 42;
    mysql_apply_replica(sql_from_text("Waiting\t127.0.0.1\trepl\t3306\n", false), d);
    EXPECT_EQ(d.is_slave, 1);
    EXPECT_EQ(d.slave_io + d.slave_sql, 2u);
    EXPECT_EQ(d.slave_delay, 42u);

    uint32_t threads = 9;
    mysql_apply_each(sql_from_text("\\N\n", false), 0, threads);
    mysql_apply_each(sql_from_text("Threads_connected\n", false), 1, threads);
    EXPECT_EQ(threads, 9u);
}

// Status rows through whole cycles: InnoDB row counts (which MariaDB 10.11 does not
// keep) become rates, names compare exactly, and a restart between two good cycles
// is reported once while its rates read 0.
TEST_F(MysqlCounter, RatesAndARestartBetweenGoodCycles)
{
    testing::internal::CaptureStdout();
    core_counter c(kOps, "main mon:pw@127.0.0.1:3306\n");
    testing::internal::GetCapturedStdout();
    auto &d = c.data<vesk_mycustom_data_mysql>();
    d.ok = 1;
    struct {
        uint32_t uptime;
        uint64_t count;
        int rate, restarted;
    } cycles[] = {{1000, 100, -1, 0}, {1015, 160, 240, 0}, {3, 10, 0, 1}, {18, 25, 60, 0}};
    uint64_t iteration = 0;
    for (const auto &cy : cycles) {
        const std::string n = std::to_string(cy.count);
        mysql_apply_status(sql_from_text("Uptime\t" + std::to_string(cy.uptime) + "\nCom_insert\t" + n +
                                             "\nInnodb_rows_read\t" + n + "\ninnodb_rows_deleted\t" + n + "\n",
                                         false),
                           d);
        c.delta(iteration++);
        const std::string r = c.report(), rate = std::to_string(cy.rate);
        if (cy.rate < 0) {
            EXPECT_EQ(r, "");
            continue;
        }
        for (const std::string &want : {"{insert:i64=" + rate + ";", std::string(";innodb_del:i64=0;"),
                                        ";innodb_read:i64=" + rate + ";",
                                        ";restarted:i64=" + std::to_string(cy.restarted) + ";"})
            EXPECT_NE(r.find(want), std::string::npos) << "cycle " << iteration << ", " << want << ": " << r;
    }
}
