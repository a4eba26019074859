// Plug-in shared objects and the counters they serve.
#pragma once

#include <cstdint>

#include "module_common.h"
#include "mycustom.hpp"
#include "vesk_owners.hpp"
#include "vesk_plugin_api.h"
#include "vesk_types.hpp"

struct vesk_stats;

inline constexpr int VESK_PLUGIN_NAME_LEN = 32;
// The library file name, "libvesk-plugin-NAME.so", at most 198 characters.
inline constexpr int VESK_PLUGIN_SOFILE_LEN = 199;

// One loaded plug-in; owned by the list loaded_plugins.
struct ge_plugin_ref {
    unique_dl dl_handler;
    char name[VESK_PLUGIN_NAME_LEN];   // what ge_name says, for messages
    char prefix[VESK_PLUGIN_NAME_LEN]; // the name the configuration asked for
    ge_last_error_fn *last_error;
    ge_version_fn *get_version;
    ge_name_fn *get_name;
    ge_config_prefix_fn *get_prefix;
    ge_parse_config_line_fn *parse_config_line;
    ge_unload_fn *unload;
    ge_init_fn *initialize;
    ge_reinit_fn *reinitialize;
    ge_update_fn *update;
    ge_delta_fn *delta;
    ge_dump_fn *dump;
    ge_bson_fn *to_bson;
    ge_free_fn *free;
    ge_json_fn *query_json;
    ge_plugin_ref *next;
};

// One counter served by a plug-in; owned by stats.plugin_counters, deleted by the free pass.
struct ge_plugin_counter {
    ge_plugin_ref *plugin;
    int handle;
    char cfg_string[2048];
    char report_id[GE_REPORT_ID_SIZE];
    int ok, interval, updated, mustBeUpdated, uid, gid, max_seconds, incremental, type, restarted_flag;
    sample_times sampled;
    ge_plugin_counter *next;
};

// The loaded plug-ins, in loading order.
extern ge_plugin_ref *loaded_plugins;

// The last error text of a plug-in, never null.
const char *ge_plugin_last_error(const ge_plugin_ref *plugin);

// Finds or loads the plug-in, lets it turn the line into a handle and appends a
// counter to stats->plugin_counters. 1 on success, 0 when no counter was made.
int plugin_set(vesk_stats *stats, const char *plugin_name, const char *cfg_string, log_level_t log_level);
// Appends the counter's document under its report id to the open array of b. 1, or 0.
int plugin_to_bson(ge_plugin_counter *cnt, bson *b);
// The length of the document in a ge_bson answer, or 0 when it cannot be used.
int32_t plugin_document_length(const plugin_response_v1 &response);

// The loaded plug-in whose prefix is name, or the newly loaded one, or null.
ge_plugin_ref *ge_plugin_find_or_load(const char *name);
// Opens one library and resolves its entry points; null on failure.
ge_plugin_ref *ge_plugin_load(const char *name, const char *sofile);
void ge_plugin_add(ge_plugin_ref *plugin);
ge_plugin_ref *ge_plugin_find(const char *name);
// Takes the plug-in out of the list without calling ge_unload or closing the library.
int ge_plugin_unload(const char *name);
// Calls ge_unload and closes every plug-in in list order. 1, or 0 at the first failure.
int ge_plugin_unload_all();
