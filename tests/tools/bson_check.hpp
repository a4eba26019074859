// Validation shared by the test tools: libbson's structural and UTF-8 checks,
// then a strict UTF-8 check of every key and text.
#pragma once

#include <bson/bson.h>

#include <cstring>
#include <string>

namespace bson_check {

// Lower-case hexadecimal text of the bytes.
inline std::string hex(const uint8_t *p, size_t len)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < len; i++) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 0xf];
    }
    return out;
}

// libbson lets truncated and overlong sequences through, so texts are checked
// here as well: well-formed UTF-8 up to U+10FFFF without surrogates, as strict
// decoders (Python's among them) demand.
inline bool strict_utf8(const char *s, size_t len)
{
    const auto *p = reinterpret_cast<const unsigned char *>(s);
    for (size_t i = 0; i < len;) {
        unsigned char c = p[i];
        size_t more;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c < 0x80) {
            i++;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            more = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (len - i <= more) return false;
        if (p[i + 1] < lo || p[i + 1] > hi) return false;
        for (size_t k = 2; k <= more; k++)
            if (p[i + k] < 0x80 || p[i + k] > 0xBF) return false;
        i += more + 1;
    }
    return true;
}

// The texts of the current element (its key and any text in its value).
inline bool element_texts_valid(const bson_iter_t *it)
{
    if (!strict_utf8(bson_iter_key(it), bson_iter_key_len(it))) return false;
    uint32_t len = 0;
    const char *s = nullptr;
    switch (bson_iter_type(it)) {
    case BSON_TYPE_UTF8: s = bson_iter_utf8(it, &len); break;
    case BSON_TYPE_CODE: s = bson_iter_code(it, &len); break;
    case BSON_TYPE_SYMBOL: s = bson_iter_symbol(it, &len); break;
    case BSON_TYPE_CODEWSCOPE: {
        uint32_t scope_len;
        const uint8_t *scope;
        s = bson_iter_codewscope(it, &len, &scope_len, &scope);
        break;
    }
    case BSON_TYPE_REGEX: {
        const char *opts = nullptr;
        const char *pattern = bson_iter_regex(it, &opts);
        return strict_utf8(pattern, strlen(pattern)) && strict_utf8(opts, strlen(opts));
    }
    case BSON_TYPE_DBPOINTER: {
        const bson_oid_t *oid;
        bson_iter_dbpointer(it, &len, &s, &oid);
        break;
    }
    default: return true;
    }
    return strict_utf8(s, len);
}

// Every element of the document and of its embedded documents.
inline bool texts_valid(bson_iter_t *it)
{
    while (bson_iter_next(it)) {
        if (!element_texts_valid(it)) return false;
        bson_type_t t = bson_iter_type(it);
        if (t == BSON_TYPE_DOCUMENT || t == BSON_TYPE_ARRAY) {
            bson_iter_t child;
            if (!bson_iter_recurse(it, &child) || !texts_valid(&child)) return false;
        }
    }
    return it->err_off == 0;
}

// Empty when the bytes are exactly one valid document, else the reason.
inline std::string validate(const uint8_t *data, size_t len)
{
    bson_t doc;
    if (!bson_init_static(&doc, data, len)) return "not a BSON document";
    bson_error_t error;
    if (!bson_validate_with_error(&doc, BSON_VALIDATE_UTF8, &error))
        return std::string("invalid document: ") + error.message;
    bson_iter_t it;
    if (!bson_iter_init(&it, &doc) || !texts_valid(&it)) return "corrupt element or invalid UTF-8";
    return "";
}

} // namespace bson_check
