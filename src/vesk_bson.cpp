// Assembly of one report: the header fields, every counter's part and the "docker" object.
#include "vesk_bson.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "bson.hpp"
#include "encoding.hpp"
#include "vesk_config.hpp"
#include "vesk_core.hpp"
#include "vesk_docker_core.hpp"
#include "vesk_plugin.hpp"

namespace {

// Settings come from files the agent does not control; one stray byte must not
// cost the whole report.
void append_text(bson *b, const char *key, std::string_view value)
{
    vesk_bson_append_string(b, key, vesk_utf8_sanitize(value).c_str());
}

template <size_t N>
std::string_view field(const char (&text)[N])
{
    return {text, strnlen(text, N)};
}

void append_header(bson *b, time_t t, unsigned long localAddress)
{
    if (config.id != 0) {
        vesk_bson_append_int(b, "id", static_cast<int32_t>(config.id));
    } else {
        append_text(b, "uuid", field(config.uuid));
        append_text(b, "server_name", field(config.server_name));
        append_text(b, "project_name", field(config.project_name));
        append_text(b, "project_secret", field(config.project_secret));
    }
    if (config.server_type != 0) vesk_bson_append_string(b, "type", get_server_type(&config));
    if (config.auto_delete != 0) {
        vesk_bson_append_bool(b, "auto_delete", 1);
        vesk_bson_append_int(b, "auto_delete_min", config.auto_delete_min);
    }
    if (localAddress != 0) vesk_bson_append_long(b, "local_ip", static_cast<int64_t>(localAddress));
    append_text(b, "name", field(config.name));
    vesk_bson_append_int(b, "time", static_cast<int32_t>(t));
    vesk_bson_append_int(b, "interval", static_cast<int32_t>(config.interval));
    vesk_bson_append_string(b, "version", VESK_VERSION);
    vesk_bson_append_int(b, "custom_errors", stats.custom_errors);
}

// The tobson operation of each counter of a group that has one; the count is
// read again after each counter.
template <typename Counter, typename Count>
void group_to_bson(Counter *counters, const Count &count, bson *b)
{
    for (int i = 0; i < static_cast<int>(count); i++)
        if (counters[i].tobson) counters[i].tobson(&counters[i], b);
}

// One of the report's arrays; it is written even when it stays empty.
template <typename Fill>
void report_array(bson *b, const char *key, Fill fill)
{
    vesk_bson_append_start_array(b, key);
    fill();
    vesk_bson_append_finish_array(b);
}

void plugins_to_bson(bson *b)
{
    if (config.debug) printf("done\nplugins...");
    for (ge_plugin_counter *pc = stats.plugin_counters; pc; pc = pc->next) {
        printf("\nBSONing %s #%d counter\n", pc->plugin->prefix, pc->handle);
        plugin_to_bson(pc, b);
    }
}

void docker_to_bson(bson *b)
{
    vesk_docker_t *docker = config.docker;
    if (vesk_docker_count(docker) == 0) return;
    vesk_bson_append_start_object(b, "docker");
    // The docker child shares the table: the count is read at each step, and every
    // field is bounded and checked as it is read.
    for (int i = 0; i < vesk_docker_count(docker); i++) {
        const vesk_docker_container_t &c = docker->containers[i];
        vesk_bson_append_start_object(b, vesk_utf8_sanitize(vesk_docker_name(c)).c_str());
        vesk_bson_append_double(b, "cpu_usage", vesk_docker_cpu(c));
        vesk_bson_append_string(b, "state", vesk_docker_state_name(c.state));
        vesk_bson_append_finish_object(b);
    }
    vesk_bson_append_finish_object(b);
}

} // namespace

int stats_to_bson(uint8_t **res, uint32_t *len, unsigned long localAddress)
{
    *res = nullptr;
    *len = 0;
    bson *b = vesk_bson_create();
    vesk_bson_init(b);
    time_t t = time(nullptr);

    append_header(b, t, localAddress);
    group_to_bson(stats.core_counters, stats.ncore_counters, b);

    report_array(b, "memcaches", [b] { group_to_bson(stats.memcache_counters, stats.nmemcache_counters, b); });
    report_array(b, "beanstalks", [b] { group_to_bson(stats.beanstalk_counters, stats.nbeanstalk_counters, b); });
    report_array(b, "custom", [b] {
        group_to_bson(stats.custom_counters, stats.ncustom_counters, b);
        group_to_bson(stats.multicustom_counters, stats.nmulticustom_counters, b);
    });
    report_array(b, "mycustoms", [b] {
        group_to_bson(stats.mycustom_counters, stats.nmycustoms, b);
        plugins_to_bson(b);
    });
    report_array(b, "mysqls", [b] { group_to_bson(stats.mysql_counters, stats.nmysql_counters, b); });
    report_array(b, "redises", [b] { group_to_bson(stats.redis_counters, stats.nredis_counters, b); });

    docker_to_bson(b);

    int result = -1;
    if (vesk_bson_finish(b) != BSON_OK) {
        // Its length was never written: these bytes are not a document.
        printf("report not sent: the document was refused (error bits %d)\n", b->err);
    } else {
        int size = vesk_bson_size(b);
        *res = static_cast<uint8_t *>(malloc(static_cast<size_t>(size)));
        if (!*res) {
            printf("report not sent: no memory for a copy of %d bytes\n", size);
        } else {
            memcpy(*res, vesk_bson_data(b), static_cast<size_t>(size));
            *len = static_cast<uint32_t>(size);
            result = 0;
        }
    }
    vesk_bson_destroy(b);
    vesk_bson_free(b);
    return result;
}
