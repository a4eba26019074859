// Test helper: builds a document with the agent's builder and decodes it with libbson,
// an independent decoder, into plain fields that tests compare.
#pragma once

#include <bson/bson.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "bson.hpp"

struct bson_field {
    std::string key;
    bson_type_t type = BSON_TYPE_EOD;
    int64_t i = 0;     // int32 and int64
    double d = 0;      // double
    std::string s;     // string
    std::vector<bson_field> sub; // embedded document

    const bson_field &operator[](const std::string &k) const
    {
        for (const bson_field &f : sub)
            if (f.key == k) return f;
        static const bson_field missing{};
        ADD_FAILURE() << "no key " << k << " in " << key;
        return missing;
    }
    // "key:type" of each member in order, types as int32/int64/double/string/object.
    std::vector<std::string> layout() const
    {
        std::vector<std::string> out;
        for (const bson_field &f : sub) out.push_back(f.key + ":" + f.type_name());
        return out;
    }
    std::string type_name() const
    {
        switch (type) {
        case BSON_TYPE_INT32: return "int32";
        case BSON_TYPE_INT64: return "int64";
        case BSON_TYPE_DOUBLE: return "double";
        case BSON_TYPE_UTF8: return "string";
        case BSON_TYPE_DOCUMENT: return "object";
        default: return "other";
        }
    }
};

inline void decode_into(bson_iter_t *it, std::vector<bson_field> &out)
{
    while (bson_iter_next(it)) {
        bson_field f;
        f.key = bson_iter_key(it);
        f.type = bson_iter_type(it);
        switch (f.type) {
        case BSON_TYPE_INT32: f.i = bson_iter_int32(it); break;
        case BSON_TYPE_INT64: f.i = bson_iter_int64(it); break;
        case BSON_TYPE_DOUBLE: f.d = bson_iter_double(it); break;
        case BSON_TYPE_UTF8: f.s = bson_iter_utf8(it, nullptr); break;
        case BSON_TYPE_DOCUMENT: {
            bson_iter_t child;
            if (bson_iter_recurse(it, &child)) decode_into(&child, f.sub);
            break;
        }
        default: break;
        }
        out.push_back(std::move(f));
    }
}

// Runs `append` on a fresh builder, finishes the document and decodes it. The
// returned root's `sub` holds the top-level fields.
inline bson_field build_and_decode(const std::function<void(bson *)> &append)
{
    bson b{};
    vesk_bson_init(&b);
    append(&b);
    bson_field root;
    root.key = "(root)";
    root.type = BSON_TYPE_DOCUMENT;
    if (vesk_bson_finish(&b) != BSON_OK) {
        ADD_FAILURE() << "builder refused the document";
        vesk_bson_destroy(&b);
        return root;
    }
    bson_t doc;
    if (!bson_init_static(&doc, reinterpret_cast<const uint8_t *>(vesk_bson_data(&b)),
                          static_cast<size_t>(vesk_bson_size(&b)))) {
        ADD_FAILURE() << "libbson refused the document";
    } else {
        bson_iter_t it;
        if (bson_iter_init(&it, &doc)) decode_into(&it, root.sub);
        if (!bson_validate(&doc, BSON_VALIDATE_UTF8, nullptr)) ADD_FAILURE() << "document is not valid UTF-8";
    }
    vesk_bson_destroy(&b);
    return root;
}
