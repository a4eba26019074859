// The settings record's defaults and printout, and the helpers that read it.
#include "vesk_config.hpp"

#include <sys/sysinfo.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "encoding.hpp"
#include "string_list.hpp"

vesk_config config;

static const char *const kDefaultMountMasks[] = {
    "/dev/shm", "/run/lock", "/run/shm", "/run", "/dev", "/proc/sys", "/lib/init/rw", "/boot/efi", "/run/user/*",
};

int init_config()
{
    config = vesk_config{};
    vesk_copy(config.configFile, VESK_DEFAULT_CONFIG);
    vesk_copy(config.extConfigPattern, VESK_DEFAULT_CONFIG_GLOB);
    vesk_copy(config.procFsPath, "/proc");
    vesk_copy(config.sysFsPath, "/sys");
    config.interval = 15;
    config.proto = 17;
    config.port = 8641;
    for (const char *mask : kDefaultMountMasks)
        vesk_copy(config.path_exclude_masks[config.path_exclude_masks_count++], mask);
    config.custom_counters_delimiter = 4;
    config.custom_default_uid = 65534;
    config.custom_default_gid = 65534;
    config.custom_default_timeout = 5;
    config.counter_tcp_to = 2;
    config.server_tcp_to = 4;
    config.mysql_write_to = 3;
    config.mysql_read_to = 3;
    config.mysql_connect_to = 10;
    config.oom_watcher = 1;
    vesk_copy(config.mysql_lib, "libmysqlclient.so");
    vesk_copy(config.postgre_lib, "libpq.so");
    vesk_copy(config.slow_query_sec, "100");
    config.log_level = LOG_LEVEL_WARNING;
    config.apacheSlashed = 1;

    struct sysinfo info {};
    int r = sysinfo(&info);
    if (r != 0)
        printf("error in sysinfo() = %d\n", r);
    else
        config.uptime_at_startup = info.uptime;
    return 0;
}

const char *get_server_type(const vesk_config *conf)
{
    switch (conf->server_type) {
    case 0: return "common";
    case 1: return "regular";
    case 2: return "k8s-cluster";
    case 3: return "autoscale";
    default: return "unknown";
    }
}

int print_config()
{
    printf("Config:\n");
    printf("\tdebug: %d\n", config.debug);
    printf("\tname: %s\n", config.name);
    printf("\tid: %d\n", static_cast<int>(config.id));
    printf("\tserver type: %s\n", get_server_type(&config));
    printf("\tauto delete enabled: %d\n", config.auto_delete);
    printf("\tauto delete minutes: %d\n", config.auto_delete_min);
    printf("\tUUID: %s\n", config.uuid);
    printf("\tServer name: %s\n", config.server_name);
    printf("\tProject name: %s\n", config.project_name);
    printf("\tinterval: %d\n", static_cast<int>(config.interval));
    printf("\tproto: %d\n", config.proto);
    printf("\tport: %d\n", config.port);
    printf("\tdefault server ip: %s\n", config.defaultServerIp);
    printf("\tserver ip: %s\n", config.serverIp);
    printf("\tdefault server name: %s\n", config.serverName);
    printf("\tcounter_tcp_to: %d\n", config.counter_tcp_to);
    printf("\tserver_tcp_to: %d\n", config.server_tcp_to);
    printf("\tmysql_write_to: %d\n", config.mysql_write_to);
    printf("\tmysql_read_to: %d\n", config.mysql_read_to);
    printf("\tmysql_connect_to: %d\n", config.mysql_connect_to);
    printf("\tslow_query_sec: %s\n", config.slow_query_sec);
    if (config.known_plugins) {
        printf("\tknown plugins:\n");
        str_list_dump(config.known_plugins, "\t  ");
    }
    printf("\tconfig file: %s\n", config.configFile);
    for (const std::string &f : config.extConfigFiles) printf("\t\t%s\n", f.c_str());
    return 0;
}

int in_excludelist(const char *needle, const char masks[][VESK_MASK_LEN], int count)
{
    for (int i = 0; i < count; i++) {
        const char *mask = masks[i];
        size_t len = strlen(mask);
        if (len >= 2 && mask[len - 1] == '*') {
            if (strncmp(needle, mask, len - 1) == 0) return 1;
        } else if (strcmp(needle, mask) == 0) {
            return 1;
        }
    }
    return 0;
}

int debug_enabled(const vesk_config *conf, uint16_t mod)
{
    if (conf->debug) return 1;
    return mod & conf->mod_debug;
}

static const char *substitute_root(char (&buf)[256], const char *root, const char *path, size_t strip)
{
    size_t plen = strlen(path);
    const char *rest = path + (plen < strip ? plen : strip);
    snprintf(buf, sizeof buf, "%s%s", root, rest);
    if (debug_enabled(&config, VESK_DEBMOD_PROCSYS)) printf("[procsys] path substitution %s -> %s\n", path, buf);
    return buf;
}

const char *get_proc_path(const char *path)
{
    static char buf[256];
    return substitute_root(buf, config.procFsPath, path, 5);
}

const char *get_sys_path(const char *path)
{
    static char buf[256];
    return substitute_root(buf, config.sysFsPath, path, 4);
}

int is_valid_int(const char *str)
{
    if (*str == '-') str++;
    if (!*str) return 0;
    for (; *str; str++)
        if (!isdigit(static_cast<unsigned char>(*str))) return 0;
    return 1;
}
