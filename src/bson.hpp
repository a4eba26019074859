// The BSON builder every report is written with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

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

// Process-wide allocation hooks.
extern void *(*vesk_bson_malloc_func)(size_t);
extern void *(*vesk_bson_realloc_func)(void *, size_t);
extern void (*vesk_bson_free_func)(void *);

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

// Raw writes at cur, without a space check.
void vesk_bson_append_byte(bson *b, char c);
void vesk_bson_append(bson *b, const void *data, int len);
void vesk_bson_append32(bson *b, const void *data);
void vesk_bson_append64(bson *b, const void *data);
