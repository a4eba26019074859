// Outside answers (Engine, Elasticsearch): whatever the bytes, the reader must stay
// inside its buffer, keep its nesting bound and build a consistent tree.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "nxjson.hpp"
#include "vesk_json.hpp"

namespace {

const char *lo, *hi;

void check_text(const char *s)
{
    if (!s) return;
    if (s < lo || s >= hi || !memchr(s, 0, static_cast<size_t>(hi - s))) abort();
}

void walk(const nx_json *js, int depth)
{
    if (depth > NX_JSON_MAX_DEPTH) abort();
    check_text(js->key);
    check_text(js->text_value);
    if ((js->type == NX_JSON_STRING) != (js->text_value != nullptr)) abort();
    int n = 0;
    for (const nx_json *c = js->child; c; c = c->next, n++) {
        if (js->type == NX_JSON_OBJECT && !c->key) abort();
        if (js->type == NX_JSON_ARRAY && c->key) abort();
        walk(c, depth + 1);
        if (!c->next && c != js->last_child) abort();
    }
    if (n != js->length) abort();
    if (js->key) {
        // The first member of this name is reachable by path unless the name has a dot.
        (void)json_get_long_by_path(js, js->key);
        char buf[8];
        json_get_str_by_path(js, js->key, buf, sizeof buf);
        if (strlen(buf) >= sizeof buf) abort();
    }
    int err;
    (void)json_column_sum(js, "a", &err);
}

void run(const uint8_t *data, size_t size, nx_json_unicode_encoder enc)
{
    std::vector<char> text(data, data + size);
    text.push_back(0);
    lo = text.data();
    hi = lo + text.size();
    const nx_json *js = nx_json_parse(text.data(), enc);
    if (js) walk(js, 1);
    nx_json_free(js);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    run(data, size, nullptr);
    run(data, size, nx_json_unicode_to_utf8);
    return 0;
}
