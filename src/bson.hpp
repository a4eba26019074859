// The BSON builder every report is written with, and a read cursor with a
// debug printer over the same layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

// The little-endian 32-bit fields of a document: lengths and int32 values (the
// agent only runs on little-endian hosts).
inline int32_t vesk_bson_get32(const void *at)
{
    int32_t v;
    std::memcpy(&v, at, 4);
    return v;
}
inline void vesk_bson_put32(void *at, int32_t v) { std::memcpy(at, &v, 4); }

using vesk_bson_bool_t = int;
using vesk_bson_date_t = int64_t;

struct vesk_bson_timestamp_t {
    int i;
    int t;
};

union vesk_bson_oid_t {
    uint8_t bytes[12];
    int ints[3];
};

enum vesk_bson_validity_t {
    BSON_VALID = 0,
    BSON_SIZE_OVERFLOW = 1,
    BSON_NOT_UTF8 = 2,
    BSON_FIELD_HAS_DOT = 4,
    BSON_FIELD_INIT_DOLLAR = 8,
    BSON_ALREADY_FINISHED = 16,
};

enum vesk_bson_error_t {
    BSON_OK = 0,
    BSON_ERROR = -1,
};

enum vesk_bson_type {
    BSON_EOO = 0,
    BSON_DOUBLE = 1,
    BSON_STRING = 2,
    BSON_OBJECT = 3,
    BSON_ARRAY = 4,
    BSON_BINDATA = 5,
    BSON_UNDEFINED = 6,
    BSON_OID = 7,
    BSON_BOOL = 8,
    BSON_DATE = 9,
    BSON_NULL = 10,
    BSON_REGEX = 11,
    BSON_DBREF = 12,
    BSON_CODE = 13,
    BSON_SYMBOL = 14,
    BSON_CODEWSCOPE = 15,
    BSON_INT = 16,
    BSON_TIMESTAMP = 17,
    BSON_LONG = 18,
};

enum vesk_bson_binary_subtype_t {
    BSON_BIN_BINARY = 0,
    BSON_BIN_FUNC = 1,
    BSON_BIN_BINARY_OLD = 2,
    BSON_BIN_UUID = 3,
    BSON_BIN_MD5 = 5,
    BSON_BIN_USER = 128,
};

inline constexpr int VESK_BSON_MAX_DEPTH = 32;

struct bson {
    char *data;
    char *cur;
    int dataSize;
    vesk_bson_bool_t finished;
    int stack[VESK_BSON_MAX_DEPTH];
    int stackPos;
    int err;
    char *errstr;
};

// Process-wide allocation and output hooks.
extern void *(*vesk_bson_malloc_func)(size_t);
extern void *(*vesk_bson_realloc_func)(void *, size_t);
extern void (*vesk_bson_free_func)(void *);
extern int (*vesk_bson_printf)(const char *, ...);
extern int (*vesk_bson_fprintf)(FILE *, const char *, ...);
extern int (*vesk_bson_sprintf)(char *, const char *, ...);
extern int (*vesk_bson_errprintf)(const char *, ...);

using vesk_bson_err_handler = void (*)(const char *errmsg);
vesk_bson_err_handler set_vesk_bson_err_handler(vesk_bson_err_handler func);

// Allocation through the hooks; out of memory ends the process with status -5.
void *vesk_bson_malloc(size_t size);
void *vesk_bson_realloc(void *ptr, size_t size);
void vesk_bson_fatal(int ok);
void vesk_bson_fatal_msg(int ok, const char *msg);
void vesk_bson_builder_error(bson *b);

bson *vesk_bson_create();
void vesk_bson_dispose(bson *b);
void vesk_bson_free(void *ptr);
void vesk_bson_init(bson *b);
int vesk_bson_init_size(bson *b, int size);
int vesk_bson_init_data(bson *b, char *data);
int vesk_bson_init_finished_data(bson *b, char *data);
// Points obj at a static empty document, finished.
bson *vesk_bson_empty(bson *obj);
// A finished copy of a finished document, in a buffer of exactly its size.
int vesk_bson_copy(bson *out, const bson *in);
int vesk_bson_finish(bson *b);
void vesk_bson_destroy(bson *b);
int vesk_bson_size(const bson *b);
int vesk_bson_buffer_size(const bson *b);
const char *vesk_bson_data(const bson *b);

int vesk_bson_ensure_space(bson *b, int bytesNeeded);
int vesk_bson_check_string(bson *b, const char *string, int length);
int vesk_bson_check_field_name(bson *b, const char *string, int length);

int vesk_bson_append_int(bson *b, const char *name, int32_t i);
int vesk_bson_append_long(bson *b, const char *name, int64_t i);
int vesk_bson_append_double(bson *b, const char *name, double d);
int vesk_bson_append_bool(bson *b, const char *name, vesk_bson_bool_t v);
int vesk_bson_append_string(bson *b, const char *name, const char *value);
int vesk_bson_append_string_n(bson *b, const char *name, const char *value, int len);
int vesk_bson_append_start_object(bson *b, const char *name);
int vesk_bson_append_start_array(bson *b, const char *name);
int vesk_bson_append_finish_object(bson *b);
int vesk_bson_append_finish_array(bson *b);
int vesk_bson_append_bson(bson *b, const char *name, const bson *doc);
int vesk_bson_append_null(bson *b, const char *name);
int vesk_bson_append_undefined(bson *b, const char *name);
int vesk_bson_append_symbol(bson *b, const char *name, const char *value);
int vesk_bson_append_symbol_n(bson *b, const char *name, const char *value, int len);
int vesk_bson_append_code(bson *b, const char *name, const char *value);
int vesk_bson_append_code_n(bson *b, const char *name, const char *value, int len);
int vesk_bson_append_code_w_scope(bson *b, const char *name, const char *code, const bson *scope);
int vesk_bson_append_code_w_scope_n(bson *b, const char *name, const char *code, int len, const bson *scope);
int vesk_bson_append_binary(bson *b, const char *name, char type, const char *str, int len);
int vesk_bson_append_oid(bson *b, const char *name, const vesk_bson_oid_t *oid);
int vesk_bson_append_new_oid(bson *b, const char *name);
int vesk_bson_append_regex(bson *b, const char *name, const char *pattern, const char *opts);
int vesk_bson_append_timestamp(bson *b, const char *name, vesk_bson_timestamp_t *ts);
int vesk_bson_append_timestamp2(bson *b, const char *name, int time, int increment);
int vesk_bson_append_date(bson *b, const char *name, vesk_bson_date_t millis);
int vesk_bson_append_time_t(bson *b, const char *name, time_t secs);

// Raw writes at cur, without a space check.
void vesk_bson_append_byte(bson *b, char c);
void vesk_bson_append(bson *b, const void *data, int len);
void vesk_bson_append32(bson *b, const void *data);
void vesk_bson_append64(bson *b, const void *data);

double vesk_bson_int64_to_double(int64_t i);
void vesk_bson_swap_endian32(void *out, const void *in);
void vesk_bson_swap_endian64(void *out, const void *in);

// Object ids.
void vesk_bson_set_oid_fuzz(int (*func)());
void vesk_bson_set_oid_inc(int (*func)());
void vesk_bson_oid_gen(vesk_bson_oid_t *oid);
void vesk_bson_oid_to_string(const vesk_bson_oid_t *oid, char *str);
void vesk_bson_oid_from_string(vesk_bson_oid_t *oid, const char *str);
time_t vesk_bson_oid_generated_time(const vesk_bson_oid_t *oid);

// The read cursor. It trusts the document's length fields; an element type it
// does not know ends the walk (the cursor then stands on an end byte).
struct vesk_bson_iterator {
    const char *cur;
    vesk_bson_bool_t first;
};

vesk_bson_iterator *vesk_bson_iterator_create();
void vesk_bson_iterator_dispose(vesk_bson_iterator *i);
void vesk_bson_iterator_init(vesk_bson_iterator *i, const bson *b);
void vesk_bson_iterator_from_buffer(vesk_bson_iterator *i, const char *buffer);
vesk_bson_type vesk_bson_iterator_next(vesk_bson_iterator *i);
vesk_bson_bool_t vesk_bson_iterator_more(const vesk_bson_iterator *i);
vesk_bson_type vesk_bson_iterator_type(const vesk_bson_iterator *i);
const char *vesk_bson_iterator_key(const vesk_bson_iterator *i);
const char *vesk_bson_iterator_value(const vesk_bson_iterator *i);
int vesk_bson_iterator_int_raw(const vesk_bson_iterator *i);
double vesk_bson_iterator_double_raw(const vesk_bson_iterator *i);
int64_t vesk_bson_iterator_long_raw(const vesk_bson_iterator *i);
vesk_bson_bool_t vesk_bson_iterator_bool_raw(const vesk_bson_iterator *i);
const vesk_bson_oid_t *vesk_bson_iterator_oid(const vesk_bson_iterator *i);
int vesk_bson_iterator_int(const vesk_bson_iterator *i);
double vesk_bson_iterator_double(const vesk_bson_iterator *i);
int64_t vesk_bson_iterator_long(const vesk_bson_iterator *i);
vesk_bson_bool_t vesk_bson_iterator_bool(const vesk_bson_iterator *i);
vesk_bson_timestamp_t vesk_bson_iterator_timestamp(const vesk_bson_iterator *i);
int vesk_bson_iterator_timestamp_time(const vesk_bson_iterator *i);
int vesk_bson_iterator_timestamp_increment(const vesk_bson_iterator *i);
const char *vesk_bson_iterator_string(const vesk_bson_iterator *i);
int vesk_bson_iterator_string_len(const vesk_bson_iterator *i);
const char *vesk_bson_iterator_code(const vesk_bson_iterator *i);
void vesk_bson_iterator_code_scope(const vesk_bson_iterator *i, bson *scope);
vesk_bson_date_t vesk_bson_iterator_date(const vesk_bson_iterator *i);
time_t vesk_bson_iterator_time_t(const vesk_bson_iterator *i);
int vesk_bson_iterator_bin_len(const vesk_bson_iterator *i);
char vesk_bson_iterator_bin_type(const vesk_bson_iterator *i);
const char *vesk_bson_iterator_bin_data(const vesk_bson_iterator *i);
const char *vesk_bson_iterator_regex(const vesk_bson_iterator *i);
const char *vesk_bson_iterator_regex_opts(const vesk_bson_iterator *i);
void vesk_bson_iterator_subobject(const vesk_bson_iterator *i, bson *sub);
void vesk_bson_iterator_subiterator(const vesk_bson_iterator *i, vesk_bson_iterator *sub);
vesk_bson_type vesk_bson_find(vesk_bson_iterator *it, const bson *obj, const char *name);

// Copies the element under the cursor: whole, or its value under `name`.
int vesk_bson_append_element(bson *b, const char *name_or_null, const vesk_bson_iterator *elem);

// Prints a document as indented lines ("<name> : <type> \t <value>").
void vesk_bson_print_raw(const char *data, int depth);
void vesk_bson_print(const bson *b);

// 1 when the `len` bytes hold exactly one well-formed document that the reader can
// walk without leaving it: every length inside its parent, every name and text
// terminated, texts valid UTF-8, only the element types 1 to 18, at most 32 levels.
// For documents that come from outside the agent (plug-ins).
int vesk_bson_validate(const char *data, size_t len);
