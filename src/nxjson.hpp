// A lenient JSON reader that works in place: the tree points into the caller's
// buffer, whose strings it unescapes and terminates.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

enum nx_json_type {
    NX_JSON_NULL = 0,
    NX_JSON_OBJECT = 1,
    NX_JSON_ARRAY = 2,
    NX_JSON_STRING = 3,
    NX_JSON_INTEGER = 4,
    NX_JSON_DOUBLE = 5,
    NX_JSON_BOOL = 6,
};

struct nx_json {
    nx_json_type type;
    const char *key;        // member name inside an object, else null
    const char *text_value; // a string's unescaped text, else null
    int64_t int_value;      // integer, the integer part read from a double, or a boolean's 0/1
    double dbl_value;       // a double, or an integer converted
    int length;             // children of an object or array
    nx_json *child;
    nx_json *next;
    nx_json *last_child;
};

// Writes `codepoint` at `p`, stores the new output position in `endp` and returns
// non-zero; returns 0 to refuse the code point.
using nx_json_unicode_encoder = int (*)(unsigned int codepoint, char *p, char **endp);

// The built-in UTF-8 encoder; refuses surrogates and anything above U+10FFFF.
int unicode_to_utf8(unsigned int codepoint, char *p, char **endp);
extern nx_json_unicode_encoder nx_json_unicode_to_utf8;

// Objects and arrays nested deeper than this are refused, so hostile input can
// never exhaust the stack.
inline constexpr int NX_JSON_MAX_DEPTH = 128;

// Parses the first value of the writable, NUL-terminated `text` in place; whatever
// follows it is not read. Null on an error (one line on standard error) or when the
// text holds no value. Without an encoder, \u escapes are kept as written.
const nx_json *nx_json_parse(char *text, nx_json_unicode_encoder encoder);
const nx_json *nx_json_parse_utf8(char *text);
// Frees a tree that nx_json_parse returned; null is ignored.
void nx_json_free(const nx_json *js);

// The first member named `key`, or the shared empty node (never null).
const nx_json *nx_json_get(const nx_json *json, const char *key);
// The same for a name that need not be terminated, such as one segment of a path.
const nx_json *nx_json_get(const nx_json *json, std::string_view key);
// The child at `idx` from 0, or the shared empty node.
const nx_json *nx_json_item(const nx_json *json, int idx);
// "null", "object", "array", "string", "int", "double", "bool" or "unknown".
const char *nx_json_get_type(const nx_json *item);

// Owns a tree that nx_json_parse returned.
struct nx_json_deleter {
    void operator()(const nx_json *js) const { nx_json_free(js); }
};
using nx_json_ptr = std::unique_ptr<const nx_json, nx_json_deleter>;
