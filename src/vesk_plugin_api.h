/*
 * The binary interface between the agent and a plug-in shared object.
 *
 * A plug-in is a library named libvesk-plugin-NAME.so, found through the dynamic
 * loader's search path, that exports all fourteen functions below. The agent
 * loads it the first time a configuration line names it:
 *
 *   ge_config_prefix  must return NAME exactly, or the library is refused
 *   ge_name           the plug-in's own name for messages (31 characters kept)
 *   ge_parse_config_line
 *                     turns one configuration line into a non-zero handle and
 *                     writes the counter's report key (at most 255 bytes and a
 *                     terminator) into report_id; 0 refuses the line
 *
 * The agent then drives each handle through init, reinit (about once a minute),
 * update, delta, dump and free, and calls ge_unload once before closing the
 * library. Every int-returning function returns non-zero on success and 0 on
 * failure, after which ge_last_error gives the reason.
 *
 * ge_bson fills a plugin_response_v1 (module_common.h): a complete BSON document
 * allocated with malloc, which the agent embeds under report_id in the report's
 * "mycustoms" array and then frees. A document whose length field is below 5,
 * larger than a non-zero size, or whose last byte is not 0 is refused like a
 * failed call. ge_version and ge_json are required but not called.
 */
#ifndef VESK_PLUGIN_API_H
#define VESK_PLUGIN_API_H

#include <stdint.h>

#include "module_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The entry points' types, in the order the agent resolves them. */
typedef const char *ge_config_prefix_fn(void);
typedef const char *ge_name_fn(void);
typedef const char *ge_version_fn(void);
typedef int ge_parse_config_line_fn(const char *cfg_string, char *report_id, uint8_t log_level);
typedef int ge_unload_fn(void);
typedef const char *ge_last_error_fn(void);
typedef int ge_init_fn(int handle);
typedef int ge_reinit_fn(int handle);
typedef int ge_update_fn(int handle);
typedef int ge_delta_fn(int handle, uint32_t interval, uint64_t iteration);
typedef int ge_dump_fn(int handle);
typedef int ge_bson_fn(int handle, plugin_response_v1 *response);
typedef int ge_free_fn(int handle);
typedef char *ge_json_fn(int handle);

/* Declarations a plug-in defines; compiling it with this header checks its signatures. */
ge_config_prefix_fn ge_config_prefix;
ge_name_fn ge_name;
ge_version_fn ge_version;
ge_parse_config_line_fn ge_parse_config_line;
ge_unload_fn ge_unload;
ge_last_error_fn ge_last_error;
ge_init_fn ge_init;
ge_reinit_fn ge_reinit;
ge_update_fn ge_update;
ge_delta_fn ge_delta;
ge_dump_fn ge_dump;
ge_bson_fn ge_bson;
ge_free_fn ge_free;
ge_json_fn ge_json;

/* Size of the report_id buffer handed to ge_parse_config_line. */
#define GE_REPORT_ID_SIZE 256

#ifdef __cplusplus
}
#endif

#endif
