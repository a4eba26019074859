// The settings record and the path helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "encoding.hpp"
#include "string_list.hpp"
#include "test_support.hpp"
#include "vesk_config.hpp"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

TEST(Settings, DefaultsAndPrintout)
{
    reset_agent_state();
    EXPECT_EQ(config.interval, 15u);
    EXPECT_EQ(config.proto, 17);
    EXPECT_EQ(config.port, 8641);
    EXPECT_EQ(config.path_exclude_masks_count, 9);
    EXPECT_STREQ(config.path_exclude_masks[8], "/run/user/*");
    EXPECT_EQ(config.log_level, LOG_LEVEL_WARNING);

    config.id = 42;
    config.server_type = 2;
    config.auto_delete = 1;
    config.auto_delete_min = 30;
    vesk_copy(config.secret, "never-printed");
    vesk_copy(config.project_secret, "also-never-printed");
    vesk_copy(config.defaultServerIp, "10.1.2.3");
    config.known_plugins = str_list_new();
    str_list_add(config.known_plugins, "pg");
    config.extConfigFiles = {"/etc/vesk.d/a.conf", "/etc/vesk.d/b.conf"};
    CaptureStdout();
    print_config();
    std::string got = GetCapturedStdout();
    str_list_free(config.known_plugins);
    config.known_plugins = nullptr;

    EXPECT_EQ(got, "Config:\n"
                   "\tdebug: 0\n"
                   "\tname: \n"
                   "\tid: 42\n"
                   "\tserver type: k8s-cluster\n"
                   "\tauto delete enabled: 1\n"
                   "\tauto delete minutes: 30\n"
                   "\tUUID: \n"
                   "\tServer name: \n"
                   "\tProject name: \n"
                   "\tinterval: 15\n"
                   "\tproto: 17\n"
                   "\tport: 8641\n"
                   "\tdefault server ip: 10.1.2.3\n"
                   "\tserver ip: \n"
                   "\tdefault server name: \n"
                   "\tcounter_tcp_to: 2\n"
                   "\tserver_tcp_to: 4\n"
                   "\tmysql_write_to: 3\n"
                   "\tmysql_read_to: 3\n"
                   "\tmysql_connect_to: 10\n"
                   "\tslow_query_sec: 100\n"
                   "\tknown plugins:\n"
                   "\t  - pg\n"
                   "\tconfig file: /etc/vesk.conf\n"
                   "\t\t/etc/vesk.d/a.conf\n"
                   "\t\t/etc/vesk.d/b.conf\n");
}

TEST(Settings, SmallHelpers)
{
    reset_agent_state();
    struct {
        int type;
        const char *name;
    } types[] = {{0, "common"}, {1, "regular"}, {2, "k8s-cluster"}, {3, "autoscale"}, {7, "unknown"}, {-1, "unknown"}};
    for (auto t : types) {
        config.server_type = t.type;
        EXPECT_STREQ(get_server_type(&config), t.name) << t.type;
    }

    struct {
        const char *needle;
        int want;
    } mounts[] = {{"/dev", 1},       {"/dev/sda1", 0},      {"/run/user/1000", 1}, {"/run/user/", 1},
                  {"/run/user", 0},  {"/run", 1},           {"/boot/efi", 1},      {"/", 0},
                  {"/proc/sys", 1},  {"/proc/sys/fs", 0}};
    for (auto m : mounts)
        EXPECT_EQ(in_excludelist(m.needle, config.path_exclude_masks, config.path_exclude_masks_count), m.want)
            << m.needle;
    char star[2][VESK_MASK_LEN] = {"*", "veth*"};
    EXPECT_EQ(in_excludelist("*", star, 2), 1);
    EXPECT_EQ(in_excludelist("eth0", star, 2), 0); // a lone '*' matches only itself
    EXPECT_EQ(in_excludelist("veth12", star, 2), 1);
    EXPECT_EQ(in_excludelist("veth12", star, 1), 0); // only the first `count` masks

    for (const char *yes : {"0", "-12", "123456789012"}) EXPECT_EQ(is_valid_int(yes), 1) << yes;
    for (const char *no : {"", "-", "+1", "12a", " 1", "1 ", "--1"}) EXPECT_EQ(is_valid_int(no), 0) << no;

    config.mod_debug = 4;
    EXPECT_EQ(debug_enabled(&config, 1), 0);
    EXPECT_NE(debug_enabled(&config, 4), 0);
    config.debug = 1;
    EXPECT_NE(debug_enabled(&config, 1), 0);
}

TEST(Settings, PathSubstitution)
{
    reset_agent_state();
    EXPECT_STREQ(get_proc_path("/proc/net/dev"), "/proc/net/dev");
    EXPECT_STREQ(get_sys_path("/sys/block"), "/sys/block");
    vesk_copy(config.procFsPath, "/host/proc");
    vesk_copy(config.sysFsPath, "/host/sys");
    EXPECT_STREQ(get_proc_path("/proc/net/dev"), "/host/proc/net/dev");
    EXPECT_STREQ(get_sys_path("/sys/block/sda/stat"), "/host/sys/block/sda/stat");

    // Nothing is printed without --debug or the procsys bit; with the bit, one line.
    CaptureStdout();
    get_proc_path("/proc/uptime");
    EXPECT_EQ(GetCapturedStdout(), "");
    config.mod_debug = VESK_DEBMOD_PROCSYS;
    CaptureStdout();
    get_proc_path("/proc/uptime");
    EXPECT_EQ(GetCapturedStdout(), "[procsys] path substitution /proc/uptime -> /host/proc/uptime\n");

    // A root and path longer than the buffer are cut, never overflowing it.
    config.mod_debug = 0;
    vesk_copy(config.procFsPath, std::string(64, 'r'));
    std::string path = "/proc/" + std::string(300, 'p');
    EXPECT_EQ(strlen(get_proc_path(path.c_str())), 255u);
}
