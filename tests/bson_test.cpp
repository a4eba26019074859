// The builder, cursor and printer, checked against documents that libbson builds
// and reads.
#include <bson/bson.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "bson.hpp"
#include "encoding.hpp"
#include "numbers.hpp"

namespace {

using bytes = std::vector<uint8_t>;

bytes of(const bson_t *b)
{
    const uint8_t *d = bson_get_data(b);
    return bytes(d, d + b->len);
}

bytes of(const bson *b) { return bytes(b->data, b->data + vesk_bson_size(b)); }

// Builds one document with each builder; both must give the same bytes.
struct twin {
    const char *what;
    void (*ours)(bson *);
    void (*theirs)(bson_t *);
};

const char bin[] = {1, 0, 2};
const char *const kOid = "0123456789abcdef01234567";

TEST(BsonBuilder, SameBytesAsLibbson)
{
    const twin cases[] = {
        {"empty document", [](bson *) {}, [](bson_t *) {}},
        {"int32", [](bson *b) { vesk_bson_append_int(b, "a", -7); }, [](bson_t *l) { BSON_APPEND_INT32(l, "a", -7); }},
        {"int64", [](bson *b) { vesk_bson_append_long(b, "l", -5000000000LL); },
         [](bson_t *l) { BSON_APPEND_INT64(l, "l", -5000000000LL); }},
        {"double", [](bson *b) { vesk_bson_append_double(b, "d", 12.5); }, [](bson_t *l) { BSON_APPEND_DOUBLE(l, "d", 12.5); }},
        {"bool 5 is true", [](bson *b) { vesk_bson_append_bool(b, "t", 5); }, [](bson_t *l) { BSON_APPEND_BOOL(l, "t", true); }},
        {"bool 0", [](bson *b) { vesk_bson_append_bool(b, "f", 0); }, [](bson_t *l) { BSON_APPEND_BOOL(l, "f", false); }},
        {"string", [](bson *b) { vesk_bson_append_string(b, "s", "h\xc3\xa9llo"); },
         [](bson_t *l) { BSON_APPEND_UTF8(l, "s", "h\xc3\xa9llo"); }},
        {"empty string", [](bson *b) { vesk_bson_append_string(b, "e", ""); }, [](bson_t *l) { BSON_APPEND_UTF8(l, "e", ""); }},
        {"string_n", [](bson *b) { vesk_bson_append_string_n(b, "n", "abcdef", 3); },
         [](bson_t *l) { bson_append_utf8(l, "n", 1, "abc", 3); }},
        {"symbol and code",
         [](bson *b) {
             vesk_bson_append_symbol(b, "y", "sym");
             vesk_bson_append_code_n(b, "c", "f();g()", 3);
         },
         [](bson_t *l) {
             BSON_APPEND_SYMBOL(l, "y", "sym");
             BSON_APPEND_CODE(l, "c", "f()");
         }},
        {"null and undefined",
         [](bson *b) {
             vesk_bson_append_null(b, "n");
             vesk_bson_append_undefined(b, "u");
         },
         [](bson_t *l) {
             BSON_APPEND_NULL(l, "n");
             BSON_APPEND_UNDEFINED(l, "u");
         }},
        {"binary, old binary",
         [](bson *b) {
             vesk_bson_append_binary(b, "b", BSON_BIN_BINARY, bin, 3);
             vesk_bson_append_binary(b, "o", BSON_BIN_BINARY_OLD, bin, 3);
         },
         [](bson_t *l) {
             BSON_APPEND_BINARY(l, "b", BSON_SUBTYPE_BINARY, reinterpret_cast<const uint8_t *>(bin), 3);
             BSON_APPEND_BINARY(l, "o", BSON_SUBTYPE_BINARY_DEPRECATED, reinterpret_cast<const uint8_t *>(bin), 3);
         }},
        {"oid",
         [](bson *b) {
             vesk_bson_oid_t oid;
             vesk_bson_oid_from_string(&oid, kOid);
             vesk_bson_append_oid(b, "_id", &oid);
         },
         [](bson_t *l) {
             bson_oid_t oid;
             bson_oid_init_from_string(&oid, kOid);
             BSON_APPEND_OID(l, "_id", &oid);
         }},
        {"regex", [](bson *b) { vesk_bson_append_regex(b, "r", "^a+$", "im"); },
         [](bson_t *l) { BSON_APPEND_REGEX(l, "r", "^a+$", "im"); }},
        {"timestamps",
         [](bson *b) {
             vesk_bson_timestamp_t ts{7, 100};
             vesk_bson_append_timestamp(b, "t1", &ts);
             vesk_bson_append_timestamp2(b, "t2", 200, 9);
         },
         [](bson_t *l) {
             BSON_APPEND_TIMESTAMP(l, "t1", 100, 7);
             BSON_APPEND_TIMESTAMP(l, "t2", 200, 9);
         }},
        {"dates",
         [](bson *b) {
             vesk_bson_append_date(b, "d", -1500);
             vesk_bson_append_time_t(b, "t", 1700000000);
         },
         [](bson_t *l) {
             BSON_APPEND_DATE_TIME(l, "d", -1500);
             BSON_APPEND_DATE_TIME(l, "t", 1700000000000LL);
         }},
        {"code with scope",
         [](bson *b) {
             bson scope;
             vesk_bson_init(&scope);
             vesk_bson_append_int(&scope, "x", 1);
             vesk_bson_finish(&scope);
             vesk_bson_append_code_w_scope(b, "cw", "x+1", &scope);
             vesk_bson_destroy(&scope);
         },
         [](bson_t *l) {
             bson_t *scope = BCON_NEW("x", BCON_INT32(1));
             BSON_APPEND_CODE_WITH_SCOPE(l, "cw", "x+1", scope);
             bson_destroy(scope);
         }},
        {"nested objects and named array elements",
         [](bson *b) {
             vesk_bson_append_start_object(b, "mem");
             vesk_bson_append_long(b, "total", 1);
             vesk_bson_append_start_object(b, "empty");
             vesk_bson_append_finish_object(b);
             vesk_bson_append_finish_object(b);
             vesk_bson_append_start_array(b, "custom");
             vesk_bson_append_start_object(b, "disk_root");
             vesk_bson_append_double(b, "value", 3.25);
             vesk_bson_append_start_array(b, "alerts");
             vesk_bson_append_finish_array(b);
             vesk_bson_append_finish_object(b);
             vesk_bson_append_finish_array(b);
         },
         [](bson_t *l) {
             bson_t mem, empty, custom, disk, alerts;
             BSON_APPEND_DOCUMENT_BEGIN(l, "mem", &mem);
             BSON_APPEND_INT64(&mem, "total", 1);
             BSON_APPEND_DOCUMENT_BEGIN(&mem, "empty", &empty);
             bson_append_document_end(&mem, &empty);
             bson_append_document_end(l, &mem);
             BSON_APPEND_ARRAY_BEGIN(l, "custom", &custom);
             BSON_APPEND_DOCUMENT_BEGIN(&custom, "disk_root", &disk);
             BSON_APPEND_DOUBLE(&disk, "value", 3.25);
             BSON_APPEND_ARRAY_BEGIN(&disk, "alerts", &alerts);
             bson_append_array_end(&disk, &alerts);
             bson_append_document_end(&custom, &disk);
             bson_append_array_end(l, &custom);
         }},
        {"growth across the first buffer",
         [](bson *b) {
             for (int i = 0; i < 300; i++) vesk_bson_append_string(b, std::to_string(i).c_str(), "0123456789");
         },
         [](bson_t *l) {
             for (int i = 0; i < 300; i++) BSON_APPEND_UTF8(l, std::to_string(i).c_str(), "0123456789");
         }},
    };
    for (const auto &c : cases) {
        bson b;
        vesk_bson_init(&b);
        c.ours(&b);
        ASSERT_EQ(vesk_bson_finish(&b), BSON_OK) << c.what;
        EXPECT_EQ(b.err, 0) << c.what;
        bson_t *l = bson_new();
        c.theirs(l);
        EXPECT_EQ(of(&b), of(l)) << c.what;
        bson_destroy(l);
        vesk_bson_destroy(&b);
    }
}

TEST(BsonBuilder, GrowthAndLengthField)
{
    bson b;
    vesk_bson_init(&b);
    ASSERT_EQ(b.dataSize, 128);
    int32_t len;
    memcpy(&len, b.data, 4);
    EXPECT_EQ(len, 0);
    // 4 + 116 bytes used; the next element (1 + 2 + 17 = 20 bytes) does not fit in 8.
    std::string filler(116 - 1 - 2 - 4 - 1, 'x');
    ASSERT_EQ(vesk_bson_append_string(&b, "f", filler.c_str()), 0);
    ASSERT_EQ(b.cur - b.data, 120);
    EXPECT_EQ(b.dataSize, 128);
    ASSERT_EQ(vesk_bson_append_string(&b, "g", "0123456789ab"), 0);
    EXPECT_EQ(b.dataSize, static_cast<int>(1.5 * (128 + 20)));
    memcpy(&len, b.data, 4);
    EXPECT_EQ(len, 0) << "the length is written only by finish";
    ASSERT_EQ(vesk_bson_finish(&b), 0);
    EXPECT_EQ(vesk_bson_size(&b), 141);
    bson_t l;
    ASSERT_TRUE(bson_init_static(&l, reinterpret_cast<const uint8_t *>(b.data), 141));
    EXPECT_TRUE(bson_validate(&l, BSON_VALIDATE_UTF8, nullptr));
    vesk_bson_destroy(&b);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.finished, 1);
    EXPECT_EQ(vesk_bson_size(&b), 0);

    // A request that would take the buffer to INT_MAX is refused and replaces the bits.
    vesk_bson_init(&b);
    vesk_bson_append_int(&b, "a.b", 1);
    ASSERT_EQ(b.err, BSON_FIELD_HAS_DOT);
    char *before = b.data;
    EXPECT_EQ(vesk_bson_ensure_space(&b, INT_MAX - 128), BSON_ERROR);
    EXPECT_EQ(b.err, BSON_SIZE_OVERFLOW);
    EXPECT_EQ(b.data, before);
    EXPECT_EQ(b.dataSize, 128);
    EXPECT_EQ(vesk_bson_finish(&b), 0);
    vesk_bson_destroy(&b);
}

struct utf8_case {
    const char *what;
    const char *text;
    bool valid;
};

const utf8_case kUtf8[] = {
    {"ascii", "abc", true},
    {"two bytes", "\xc3\xa9", true},
    {"three bytes", "\xe2\x82\xac", true},
    {"four bytes", "\xf0\x9f\x98\x80", true},
    {"highest code point", "\xf4\x8f\xbf\xbf", true},
    {"surrogate", "\xed\xa0\x80", true},
    {"overlong NUL", "\xc0\x80", false},
    {"overlong two bytes", "\xc1\xbf", false},
    {"overlong three bytes", "\xe0\x9f\xbf", false},
    {"overlong four bytes", "\xf0\x8f\xbf\xbf", false},
    {"lone continuation", "\x80", false},
    {"above U+10FFFF", "\xf4\x90\x80\x80", false},
    {"lead F5", "\xf5\x80\x80\x80", false},
    {"five-byte lead", "\xf8\x88\x80\x80\x80", false},
    {"six-byte lead", "\xfc\x84\x80\x80\x80\x80", false},
    {"cut sequence", "a\xe2\x82", false},
    {"bad third byte", "\xe2\x82\x41", false},
};

TEST(BsonBuilder, Utf8RuleForNamesAndValues)
{
    for (const auto &c : kUtf8) {
        bson b;
        vesk_bson_init(&b);
        vesk_bson_append_int(&b, "before", 1);
        bytes prefix(b.data, b.cur);
        EXPECT_EQ(vesk_bson_append_string(&b, "s", c.text), c.valid ? 0 : -1) << c.what;
        EXPECT_EQ(vesk_bson_append_int(&b, c.text, 2), c.valid ? 0 : -1) << c.what;
        if (!c.valid) {
            EXPECT_EQ(bytes(b.data, b.cur), prefix) << c.what << ": nothing written";
            EXPECT_EQ(b.err, BSON_NOT_UTF8) << c.what;
            EXPECT_EQ(vesk_bson_finish(&b), -1) << c.what;
            EXPECT_EQ(b.finished, 0) << c.what;
            int32_t len;
            memcpy(&len, b.data, 4);
            EXPECT_EQ(len, 0) << c.what;
        } else {
            EXPECT_EQ(vesk_bson_finish(&b), 0) << c.what;
        }
        EXPECT_EQ(vesk_utf8_valid(c.text, strlen(c.text)), c.valid) << c.what;
        vesk_bson_destroy(&b);
    }
}

TEST(BsonBuilder, FieldNameBits)
{
    struct {
        const char *name;
        int bits;
    } cases[] = {
        {"plain", 0},          {"a.b", BSON_FIELD_HAS_DOT}, {"$x", BSON_FIELD_INIT_DOLLAR},
        {"$ref", 0},           {"$refs", 0},                {"$id", 0},
        {"$db", 0},            {"$idx", BSON_FIELD_INIT_DOLLAR}, {"$i", BSON_FIELD_INIT_DOLLAR},
        {"$", BSON_FIELD_INIT_DOLLAR}, {"$a.b", BSON_FIELD_INIT_DOLLAR | BSON_FIELD_HAS_DOT},
    };
    for (const auto &c : cases) {
        bson b;
        vesk_bson_init(&b);
        EXPECT_EQ(vesk_bson_append_int(&b, c.name, 1), 0) << c.name;
        EXPECT_EQ(b.err, c.bits) << c.name;
        ASSERT_EQ(vesk_bson_finish(&b), 0) << c.name;
        bson_t l;
        ASSERT_TRUE(bson_init_static(&l, reinterpret_cast<const uint8_t *>(b.data), vesk_bson_size(&b)));
        bson_iter_t it;
        ASSERT_TRUE(bson_iter_init(&it, &l) && bson_iter_next(&it)) << c.name;
        EXPECT_STREQ(bson_iter_key(&it), c.name) << "written in full";
        vesk_bson_destroy(&b);
    }
}

TEST(BsonBuilder, MisuseIsRefusedWithoutDamage)
{
    bson b;
    vesk_bson_init(&b);
    vesk_bson_append_int(&b, "a", 1);
    bytes start(b.data, b.cur);

    EXPECT_EQ(vesk_bson_append_finish_object(&b), -1) << "close with nothing open";
    EXPECT_EQ(bytes(b.data, b.cur), start);

    for (int i = 0; i < VESK_BSON_MAX_DEPTH; i++) ASSERT_EQ(vesk_bson_append_start_object(&b, "o"), 0);
    bytes deep(b.data, b.cur);
    EXPECT_EQ(vesk_bson_append_start_array(&b, "o"), -1) << "33rd level";
    EXPECT_EQ(bytes(b.data, b.cur), deep);
    EXPECT_EQ(b.stackPos, VESK_BSON_MAX_DEPTH);

    EXPECT_EQ(vesk_bson_finish(&b), -1) << "levels still open";
    EXPECT_EQ(b.finished, 0);
    for (int i = 0; i < VESK_BSON_MAX_DEPTH; i++) ASSERT_EQ(vesk_bson_append_finish_object(&b), 0);
    ASSERT_EQ(vesk_bson_finish(&b), 0);
    bson_t l;
    ASSERT_TRUE(bson_init_static(&l, reinterpret_cast<const uint8_t *>(b.data), vesk_bson_size(&b)));
    EXPECT_TRUE(bson_validate(&l, BSON_VALIDATE_NONE, nullptr));
    EXPECT_EQ(bson_count_keys(&l), 2u);

    bytes done = of(&b);
    EXPECT_EQ(vesk_bson_append_int(&b, "late", 1), -1);
    EXPECT_EQ(b.err & BSON_ALREADY_FINISHED, BSON_ALREADY_FINISHED);
    EXPECT_EQ(vesk_bson_finish(&b), 0) << "a second finish";
    EXPECT_EQ(of(&b), done);
    vesk_bson_destroy(&b);

    // Embedding: a document says how long it is; a handle without one is refused.
    bson doc;
    vesk_bson_init(&doc);
    char five[] = {5, 0, 0, 0, 0, 'j', 'u', 'n', 'k'};
    bson wrapped;
    vesk_bson_init_data(&wrapped, five);
    EXPECT_EQ(vesk_bson_append_bson(&doc, "p", &wrapped), 0);
    bson none;
    vesk_bson_init_data(&none, nullptr);
    EXPECT_EQ(vesk_bson_append_bson(&doc, "q", &none), -1);
    EXPECT_EQ(vesk_bson_append_bson(&doc, "q", nullptr), -1);
    ASSERT_EQ(vesk_bson_finish(&doc), 0);
    bson_t *want = BCON_NEW("p", "{", "}");
    EXPECT_EQ(of(&doc), of(want));
    bson_destroy(want);
    vesk_bson_destroy(&doc);

    // A handle set up without a buffer refuses elements instead of writing at null.
    bson bare;
    vesk_bson_init_size(&bare, 0);
    EXPECT_EQ(bare.data, nullptr);
    EXPECT_EQ(vesk_bson_append_int(&bare, "a", 1), -1);
    EXPECT_EQ(vesk_bson_finish(&bare), -1);
}

void *no_memory(size_t) { return nullptr; }

TEST(BsonBuilderDeathTest, OutOfMemoryEndsWithMinusFive)
{
    EXPECT_EXIT(
        {
            vesk_bson_malloc_func = no_memory;
            vesk_bson_create();
        },
        testing::ExitedWithCode(251), "error: malloc\\(\\) failed");
    EXPECT_EXIT(
        {
            bson b;
            vesk_bson_init(&b);
            vesk_bson_realloc_func = [](void *, size_t) -> void * { return nullptr; };
            vesk_bson_ensure_space(&b, 1000);
        },
        testing::ExitedWithCode(251), "error: realloc\\(\\) failed");
}

TEST(BsonBuilder, CopyEmptyAndObjectIds)
{
    bson src;
    vesk_bson_init(&src);
    vesk_bson_append_int(&src, "a", 1);
    bson out;
    EXPECT_EQ(vesk_bson_copy(&out, &src), -1) << "not finished";
    EXPECT_EQ(out.data, nullptr);
    EXPECT_EQ(out.finished, 0);
    vesk_bson_finish(&src);
    ASSERT_EQ(vesk_bson_copy(&out, &src), 0);
    EXPECT_EQ(out.dataSize, vesk_bson_size(&src));
    EXPECT_EQ(of(&out), of(&src));
    EXPECT_NE(out.data, src.data);
    vesk_bson_destroy(&out);
    vesk_bson_destroy(&src);

    bson e;
    vesk_bson_empty(&e);
    EXPECT_EQ(of(&e), (bytes{5, 0, 0, 0, 0}));
    EXPECT_EQ(e.finished, 1);

    // Ids against libbson's hex form.
    vesk_bson_set_oid_fuzz([] { return 0x11223344; });
    vesk_bson_set_oid_inc([] { return 0x010203; });
    time_t before = time(nullptr);
    vesk_bson_oid_t oid;
    vesk_bson_oid_gen(&oid);
    char ours[25];
    vesk_bson_oid_to_string(&oid, ours);
    bson_oid_t theirs;
    memcpy(theirs.bytes, oid.bytes, 12);
    char lib[25];
    bson_oid_to_string(&theirs, lib);
    EXPECT_STREQ(ours, lib);
    EXPECT_EQ(std::string(ours).substr(8), "44332211" "00010203");
    EXPECT_GE(vesk_bson_oid_generated_time(&oid), before);
    EXPECT_LE(vesk_bson_oid_generated_time(&oid), time(nullptr));
    EXPECT_EQ(bson_oid_get_time_t(&theirs), vesk_bson_oid_generated_time(&oid));
    vesk_bson_oid_t back;
    vesk_bson_oid_from_string(&back, "0123456789ABCDEFabcdefzz");
    vesk_bson_oid_to_string(&back, ours);
    EXPECT_STREQ(ours, "0123456789abcdefabcdef00");

    uint8_t in[8] = {1, 2, 3, 4, 5, 6, 7, 8}, out8[8];
    vesk_bson_swap_endian64(out8, in);
    EXPECT_EQ(out8[0], 8);
    EXPECT_EQ(out8[7], 1);
    vesk_bson_swap_endian32(out8, in);
    EXPECT_EQ(out8[0], 4);
    EXPECT_EQ(out8[3], 1);
}

TEST(BsonNumbers, TableAndLargerNumbers)
{
    char want[16], got[16];
    for (int i : {0, 7, 10, 99, 100, 999, 1000, 123456, -1, INT_MIN}) {
        memset(got, 'z', sizeof got);
        vesk_bson_numstr(got, i);
        snprintf(want, sizeof want, "%d", i);
        EXPECT_STREQ(got, want) << i;
    }
    for (int i = 0; i < 1000; i++) {
        snprintf(want, sizeof want, "%d", i);
        ASSERT_EQ(strncmp(vesk_bson_numstrs[i], want, 4), 0) << i;
        ASSERT_EQ(vesk_bson_numstrs[i][3], 0) << i;
    }
}

// ---- cursor ----

TEST(BsonIterator, ReadsWhatLibbsonWrote)
{
    bson_t *l = bson_new();
    BSON_APPEND_DOUBLE(l, "d", 2.5);
    BSON_APPEND_INT64(l, "big", (1LL << 32) + 7);
    BSON_APPEND_DATE_TIME(l, "dt", -1500);
    BSON_APPEND_UTF8(l, "s", "text");
    BSON_APPEND_SYMBOL(l, "sym", "y");
    BSON_APPEND_BINARY(l, "old", BSON_SUBTYPE_BINARY_DEPRECATED, reinterpret_cast<const uint8_t *>("abc"), 3);
    BSON_APPEND_REGEX(l, "re", "^x", "i");
    BSON_APPEND_TIMESTAMP(l, "ts", 100, 7);
    bson_t *scope = BCON_NEW("k", BCON_INT32(4));
    BSON_APPEND_CODE_WITH_SCOPE(l, "cw", "k*2", scope);
    bson_destroy(scope);
    bson_t sub;
    BSON_APPEND_DOCUMENT_BEGIN(l, "sub", &sub);
    BSON_APPEND_INT32(&sub, "inner", 9);
    bson_append_document_end(l, &sub);
    BSON_APPEND_NULL(l, "n");

    bson b;
    vesk_bson_init_finished_data(&b, const_cast<char *>(reinterpret_cast<const char *>(bson_get_data(l))));
    vesk_bson_iterator *it = vesk_bson_iterator_create();

    EXPECT_EQ(vesk_bson_find(it, &b, "d"), BSON_DOUBLE);
    EXPECT_EQ(vesk_bson_iterator_int(it), 2);
    EXPECT_EQ(vesk_bson_iterator_long(it), 2);
    EXPECT_EQ(vesk_bson_find(it, &b, "big"), BSON_LONG);
    EXPECT_EQ(vesk_bson_iterator_int(it), 7);
    EXPECT_EQ(vesk_bson_iterator_double(it), 4294967303.0);
    EXPECT_EQ(vesk_bson_find(it, &b, "dt"), BSON_DATE);
    EXPECT_EQ(vesk_bson_iterator_time_t(it), -1);
    EXPECT_EQ(vesk_bson_find(it, &b, "s"), BSON_STRING);
    EXPECT_STREQ(vesk_bson_iterator_string(it), "text");
    EXPECT_EQ(vesk_bson_iterator_string_len(it), 5);
    EXPECT_STREQ(vesk_bson_iterator_code(it), "text");
    EXPECT_EQ(vesk_bson_find(it, &b, "sym"), BSON_SYMBOL);
    EXPECT_STREQ(vesk_bson_iterator_string(it), "y");
    EXPECT_EQ(vesk_bson_iterator_code(it), nullptr);
    EXPECT_EQ(vesk_bson_find(it, &b, "old"), BSON_BINDATA);
    EXPECT_EQ(vesk_bson_iterator_bin_type(it), BSON_BIN_BINARY_OLD);
    EXPECT_EQ(vesk_bson_iterator_bin_len(it), 3);
    EXPECT_EQ(std::string(vesk_bson_iterator_bin_data(it), 3), "abc");
    EXPECT_EQ(vesk_bson_find(it, &b, "re"), BSON_REGEX);
    EXPECT_STREQ(vesk_bson_iterator_regex(it), "^x");
    EXPECT_STREQ(vesk_bson_iterator_regex_opts(it), "i");
    EXPECT_EQ(vesk_bson_find(it, &b, "ts"), BSON_TIMESTAMP);
    EXPECT_EQ(vesk_bson_iterator_timestamp_time(it), 100);
    EXPECT_EQ(vesk_bson_iterator_timestamp_increment(it), 7);
    EXPECT_EQ(vesk_bson_find(it, &b, "cw"), BSON_CODEWSCOPE);
    EXPECT_STREQ(vesk_bson_iterator_code(it), "k*2");
    bson sc;
    vesk_bson_iterator_code_scope(it, &sc);
    vesk_bson_iterator sit;
    EXPECT_EQ(vesk_bson_find(&sit, &sc, "k"), BSON_INT);
    EXPECT_EQ(vesk_bson_iterator_int(&sit), 4);
    EXPECT_EQ(vesk_bson_find(it, &b, "sub"), BSON_OBJECT);
    vesk_bson_iterator_subiterator(it, &sit);
    EXPECT_EQ(vesk_bson_iterator_next(&sit), BSON_INT);
    EXPECT_STREQ(vesk_bson_iterator_key(&sit), "inner");
    EXPECT_EQ(vesk_bson_iterator_next(&sit), BSON_EOO);
    EXPECT_EQ(vesk_bson_find(it, &b, "n"), BSON_NULL);
    EXPECT_EQ(vesk_bson_iterator_bool(it), 0);

    EXPECT_EQ(vesk_bson_find(it, &b, "missing"), BSON_EOO);
    EXPECT_FALSE(vesk_bson_iterator_more(it));
    EXPECT_EQ(it->cur, reinterpret_cast<const char *>(bson_get_data(l)) + l->len - 1) << "on the end byte";
    EXPECT_EQ(vesk_bson_iterator_next(it), BSON_EOO) << "stays at the end";

    // append_element copies what the cursor stands on, renamed or not.
    bson copy;
    vesk_bson_init(&copy);
    vesk_bson_find(it, &b, "cw");
    EXPECT_EQ(vesk_bson_append_element(&copy, nullptr, it), 0);
    vesk_bson_find(it, &b, "sub");
    EXPECT_EQ(vesk_bson_append_element(&copy, "renamed", it), 0);
    vesk_bson_finish(&copy);
    bson_t *want = bson_new();
    bson_iter_t li;
    bson_iter_init_find(&li, l, "cw");
    bson_append_iter(want, nullptr, 0, &li);
    bson_iter_init_find(&li, l, "sub");
    bson_append_iter(want, "renamed", -1, &li);
    EXPECT_EQ(of(&copy), of(want));
    bson_destroy(want);
    vesk_bson_destroy(&copy);

    vesk_bson_iterator_dispose(it);
    bson_destroy(l);
}

// ---- printer ----

std::string printed, printed_err;

std::string vformat(const char *fmt, va_list ap)
{
    char buf[1024];
    vsnprintf(buf, sizeof buf, fmt, ap);
    return buf;
}

int capture(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    printed += vformat(fmt, ap);
    va_end(ap);
    return 0;
}

int capture_err(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    printed_err += vformat(fmt, ap);
    va_end(ap);
    return 0;
}

struct print_capture {
    print_capture()
    {
        printed.clear();
        printed_err.clear();
        vesk_bson_printf = capture;
        vesk_bson_errprintf = capture_err;
    }
    ~print_capture()
    {
        vesk_bson_printf = printf;
        vesk_bson_errprintf = saved_err;
    }
    int (*saved_err)(const char *, ...) = vesk_bson_errprintf;
};

TEST(BsonPrinter, LinesOfANestedDocument)
{
    bson_t *l = BCON_NEW("id", BCON_INT32(5), "mem", "{", "total", BCON_INT64(1), "}", "ok", BCON_BOOL(true), "e", "{",
                         "}", "pi", BCON_DOUBLE(3.5), "s", BCON_UTF8("x y"), "n", BCON_NULL);
    print_capture cap;
    vesk_bson_print_raw(reinterpret_cast<const char *>(bson_get_data(l)), 3);
    EXPECT_EQ(printed, "\t\t\t\tid : 16 \t 5\n"
                       "\t\t\t\tmem : 3 \t \n"
                       "\t\t\t\t\ttotal : 18 \t 1\n"
                       "\n"
                       "\t\t\t\tok : 8 \t true\n"
                       "\t\t\t\te : 3 \t \n"
                       "\n"
                       "\t\t\t\tpi : 1 \t 3.500000\n"
                       "\t\t\t\ts : 2 \t x y\n"
                       "\t\t\t\tn : 10 \t BSON_NULL\n");
    EXPECT_EQ(printed_err, "");
    printed.clear();
    vesk_bson_print_raw(reinterpret_cast<const char *>(bson_get_data(l)), -1);
    EXPECT_EQ(printed.substr(0, 11), "id : 16 \t 5");
    bson_destroy(l);

    printed.clear();
    const char empty[] = {5, 0, 0, 0, 0};
    vesk_bson_print_raw(empty, 0);
    EXPECT_EQ(printed, "");
}

TEST(BsonPrinter, TypesItCannotPrint)
{
    // A reference (type 12) is skipped and printing goes on; an unknown type
    // (decimal128, 0x13, and 0xFF) stops that document only.
    bson_t *l = bson_new();
    bson_oid_t oid;
    bson_oid_init_from_string(&oid, "0123456789abcdef01234567");
    bson_append_dbpointer(l, "ref", 3, "col", &oid);
    BSON_APPEND_INT32(l, "after_ref", 1);
    bson_t sub;
    BSON_APPEND_DOCUMENT_BEGIN(l, "sub", &sub);
    bson_decimal128_t dec;
    bson_decimal128_from_string("1", &dec);
    BSON_APPEND_DECIMAL128(&sub, "dec", &dec);
    BSON_APPEND_INT32(&sub, "hidden", 2);
    bson_append_document_end(l, &sub);
    BSON_APPEND_MINKEY(l, "min");
    BSON_APPEND_INT32(l, "never", 3);

    print_capture cap;
    vesk_bson_print_raw(reinterpret_cast<const char *>(bson_get_data(l)), 0);
    EXPECT_EQ(printed, "\tref : 12 \t \n"
                       "\tafter_ref : 16 \t 1\n"
                       "\tsub : 3 \t \n"
                       "\t\tdec : 19 \t \n"
                       "\n"
                       "\tmin : -1 \t \n");
    EXPECT_EQ(printed_err, "can't print type : 12\ncan't print type : 19\ncan't print type : -1\n");
    bson_destroy(l);
}

// ---- texts from outside ----

TEST(Encoding, SanitizeAndCutKeepTextsValid)
{
    struct {
        std::string in;
        std::string clean;
    } cases[] = {
        {"plain", "plain"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},
        {"a\xff" "b", "a\xef\xbf\xbd" "b"},
        {"\xc0\x80", "\xef\xbf\xbd\xef\xbf\xbd"},
        {"end\xe2\x82", "end\xef\xbf\xbd\xef\xbf\xbd"},
    };
    for (const auto &c : cases) {
        std::string got = vesk_utf8_sanitize(c.in);
        EXPECT_EQ(got, c.clean);
        EXPECT_TRUE(bson_utf8_validate(got.data(), got.size(), false));
    }
    // "é€😀": cuts fall back to the start of the character they would split.
    const std::string text = "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
    const size_t want[] = {0, 0, 2, 2, 2, 5, 5, 5, 5, 9, 9};
    for (size_t max = 0; max <= 10; max++) EXPECT_EQ(vesk_utf8_cut(text, max), want[max]) << max;
    char dst[5];
    vesk_copy_text(dst, text);
    EXPECT_STREQ(dst, "\xc3\xa9");
}

} // namespace

// Documents from outside the agent are checked before they are embedded.
TEST(BsonValidate, WellFormedDocumentsOnly)
{
    bson_t *doc = bson_new();
    bson_oid_t oid;
    bson_oid_init_from_string(&oid, kOid);
    BSON_APPEND_DOUBLE(doc, "d", 1.5);
    BSON_APPEND_UTF8(doc, "s", "caf\xc3\xa9");
    bson_t sub, arr, scope;
    BSON_APPEND_DOCUMENT_BEGIN(doc, "o", &sub);
    BSON_APPEND_INT64(&sub, "l", 7);
    bson_append_document_end(doc, &sub);
    BSON_APPEND_ARRAY_BEGIN(doc, "a", &arr);
    BSON_APPEND_INT32(&arr, "x", 1);
    bson_append_array_end(doc, &arr);
    BSON_APPEND_BINARY(doc, "b", BSON_SUBTYPE_BINARY, reinterpret_cast<const uint8_t *>(bin), sizeof bin);
    BSON_APPEND_UNDEFINED(doc, "u");
    BSON_APPEND_OID(doc, "id", &oid);
    BSON_APPEND_BOOL(doc, "t", true);
    BSON_APPEND_DATE_TIME(doc, "dt", 1);
    BSON_APPEND_NULL(doc, "n");
    BSON_APPEND_REGEX(doc, "re", "^a", "i");
    BSON_APPEND_DBPOINTER(doc, "p", "coll", &oid);
    BSON_APPEND_CODE(doc, "c", "f()");
    BSON_APPEND_SYMBOL(doc, "sy", "sym");
    bson_init(&scope);
    BSON_APPEND_INT32(&scope, "v", 1);
    BSON_APPEND_CODE_WITH_SCOPE(doc, "cs", "g()", &scope);
    bson_destroy(&scope);
    BSON_APPEND_TIMESTAMP(doc, "ts", 1, 2);
    const bytes good = of(doc);
    bson_destroy(doc);
    auto valid = [](const bytes &b) { return vesk_bson_validate(reinterpret_cast<const char *>(b.data()), b.size()); };
    ASSERT_EQ(valid(good), 1);
    EXPECT_EQ(valid(bytes{5, 0, 0, 0, 0}), 1);

    auto find = [&](const char *text) {
        auto it = std::search(good.begin(), good.end(), text, text + strlen(text));
        return static_cast<size_t>(it - good.begin());
    };
    auto with = [&](size_t at, std::vector<uint8_t> replace) {
        bytes b = good;
        for (size_t i = 0; i < replace.size(); i++) b.at(at + i) = replace[i];
        return b;
    };
    const size_t s_len = find("s") + 2;         // the int32 length of "s"'s text
    const size_t o_len = find("o\x00l") + 2;      // the length of the embedded document
    struct {
        const char *what;
        bytes doc;
    } bad[] = {
        {"length field says more than the bytes", with(0, {static_cast<uint8_t>(good.size() + 1)})},
        {"length field says less", with(0, {static_cast<uint8_t>(good.size() - 1)})},
        {"last byte not 0", with(good.size() - 1, {1})},
        {"text length past the document", with(s_len, {0xff, 0, 0, 0})},
        {"text length 0", with(s_len, {0, 0, 0, 0})},
        {"text not terminated", with(s_len + 4 + 5, {'x'})},
        {"invalid UTF-8 in a text", with(s_len + 4 + 3, {0xc3, 0x28})},
        {"invalid UTF-8 in a name", with(find("sy"), {0xff})},
        {"embedded length past its parent", with(o_len, {0xff, 0, 0, 0})},
        {"embedded length too small", with(o_len, {4, 0, 0, 0})},
        {"unknown element type", with(find("d") - 1, {0x13})},
        {"end of document inside it", with(find("d") - 1, {0})},
    };
    for (auto &b : bad) EXPECT_EQ(valid(b.doc), 0) << b.what;
    EXPECT_EQ(valid(bytes(good.begin(), good.end() - 1)), 0) << "truncated";
    EXPECT_EQ(vesk_bson_validate(nullptr, 5), 0);

    // Nesting: 32 levels below the top are walked, 33 are refused.
    auto nested = [](int levels) {
        bytes b{5, 0, 0, 0, 0};
        for (int i = 0; i < levels; i++) {
            bytes outer{0, 0, 0, 0, 3, 'k', 0};
            outer.insert(outer.end(), b.begin(), b.end());
            outer.push_back(0);
            uint32_t n = static_cast<uint32_t>(outer.size());
            memcpy(outer.data(), &n, 4);
            b = outer;
        }
        return b;
    };
    EXPECT_EQ(valid(nested(32)), 1);
    EXPECT_EQ(valid(nested(33)), 0);
}
