// Plug-in shared objects and the counters they serve.
#pragma once

#include <cstdint>

#include "module_common.h"
#include "vesk_owners.hpp"
#include "vesk_types.hpp"

struct vesk_stats;

struct ge_plugin_ref {
    unique_dl dl_handler;
    char name[32];
    char prefix[32];
    const char *(*last_error)();
    const char *(*get_version)();
    const char *(*get_name)();
    const char *(*get_prefix)();
    int (*parse_config_line)(const char *cfg_string, char *report_id, uint8_t log_level);
    int (*unload)();
    int (*initialize)(int handle);
    int (*reinitialize)(int handle);
    int (*update)(int handle);
    int (*delta)(int handle, uint32_t interval, uint64_t iteration);
    int (*dump)(int handle);
    int (*to_bson)(int handle, plugin_response_v1 *response);
    int (*free)(int handle);
    char *(*query_json)(int handle);
    ge_plugin_ref *next;
};

struct ge_plugin_counter {
    ge_plugin_ref *plugin;
    int handle;
    char cfg_string[2048];
    char report_id[256];
    int ok, interval, updated, mustBeUpdated, uid, gid, max_seconds, incremental, type, restarted_flag;
    ge_plugin_counter *next;
};

// The last error text of a plug-in, never null.
const char *ge_plugin_last_error(const ge_plugin_ref *plugin);

int plugin_set(vesk_stats *stats, const char *plugin_name, const char *cfg_string, log_level_t log_level);
int plugin_to_bson(ge_plugin_counter *cnt, bson *b);
int ge_plugin_unload_all();
