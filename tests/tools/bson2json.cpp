// Independent decoder for the tests: validates one BSON document with libbson
// and prints every element as "<dotted path>\t<type>\t<value>" (see README.md).
#include <bson/bson.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "bson_check.hpp"

namespace {

int fail(const std::string &msg)
{
    fprintf(stderr, "bson2json: %s\n", msg.c_str());
    return 1;
}

// Backslash, tab and line feed escaped; every byte outside 0x20-0x7e as \xHH.
std::string escape(const char *s, size_t len)
{
    std::string out;
    for (size_t i = 0; i < len; i++) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c > 0x7e) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string escape(const char *s) { return escape(s, strlen(s)); }

const char *type_name(bson_type_t t)
{
    switch (t) {
    case BSON_TYPE_DOUBLE: return "double";
    case BSON_TYPE_UTF8: return "string";
    case BSON_TYPE_DOCUMENT: return "document";
    case BSON_TYPE_ARRAY: return "array";
    case BSON_TYPE_BINARY: return "binary";
    case BSON_TYPE_UNDEFINED: return "undefined";
    case BSON_TYPE_OID: return "oid";
    case BSON_TYPE_BOOL: return "bool";
    case BSON_TYPE_DATE_TIME: return "date";
    case BSON_TYPE_NULL: return "null";
    case BSON_TYPE_REGEX: return "regex";
    case BSON_TYPE_DBPOINTER: return "dbpointer";
    case BSON_TYPE_CODE: return "code";
    case BSON_TYPE_SYMBOL: return "symbol";
    case BSON_TYPE_CODEWSCOPE: return "codewscope";
    case BSON_TYPE_INT32: return "int32";
    case BSON_TYPE_TIMESTAMP: return "timestamp";
    case BSON_TYPE_INT64: return "int64";
    case BSON_TYPE_DECIMAL128: return "decimal128";
    case BSON_TYPE_MAXKEY: return "maxkey";
    case BSON_TYPE_MINKEY: return "minkey";
    default: return "unknown";
    }
}

std::string value_text(const bson_iter_t *it)
{
    char buf[64];
    uint32_t len = 0;
    switch (bson_iter_type(it)) {
    case BSON_TYPE_DOUBLE:
        snprintf(buf, sizeof buf, "%.17g", bson_iter_double(it));
        return buf;
    case BSON_TYPE_UTF8: {
        const char *s = bson_iter_utf8(it, &len);
        return escape(s, len);
    }
    case BSON_TYPE_BINARY: {
        bson_subtype_t sub;
        const uint8_t *data;
        bson_iter_binary(it, &sub, &len, &data);
        snprintf(buf, sizeof buf, "%d:", static_cast<int>(sub));
        return buf + bson_check::hex(data, len);
    }
    case BSON_TYPE_OID: {
        char s[25];
        bson_oid_to_string(bson_iter_oid(it), s);
        return s;
    }
    case BSON_TYPE_BOOL: return bson_iter_bool(it) ? "true" : "false";
    case BSON_TYPE_DATE_TIME:
        snprintf(buf, sizeof buf, "%lld", static_cast<long long>(bson_iter_date_time(it)));
        return buf;
    case BSON_TYPE_REGEX: {
        const char *opts = nullptr;
        const char *pattern = bson_iter_regex(it, &opts);
        return "/" + escape(pattern) + "/" + escape(opts);
    }
    case BSON_TYPE_DBPOINTER: {
        const char *coll = nullptr;
        const bson_oid_t *oid = nullptr;
        bson_iter_dbpointer(it, &len, &coll, &oid);
        char s[25];
        bson_oid_to_string(oid, s);
        return escape(coll, len) + ":" + s;
    }
    case BSON_TYPE_CODE: {
        const char *s = bson_iter_code(it, &len);
        return escape(s, len);
    }
    case BSON_TYPE_SYMBOL: {
        const char *s = bson_iter_symbol(it, &len);
        return escape(s, len);
    }
    case BSON_TYPE_CODEWSCOPE: {
        uint32_t scope_len;
        const uint8_t *scope;
        const char *s = bson_iter_codewscope(it, &len, &scope_len, &scope);
        return escape(s, len);
    }
    case BSON_TYPE_INT32:
        snprintf(buf, sizeof buf, "%d", bson_iter_int32(it));
        return buf;
    case BSON_TYPE_TIMESTAMP: {
        uint32_t ts, inc;
        bson_iter_timestamp(it, &ts, &inc);
        snprintf(buf, sizeof buf, "%u:%u", ts, inc);
        return buf;
    }
    case BSON_TYPE_INT64:
        snprintf(buf, sizeof buf, "%lld", static_cast<long long>(bson_iter_int64(it)));
        return buf;
    case BSON_TYPE_DECIMAL128: {
        bson_decimal128_t dec;
        bson_iter_decimal128(it, &dec);
        char s[BSON_DECIMAL128_STRING];
        bson_decimal128_to_string(&dec, s);
        return s;
    }
    default: return ""; // documents, arrays, null, undefined, minkey, maxkey
    }
}

// Depth-first, in document order, over a validated document.
bool walk(bson_iter_t *it, const std::string &prefix, std::string &out)
{
    while (bson_iter_next(it)) {
        std::string path = prefix + escape(bson_iter_key(it), bson_iter_key_len(it));
        bson_type_t t = bson_iter_type(it);
        out += path + "\t" + type_name(t) + "\t" + value_text(it) + "\n";
        if (t == BSON_TYPE_DOCUMENT || t == BSON_TYPE_ARRAY) {
            bson_iter_t child;
            if (!bson_iter_recurse(it, &child) || !walk(&child, path + ".", out)) return false;
        }
    }
    return it->err_off == 0;
}

bool is_hex_digits(const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (!isxdigit(p[i])) return false;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    bool packet = false;
    const char *file = nullptr;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--packet") == 0)
            packet = true;
        else if (!file && argv[i][0] != '-')
            file = argv[i];
        else {
            fprintf(stderr, "usage: bson2json [--packet] [FILE]\n");
            return 2;
        }
    }
    std::vector<uint8_t> bytes;
    if (file) {
        std::ifstream in(file, std::ios::binary);
        if (!in) return fail(std::string("cannot open ") + file);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } else {
        std::cin >> std::noskipws;
        bytes.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    }
    if (bytes.size() < 5) return fail("shorter than a document (" + std::to_string(bytes.size()) + " bytes)");
    int32_t declared;
    memcpy(&declared, bytes.data(), 4);
    size_t doc_len = bytes.size();
    if (packet && declared >= 5 && static_cast<size_t>(declared) + 40 == bytes.size() &&
        is_hex_digits(bytes.data() + declared, 40))
        doc_len = static_cast<size_t>(declared);
    if (declared < 5 || static_cast<size_t>(declared) != doc_len)
        return fail("length field " + std::to_string(declared) + " does not match " + std::to_string(doc_len) +
                    " bytes of input");

    std::string why = bson_check::validate(bytes.data(), doc_len);
    if (!why.empty()) return fail(why);
    bson_t doc;
    bson_init_static(&doc, bytes.data(), doc_len);
    bson_iter_t it;
    std::string out;
    if (!bson_iter_init(&it, &doc) || !walk(&it, "", out)) return fail("corrupt element");
    fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}
