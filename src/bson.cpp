#include "bson.hpp"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "encoding.hpp"

void *(*vesk_bson_malloc_func)(size_t) = malloc;
void *(*vesk_bson_realloc_func)(void *, size_t) = realloc;
void (*vesk_bson_free_func)(void *) = free;

namespace {

constexpr int kInitialBufferSize = 128;
vesk_bson_err_handler err_handler = nullptr;

// Little-endian writes of fixed-size values (the agent only runs on little-endian hosts).
void put32(char *at, int32_t v) { memcpy(at, &v, 4); }

size_t name_length(const char *name) { return strlen(name); }

// Starts an element: room for the type byte, the name, its 0 byte and `value_size`
// value bytes; checks the name; writes the type byte and the name.
int append_estart(bson *b, int type, const char *name, size_t value_size)
{
    if (b->finished) {
        b->err |= BSON_ALREADY_FINISHED;
        return BSON_ERROR;
    }
    size_t len = name_length(name);
    size_t needed = 1 + len + 1 + value_size;
    if (needed > static_cast<size_t>(INT_MAX)) {
        b->err = BSON_SIZE_OVERFLOW;
        return BSON_ERROR;
    }
    if (vesk_bson_ensure_space(b, static_cast<int>(needed)) == BSON_ERROR) return BSON_ERROR;
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

int append_string_base(bson *b, const char *name, const char *value, size_t len, int type)
{
    if (len > static_cast<size_t>(INT_MAX) - 6) {
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
    fprintf(stderr, "error: %s\n", msg);
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

static void reset_handle(bson *b)
{
    b->finished = 0;
    b->stackPos = 0;
    b->err = 0;
    b->errstr = nullptr;
}

int vesk_bson_init_size(bson *b, int size)
{
    if (size <= 0) {
        b->data = nullptr;
        b->cur = nullptr;
        b->dataSize = 0;
    } else {
        b->data = static_cast<char *>(vesk_bson_malloc(static_cast<size_t>(size)));
        b->dataSize = size;
        b->cur = b->data;
        if (size >= 4) {
            // The length stays 0 until the document is finished.
            put32(b->data, 0);
            b->cur = b->data + 4;
        }
    }
    reset_handle(b);
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

int vesk_bson_size(const bson *b)
{
    if (!b || !b->data) return 0;
    int32_t i;
    memcpy(&i, b->data, 4);
    return i;
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
    // A document with embedded documents still open has no valid form.
    if (b->stackPos != 0) return BSON_ERROR;
    if (vesk_bson_ensure_space(b, 1) == BSON_ERROR) return BSON_ERROR;
    vesk_bson_append_byte(b, 0);
    int64_t total = b->cur - b->data;
    put32(b->data, static_cast<int32_t>(total));
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

int vesk_bson_append_string(bson *b, const char *name, const char *value)
{
    return append_string_base(b, name, value, strlen(value), BSON_STRING);
}

int vesk_bson_append_string_n(bson *b, const char *name, const char *value, int len)
{
    return append_string_base(b, name, value, len < 0 ? 0 : static_cast<size_t>(len), BSON_STRING);
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
    put32(start, static_cast<int32_t>(b->cur - start));
    return BSON_OK;
}

int vesk_bson_append_finish_array(bson *b) { return vesk_bson_append_finish_object(b); }

int vesk_bson_append_bson(bson *b, const char *name, const bson *doc)
{
    if (!doc) return BSON_ERROR;
    int size = vesk_bson_size(doc);
    if (size < 0) return BSON_ERROR;
    if (append_estart(b, BSON_OBJECT, name, static_cast<size_t>(size)) == BSON_ERROR) return BSON_ERROR;
    if (size > 0) vesk_bson_append(b, doc->data, size);
    return BSON_OK;
}
