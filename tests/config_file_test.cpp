// Reading the configuration files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "encoding.hpp"
#include "string_list.hpp"
#include "test_support.hpp"
#include "vesk_docker_core.hpp"
#include "vesk_config.hpp"
#include "vesk_config_file.hpp"
#include "vesk_core.hpp"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

class ConfigFiles : public testing::Test {
protected:
    void SetUp() override { reset_agent_state(); }

    // Reads one file; the result of parse_config_file, with what it printed.
    int parse(const std::string &text, const std::string &name = "vesk.conf")
    {
        std::string path = dir.write(name, text);
        CaptureStdout();
        CaptureStderr();
        int r = parse_config_file(path.c_str());
        out = GetCapturedStdout();
        err = GetCapturedStderr();
        return r;
    }

    temp_dir dir;
    std::string out, err;
};

const std::string kId = "id 17\n";

} // namespace

// Which rule a key meets decides where its line goes: prefix rules such as
// custom_uid before custom, and mysql_lib before mysql_.
TEST_F(ConfigFiles, RuleOrder)
{
    ASSERT_EQ(parse(kId + "custom_uid 1000\n"
                          "custom_gid_extra 1001\n"
                          "custom_counters_delimiter 7\n"
                          "customer rep name echo 1\n"
                          "custom g c uid=0 echo 2\n"
                          "multicustom mg echo 3\n"
                          "server_status /usr/bin/st\n"
                          "mysql_lib /opt/libmysql.so\n"
                          "mysql_connect_to 12\n"
                          "mysql_main u:p@h:3306\n"
                          "memcache 127.0.0.1:11211 ignored words\n"
                          "beanstalk 127.0.0.1:11300\n"
                          "redis_r1 u:p@h:6379\n"
                          "sphinx_s1 u:p@h:9306\n"
                          "elastic_e1 127.0.0.1:9200 node\n"
                          "apache_a1 127.0.0.1:80/server-status\n"
                          "nginx_n1 127.0.0.1:80/status host\n"
                          "fpm_f1 127.0.0.1:9000 /status\n"
                          "postgresql_p1 u:p@h:5432\n"
                          "#custom not a counter\n"
                          "   \n"
                          "\n"),
              0)
        << out;
    EXPECT_EQ(config.custom_default_uid, 1000);
    EXPECT_EQ(config.custom_default_gid, 1001);
    EXPECT_EQ(config.custom_counters_delimiter, 7);
    EXPECT_STREQ(config.mysql_lib, "/opt/libmysql.so");
    EXPECT_EQ(config.mysql_connect_to, 12);

    ASSERT_EQ(stats.ncustom_counters, 3);
    EXPECT_STREQ(stats.custom_counters[0].cfg_string, " rep name echo 1\n");
    EXPECT_STREQ(stats.custom_counters[1].cfg_string, " g c uid=0 echo 2\n");
    EXPECT_STREQ(stats.custom_counters[2].cfg_string,
                 "general server_status uid=0 gid=0 interval=1 type=11001  /usr/bin/st\n");
    ASSERT_EQ(stats.nmulticustom_counters, 1);
    EXPECT_STREQ(stats.multicustom_counters[0].cfg_string, " mg echo 3\n");
    ASSERT_EQ(stats.nmysql_counters, 1);
    EXPECT_STREQ(stats.mysql_counters[0].cfg_string, "main u:p@h:3306\n");
    ASSERT_EQ(stats.nmemcache_counters, 1);
    EXPECT_STREQ(stats.memcache_counters[0].cfg_string, "127.0.0.1:11211");
    ASSERT_EQ(stats.nbeanstalk_counters, 1);
    EXPECT_STREQ(stats.beanstalk_counters[0].cfg_string, "127.0.0.1:11300");
    ASSERT_EQ(stats.nredis_counters, 1);
    EXPECT_STREQ(stats.redis_counters[0].cfg_string, "r1 u:p@h:6379\n");

    // The service group keeps file order; each kind strips its own prefix.
    const char *mycustoms[] = {"s1 u:p@h:9306\n", "e1 127.0.0.1:9200 node\n", "a1 127.0.0.1:80/server-status\n",
                               "n1 127.0.0.1:80/status host\n", "f1 127.0.0.1:9000 /status\n", "p1 u:p@h:5432\n"};
    ASSERT_EQ(stats.nmycustoms, 6);
    for (int i = 0; i < 6; i++) EXPECT_STREQ(stats.mycustom_counters[i].cfg_string, mycustoms[i]) << i;
    EXPECT_EQ(config.mysql_on, 1);
    EXPECT_EQ(config.postgre_on, 1);
    EXPECT_EQ(err, "");
}

TEST_F(ConfigFiles, SettingValues)
{
    ASSERT_EQ(parse(kId + "address 192.168.100.200.extra\nmem_slab_as_cached 5\nslow_query_sec 250\n"), 0);
    EXPECT_STREQ(config.defaultServerIp, "192.168.100.200."); // 16 characters at most
    EXPECT_EQ(config.mem_slab_as_cached, 1);
    EXPECT_STREQ(config.slow_query_sec, "250");

    // Only "tcp", exactly, selects TCP.
    for (const char *v : {"TCP", "udp", "tcp6"}) {
        ASSERT_EQ(parse(kId + "proto " + v + "\n"), 0);
        EXPECT_EQ(config.proto, 17) << v;
    }
    ASSERT_EQ(parse(kId + "proto tcp\n"), 0);
    EXPECT_EQ(config.proto, 6);
}

TEST_F(ConfigFiles, ListLimits)
{
    std::string text = kId;
    for (int i = 0; i < 20; i++) text += "nameserver 10.0.0." + std::to_string(i) + "\n";
    for (int i = 0; i < 250; i++) text += "exclude_mount /m" + std::to_string(i) + "\n";
    for (int i = 0; i < 260; i++) text += "exclude_interfaces if" + std::to_string(i) + "\n";
    ASSERT_EQ(parse(text), 0);
    EXPECT_EQ(config.dns_servers_count, 16);
    EXPECT_STREQ(config.dns_servers[15], "10.0.0.15");
    EXPECT_EQ(config.path_exclude_masks_count, 256); // nine defaults + 247
    EXPECT_STREQ(config.path_exclude_masks[255], "/m246");
    EXPECT_EQ(config.interface_exclude_masks_count, 256);
    EXPECT_STREQ(config.interface_exclude_masks[255], "if255");
}

TEST_F(ConfigFiles, CounterCapacityIsWarnedAndIgnored)
{
    std::string text = kId;
    for (int i = 0; i < 17; i++) text += "redis_r" + std::to_string(i) + " u:p@h:6379\n";
    for (int i = 0; i < 17; i++) text += "multicustom m" + std::to_string(i) + " echo\n";
    ASSERT_EQ(parse(text), 0);
    EXPECT_EQ(stats.nredis_counters, 16);
    EXPECT_STREQ(stats.redis_counters[15].cfg_string, "r15 u:p@h:6379\n");
    EXPECT_EQ(stats.nmulticustom_counters, 16);
    std::string cfg = dir.path() / "vesk.conf";
    EXPECT_NE(err.find("more than 16 redis counters in config file " + cfg + " at line 18"), std::string::npos) << err;
    EXPECT_NE(err.find("more than 16 multicustom counters in config file " + cfg + " at line 35"), std::string::npos)
        << err;
}

TEST_F(ConfigFiles, Identity)
{
    struct {
        const char *text;
        int result;
        const char *message;
    } cases[] = {
        {"interval 5\n", 1, "ERROR: set server id or uuid!\n"},
        {"id 0\n", 1, "ERROR: set server id or uuid!\n"},
        {"uuid 0d9f3a1c-5b2e-4c8d-9a7f-112233445566\n", 1,
         "ERROR: When using server UUID instead of ID, 'server_name' must be specified\n"
         "ERROR: When using server UUID instead of ID, 'project_name' must be specified\n"},
        {"uuid 0d9f3a1c-5b2e-4c8d-9a7f-112233445566\nserver_name s\n", 1,
         "ERROR: When using server UUID instead of ID, 'project_name' must be specified\n"},
        {"uuid 0d9f3a1c-5b2e-4c8d-9a7f-112233445566\nserver_name s\nproject_name p\n", 0, ""},
        {"uuid not-a-uuid\n", 1, "ERROR: UUID must be in aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee format\n"},
        // Five groups parse, but the text is not 36 characters long.
        {"uuid 1-2-3-4-5\nserver_name s\nproject_name p\n", 1,
         "ERROR: UUID must be in aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee format\n"},
    };
    for (auto &c : cases) {
        reset_agent_state();
        EXPECT_EQ(parse(c.text), c.result) << c.text;
        EXPECT_EQ(out, c.message) << c.text;
    }
}

TEST_F(ConfigFiles, SharedMemoryKeys)
{
    ASSERT_EQ(parse("uuid 0d9f3a1c-5b2e-4c8d-9a7f-112233445566\nserver_name s\nproject_name p\n"), 0);
    // Of the 12-digit last group only its last eight digits count.
    EXPECT_EQ(config.shm_key, static_cast<key_t>(0x0d9f3a1cu ^ 0x5b2eu ^ 0x4c8du ^ 0x9a7fu ^ 0x33445566u));
    EXPECT_EQ(config.id, 0u);

    reset_agent_state();
    ASSERT_EQ(parse("id 2147483647\n"), 0);
    EXPECT_EQ(config.shm_key, 2147483647);
    ASSERT_NE(config.docker, nullptr); // the container table, key shm_key + 1, is attached
    EXPECT_EQ(config.docker->count, 0);
    EXPECT_STREQ(vesk_docker_sock_path(), "/var/run/docker.sock");

    // Keys that would make either segment IPC_PRIVATE are refused.
    for (const char *bad : {"id 4294967295\n", "uuid 00000000-0000-0000-0000-000000000000\n",
                            "uuid 00000001-0000-0000-0000-000000000001\n", "uuid ffffffff-0000-0000-0000-000000000000\n"}) {
        reset_agent_state();
        EXPECT_EQ(parse(std::string(bad) + "server_name s\nproject_name p\n"), 1) << bad;
        EXPECT_NE(out.find("cannot be used"), std::string::npos) << out;
    }
}

// The path stays in the agent's own memory; the shared table never holds a pointer.
TEST_F(ConfigFiles, DockerSocketPath)
{
    ASSERT_EQ(parse("docker_sock /srv/docker.sock\nid 5\n"), 0);
    EXPECT_EQ(out, "Docker socket '/srv/docker.sock'\n");
    ASSERT_NE(config.docker, nullptr);
    EXPECT_STREQ(vesk_docker_sock_path(), "/srv/docker.sock");
    ASSERT_EQ(parse("id 5\ndocker_sock /other path.sock"), 0); // the rest of the line, no newline at the end
    EXPECT_STREQ(vesk_docker_sock_path(), "/other path.sock");
    EXPECT_EQ(config.docker->sock_path, nullptr);
}

TEST_F(ConfigFiles, AutoDeleteIsRememberedPerFile)
{
    struct {
        const char *text;
        int auto_delete, auto_delete_min, server_type;
    } cases[] = {
        {"type k8s\n", 1, 0, 2},
        {"auto_delete 0\ntype k8s\n", 0, 0, 2},
        {"type autoscale\nauto_delete 0\n", 0, 0, 3},
        {"type regular\n", 0, 0, 1},
        {"type bogus\n", 0, 0, 0},
        {"auto_delete_min 15\n", 1, 15, 0},
        {"auto_delete 0\nauto_delete_min 15\n", 0, 0, 0},
        {"auto_delete 1\nauto_delete_min 15\n", 1, 15, 0},
        {"auto_delete yes\ntype cluster\n", 1, 0, 2},
    };
    for (auto &c : cases) {
        reset_agent_state();
        ASSERT_EQ(parse(kId + c.text), 0);
        EXPECT_EQ(config.auto_delete, c.auto_delete) << c.text;
        EXPECT_EQ(config.auto_delete_min, c.auto_delete_min) << c.text;
        EXPECT_EQ(config.server_type, c.server_type) << c.text;
    }

    // An auto_delete line of the main file does not hold for an extra file.
    reset_agent_state();
    vesk_copy(config.configFile, dir.write("main.conf", kId + "auto_delete 0\n"));
    dir.write("d/a.conf", "id 18\ntype k8s\n");
    vesk_copy(config.extConfigPattern, (dir.path() / "d/*.conf").string());
    CaptureStdout();
    ASSERT_EQ(parse_config(), 0);
    GetCapturedStdout();
    EXPECT_EQ(config.auto_delete, 1);
}

TEST_F(ConfigFiles, ExtraFilesInGlobOrderAccumulate)
{
    vesk_copy(config.configFile, dir.write("main.conf", kId + "memcache a:1\nmemcache b:2\nnameserver 10.0.0.1\n"
                                                                "interval 20\n"));
    dir.write("d/b.conf", "id 17\nnameserver 10.0.0.3\ninterval 40\nmemcache c:3\n");
    dir.write("d/a.conf", "id 17\nredis_x u:p@h:1\nnameserver 10.0.0.2\ninterval 30\n");
    dir.write("d/c.txt", "this is not read\n");
    vesk_copy(config.extConfigPattern, (dir.path() / "d/*.conf").string());
    CaptureStdout();
    CaptureStderr();
    ASSERT_EQ(parse_config(), 0);
    GetCapturedStdout();
    EXPECT_EQ(GetCapturedStderr(), "");

    EXPECT_EQ(stats.nmemcache_counters, 3);
    EXPECT_STREQ(stats.memcache_counters[2].cfg_string, "c:3");
    EXPECT_EQ(stats.nredis_counters, 1);
    EXPECT_EQ(config.interval, 40u); // the last file read wins
    ASSERT_EQ(config.dns_servers_count, 3);
    EXPECT_STREQ(config.dns_servers[1], "10.0.0.2");
    EXPECT_STREQ(config.dns_servers[2], "10.0.0.3");
    ASSERT_EQ(config.extConfigFiles.size(), 2u);
    EXPECT_EQ(config.extConfigFiles[0], (dir.path() / "d/a.conf").string());
    EXPECT_EQ(config.extConfigFiles[1], (dir.path() / "d/b.conf").string());

    // Each extra file needs the identity at its end too, and a failing file ends the reading.
    dir.write("d/b.conf", "memcache d:4\n");
    reset_agent_state();
    vesk_copy(config.configFile, (dir.path() / "main.conf").string());
    vesk_copy(config.extConfigPattern, (dir.path() / "d/*.conf").string());
    config.id = 0;
    CaptureStdout();
    EXPECT_EQ(parse_config(), 0); // the id of the main file still holds
    GetCapturedStdout();

    reset_agent_state();
    vesk_copy(config.configFile, (dir.path() / "missing.conf").string());
    CaptureStdout();
    EXPECT_EQ(parse_config(), 1);
    EXPECT_EQ(GetCapturedStdout(), "Config file " + (dir.path() / "missing.conf").string() + " not found!\n");
}

TEST_F(ConfigFiles, IntervalMustBePositive)
{
    for (const char *bad : {"0", "-5", "abc", "99999999999"}) {
        reset_agent_state();
        EXPECT_EQ(parse(kId + "interval " + bad + "\n"), 1) << bad;
        EXPECT_NE(out.find("ERROR: interval must be a positive number of seconds"), std::string::npos) << out;
    }
    reset_agent_state();
    EXPECT_EQ(parse(kId + "interval 1\n"), 0);
    EXPECT_EQ(config.interval, 1u);
}

TEST_F(ConfigFiles, UnknownKeywordsAndPlugins)
{
    config.log_level = LOG_LEVEL_INFO;
    std::string path = dir.path() / "vesk.conf";
    ASSERT_EQ(parse(kId + "intervall 5\npg x\nknown_plugins pg\tother\npg y\npg_main z\nrabbit_queue q1\n"), 0);
    // A misspelt key is warned about with its file and line, and offered to no plug-in.
    EXPECT_NE(err.find("\33[0;35m[warn] unknown keyword 'intervall' in config file " + path +
                       " at line 2\n\33[0;0m\n"),
              std::string::npos)
        << err;
    // A keyword counts as a plug-in only for lines after its known_plugins line.
    EXPECT_NE(err.find("unknown keyword 'pg' in config file " + path + " at line 3"), std::string::npos);
    // Only the key itself names a plug-in.
    EXPECT_NE(err.find("unknown keyword 'pg_main' in config file " + path + " at line 6"), std::string::npos);
    ASSERT_NE(config.known_plugins, nullptr);
    EXPECT_EQ(str_list_find(config.known_plugins, "other"), 1);
    EXPECT_EQ(err.find("at line 5"), std::string::npos) << err;
    EXPECT_NE(err.find("trying to load module 'pg' with line:\n\tpg y\n"), std::string::npos) << err;
    // rabbit_queue becomes a line of the "rabbit" plug-in, whole, its underscore a blank.
    EXPECT_NE(err.find("trying to load module 'rabbit' with line:\n\trabbit queue q1\n"), std::string::npos) << err;
    str_list_free(config.known_plugins);
    config.known_plugins = nullptr;
}

TEST_F(ConfigFiles, LongAndShortLines)
{
    // A custom command longer than the configuration string is refused, and the
    // rest of its line is not read as lines of its own.
    std::string long_cmd(5000, 'x');
    ASSERT_EQ(parse(kId + "custom g c echo " + long_cmd + " custom g2 c2 echo tail\nfpm"), 0);
    EXPECT_EQ(stats.ncustom_counters, 0);
    std::string path = dir.path() / "vesk.conf";
    EXPECT_NE(err.find("command too long in config file " + path + " at line 2"), std::string::npos) << err;
    // The last line, short and without a newline, picks up nothing of the lines before it.
    ASSERT_EQ(stats.nmycustoms, 1);
    EXPECT_STREQ(stats.mycustom_counters[0].cfg_string, "");

    // A custom line that fits the line but not the configuration string is refused too.
    reset_agent_state();
    ASSERT_EQ(parse(kId + "custom g c echo " + std::string(2100, 'y') + "\n"), 0);
    EXPECT_EQ(stats.ncustom_counters, 0);

    // A server_status command that the 255-character string would cut.
    reset_agent_state();
    ASSERT_EQ(parse(kId + "server_status " + std::string(250, 'z') + "\ncustom g c echo ok\n"), 0);
    ASSERT_EQ(stats.ncustom_counters, 1);
    EXPECT_STREQ(stats.custom_counters[0].cfg_string, " g c echo ok\n");

    // Other long lines are read in 4095-character pieces, each a line of its own.
    reset_agent_state();
    ASSERT_EQ(parse(kId + "exclude_mount /" + std::string(4080, 'm') + "memcache m:1\n"), 0);
    EXPECT_EQ(stats.nmemcache_counters, 1);
    EXPECT_EQ(strlen(config.path_exclude_masks[9]), 255u);
}

TEST_F(ConfigFiles, OnlyRootMayWriteAFile)
{
    if (geteuid() != 0) GTEST_SKIP() << "hands files to other owners: root";
    struct {
        uid_t owner;
        mode_t mode;
        const char *refusal; // none: read
    } cases[] = {
        {0, 0644, nullptr},
        {0, 0600, nullptr},
        {65534, 0644, "is not owned by root (owner 65534, mode 0644)"},
        {0, 0664, "is writable by group or others (owner 0, mode 0664)"},
        {0, 0646, "is writable by group or others (owner 0, mode 0646)"},
        {0, 0666, "is writable by group or others (owner 0, mode 0666)"},
    };
    for (const auto &c : cases) {
        reset_agent_state();
        std::string path = dir.write("vesk.conf", kId + "custom g c uid=0 id -u\n");
        ASSERT_EQ(chown(path.c_str(), c.owner, 0), 0);
        ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
        CaptureStdout();
        int r = parse_config_file(path.c_str());
        out = GetCapturedStdout();
        if (c.refusal) {
            EXPECT_EQ(r, 1) << c.refusal;
            EXPECT_EQ(out, "ERROR: config file " + path + " " + c.refusal + "\n");
            EXPECT_EQ(stats.ncustom_counters, 0) << "nothing of a refused file is taken";
        } else {
            EXPECT_EQ(r, 0) << std::oct << c.mode;
            EXPECT_EQ(stats.ncustom_counters, 1);
        }
    }
}

TEST_F(ConfigFiles, NulByteIsRefused)
{
    using namespace std::string_literals;
    for (const std::string &text : {"secret ab\0cd\n"s, "custom g c echo\0 1\n"s, "# a comment\0\n"s}) {
        reset_agent_state();
        EXPECT_EQ(parse(kId + text), 1);
        EXPECT_EQ(out, "ERROR: NUL byte in config file " + (dir.path() / "vesk.conf").string() + " at line 2\n");
        EXPECT_STREQ(config.secret, "");
        EXPECT_EQ(stats.ncustom_counters, 0);
    }
}
