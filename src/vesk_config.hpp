// The settings record (the one global `config`), its defaults and printout, and the
// small helpers that read it: path substitution, exclusion masks, the debug switch.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "vesk_owners.hpp"
#include "vesk_types.hpp"

inline constexpr int VESK_MAX_DNS_SERVERS = 16;
inline constexpr int VESK_MAX_MASKS = 256;
inline constexpr int VESK_MAX_EXT_CONFIGS = 256;
inline constexpr int VESK_MASK_LEN = 256;

inline constexpr const char *VESK_DEFAULT_CONFIG = "/etc/vesk.conf";
inline constexpr const char *VESK_DEFAULT_CONFIG_GLOB = "/etc/vesk.d/*.conf";
inline constexpr const char *VESK_PID_FILE = "/var/run/vesk.pid";

struct vesk_config {
    // file names and roots
    char configFile[1025];
    char extConfigPattern[257];
    char procFsPath[65];
    char sysFsPath[65];
    std::vector<std::string> extConfigFiles; // the extra files read, in order
    // identity
    char name[1024];
    uint32_t id;
    key_t shm_key;
    int server_type;
    int auto_delete;
    int auto_delete_min;
    char uuid[40];
    char server_name[100];
    char project_name[100];
    char project_secret[100];
    // transport
    uint32_t interval;
    int proto;
    int port;
    char serverName[1025];
    char defaultServerIp[17];
    char serverIp[17];
    int dns_servers_count;
    char dns_servers[VESK_MAX_DNS_SERVERS][256];
    // exclusions
    int path_exclude_masks_count;
    char path_exclude_masks[VESK_MAX_MASKS][VESK_MASK_LEN];
    int exclude_tmpfs;
    int interface_exclude_masks_count;
    char interface_exclude_masks[VESK_MAX_MASKS][VESK_MASK_LEN];
    char secret[256];
    int randomsecond;
    // custom-script defaults
    int custom_counters_delimiter;
    int custom_default_uid;
    int custom_default_gid;
    int custom_default_timeout;
    // time-outs
    int counter_tcp_to;
    int server_tcp_to;
    int mysql_write_to;
    int mysql_read_to;
    int mysql_connect_to;
    int mem_slab_as_cached;
    int oom_watcher;
    // client libraries
    char mysql_lib[512];
    int mysql_on;
    unique_dl mysql_handle;
    int postgre_on;
    char postgre_lib[512];
    char slow_query_sec[32];
    unique_dl postgre_handle;
    // logging and debug switches
    log_level_t log_level;
    int debug;
    int dump_packages;
    uint16_t mod_debug;
    int showconfigonly;
    int apacheSlashed;
    // Docker
    vesk_docker_t *docker;
    std::string docker_sock_path; // empty when no docker_sock line was read
    long uptime_at_startup;
    // plug-ins
    int plugins_on;
    string_list *known_plugins;
};

extern vesk_config config;

// Defaults of every setting.
int init_config();
int print_config();
const char *get_server_type(const vesk_config *conf);
int in_excludelist(const char *needle, const char masks[][VESK_MASK_LEN], int count);
int debug_enabled(const vesk_config *conf, uint16_t mod);
// Path with the configured root in place of its leading "/proc" or "/sys".
// One static buffer each, overwritten by the next call.
const char *get_proc_path(const char *path);
const char *get_sys_path(const char *path);
int is_valid_int(const char *str);
