// The MySQL/MariaDB counter: its configuration forms, the statements' results as
// captured from real servers (and reshaped ones), restarts and the report object.
#include <gtest/gtest.h>

#include "counter_support.hpp"
#include "sql_support.hpp"
#include "vesk_mysql.hpp"

using test_support::core_counter;

namespace {

const mycustom_ops kOps{.init = mysql_init1, .update = mysql_update, .delta = mysql_delta,
                        .tobson = mysql_tobson, .dump = mysql_dump, .free = mysql_free};

using MysqlCounter = sql_counter_test<&vesk_config::mysql_handle>;

} // namespace

TEST_F(MysqlCounter, ConfigurationForms)
{
    struct {
        const char *cfg;
        const char *id, *user, *pass, *host, *socket;
        uint32_t port;
        const char *container;
    } cases[] = {
        {"main mon:s3cret@127.0.0.1:3306\n", "main", "mon", "s3cret", "127.0.0.1", "", 3306, ""},
        {"sock nopass:@localhost:/run/mysqld/mysqld.sock\n", "sock", "nopass", "", "localhost",
         "/run/mysqld/mysqld.sock", 0, ""},
        {"dock mon:pw@[db-1]:3306\n", "dock", "mon", "pw", "[db-1]", "", 3306, "db-1"},
        {"noport mon:pw@10.0.0.9\n", "noport", "mon", "pw", "10.0.0.9", "", 0, ""},
    };
    for (const auto &c : cases) {
        vesk_mycustom_counter cnt{};
        vesk_copy(cnt.cfg_string, c.cfg);
        vesk_mycustom_data_mysql d;
        mysql_parse_conf(&cnt, d);
        EXPECT_STREQ(cnt.id, c.id) << c.cfg;
        EXPECT_EQ(d.user, c.user) << c.cfg;
        EXPECT_EQ(d.pass, c.pass) << c.cfg;
        EXPECT_EQ(d.host, c.host) << c.cfg;
        EXPECT_EQ(d.socket, c.socket) << c.cfg;
        EXPECT_EQ(d.port, c.port) << c.cfg;
        EXPECT_EQ(d.docker_container_name, c.container) << c.cfg;
        EXPECT_EQ(d.in_docker, *c.container != 0) << c.cfg;
    }
}

TEST_F(MysqlCounter, StatusRowsIntoFields)
{
    vesk_mycustom_data_mysql d;
    mysql_apply_status(sql_fixture("mariadb/status"), d);
    EXPECT_EQ(d.select, 3u);
    EXPECT_EQ(d.innodb_pool, 302u * 16384);
    EXPECT_EQ(d.innodb_free, 1726u * 16384);
    EXPECT_EQ(d.uptime, 27u);
    EXPECT_EQ(d.aborted, 0u);

    mysql_apply_status(sql_from_text("Innodb_rows_read\t81\nInnodb_rows_inserted\t9\nInnodb_rows_deleted\t2\n"
                                     "Innodb_rows_updated\t4\ninnodb_rows_read\t5\n",
                                     false),
                       d);
    EXPECT_EQ(d.innodb_rows_read, 81u); // names compare exactly
    EXPECT_EQ(d.innodb_rows_inserted, 9u);
    EXPECT_EQ(d.innodb_rows_deleted, 2u);
    EXPECT_EQ(d.innodb_rows_updated, 4u);

    // Another shape: one column only, NULL values and names. Missing or NULL values
    // store 0; nothing is read past a row's end.
    d.select = d.insert = d.slow = 7;
    mysql_apply_status(sql_from_text("Com_select\nCom_insert\t\\N\n\\N\t5\nSlow_queries\tmany\n", false), d);
    EXPECT_EQ(d.select, 0u);
    EXPECT_EQ(d.insert, 0u);
    EXPECT_EQ(d.slow, 0u);
}

TEST_F(MysqlCounter, VersionChoosesTheReplicaStatement)
{
    const sql_result none = sql_fixture("mariadb/empty");
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
    };
    for (const auto &c : cases) {
        mysql_server_version v = mysql_parse_version(sql_from_text(c.version, false));
        EXPECT_EQ(v.mariadb, c.mariadb) << c.version;
        sql_result innodb = c.innodb ? sql_from_text(c.innodb, false) : none;
        mysql_plan p = mysql_parse_innodb_version(c.innodb ? &innodb : nullptr, v);
        EXPECT_EQ(p.innodb_rows, c.innodb_rows) << c.version;
        EXPECT_STREQ(p.replica_statement, c.replica) << c.version;
    }
    mysql_server_version v = mysql_parse_version(sql_fixture("mariadb/version"));
    EXPECT_EQ(v.major, 10u);
    EXPECT_EQ(v.minor, 11u);
    EXPECT_FALSE(mysql_parse_version(none).mariadb);
    EXPECT_EQ(mysql_parse_version(sql_from_text("\\N", false)).major, 0u);
}

TEST_F(MysqlCounter, ReplicaRowsAndNulls)
{
    vesk_mycustom_data_mysql d;
    d.slave_delay = 42;
    mysql_apply_replica(sql_fixture("mariadb/slave_running"), d);
    EXPECT_EQ(d.is_slave, 1);
    EXPECT_EQ(d.slave_io, 1u);
    EXPECT_EQ(d.slave_sql, 1u);
    EXPECT_EQ(d.slave_delay, 0u);

    // The SQL thread stopped: Seconds_Behind_Master is NULL and the last lag stays.
    d.slave_delay = 42;
    mysql_apply_replica(sql_fixture("mariadb/slave_sql_stopped"), d);
    EXPECT_EQ(d.slave_io, 1u);
    EXPECT_EQ(d.slave_sql, 0u);
    EXPECT_EQ(d.slave_delay, 42u);

    // A short row: a replica, but the thread states and the lag are not there to read.
    vesk_mycustom_data_mysql s;
    s.slave_io = s.slave_sql = 1;
    mysql_apply_replica(sql_from_text("Waiting\t127.0.0.1\trepl\t3306\n", false), s);
    EXPECT_EQ(s.is_slave, 1);
    EXPECT_EQ(s.slave_io, 1u);
    EXPECT_EQ(s.slave_sql, 1u);

    vesk_mycustom_data_mysql primary;
    mysql_apply_replica(sql_fixture("mariadb/empty"), primary);
    EXPECT_EQ(primary.is_slave, 0);

    uint32_t threads = 9;
    mysql_apply_each(sql_fixture("mariadb/threads"), 1, threads);
    EXPECT_EQ(threads, 2u);
    mysql_apply_each(sql_from_text("\\N\n", false), 0, threads);
    mysql_apply_each(sql_from_text("Threads_connected\n", false), 1, threads);
    EXPECT_EQ(threads, 2u);
}

TEST_F(MysqlCounter, RestartsAndRatesAcrossBadCycles)
{
    testing::internal::CaptureStdout();
    core_counter c(kOps, "main mon:pw@127.0.0.1:3306\n");
    testing::internal::GetCapturedStdout();
    auto &d = c.data<vesk_mycustom_data_mysql>();
    struct {
        int ok;
        uint32_t uptime;
        uint64_t insert;
        int reported_insert; // -1 when the object is left out
        int restarted;
    } cycles[] = {
        {1, 1000, 100, -1, 0},   // primes
        {1, 1015, 400, 1200, 0}, //
        {0, 1015, 400, -1, 0},   // down
        {1, 5, 10, -1, 0},       // back after a restart: the previous sample was bad
        {1, 20, 70, 240, 1},     // the restart, reported once
        {1, 35, 70, 0, 0},       //
        {1, 3, 5, 0, 1},         // a restart between two good cycles
        {1, 18, 5, 0, 0},        //
    };
    uint64_t iteration = 0;
    for (const auto &cy : cycles) {
        d.ok = cy.ok;
        d.uptime = cy.uptime;
        d.insert = cy.insert;
        c.delta(iteration);
        std::string r = c.report();
        if (cy.reported_insert < 0) {
            EXPECT_EQ(r, "") << "cycle " << iteration;
        } else {
            EXPECT_NE(r.find("{insert:i64=" + std::to_string(cy.reported_insert) + ";"), std::string::npos)
                << "cycle " << iteration << ": " << r;
            EXPECT_NE(r.find(";restarted:i64=" + std::to_string(cy.restarted) + ";"), std::string::npos)
                << "cycle " << iteration << ": " << r;
        }
        iteration++;
    }
}

// MariaDB 10.11 keeps no InnoDB row counts; servers that do get them as rates.
TEST_F(MysqlCounter, InnodbRowRates)
{
    testing::internal::CaptureStdout();
    core_counter c(kOps, "main mon:pw@127.0.0.1:3306\n");
    testing::internal::GetCapturedStdout();
    auto &d = c.data<vesk_mycustom_data_mysql>();
    d.ok = 1;
    c.delta(0);
    d.innodb_rows_deleted = 3, d.innodb_rows_inserted = 4, d.innodb_rows_read = 5, d.innodb_rows_updated = 6;
    c.delta(1, 15);
    EXPECT_NE(c.report().find("innodb_del:i64=12;innodb_ins:i64=16;innodb_read:i64=20;innodb_updated:i64=24;"),
              std::string::npos)
        << c.report();
}
