// Reading the configuration files: lines, the rule of every key, counters and plug-in lines.
#include "vesk_config_file.hpp"

#include <glob.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "encoding.hpp"
#include "mycustom.hpp"
#include "string_list.hpp"
#include "vesk_apache.hpp"
#include "vesk_beanstalk.hpp"
#include "vesk_config.hpp"
#include "vesk_core.hpp"
#include "vesk_custom.hpp"
#include "vesk_docker_core.hpp"
#include "vesk_elastic.hpp"
#include "vesk_fpm.hpp"
#include "vesk_log.hpp"
#include "vesk_memcache.hpp"
#include "vesk_multicustom.hpp"
#include "vesk_mysql.hpp"
#include "vesk_nginx.hpp"
#include "vesk_plugin.hpp"
#include "vesk_postgre.hpp"
#include "vesk_redis.hpp"
#include "vesk_shm.hpp"
#include "vesk_sphinx.hpp"

int parse_uuid(const char *uuid, key_t *key)
{
    unsigned int g[5];
    if (sscanf(uuid, "%X-%X-%X-%X-%X", &g[0], &g[1], &g[2], &g[3], &g[4]) != 5) return 0;
    *key = static_cast<key_t>(g[0] ^ g[1] ^ g[2] ^ g[3] ^ g[4]);
    return 1;
}

int is_known_plugin(const char *plugin)
{
    return strcmp(plugin, "mongodb") == 0 || strcmp(plugin, "rabbit") == 0 ||
           str_list_find(config.known_plugins, plugin);
}

void parse_plugin_line(const char *rest_line, const char *full_line)
{
    char name[64] = "";
    sscanf(rest_line, "%63s", name);
    _vesk_log(LOG_LEVEL_INFO, "\33[0;32m[info] trying to load module '%s' with line:\n\t%s\n\33[0;0m\n", name,
              rest_line);
    if (!name[0]) {
        _vesk_log(LOG_LEVEL_WARNING,
                  "\33[0;35m[warn] cannot parse plugin config line (unknown plugin name):\n\t%s\n\33[0;0m\n",
                  full_line);
        return;
    }
    if (plugin_set(&stats, name, rest_line, config.log_level) != 0) config.plugins_on = 1;
}

// ---- reading one file ----------------------------------------------------------

namespace {

bool is_blank(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

// strtol semantics: leading blanks and a sign, digits up to the first other character, 0 without digits.
long read_number(std::string_view v)
{
    std::string s(v);
    return strtol(s.c_str(), nullptr, 10);
}

// Everything one rule needs to know about the line at hand.
struct line_ctx {
    const char *file;
    int lineno;
    std::string_view line;  // the whole line as read, newline included when present
    size_t key_start;       // where the key begins on the line
    std::string_view key;
    std::string_view value;
    bool cut;               // the line was longer than a read and goes on in the next piece
    bool skip_rest;         // a refused cut line: its remaining pieces are not lines of their own
    bool auto_delete_given; // an auto_delete line with 1 or 0 came earlier in this file
};

// The text of the line from `pos`, never past its end.
std::string_view line_from(const line_ctx &c, size_t pos)
{
    return pos < c.line.size() ? c.line.substr(pos) : std::string_view{};
}

// Rule results: the line is done, or the file fails.
enum class rule_result { done, fail };

// ---- counter lines ----

enum class group { custom, multicustom, mysql, memcache, beanstalk, redis, mycustom };

// Where the configuration string of a counter line begins.
enum class cfg_from {
    key_end,    // the rest of the line after the key (the separator included)
    key_offset, // a fixed count of characters from where the key begins: the key's rest is the id
    value_word, // only the value word
};

struct counter_kind {
    group g;
    cfg_from from;
    size_t offset;
    mycustom_ops ops;
    int *flag; // set when such a counter is registered
};

const char *group_name(group g)
{
    switch (g) {
    case group::custom: return "custom";
    case group::multicustom: return "multicustom";
    case group::mysql: return "mysql";
    case group::memcache: return "memcache";
    case group::beanstalk: return "beanstalk";
    case group::redis: return "redis";
    case group::mycustom: return "service";
    }
    return "";
}

// The next free slot of a group, or null when the group is full.
vesk_mycustom_counter *next_slot(group g, int &capacity)
{
    auto take = [&](auto &count, vesk_mycustom_counter *arr, int cap) -> vesk_mycustom_counter * {
        capacity = cap;
        if (count >= cap) return nullptr;
        return &arr[count++];
    };
    switch (g) {
    case group::custom: return take(stats.ncustom_counters, stats.custom_counters, VESK_MAX_CUSTOM);
    case group::mysql: return take(stats.nmysql_counters, stats.mysql_counters, VESK_MAX_MYSQL);
    case group::memcache: return take(stats.nmemcache_counters, stats.memcache_counters, VESK_MAX_MEMCACHE);
    case group::beanstalk: return take(stats.nbeanstalk_counters, stats.beanstalk_counters, VESK_MAX_BEANSTALK);
    case group::redis: return take(stats.nredis_counters, stats.redis_counters, VESK_MAX_REDIS);
    case group::mycustom: return take(stats.nmycustoms, stats.mycustom_counters, VESK_MAX_MYCUSTOM);
    case group::multicustom: break;
    }
    return nullptr;
}

void warn_line(const line_ctx &c, const char *what)
{
    _vesk_log(LOG_LEVEL_WARNING, "\33[0;35m[warn] %s in config file %s at line %d, line ignored\n\33[0;0m\n", what,
              c.file, c.lineno);
}

void refuse_command(line_ctx &c)
{
    c.skip_rest = c.cut;
    _vesk_log(LOG_LEVEL_ERROR,
              "\33[0;31m[error] command too long in config file %s at line %d: the counter is not registered\33[0;0m\n",
              c.file, c.lineno);
}

rule_result register_counter(line_ctx &c, const counter_kind &kind, std::string_view cfg)
{
    // A script command that would be cut is never run.
    bool runs_command = kind.g == group::custom || kind.g == group::multicustom;
    if (runs_command && (c.cut || cfg.size() >= VESK_CFG_STRING_LEN)) {
        refuse_command(c);
        return rule_result::done;
    }
    std::string text(cfg.substr(0, VESK_CFG_STRING_LEN - 1));
    if (kind.g == group::multicustom) {
        if (stats.nmulticustom_counters >= VESK_MAX_MULTICUSTOM) {
            char what[64];
            snprintf(what, sizeof what, "more than %d multicustom counters", VESK_MAX_MULTICUSTOM);
            warn_line(c, what);
            return rule_result::done;
        }
        mymulticustom_set(&stats.multicustom_counters[stats.nmulticustom_counters++], text.c_str(), kind.ops);
    } else {
        int capacity = 0;
        vesk_mycustom_counter *slot = next_slot(kind.g, capacity);
        if (!slot) {
            char what[64];
            snprintf(what, sizeof what, "more than %d %s counters", capacity, group_name(kind.g));
            warn_line(c, what);
            return rule_result::done;
        }
        mycustom_set(slot, text.c_str(), kind.ops);
    }
    if (kind.flag) *kind.flag = 1;
    return rule_result::done;
}

rule_result counter_line(line_ctx &c, const counter_kind &kind)
{
    std::string_view cfg;
    switch (kind.from) {
    case cfg_from::key_end: cfg = line_from(c, c.key_start + c.key.size()); break;
    case cfg_from::key_offset: cfg = line_from(c, c.key_start + kind.offset); break;
    case cfg_from::value_word: cfg = c.value.substr(0, 255); break;
    }
    return register_counter(c, kind, cfg);
}

// The operations of the script counters; server_status lines are custom counters too.
const mycustom_ops kCustomOps{.init = custom_init, .update = custom_update, .delta = custom_delta,
                              .tobson = custom_tobson, .dump = custom_dump, .free = custom_free};
const mycustom_ops kMulticustomOps{.init = multicustom_init, .update = multicustom_update,
                                   .delta = multicustom_delta, .tobson = multicustom_tobson,
                                   .dump = multicustom_dump, .free = multicustom_free};

rule_result server_status_line(line_ctx &c)
{
    std::string_view rest = line_from(c, c.key_start + c.key.size());
    char text[256];
    int n = snprintf(text, sizeof text, "general server_status uid=0 gid=0 interval=1 type=%d %.*s", 11001,
                     static_cast<int>(rest.size()), rest.data());
    if (c.cut || n < 0 || static_cast<size_t>(n) >= sizeof text) {
        refuse_command(c);
        return rule_result::done;
    }
    counter_kind kind{group::custom, cfg_from::key_end, 0, kCustomOps, nullptr};
    return register_counter(c, kind, text);
}

// ---- settings ----

// The identity fixes the shared-memory keys: shm_key for the customs results and
// shm_key + 1 for the container table. Key 0 is IPC_PRIVATE and cannot be shared.
rule_result set_identity_key(const line_ctx &c, key_t key)
{
    config.shm_key = key;
    if (key == 0 || vesk_shm_next_key(key) == 0) {
        printf("ERROR: the server identity in %s at line %d gives shared-memory key %d, which cannot be used; "
               "choose another id or uuid\n",
               c.file, c.lineno, key);
        return rule_result::fail;
    }
    docker_init(&config.docker);
    return rule_result::done;
}

rule_result id_line(line_ctx &c)
{
    config.id = static_cast<uint32_t>(read_number(c.value));
    if (config.id == 0) {
        config.shm_key = 0;
        return rule_result::done; // no identity: the end-of-file check reports it
    }
    return set_identity_key(c, static_cast<key_t>(config.id));
}

rule_result uuid_line(line_ctx &c)
{
    vesk_copy(config.uuid, c.value);
    key_t key = 0;
    if (!parse_uuid(config.uuid, &key)) {
        printf("ERROR: UUID must be in aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee format\n");
        return rule_result::fail;
    }
    return set_identity_key(c, key);
}

rule_result type_line(line_ctx &c)
{
    static const struct {
        const char *name;
        int type;
    } types[] = {{"common", 0}, {"regular", 1}, {"k8s-cluster", 2}, {"cluster", 2}, {"k8s", 2}, {"autoscale", 3}};
    for (const auto &t : types) {
        if (c.value != t.name) continue;
        config.server_type = t.type;
        if ((t.type == 2 || t.type == 3) && !c.auto_delete_given) config.auto_delete = 1;
        break;
    }
    return rule_result::done;
}

rule_result auto_delete_line(line_ctx &c)
{
    if (c.value == "1" || c.value == "0") {
        config.auto_delete = c.value == "1";
        c.auto_delete_given = true;
    }
    return rule_result::done;
}

rule_result auto_delete_min_line(line_ctx &c)
{
    if (config.auto_delete == 1 || !c.auto_delete_given) {
        config.auto_delete_min = static_cast<int>(read_number(c.value));
        config.auto_delete = 1;
    }
    return rule_result::done;
}

rule_result interval_line(line_ctx &c)
{
    std::string v(c.value);
    char *end = nullptr;
    errno = 0;
    long n = strtol(v.c_str(), &end, 10);
    // Cycles fall on (now - 2) mod interval: zero or a negative interval is unusable.
    if (end == v.c_str() || errno == ERANGE || n <= 0 || n > INT_MAX) {
        printf("ERROR: interval must be a positive number of seconds, not '%s' (%s, line %d)\n", v.c_str(), c.file,
               c.lineno);
        return rule_result::fail;
    }
    config.interval = static_cast<uint32_t>(n);
    return rule_result::done;
}

rule_result docker_sock_line(line_ctx &c)
{
    std::string_view rest = line_from(c, c.key_start + c.key.size() + 1);
    size_t nl = rest.find('\n');
    if (nl != std::string_view::npos) rest = rest.substr(0, nl);
    // Kept in the agent's own memory, where the docker child finds it after the fork.
    config.docker_sock_path.assign(rest);
    printf("Docker socket '%s'\n", config.docker_sock_path.c_str());
    return rule_result::done;
}

void append_mask(char (*masks)[VESK_MASK_LEN], int &count, std::string_view value)
{
    if (count < VESK_MAX_MASKS) vesk_strlcpy(masks[count++], value, VESK_MASK_LEN);
}

template <size_t N>
rule_result set_text(char (&field)[N], std::string_view value)
{
    vesk_copy(field, value);
    return rule_result::done;
}

rule_result set_int(int &field, std::string_view value)
{
    field = static_cast<int>(read_number(value));
    return rule_result::done;
}

// The value is pasted into SQL statements: only a plain number of seconds is taken.
rule_result slow_query_sec_line(line_ctx &c)
{
    if (c.value.size() < sizeof config.slow_query_sec && postgre_valid_seconds(c.value))
        return set_text(config.slow_query_sec, c.value);
    std::string what = "slow_query_sec '" + std::string(c.value) + "' is not a number of seconds (kept '" +
                       config.slow_query_sec + "')";
    warn_line(c, what.c_str());
    return rule_result::done;
}

// ---- the rules, in the order they are tried ----

struct rule {
    const char *key;
    bool prefix;
    rule_result (*apply)(line_ctx &c);
};

#define SETTING(key, body) {key, false, [](line_ctx &c) -> rule_result { body; }}
#define PREFIX_SETTING(key, body) {key, true, [](line_ctx &c) -> rule_result { body; }}
#define COUNTER(key, prefix, ...)                                                                                   \
    {key, prefix, [](line_ctx &c) -> rule_result {                                                                  \
         static const counter_kind kind{__VA_ARGS__};                                                                \
         return counter_line(c, kind);                                                                               \
     }}

const rule kRules[] = {
    {"id", false, id_line},
    {"uuid", false, uuid_line},
    SETTING("server_name", return set_text(config.server_name, c.value)),
    SETTING("project_name", return set_text(config.project_name, c.value)),
    SETTING("project_secret", return set_text(config.project_secret, c.value)),
    {"type", false, type_line},
    {"auto_delete", false, auto_delete_line},
    {"auto_delete_min", false, auto_delete_min_line},
    SETTING("proto", if (c.value == "tcp") config.proto = 6; return rule_result::done),
    SETTING("address", return set_text(config.defaultServerIp, c.value)),
    SETTING("domain", return set_text(config.serverName, c.value)),
    {"interval", false, interval_line},
    SETTING("port", return set_int(config.port, c.value)),
    SETTING("nameserver",
            if (config.dns_servers_count < VESK_MAX_DNS_SERVERS)
                vesk_copy(config.dns_servers[config.dns_servers_count++], c.value);
            return rule_result::done),
    SETTING("secret", return set_text(config.secret, c.value)),
    SETTING("mem_slab_as_cached", config.mem_slab_as_cached = read_number(c.value) > 0; return rule_result::done),
    SETTING("mysql_connect_to", return set_int(config.mysql_connect_to, c.value)),
    SETTING("mysql_read_to", return set_int(config.mysql_read_to, c.value)),
    SETTING("mysql_write_to", return set_int(config.mysql_write_to, c.value)),
    SETTING("server_tcp_to", return set_int(config.server_tcp_to, c.value)),
    SETTING("counter_tcp_to", return set_int(config.counter_tcp_to, c.value)),
    {"slow_query_sec", false, slow_query_sec_line},
    PREFIX_SETTING("custom_counters_delimiter", return set_int(config.custom_counters_delimiter, c.value)),
    PREFIX_SETTING("custom_uid", return set_int(config.custom_default_uid, c.value)),
    PREFIX_SETTING("custom_gid", return set_int(config.custom_default_gid, c.value)),
    COUNTER("custom", true, group::custom, cfg_from::key_end, 0, kCustomOps, nullptr),
    COUNTER("multicustom", true, group::multicustom, cfg_from::key_end, 0, kMulticustomOps, nullptr),
    {"server_status", true, server_status_line},
    SETTING("mysql_lib", return set_text(config.mysql_lib, c.value)),
    COUNTER("mysql_", true, group::mysql, cfg_from::key_offset, 6,
            {.init = mysql_init1, .update = mysql_update, .delta = mysql_delta, .tobson = mysql_tobson,
             .dump = mysql_dump, .free = mysql_free},
            &config.mysql_on),
    COUNTER("memcache", false, group::memcache, cfg_from::value_word, 0,
            {.init = memcache_init1, .update = memcache_update, .delta = memcache_delta, .tobson = memcache_tobson,
             .dump = memcache_dump, .free = memcache_free},
            nullptr),
    COUNTER("beanstalk", false, group::beanstalk, cfg_from::value_word, 0,
            {.init = beanstalk_init1, .update = beanstalk_update, .delta = beanstalk_delta,
             .tobson = beanstalk_tobson, .dump = beanstalk_dump, .free = beanstalk_free},
            nullptr),
    COUNTER("redis_", true, group::redis, cfg_from::key_offset, 6,
            {.init = redis_init, .update = redis_update, .delta = redis_delta, .tobson = redis_tobson,
             .dump = redis_dump, .free = redis_free},
            nullptr),
    COUNTER("sphinx", true, group::mycustom, cfg_from::key_offset, 7,
            {.init = sphinx_init, .reinit = sphinx_reinit, .update = sphinx_update, .delta = sphinx_delta,
             .tobson = sphinx_tobson, .dump = sphinx_dump, .free = sphinx_free},
            &config.mysql_on),
    COUNTER("elastic", true, group::mycustom, cfg_from::key_offset, 8,
            {.init = elastic_init, .reinit = elastic_reinit, .update = elastic_update, .delta = elastic_delta,
             .tobson = elastic_tobson, .dump = elastic_dump, .free = elastic_free},
            nullptr),
    COUNTER("apache", true, group::mycustom, cfg_from::key_offset, 7,
            {.init = apache_init, .update = apache_update, .delta = apache_delta, .tobson = apache_tobson,
             .dump = apache_dump, .free = apache_free},
            nullptr),
    COUNTER("nginx", true, group::mycustom, cfg_from::key_offset, 6,
            {.init = nginx_init, .update = nginx_update, .delta = nginx_delta, .tobson = nginx_tobson,
             .dump = nginx_dump, .free = nginx_free},
            nullptr),
    COUNTER("fpm", true, group::mycustom, cfg_from::key_offset, 4,
            {.init = fpm_init, .update = fpm_update, .delta = fpm_delta, .tobson = fpm_tobson, .dump = fpm_dump,
             .free = fpm_free},
            nullptr),
    {"docker_sock", false, docker_sock_line},
    SETTING("slashedApache", return set_int(config.apacheSlashed, c.value)),
    SETTING("postgre_lib", return set_text(config.postgre_lib, c.value)),
    COUNTER("postgresql_", true, group::mycustom, cfg_from::key_offset, 11,
            {.init = postgre_init, .reinit = postgre_reinit, .update = postgre_update, .delta = postgre_delta,
             .tobson = postgre_tobson, .dump = postgre_dump, .free = postgre_free},
            &config.postgre_on),
    SETTING("exclude_tmpfs", return set_int(config.exclude_tmpfs, c.value)),
    SETTING("exclude_mount",
            append_mask(config.path_exclude_masks, config.path_exclude_masks_count, c.value);
            return rule_result::done),
    SETTING("exclude_interfaces",
            append_mask(config.interface_exclude_masks, config.interface_exclude_masks_count, c.value);
            return rule_result::done),
};

#undef SETTING
#undef PREFIX_SETTING
#undef COUNTER

const rule *find_rule(std::string_view key)
{
    for (const rule &r : kRules) {
        if (r.prefix ? key.starts_with(r.key) : key == r.key) return &r;
    }
    return nullptr;
}

void known_plugins_line(const line_ctx &c)
{
    if (!config.known_plugins) config.known_plugins = str_list_new();
    std::string_view rest = line_from(c, c.key_start + c.key.size());
    const char *seps = " \t\r\n";
    size_t pos = 0;
    while ((pos = rest.find_first_not_of(seps, pos)) != std::string_view::npos) {
        size_t end = rest.find_first_of(seps, pos);
        std::string word(rest.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos));
        str_list_add(config.known_plugins, word.c_str());
        pos = end;
    }
}

// Splits the key and the value: the first two words of the line.
void split_words(line_ctx &c)
{
    std::string_view l = c.line;
    size_t i = 0;
    while (i < l.size() && is_blank(l[i])) i++;
    c.key_start = i;
    while (i < l.size() && !is_blank(l[i])) i++;
    c.key = l.substr(c.key_start, i - c.key_start);
    while (i < l.size() && is_blank(l[i])) i++;
    size_t vs = i;
    while (i < l.size() && !is_blank(l[i])) i++;
    c.value = l.substr(vs, i - vs);
}

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};

// Reads a line as fgets would (at most sizeof buf - 1 bytes, the newline kept), but
// counts what it read, so a NUL byte inside the line is seen. 0 at end of file.
size_t read_config_line(FILE *f, char (&buf)[4096])
{
    size_t n = 0;
    int ch;
    while (n < sizeof buf - 1 && (ch = getc(f)) != EOF) {
        buf[n++] = static_cast<char>(ch);
        if (ch == '\n') break;
    }
    buf[n] = '\0';
    return n;
}

// Why a configuration file may not be read, or none. Its lines run commands as root
// (custom uid=0, plug-ins), so only root may be able to write it.
const char *config_file_refusal(const struct stat &st)
{
    if (st.st_uid != 0) return "is not owned by root";
    if (st.st_mode & (S_IWGRP | S_IWOTH)) return "is writable by group or others";
    return nullptr;
}

} // namespace

int parse_config_file(const char *full_file_path)
{
    if (config.debug) printf("Reading config file %s\n", full_file_path);
    std::unique_ptr<FILE, file_closer> f(fopen(full_file_path, "re"));
    if (!f) {
        printf("Config file %s not found!\n", full_file_path);
        return 1;
    }
    struct stat st {};
    if (fstat(fileno(f.get()), &st) != 0) {
        printf("ERROR: config file %s: %s\n", full_file_path, strerror(errno));
        return 1;
    }
    if (const char *why = config_file_refusal(st)) {
        printf("ERROR: config file %s %s (owner %u, mode %04o)\n", full_file_path, why,
               static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode & 07777));
        return 1;
    }

    line_ctx c{};
    c.file = full_file_path;
    char buf[4096];
    bool skipping = false;
    while (size_t len = read_config_line(f.get(), buf)) {
        bool ends_line = buf[len - 1] == '\n';
        c.lineno++;
        // A NUL would silently cut the line short wherever it is read as a C string.
        if (memchr(buf, '\0', len)) {
            printf("ERROR: NUL byte in config file %s at line %d\n", full_file_path, c.lineno);
            return 1;
        }
        if (skipping) {
            skipping = !ends_line;
            continue;
        }
        c.cut = !ends_line && !feof(f.get());
        c.skip_rest = false;

        if (strncmp(buf, "rabbit", 6) == 0 && buf[6] == '_')
            buf[6] = ' ';
        else if (strncmp(buf, "mongodb", 7) == 0 && buf[7] == '_')
            buf[7] = ' ';

        c.line = std::string_view(buf, len);
        split_words(c);
        std::string key(c.key);

        if (const rule *r = find_rule(c.key)) {
            if (r->apply(c) == rule_result::fail) return 1;
            skipping = c.skip_rest;
            continue;
        }
        if (key.empty() || key[0] == '#') continue;
        if (key == "plugin") {
            std::string rest(line_from(c, c.key_start + c.key.size() + 1));
            parse_plugin_line(rest.c_str(), buf);
        } else if (key == "known_plugins") {
            known_plugins_line(c);
        } else if (is_known_plugin(key.c_str())) {
            parse_plugin_line(buf, buf);
        } else {
            _vesk_log(LOG_LEVEL_WARNING, "\33[0;35m[warn] unknown keyword '%s' in config file %s at line %d\n\33[0;0m\n",
                      key.c_str(), full_file_path, c.lineno);
        }
    }
    f.reset();

    if (config.id != 0) return 0;
    if (!config.uuid[0]) {
        printf("ERROR: set server id or uuid!\n");
        return 1;
    }
    if (strlen(config.uuid) != 36) {
        printf("ERROR: UUID must be in aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee format\n");
        return 1;
    }
    int bad = 0;
    if (!config.server_name[0]) {
        printf("ERROR: When using server UUID instead of ID, 'server_name' must be specified\n");
        bad = 1;
    }
    if (!config.project_name[0]) {
        printf("ERROR: When using server UUID instead of ID, 'project_name' must be specified\n");
        bad = 1;
    }
    return bad;
}

int parse_config()
{
    config.id = 0;
    config.extConfigFiles.clear();
    config.server_type = 0;
    config.auto_delete = 0;
    config.auto_delete_min = 0;

    if (int r = parse_config_file(config.configFile)) return r;

    glob_t g{};
    if (glob(config.extConfigPattern, 0, nullptr, &g) == 0) {
        for (size_t i = 0; i < g.gl_pathc; i++) {
            if (int r = parse_config_file(g.gl_pathv[i])) {
                globfree(&g);
                return r;
            }
            config.extConfigFiles.emplace_back(g.gl_pathv[i]);
        }
    }
    globfree(&g);
    return 0;
}
