// Values read out of a parsed JSON tree by dot-separated member paths.
#pragma once

#include <cstddef>
#include <cstdint>

#include "nxjson.hpp"

// Paths name members separated by '.'; empty segments are skipped, there are no
// array indexes, and a path without segments names the start node. A miss is the
// shared empty node, never null.
const nx_json *json_get_item_by_path(const nx_json *json, const char *path);
// int_value of the node: 0 on a miss, 1/0 for a boolean, the integer part of a double.
int64_t json_get_long_by_path(const nx_json *json, const char *path);
// 1 or 0 when the node is a boolean, else -1.
int json_get_bool_by_path(const nx_json *json, const char *path);
// For a string node: its text copied into result (at most len - 1 bytes, the rest of
// those bytes zeroed, terminated) and 1. Otherwise result emptied and 0.
int json_get_str_by_path(const nx_json *json, const char *path, char *result, size_t len);
// The sum of the integer member `column` over the child objects of `object`.
// *error is 1 when object is not an object or any child lacks an integer `column`.
int64_t json_column_sum(const nx_json *object, const char *column, int *error);
