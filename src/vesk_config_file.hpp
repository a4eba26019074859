// Reading the configuration files: the line reader, the rule of every key, counter
// registration with each counter's operations, plug-in lines, and the check that a
// file is root's alone. Start-up calls it before the fork.
#pragma once

#include <sys/types.h>

// Reads the main file, then every file of the extra pattern in glob order. 0, or the
// first failing file's result (its message printed).
int parse_config();
int parse_config_file(const char *full_file_path);
int parse_uuid(const char *uuid, key_t *key);
void parse_plugin_line(const char *rest_line, const char *full_line);
int is_known_plugin(const char *plugin);
