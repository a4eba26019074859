// Values read out of a parsed JSON tree by dot-separated paths.
#include "vesk_json.hpp"

#include <cstring>
#include <string_view>

const nx_json *json_get_item_by_path(const nx_json *json, const char *path)
{
    const nx_json *node = json ? json : nx_json_get(nullptr, nullptr);
    std::string_view rest = path ? path : "";
    while (!rest.empty()) {
        size_t dot = rest.find('.');
        std::string_view seg = rest.substr(0, dot);
        rest = dot == std::string_view::npos ? std::string_view{} : rest.substr(dot + 1);
        if (!seg.empty()) node = nx_json_get(node, seg);
    }
    return node;
}

int64_t json_get_long_by_path(const nx_json *json, const char *path)
{
    return json_get_item_by_path(json, path)->int_value;
}

int json_get_bool_by_path(const nx_json *json, const char *path)
{
    const nx_json *js = json_get_item_by_path(json, path);
    return js->type == NX_JSON_BOOL ? static_cast<int>(js->int_value) : -1;
}

int json_get_str_by_path(const nx_json *json, const char *path, char *result, size_t len)
{
    if (len == 0) return 0;
    const nx_json *js = json_get_item_by_path(json, path);
    if (js->type != NX_JSON_STRING || !js->text_value) {
        result[0] = 0;
        return 0;
    }
    strncpy(result, js->text_value, len - 1);
    result[len - 1] = 0;
    return 1;
}

int64_t json_column_sum(const nx_json *object, const char *column, int *error)
{
    if (!object || object->type != NX_JSON_OBJECT) {
        *error = 1;
        return 0;
    }
    *error = 0;
    uint64_t sum = 0; // wraps like the signed sum would, without its undefined overflow
    for (const nx_json *child = object->child; child; child = child->next) {
        const nx_json *v = nx_json_get(child, column);
        if (child->type == NX_JSON_OBJECT && v->type == NX_JSON_INTEGER)
            sum += static_cast<uint64_t>(v->int_value);
        else
            *error = 1;
    }
    return static_cast<int64_t>(sum);
}
