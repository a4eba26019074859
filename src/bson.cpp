// The BSON builder, its growth and checks, and the read cursor with its debug printer.
#include "bson.hpp"

#include <algorithm>
#include <climits>
#include <limits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "encoding.hpp"

namespace {

int stderr_printf(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = vfprintf(stderr, fmt, ap);
    va_end(ap);
    return n;
}

} // namespace

void *(*vesk_bson_malloc_func)(size_t) = malloc;
void *(*vesk_bson_realloc_func)(void *, size_t) = realloc;
void (*vesk_bson_free_func)(void *) = free;
int (*vesk_bson_printf)(const char *, ...) = printf;
int (*vesk_bson_fprintf)(FILE *, const char *, ...) = fprintf;
int (*vesk_bson_sprintf)(char *, const char *, ...) = sprintf;
int (*vesk_bson_errprintf)(const char *, ...) = stderr_printf;

namespace {

constexpr int kInitialBufferSize = 128;
constexpr int kEmptyDocumentSize = 5;
vesk_bson_err_handler err_handler = nullptr;
char empty_document[kEmptyDocumentSize] = {5, 0, 0, 0, 0};

// Little-endian reads and writes of fixed-size values (the agent only runs on
// little-endian hosts).
int64_t get64(const char *at)
{
    int64_t v;
    memcpy(&v, at, 8);
    return v;
}
double get_double(const char *at)
{
    double v;
    memcpy(&v, at, 8);
    return v;
}

bool fits_int(size_t n) { return n <= static_cast<size_t>(INT_MAX); }

// Starts an element: room for the type byte, the name, its 0 byte and `value_size`
// value bytes; checks the name; writes the type byte and the name.
int append_estart(bson *b, int type, const char *name, size_t value_size)
{
    if (b->finished) {
        b->err |= BSON_ALREADY_FINISHED;
        return BSON_ERROR;
    }
    if (!b->data) return BSON_ERROR; // initialised without a buffer
    size_t len = strlen(name);
    if (!fits_int(len) || !fits_int(value_size) || !fits_int(2 + len + value_size)) {
        b->err = BSON_SIZE_OVERFLOW;
        return BSON_ERROR;
    }
    if (vesk_bson_ensure_space(b, static_cast<int>(2 + len + value_size)) == BSON_ERROR) return BSON_ERROR;
    if (vesk_bson_check_field_name(b, name, static_cast<int>(len)) == BSON_ERROR) {
        vesk_bson_builder_error(b);
        return BSON_ERROR;
    }
    vesk_bson_append_byte(b, static_cast<char>(type));
    vesk_bson_append(b, name, static_cast<int>(len + 1));
    return BSON_OK;
}

int append_start_nested(bson *b, int type, const char *name)
{
    if (b->stackPos >= VESK_BSON_MAX_DEPTH) return BSON_ERROR; // nothing written
    if (append_estart(b, type, name, 5) == BSON_ERROR) return BSON_ERROR;
    b->stack[b->stackPos++] = static_cast<int>(b->cur - b->data);
    int32_t zero = 0;
    vesk_bson_append32(b, &zero);
    return BSON_OK;
}

// Strings, symbols and code: int32 byte count + 1, the bytes, a 0 byte.
int append_string_base(bson *b, const char *name, const char *value, size_t len, int type)
{
    if (!fits_int(len + 5)) {
        b->err = BSON_SIZE_OVERFLOW;
        return BSON_ERROR;
    }
    if (vesk_bson_check_string(b, value, static_cast<int>(len)) == BSON_ERROR) return BSON_ERROR;
    if (append_estart(b, type, name, 4 + len + 1) == BSON_ERROR) return BSON_ERROR;
    int32_t sl = static_cast<int32_t>(len + 1);
    vesk_bson_append32(b, &sl);
    vesk_bson_append(b, value, static_cast<int>(len));
    vesk_bson_append_byte(b, 0);
    return BSON_OK;
}

size_t count_of(int len) { return len < 0 ? 0 : static_cast<size_t>(len); }

void wrap_document(bson *b, const char *data)
{
    b->data = const_cast<char *>(data);
    b->cur = nullptr;
    b->dataSize = 0;
    b->finished = 1;
    b->stackPos = 0;
    b->err = 0;
    b->errstr = nullptr;
}

} // namespace

vesk_bson_err_handler set_vesk_bson_err_handler(vesk_bson_err_handler func)
{
    vesk_bson_err_handler old = err_handler;
    err_handler = func;
    return old;
}

void vesk_bson_fatal_msg(int ok, const char *msg)
{
    if (ok) return;
    if (err_handler) err_handler(msg);
    vesk_bson_errprintf("error: %s\n", msg);
    exit(-5);
}

void vesk_bson_fatal(int ok) { vesk_bson_fatal_msg(ok, ""); }

void vesk_bson_builder_error(bson *)
{
    if (err_handler) err_handler("BSON error.");
}

void *vesk_bson_malloc(size_t size)
{
    void *p = vesk_bson_malloc_func(size);
    vesk_bson_fatal_msg(p != nullptr, "malloc() failed");
    return p;
}

void *vesk_bson_realloc(void *ptr, size_t size)
{
    void *p = vesk_bson_realloc_func(ptr, size);
    vesk_bson_fatal_msg(p != nullptr, "realloc() failed");
    return p;
}

bson *vesk_bson_create() { return static_cast<bson *>(vesk_bson_malloc(sizeof(bson))); }

void vesk_bson_dispose(bson *b) { vesk_bson_free_func(b); }

void vesk_bson_free(void *ptr) { vesk_bson_free_func(ptr); }

int vesk_bson_init_size(bson *b, int size)
{
    if (size <= 0) {
        b->data = nullptr;
        b->cur = nullptr;
        b->dataSize = 0;
    } else {
        // Never smaller than an empty document, so the length field always fits.
        if (size < kEmptyDocumentSize) size = kEmptyDocumentSize;
        b->data = static_cast<char *>(vesk_bson_malloc(static_cast<size_t>(size)));
        b->dataSize = size;
        // The length stays 0 until the document is finished.
        vesk_bson_put32(b->data, 0);
        b->cur = b->data + 4;
    }
    b->finished = 0;
    b->stackPos = 0;
    b->err = 0;
    b->errstr = nullptr;
    return BSON_OK;
}

void vesk_bson_init(bson *b) { vesk_bson_init_size(b, kInitialBufferSize); }

int vesk_bson_init_data(bson *b, char *data)
{
    b->data = data;
    return BSON_OK;
}

int vesk_bson_init_finished_data(bson *b, char *data)
{
    vesk_bson_init_data(b, data);
    b->finished = 1;
    return BSON_OK;
}

bson *vesk_bson_empty(bson *obj)
{
    wrap_document(obj, empty_document);
    return obj;
}

int vesk_bson_copy(bson *out, const bson *in)
{
    if (!out || !in) return BSON_ERROR;
    int size = in->finished ? vesk_bson_size(in) : 0;
    if (size < kEmptyDocumentSize) {
        vesk_bson_init_size(out, 0);
        return BSON_ERROR;
    }
    out->data = static_cast<char *>(vesk_bson_malloc(static_cast<size_t>(size)));
    memcpy(out->data, in->data, static_cast<size_t>(size));
    out->cur = out->data + size;
    out->dataSize = size;
    out->finished = 1;
    out->stackPos = 0;
    out->err = 0;
    out->errstr = nullptr;
    return BSON_OK;
}

int vesk_bson_size(const bson *b)
{
    if (!b || !b->data) return 0;
    return vesk_bson_get32(b->data);
}

int vesk_bson_buffer_size(const bson *b) { return static_cast<int>(b->cur - b->data) + 1; }

const char *vesk_bson_data(const bson *b) { return b->data; }

int vesk_bson_ensure_space(bson *b, int bytesNeeded)
{
    if (bytesNeeded < 0) {
        b->err = BSON_SIZE_OVERFLOW;
        return BSON_ERROR;
    }
    int64_t used = b->cur - b->data;
    if (used + bytesNeeded <= b->dataSize) return BSON_OK;
    int64_t wanted = static_cast<int64_t>(b->dataSize) + bytesNeeded;
    if (wanted >= INT_MAX) {
        b->err = BSON_SIZE_OVERFLOW;
        return BSON_ERROR;
    }
    double grown = 1.5 * static_cast<double>(wanted);
    int new_size = grown > static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(grown);
    char *orig = b->data;
    b->data = static_cast<char *>(vesk_bson_realloc(b->data, static_cast<size_t>(new_size)));
    b->dataSize = new_size;
    b->cur = b->data + (b->cur - orig);
    return BSON_OK;
}

int vesk_bson_finish(bson *b)
{
    if (b->err & BSON_NOT_UTF8) return BSON_ERROR;
    if (b->finished) return BSON_OK;
    if (!b->data) return BSON_ERROR;
    // A document with embedded documents still open has no valid form.
    if (b->stackPos != 0) return BSON_ERROR;
    if (vesk_bson_ensure_space(b, 1) == BSON_ERROR) return BSON_ERROR;
    vesk_bson_append_byte(b, 0);
    vesk_bson_put32(b->data, static_cast<int32_t>(b->cur - b->data));
    b->finished = 1;
    return BSON_OK;
}

void vesk_bson_destroy(bson *b)
{
    if (!b) return;
    vesk_bson_free_func(b->data);
    b->err = 0;
    b->data = nullptr;
    b->cur = nullptr;
    b->finished = 1;
}

void vesk_bson_append_byte(bson *b, char c)
{
    b->cur[0] = c;
    b->cur++;
}

void vesk_bson_append(bson *b, const void *data, int len)
{
    memcpy(b->cur, data, static_cast<size_t>(len));
    b->cur += len;
}

void vesk_bson_append32(bson *b, const void *data) { vesk_bson_append(b, data, 4); }

void vesk_bson_append64(bson *b, const void *data) { vesk_bson_append(b, data, 8); }

int vesk_bson_append_int(bson *b, const char *name, int32_t i)
{
    if (append_estart(b, BSON_INT, name, 4) == BSON_ERROR) return BSON_ERROR;
    vesk_bson_append32(b, &i);
    return BSON_OK;
}

int vesk_bson_append_long(bson *b, const char *name, int64_t i)
{
    if (append_estart(b, BSON_LONG, name, 8) == BSON_ERROR) return BSON_ERROR;
    vesk_bson_append64(b, &i);
    return BSON_OK;
}

int vesk_bson_append_double(bson *b, const char *name, double d)
{
    if (append_estart(b, BSON_DOUBLE, name, 8) == BSON_ERROR) return BSON_ERROR;
    vesk_bson_append64(b, &d);
    return BSON_OK;
}

int vesk_bson_append_bool(bson *b, const char *name, vesk_bson_bool_t v)
{
    if (append_estart(b, BSON_BOOL, name, 1) == BSON_ERROR) return BSON_ERROR;
    vesk_bson_append_byte(b, v != 0);
    return BSON_OK;
}

int vesk_bson_append_null(bson *b, const char *name) { return append_estart(b, BSON_NULL, name, 0); }

int vesk_bson_append_undefined(bson *b, const char *name) { return append_estart(b, BSON_UNDEFINED, name, 0); }

int vesk_bson_append_string(bson *b, const char *name, const char *value)
{
    return append_string_base(b, name, value, strlen(value), BSON_STRING);
}

int vesk_bson_append_string_n(bson *b, const char *name, const char *value, int len)
{
    return append_string_base(b, name, value, count_of(len), BSON_STRING);
}

int vesk_bson_append_symbol(bson *b, const char *name, const char *value)
{
    return append_string_base(b, name, value, strlen(value), BSON_SYMBOL);
}

int vesk_bson_append_symbol_n(bson *b, const char *name, const char *value, int len)
{
    return append_string_base(b, name, value, count_of(len), BSON_SYMBOL);
}

int vesk_bson_append_code(bson *b, const char *name, const char *value)
{
    return append_string_base(b, name, value, strlen(value), BSON_CODE);
}

int vesk_bson_append_code_n(bson *b, const char *name, const char *value, int len)
{
    return append_string_base(b, name, value, count_of(len), BSON_CODE);
}

int vesk_bson_append_code_w_scope_n(bson *b, const char *name, const char *code, int len, const bson *scope)
{
    if (!scope) return BSON_ERROR;
    int scope_size = vesk_bson_size(scope);
    if (scope_size < kEmptyDocumentSize) return BSON_ERROR;
    size_t code_len = count_of(len);
    size_t total = 4 + 4 + code_len + 1 + static_cast<size_t>(scope_size);
    if (!fits_int(total)) {
        b->err = BSON_SIZE_OVERFLOW;
        return BSON_ERROR;
    }
    if (append_estart(b, BSON_CODEWSCOPE, name, total) == BSON_ERROR) return BSON_ERROR;
    int32_t t = static_cast<int32_t>(total);
    int32_t sl = static_cast<int32_t>(code_len + 1);
    vesk_bson_append32(b, &t);
    vesk_bson_append32(b, &sl);
    vesk_bson_append(b, code, static_cast<int>(code_len));
    vesk_bson_append_byte(b, 0);
    vesk_bson_append(b, scope->data, scope_size);
    return BSON_OK;
}

int vesk_bson_append_code_w_scope(bson *b, const char *name, const char *code, const bson *scope)
{
    size_t len = strlen(code);
    if (!fits_int(len)) {
        b->err = BSON_SIZE_OVERFLOW;
        return BSON_ERROR;
    }
    return vesk_bson_append_code_w_scope_n(b, name, code, static_cast<int>(len), scope);
}

int vesk_bson_append_binary(bson *b, const char *name, char type, const char *str, int len)
{
    size_t n = count_of(len);
    bool old = type == BSON_BIN_BINARY_OLD;
    size_t value_size = 4 + 1 + (old ? 4 : 0) + n;
    if (!fits_int(value_size)) {
        b->err = BSON_SIZE_OVERFLOW;
        return BSON_ERROR;
    }
    if (append_estart(b, BSON_BINDATA, name, value_size) == BSON_ERROR) return BSON_ERROR;
    int32_t l = static_cast<int32_t>(n);
    int32_t outer = old ? l + 4 : l;
    vesk_bson_append32(b, &outer);
    vesk_bson_append_byte(b, type);
    if (old) vesk_bson_append32(b, &l);
    vesk_bson_append(b, str, l);
    return BSON_OK;
}

int vesk_bson_append_oid(bson *b, const char *name, const vesk_bson_oid_t *oid)
{
    if (append_estart(b, BSON_OID, name, 12) == BSON_ERROR) return BSON_ERROR;
    vesk_bson_append(b, oid->bytes, 12);
    return BSON_OK;
}

int vesk_bson_append_new_oid(bson *b, const char *name)
{
    vesk_bson_oid_t oid;
    vesk_bson_oid_gen(&oid);
    return vesk_bson_append_oid(b, name, &oid);
}

int vesk_bson_append_regex(bson *b, const char *name, const char *pattern, const char *opts)
{
    size_t plen = strlen(pattern);
    size_t olen = strlen(opts);
    if (!fits_int(plen + olen + 2)) {
        b->err = BSON_SIZE_OVERFLOW;
        return BSON_ERROR;
    }
    // Both texts end up in the document, so both must be valid UTF-8.
    if (vesk_bson_check_string(b, pattern, static_cast<int>(plen)) == BSON_ERROR) return BSON_ERROR;
    if (vesk_bson_check_string(b, opts, static_cast<int>(olen)) == BSON_ERROR) return BSON_ERROR;
    if (append_estart(b, BSON_REGEX, name, plen + 1 + olen + 1) == BSON_ERROR) return BSON_ERROR;
    vesk_bson_append(b, pattern, static_cast<int>(plen + 1));
    vesk_bson_append(b, opts, static_cast<int>(olen + 1));
    return BSON_OK;
}

int vesk_bson_append_timestamp(bson *b, const char *name, vesk_bson_timestamp_t *ts)
{
    if (append_estart(b, BSON_TIMESTAMP, name, 8) == BSON_ERROR) return BSON_ERROR;
    vesk_bson_append32(b, &ts->i);
    vesk_bson_append32(b, &ts->t);
    return BSON_OK;
}

int vesk_bson_append_timestamp2(bson *b, const char *name, int time, int increment)
{
    if (append_estart(b, BSON_TIMESTAMP, name, 8) == BSON_ERROR) return BSON_ERROR;
    vesk_bson_append32(b, &increment);
    vesk_bson_append32(b, &time);
    return BSON_OK;
}

int vesk_bson_append_date(bson *b, const char *name, vesk_bson_date_t millis)
{
    if (append_estart(b, BSON_DATE, name, 8) == BSON_ERROR) return BSON_ERROR;
    vesk_bson_append64(b, &millis);
    return BSON_OK;
}

int vesk_bson_append_time_t(bson *b, const char *name, time_t secs)
{
    // Wraps instead of overflowing for times no clock will reach.
    auto millis = static_cast<vesk_bson_date_t>(static_cast<uint64_t>(secs) * 1000u);
    return vesk_bson_append_date(b, name, millis);
}

int vesk_bson_append_start_object(bson *b, const char *name)
{
    return append_start_nested(b, BSON_OBJECT, name);
}

int vesk_bson_append_start_array(bson *b, const char *name)
{
    return append_start_nested(b, BSON_ARRAY, name);
}

int vesk_bson_append_finish_object(bson *b)
{
    if (b->finished) {
        b->err |= BSON_ALREADY_FINISHED;
        return BSON_ERROR;
    }
    if (b->stackPos <= 0) return BSON_ERROR; // nothing open: nothing written
    if (vesk_bson_ensure_space(b, 1) == BSON_ERROR) return BSON_ERROR;
    vesk_bson_append_byte(b, 0);
    char *start = b->data + b->stack[--b->stackPos];
    vesk_bson_put32(start, static_cast<int32_t>(b->cur - start));
    return BSON_OK;
}

int vesk_bson_append_finish_array(bson *b) { return vesk_bson_append_finish_object(b); }

int vesk_bson_append_bson(bson *b, const char *name, const bson *doc)
{
    if (!doc) return BSON_ERROR;
    int size = vesk_bson_size(doc);
    // Anything shorter than an empty document would leave a broken element.
    if (size < kEmptyDocumentSize) return BSON_ERROR;
    if (append_estart(b, BSON_OBJECT, name, static_cast<size_t>(size)) == BSON_ERROR) return BSON_ERROR;
    vesk_bson_append(b, doc->data, size);
    return BSON_OK;
}

double vesk_bson_int64_to_double(int64_t i) { return static_cast<double>(i); }

void vesk_bson_swap_endian32(void *out, const void *in)
{
    const auto *src = static_cast<const unsigned char *>(in);
    auto *dst = static_cast<unsigned char *>(out);
    for (int k = 0; k < 4; k++) dst[k] = src[3 - k];
}

void vesk_bson_swap_endian64(void *out, const void *in)
{
    const auto *src = static_cast<const unsigned char *>(in);
    auto *dst = static_cast<unsigned char *>(out);
    for (int k = 0; k < 8; k++) dst[k] = src[7 - k];
}

// ---- object ids ----

namespace {

int (*oid_fuzz_func)() = nullptr;
int (*oid_inc_func)() = nullptr;
int oid_fuzz = 0;
int oid_counter = 0;

void put_big_endian32(uint8_t *at, uint32_t v)
{
    at[0] = static_cast<uint8_t>(v >> 24);
    at[1] = static_cast<uint8_t>(v >> 16);
    at[2] = static_cast<uint8_t>(v >> 8);
    at[3] = static_cast<uint8_t>(v);
}

} // namespace

void vesk_bson_set_oid_fuzz(int (*func)()) { oid_fuzz_func = func; }

void vesk_bson_set_oid_inc(int (*func)()) { oid_inc_func = func; }

void vesk_bson_oid_gen(vesk_bson_oid_t *oid)
{
    if (oid_fuzz == 0) {
        if (oid_fuzz_func) {
            oid_fuzz = oid_fuzz_func();
        } else {
            srand(static_cast<unsigned>(time(nullptr)));
            oid_fuzz = rand();
        }
    }
    int inc = oid_inc_func ? oid_inc_func() : oid_counter++;
    put_big_endian32(oid->bytes, static_cast<uint32_t>(time(nullptr)));
    memcpy(oid->bytes + 4, &oid_fuzz, 4);
    put_big_endian32(oid->bytes + 8, static_cast<uint32_t>(inc));
}

void vesk_bson_oid_to_string(const vesk_bson_oid_t *oid, char *str)
{
    vesk_hex_encode(oid->bytes, 12, str);
    str[24] = '\0';
}

void vesk_bson_oid_from_string(vesk_bson_oid_t *oid, const char *str)
{
    // A character that is not a hex digit counts as 0.
    auto digit = [](char c) { return std::max(vesk_hex_digit(c), 0); };
    for (int k = 0; k < 12; k++) oid->bytes[k] = static_cast<uint8_t>(digit(str[2 * k]) << 4 | digit(str[2 * k + 1]));
}

time_t vesk_bson_oid_generated_time(const vesk_bson_oid_t *oid)
{
    const uint8_t *b = oid->bytes;
    return static_cast<time_t>(static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
                               static_cast<uint32_t>(b[2]) << 8 | b[3]);
}

// ---- the read cursor ----

namespace {

// Where the cursor rests once it meets a type it cannot step over.
const char end_of_walk[2] = {0, 0};

// Bytes of the value of the element at `cur`; -1 for a type without a known size.
int64_t value_size(const char *cur, const char *value)
{
    switch (static_cast<unsigned char>(cur[0])) {
    case BSON_EOO: return 0;
    case BSON_DOUBLE:
    case BSON_DATE:
    case BSON_TIMESTAMP:
    case BSON_LONG: return 8;
    case BSON_STRING:
    case BSON_CODE:
    case BSON_SYMBOL: return 4 + static_cast<int64_t>(vesk_bson_get32(value));
    case BSON_OBJECT:
    case BSON_ARRAY:
    case BSON_CODEWSCOPE: return vesk_bson_get32(value);
    case BSON_BINDATA: return 5 + static_cast<int64_t>(vesk_bson_get32(value));
    case BSON_UNDEFINED:
    case BSON_NULL: return 0;
    case BSON_OID: return 12;
    case BSON_BOOL: return 1;
    case BSON_REGEX: {
        size_t pattern = strlen(value) + 1;
        return static_cast<int64_t>(pattern + strlen(value + pattern) + 1);
    }
    case BSON_DBREF: return 16 + static_cast<int64_t>(vesk_bson_get32(value));
    case BSON_INT: return 4;
    default: return -1;
    }
}

// Saturating conversion, so an out-of-range double never causes undefined behaviour.
template <typename Int>
Int truncate_double(double d)
{
    if (d != d) return 0;
    if (d >= static_cast<double>(std::numeric_limits<Int>::max())) return std::numeric_limits<Int>::max();
    if (d <= static_cast<double>(std::numeric_limits<Int>::min())) return std::numeric_limits<Int>::min();
    return static_cast<Int>(d);
}

} // namespace

vesk_bson_iterator *vesk_bson_iterator_create()
{
    return static_cast<vesk_bson_iterator *>(malloc(sizeof(vesk_bson_iterator)));
}

void vesk_bson_iterator_dispose(vesk_bson_iterator *i) { free(i); }

void vesk_bson_iterator_init(vesk_bson_iterator *i, const bson *b) { vesk_bson_iterator_from_buffer(i, b->data); }

void vesk_bson_iterator_from_buffer(vesk_bson_iterator *i, const char *buffer)
{
    i->cur = buffer + 4;
    i->first = 1;
}

vesk_bson_type vesk_bson_iterator_next(vesk_bson_iterator *i)
{
    if (i->first) {
        i->first = 0;
        return vesk_bson_iterator_type(i);
    }
    if (i->cur[0] == BSON_EOO) return BSON_EOO;
    int64_t size = value_size(i->cur, vesk_bson_iterator_value(i));
    if (size < 0) {
        // The rest of the document cannot be found without the value's size.
        i->cur = end_of_walk;
        return BSON_EOO;
    }
    i->cur = vesk_bson_iterator_value(i) + size;
    return vesk_bson_iterator_type(i);
}

vesk_bson_bool_t vesk_bson_iterator_more(const vesk_bson_iterator *i) { return i->cur[0] != 0; }

vesk_bson_type vesk_bson_iterator_type(const vesk_bson_iterator *i)
{
    return static_cast<vesk_bson_type>(static_cast<unsigned char>(i->cur[0]));
}

const char *vesk_bson_iterator_key(const vesk_bson_iterator *i) { return i->cur + 1; }

const char *vesk_bson_iterator_value(const vesk_bson_iterator *i)
{
    const char *key = vesk_bson_iterator_key(i);
    return key + strlen(key) + 1;
}

int vesk_bson_iterator_int_raw(const vesk_bson_iterator *i) { return vesk_bson_get32(vesk_bson_iterator_value(i)); }

double vesk_bson_iterator_double_raw(const vesk_bson_iterator *i) { return get_double(vesk_bson_iterator_value(i)); }

int64_t vesk_bson_iterator_long_raw(const vesk_bson_iterator *i) { return get64(vesk_bson_iterator_value(i)); }

vesk_bson_bool_t vesk_bson_iterator_bool_raw(const vesk_bson_iterator *i)
{
    return static_cast<unsigned char>(vesk_bson_iterator_value(i)[0]);
}

const vesk_bson_oid_t *vesk_bson_iterator_oid(const vesk_bson_iterator *i)
{
    return reinterpret_cast<const vesk_bson_oid_t *>(vesk_bson_iterator_value(i));
}

int vesk_bson_iterator_int(const vesk_bson_iterator *i)
{
    switch (vesk_bson_iterator_type(i)) {
    case BSON_INT: return vesk_bson_iterator_int_raw(i);
    case BSON_LONG: return static_cast<int>(static_cast<uint32_t>(vesk_bson_iterator_long_raw(i)));
    case BSON_DOUBLE: return truncate_double<int>(vesk_bson_iterator_double_raw(i));
    default: return 0;
    }
}

double vesk_bson_iterator_double(const vesk_bson_iterator *i)
{
    switch (vesk_bson_iterator_type(i)) {
    case BSON_DOUBLE: return vesk_bson_iterator_double_raw(i);
    case BSON_INT: return vesk_bson_iterator_int_raw(i);
    case BSON_LONG: return static_cast<double>(vesk_bson_iterator_long_raw(i));
    default: return 0;
    }
}

int64_t vesk_bson_iterator_long(const vesk_bson_iterator *i)
{
    switch (vesk_bson_iterator_type(i)) {
    case BSON_LONG: return vesk_bson_iterator_long_raw(i);
    case BSON_INT: return vesk_bson_iterator_int_raw(i);
    case BSON_DOUBLE: return truncate_double<int64_t>(vesk_bson_iterator_double_raw(i));
    default: return 0;
    }
}

vesk_bson_bool_t vesk_bson_iterator_bool(const vesk_bson_iterator *i)
{
    switch (vesk_bson_iterator_type(i)) {
    case BSON_EOO:
    case BSON_NULL: return 0;
    case BSON_BOOL: return vesk_bson_iterator_bool_raw(i);
    case BSON_INT: return vesk_bson_iterator_int_raw(i) != 0;
    case BSON_LONG: return vesk_bson_iterator_long_raw(i) != 0;
    case BSON_DOUBLE: return vesk_bson_iterator_double_raw(i) != 0;
    default: return 1;
    }
}

vesk_bson_timestamp_t vesk_bson_iterator_timestamp(const vesk_bson_iterator *i)
{
    const char *v = vesk_bson_iterator_value(i);
    return {vesk_bson_get32(v), vesk_bson_get32(v + 4)};
}

int vesk_bson_iterator_timestamp_time(const vesk_bson_iterator *i) { return vesk_bson_iterator_timestamp(i).t; }

int vesk_bson_iterator_timestamp_increment(const vesk_bson_iterator *i) { return vesk_bson_iterator_timestamp(i).i; }

const char *vesk_bson_iterator_string(const vesk_bson_iterator *i)
{
    switch (vesk_bson_iterator_type(i)) {
    case BSON_STRING:
    case BSON_SYMBOL: return vesk_bson_iterator_value(i) + 4;
    default: return "";
    }
}

int vesk_bson_iterator_string_len(const vesk_bson_iterator *i) { return vesk_bson_iterator_int_raw(i); }

const char *vesk_bson_iterator_code(const vesk_bson_iterator *i)
{
    switch (vesk_bson_iterator_type(i)) {
    case BSON_STRING:
    case BSON_CODE: return vesk_bson_iterator_value(i) + 4;
    case BSON_CODEWSCOPE: return vesk_bson_iterator_value(i) + 8;
    default: return nullptr;
    }
}

void vesk_bson_iterator_code_scope(const vesk_bson_iterator *i, bson *scope)
{
    if (vesk_bson_iterator_type(i) != BSON_CODEWSCOPE) {
        vesk_bson_empty(scope);
        return;
    }
    const char *v = vesk_bson_iterator_value(i);
    wrap_document(scope, v + 8 + vesk_bson_get32(v + 4));
}

vesk_bson_date_t vesk_bson_iterator_date(const vesk_bson_iterator *i) { return vesk_bson_iterator_long_raw(i); }

time_t vesk_bson_iterator_time_t(const vesk_bson_iterator *i)
{
    return static_cast<time_t>(vesk_bson_iterator_date(i) / 1000);
}

int vesk_bson_iterator_bin_len(const vesk_bson_iterator *i)
{
    int len = vesk_bson_iterator_int_raw(i);
    return vesk_bson_iterator_bin_type(i) == BSON_BIN_BINARY_OLD ? len - 4 : len;
}

char vesk_bson_iterator_bin_type(const vesk_bson_iterator *i) { return vesk_bson_iterator_value(i)[4]; }

const char *vesk_bson_iterator_bin_data(const vesk_bson_iterator *i)
{
    return vesk_bson_iterator_value(i) + (vesk_bson_iterator_bin_type(i) == BSON_BIN_BINARY_OLD ? 9 : 5);
}

const char *vesk_bson_iterator_regex(const vesk_bson_iterator *i) { return vesk_bson_iterator_value(i); }

const char *vesk_bson_iterator_regex_opts(const vesk_bson_iterator *i)
{
    const char *p = vesk_bson_iterator_value(i);
    return p + strlen(p) + 1;
}

void vesk_bson_iterator_subobject(const vesk_bson_iterator *i, bson *sub)
{
    wrap_document(sub, vesk_bson_iterator_value(i));
}

void vesk_bson_iterator_subiterator(const vesk_bson_iterator *i, vesk_bson_iterator *sub)
{
    vesk_bson_iterator_from_buffer(sub, vesk_bson_iterator_value(i));
}

vesk_bson_type vesk_bson_find(vesk_bson_iterator *it, const bson *obj, const char *name)
{
    vesk_bson_iterator_init(it, obj);
    vesk_bson_type t;
    while ((t = vesk_bson_iterator_next(it)) != BSON_EOO)
        if (strcmp(name, vesk_bson_iterator_key(it)) == 0) return t;
    return BSON_EOO;
}

int vesk_bson_append_element(bson *b, const char *name_or_null, const vesk_bson_iterator *elem)
{
    const char *value = vesk_bson_iterator_value(elem);
    int64_t size = value_size(elem->cur, value);
    if (size < 0 || vesk_bson_iterator_type(elem) == BSON_EOO) return BSON_ERROR;
    const char *name = name_or_null ? name_or_null : vesk_bson_iterator_key(elem);
    if (append_estart(b, vesk_bson_iterator_type(elem), name, static_cast<size_t>(size)) == BSON_ERROR)
        return BSON_ERROR;
    vesk_bson_append(b, value, static_cast<int>(size));
    return BSON_OK;
}

// ---- the debug printer ----

void vesk_bson_print_raw(const char *data, int depth)
{
    vesk_bson_iterator i;
    vesk_bson_iterator_from_buffer(&i, data);
    while (vesk_bson_iterator_next(&i) != BSON_EOO && vesk_bson_iterator_more(&i)) {
        vesk_bson_type t = vesk_bson_iterator_type(&i);
        for (int k = 0; k <= depth; k++) vesk_bson_printf("\t");
        int code = static_cast<signed char>(i.cur[0]);
        vesk_bson_printf("%s : %d \t ", vesk_bson_iterator_key(&i), code);
        switch (t) {
        case BSON_DOUBLE: vesk_bson_printf("%f", vesk_bson_iterator_double(&i)); break;
        case BSON_STRING: vesk_bson_printf("%s", vesk_bson_iterator_string(&i)); break;
        case BSON_OBJECT:
        case BSON_ARRAY:
            vesk_bson_printf("\n");
            vesk_bson_print_raw(vesk_bson_iterator_value(&i), depth + 1);
            break;
        case BSON_BINDATA: vesk_bson_printf("BSON_BINDATA"); break;
        case BSON_UNDEFINED: vesk_bson_printf("BSON_UNDEFINED"); break;
        case BSON_OID: {
            // The id may sit at any offset; read it by bytes, not through the union.
            vesk_bson_oid_t oid;
            memcpy(oid.bytes, vesk_bson_iterator_value(&i), sizeof oid.bytes);
            char oidhex[25];
            vesk_bson_oid_to_string(&oid, oidhex);
            vesk_bson_printf("%s", oidhex);
            break;
        }
        case BSON_BOOL: vesk_bson_printf("%s", vesk_bson_iterator_bool(&i) ? "true" : "false"); break;
        case BSON_DATE: vesk_bson_printf("%ld", static_cast<long>(vesk_bson_iterator_date(&i))); break;
        case BSON_NULL: vesk_bson_printf("BSON_NULL"); break;
        case BSON_REGEX: vesk_bson_printf("BSON_REGEX: %s", vesk_bson_iterator_regex(&i)); break;
        case BSON_CODE: vesk_bson_printf("BSON_CODE: %s", vesk_bson_iterator_code(&i)); break;
        case BSON_SYMBOL: vesk_bson_printf("SYMBOL: %s", vesk_bson_iterator_string(&i)); break;
        case BSON_CODEWSCOPE: {
            vesk_bson_printf("BSON_CODE_W_SCOPE: %s", vesk_bson_iterator_code(&i));
            bson scope;
            vesk_bson_iterator_code_scope(&i, &scope);
            vesk_bson_printf("\n\t SCOPE: ");
            vesk_bson_print_raw(scope.data, 0);
            break;
        }
        case BSON_INT: vesk_bson_printf("%d", vesk_bson_iterator_int(&i)); break;
        case BSON_TIMESTAMP: {
            vesk_bson_timestamp_t ts = vesk_bson_iterator_timestamp(&i);
            vesk_bson_printf("i: %d, t: %d", ts.i, ts.t);
            break;
        }
        case BSON_LONG: vesk_bson_printf("%ld", static_cast<long>(vesk_bson_iterator_long(&i))); break;
        default: vesk_bson_errprintf("can't print type : %d\n", code);
        }
        vesk_bson_printf("\n");
    }
}

void vesk_bson_print(const bson *b) { vesk_bson_print_raw(b->data, 0); }

namespace {

// A 0-terminated name or text within [p, end): its length, or -1.
int64_t cstring_len(const char *p, const char *end)
{
    const void *nul = memchr(p, 0, static_cast<size_t>(end - p));
    return nul ? static_cast<const char *>(nul) - p : -1;
}

bool valid_document(const char *p, size_t len, int depth);

// An int32-counted text at p: its length field, the text, and a 0 byte.
bool valid_counted_string(const char *p, const char *end, size_t &used)
{
    if (end - p < 5) return false;
    int32_t n = vesk_bson_get32(p);
    if (n < 1 || n > end - p - 4 || p[4 + n - 1] != 0) return false;
    if (!vesk_utf8_valid(p + 4, static_cast<size_t>(n - 1))) return false;
    used = 4 + static_cast<size_t>(n);
    return true;
}

// The value of one element of type t at p, before end: its size, or false.
bool valid_value(int t, const char *p, const char *end, int depth, size_t &used)
{
    size_t room = static_cast<size_t>(end - p);
    auto fixed = [&](size_t n) {
        used = n;
        return room >= n;
    };
    switch (t) {
    case BSON_DOUBLE: case BSON_DATE: case BSON_TIMESTAMP: case BSON_LONG: return fixed(8);
    case BSON_INT: return fixed(4);
    case BSON_BOOL: return fixed(1) && (p[0] == 0 || p[0] == 1);
    case BSON_OID: return fixed(12);
    case BSON_UNDEFINED: case BSON_NULL: return fixed(0);
    case BSON_STRING:
        // The collector's decoder takes no 0 byte inside a text.
        return valid_counted_string(p, end, used) && !memchr(p + 4, 0, used - 5);
    case BSON_CODE: case BSON_SYMBOL: return valid_counted_string(p, end, used);
    case BSON_OBJECT: case BSON_ARRAY: {
        if (room < 5) return false;
        int32_t n = vesk_bson_get32(p);
        if (n < 5 || static_cast<size_t>(n) > room) return false;
        used = static_cast<size_t>(n);
        return valid_document(p, used, depth + 1);
    }
    case BSON_BINDATA: {
        if (room < 5) return false;
        int32_t n = vesk_bson_get32(p);
        if (n < 0 || static_cast<size_t>(n) > room - 5) return false;
        used = 5 + static_cast<size_t>(n);
        // The old binary subtype repeats the length of the bytes after it.
        if (p[4] == BSON_BIN_BINARY_OLD) return n >= 4 && vesk_bson_get32(p + 5) == n - 4;
        return true;
    }
    case BSON_REGEX: {
        int64_t a = cstring_len(p, end);
        if (a < 0) return false;
        int64_t b = cstring_len(p + a + 1, end);
        if (b < 0) return false;
        used = static_cast<size_t>(a + 1 + b + 1);
        // Strict decoders read the options as UTF-8 too.
        return vesk_utf8_valid(p, static_cast<size_t>(a)) && vesk_utf8_valid(p + a + 1, static_cast<size_t>(b));
    }
    case BSON_DBREF: {
        size_t s = 0;
        if (!valid_counted_string(p, end, s) || room - s < 12) return false;
        used = s + 12;
        return true;
    }
    case BSON_CODEWSCOPE: {
        if (room < 14) return false;
        int32_t total = vesk_bson_get32(p);
        if (total < 14 || static_cast<size_t>(total) > room) return false;
        size_t s = 0;
        const char *scope_end = p + total;
        if (!valid_counted_string(p + 4, scope_end, s)) return false;
        size_t scope_len = static_cast<size_t>(total) - 4 - s;
        if (scope_len < 5 || static_cast<size_t>(vesk_bson_get32(p + 4 + s)) != scope_len) return false;
        used = static_cast<size_t>(total);
        return valid_document(p + 4 + s, scope_len, depth + 1);
    }
    default: return false;
    }
}

bool valid_document(const char *p, size_t len, int depth)
{
    if (depth > VESK_BSON_MAX_DEPTH || len < 5 || static_cast<size_t>(vesk_bson_get32(p)) != len || p[len - 1] != 0)
        return false;
    const char *end = p + len - 1; // the closing 0 byte
    const char *cur = p + 4;
    while (cur < end) {
        int t = static_cast<unsigned char>(*cur);
        int64_t name = cstring_len(cur + 1, end);
        if (t == BSON_EOO || name < 0 || !vesk_utf8_valid(cur + 1, static_cast<size_t>(name))) return false;
        const char *value = cur + 1 + name + 1;
        size_t used = 0;
        if (!valid_value(t, value, end, depth, used)) return false;
        cur = value + used;
    }
    return cur == end;
}

} // namespace

int vesk_bson_validate(const char *data, size_t len)
{
    if (!data || len > static_cast<size_t>(INT32_MAX)) return 0;
    return valid_document(data, len, 0) ? 1 : 0;
}
