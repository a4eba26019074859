// The builder, cursor and printer, checked against documents that libbson builds
// and reads.
#include <bson/bson.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bson.hpp"
#include "encoding.hpp"
#include "numbers.hpp"

namespace {

using bytes = std::vector<uint8_t>;

bytes of(const bson_t *b) { return bytes(bson_get_data(b), bson_get_data(b) + b->len); }
bytes of(const bson *b) { return bytes(b->data, b->data + vesk_bson_size(b)); }
bytes le32(size_t n) { return {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)}; }
bytes written(const bson *b) { return bytes(b->data, b->cur); }
bytes finished(bson *b)
{
    EXPECT_EQ(vesk_bson_finish(b), BSON_OK);
    bytes r = of(b);
    vesk_bson_destroy(b);
    return r;
}

const char bin[] = {1, 0, 2};
const char *const kOid = "0123456789abcdef01234567";

// One document with every element type the builder writes, built twice.
void ours_all(bson *b)
{
    vesk_bson_append_double(b, "d", 2.5);
    vesk_bson_append_long(b, "big", (1LL << 32) + 7);
    vesk_bson_append_int(b, "i", -7);
    vesk_bson_append_bool(b, "t", 5);
    vesk_bson_append_bool(b, "f", 0);
    vesk_bson_append_string(b, "s", "h\xc3\xa9llo");
    vesk_bson_append_string(b, "e", "");
    vesk_bson_append_string_n(b, "n", "abcdef", 3);
    vesk_bson_append_symbol(b, "y", "sym");
    vesk_bson_append_code_n(b, "c", "f();g()", 3);
    vesk_bson_append_null(b, "nul");
    vesk_bson_append_undefined(b, "u");
    vesk_bson_append_binary(b, "bin", BSON_BIN_BINARY, bin, 3);
    vesk_bson_append_binary(b, "old", BSON_BIN_BINARY_OLD, bin, 3);
    vesk_bson_oid_t oid;
    vesk_bson_oid_from_string(&oid, kOid);
    vesk_bson_append_oid(b, "_id", &oid);
    vesk_bson_append_regex(b, "re", "^a+$", "im");
    vesk_bson_timestamp_t ts{7, 100};
    vesk_bson_append_timestamp(b, "t1", &ts);
    vesk_bson_append_timestamp2(b, "t2", 200, 9);
    vesk_bson_append_date(b, "dt", -1500);
    vesk_bson_append_time_t(b, "tt", 1700000000);
    bson scope;
    vesk_bson_init(&scope);
    vesk_bson_append_int(&scope, "x", 1);
    vesk_bson_finish(&scope);
    vesk_bson_append_code_w_scope(b, "cw", "x+1", &scope);
    vesk_bson_destroy(&scope);
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
}

void theirs_all(bson_t *l)
{
    BSON_APPEND_DOUBLE(l, "d", 2.5);
    BSON_APPEND_INT64(l, "big", (1LL << 32) + 7);
    BSON_APPEND_INT32(l, "i", -7);
    BSON_APPEND_BOOL(l, "t", true);
    BSON_APPEND_BOOL(l, "f", false);
    BSON_APPEND_UTF8(l, "s", "h\xc3\xa9llo");
    BSON_APPEND_UTF8(l, "e", "");
    BSON_APPEND_UTF8(l, "n", "abc");
    BSON_APPEND_SYMBOL(l, "y", "sym");
    BSON_APPEND_CODE(l, "c", "f()");
    BSON_APPEND_NULL(l, "nul");
    BSON_APPEND_UNDEFINED(l, "u");
    BSON_APPEND_BINARY(l, "bin", BSON_SUBTYPE_BINARY, reinterpret_cast<const uint8_t *>(bin), 3);
    BSON_APPEND_BINARY(l, "old", BSON_SUBTYPE_BINARY_DEPRECATED, reinterpret_cast<const uint8_t *>(bin), 3);
    bson_oid_t oid;
    bson_oid_init_from_string(&oid, kOid);
    BSON_APPEND_OID(l, "_id", &oid);
    BSON_APPEND_REGEX(l, "re", "^a+$", "im");
    BSON_APPEND_TIMESTAMP(l, "t1", 100, 7);
    BSON_APPEND_TIMESTAMP(l, "t2", 200, 9);
    BSON_APPEND_DATE_TIME(l, "dt", -1500);
    BSON_APPEND_DATE_TIME(l, "tt", 1700000000000LL);
    bson_t *scope = BCON_NEW("x", BCON_INT32(1));
    BSON_APPEND_CODE_WITH_SCOPE(l, "cw", "x+1", scope);
    bson_destroy(scope);
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
}

TEST(BsonBuilder, SameBytesAsLibbson)
{
    bson b;
    vesk_bson_init(&b);
    EXPECT_EQ(finished(&b), (bytes{5, 0, 0, 0, 0})) << "empty document";

    vesk_bson_init(&b);
    ours_all(&b);
    // Well past the first buffer.
    for (int i = 0; i < 300; i++) vesk_bson_append_string(&b, std::to_string(i).c_str(), "0123456789");
    EXPECT_EQ(b.err, 0);
    bson_t *l = bson_new();
    theirs_all(l);
    for (int i = 0; i < 300; i++) BSON_APPEND_UTF8(l, std::to_string(i).c_str(), "0123456789");
    EXPECT_EQ(finished(&b), of(l));
    bson_destroy(l);
}

TEST(BsonBuilder, GrowthAndLengthField)
{
    bson b;
    vesk_bson_init(&b);
    ASSERT_EQ(b.dataSize, 128);
    // 4 + 116 bytes used; the next element (1 + 2 + 17 = 20 bytes) does not fit in 8.
    ASSERT_EQ(vesk_bson_append_string(&b, "f", std::string(108, 'x').c_str()), 0);
    ASSERT_EQ(b.cur - b.data, 120);
    EXPECT_EQ(b.dataSize, 128);
    ASSERT_EQ(vesk_bson_append_string(&b, "g", "0123456789ab"), 0);
    EXPECT_EQ(b.dataSize, static_cast<int>(1.5 * (128 + 20)));
    EXPECT_EQ(vesk_bson_size(&b), 0) << "the length is written only by finish";
    ASSERT_EQ(vesk_bson_finish(&b), 0);
    EXPECT_EQ(vesk_bson_size(&b), 141);
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

// Texts as values and as names: invalid UTF-8 costs the element and the document;
// dots and dollars in names only leave a bit.
TEST(BsonBuilder, Utf8AndNameRules)
{
    const int dot = BSON_FIELD_HAS_DOT, dollar = BSON_FIELD_INIT_DOLLAR;
    const struct {
        const char *what, *text;
        bool valid;
        int name_bits = 0;
    } cases[] = {
        {"ascii", "abc", true}, {"two bytes", "\xc3\xa9", true}, {"three bytes", "\xe2\x82\xac", true},
        {"four bytes", "\xf0\x9f\x98\x80", true}, {"highest code point", "\xf4\x8f\xbf\xbf", true},
        {"surrogate", "\xed\xa0\x80", false}, {"overlong NUL", "\xc0\x80", false},
        {"overlong two bytes", "\xc1\xbf", false}, {"overlong three bytes", "\xe0\x9f\xbf", false},
        {"overlong four bytes", "\xf0\x8f\xbf\xbf", false}, {"lone continuation", "\x80", false},
        {"above U+10FFFF", "\xf4\x90\x80\x80", false}, {"lead F5", "\xf5\x80\x80\x80", false},
        {"five-byte lead", "\xf8\x88\x80\x80\x80", false}, {"six-byte lead", "\xfc\x84\x80\x80\x80\x80", false},
        {"cut sequence", "a\xe2\x82", false}, {"bad third byte", "\xe2\x82\x41", false},
        {"dot", "a.b", true, dot}, {"dollar", "$x", true, dollar}, {"both", "$a.b", true, dollar | dot},
        {"$ref", "$ref", true}, {"$refs", "$refs", true}, {"$id", "$id", true}, {"$db", "$db", true},
        {"$idx", "$idx", true, dollar}, {"$i", "$i", true, dollar}, {"$", "$", true, dollar},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(vesk_utf8_valid(c.text, strlen(c.text)), c.valid) << c.what;
        bson b;
        vesk_bson_init(&b);
        bytes prefix = written(&b);
        EXPECT_EQ(vesk_bson_append_int(&b, c.text, 2), c.valid ? 0 : -1) << c.what;
        EXPECT_EQ(b.err, c.valid ? c.name_bits : BSON_NOT_UTF8) << c.what;
        EXPECT_EQ(vesk_bson_append_string(&b, "s", c.text), c.valid ? 0 : -1) << c.what;
        if (c.valid) {
            bson_t *want = BCON_NEW(c.text, BCON_INT32(2), "s", BCON_UTF8(c.text));
            EXPECT_EQ(finished(&b), of(want)) << c.what << ": written in full";
            bson_destroy(want);
            continue;
        }
        EXPECT_EQ(written(&b), prefix) << c.what << ": nothing written";
        EXPECT_EQ(vesk_bson_finish(&b), -1) << c.what;
        EXPECT_EQ(b.finished, 0) << c.what;
        EXPECT_EQ(vesk_bson_size(&b), 0) << c.what;
        vesk_bson_destroy(&b);
    }
}

TEST(BsonBuilder, MisuseIsRefusedWithoutDamage)
{
    bson b;
    vesk_bson_init(&b);
    vesk_bson_append_int(&b, "a", 1);
    bytes start = written(&b);
    EXPECT_EQ(vesk_bson_append_finish_object(&b), -1) << "close with nothing open";
    EXPECT_EQ(written(&b), start);

    for (int i = 0; i < VESK_BSON_MAX_DEPTH; i++) ASSERT_EQ(vesk_bson_append_start_object(&b, "o"), 0);
    bytes deep = written(&b);
    EXPECT_EQ(vesk_bson_append_start_array(&b, "o"), -1) << "33rd level";
    EXPECT_EQ(written(&b), deep);
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
    vesk_bson_init(&b);
    char five[] = {5, 0, 0, 0, 0, 'j', 'u', 'n', 'k'};
    bson wrapped, none;
    vesk_bson_init_data(&wrapped, five);
    vesk_bson_init_data(&none, nullptr);
    EXPECT_EQ(vesk_bson_append_bson(&b, "p", &wrapped), 0);
    EXPECT_EQ(vesk_bson_append_bson(&b, "q", &none), -1);
    EXPECT_EQ(vesk_bson_append_bson(&b, "q", nullptr), -1);
    bson_t *want = BCON_NEW("p", "{", "}");
    EXPECT_EQ(finished(&b), of(want));
    bson_destroy(want);

    // A handle set up without a buffer refuses elements instead of writing at null.
    vesk_bson_init_size(&b, 0);
    EXPECT_EQ(vesk_bson_append_int(&b, "a", 1), -1);
    EXPECT_EQ(vesk_bson_finish(&b), -1);
}

TEST(BsonBuilderDeathTest, OutOfMemoryEndsWithMinusFive)
{
    bson b;
    vesk_bson_init(&b);
    vesk_bson_realloc_func = [](void *, size_t) -> void * { return nullptr; };
    EXPECT_EXIT(vesk_bson_ensure_space(&b, 1000), testing::ExitedWithCode(251), "error: realloc\\(\\) failed");
    vesk_bson_malloc_func = [](size_t) -> void * { return nullptr; };
    EXPECT_EXIT(vesk_bson_create(), testing::ExitedWithCode(251), "error: malloc\\(\\) failed");
    vesk_bson_malloc_func = malloc;
    vesk_bson_realloc_func = realloc;
    vesk_bson_destroy(&b);
}

TEST(BsonBuilder, ObjectIds)
{
    // Against libbson's hex form and time.
    vesk_bson_set_oid_fuzz([] { return 0x11223344; });
    vesk_bson_set_oid_inc([] { return 0x010203; });
    vesk_bson_oid_t oid;
    vesk_bson_oid_gen(&oid);
    char ours[25], lib[25];
    vesk_bson_oid_to_string(&oid, ours);
    bson_oid_t theirs;
    memcpy(theirs.bytes, oid.bytes, 12);
    bson_oid_to_string(&theirs, lib);
    EXPECT_STREQ(ours, lib);
    EXPECT_EQ(std::string(ours).substr(8), "44332211" "00010203");
    EXPECT_LE(std::abs(bson_oid_get_time_t(&theirs) - time(nullptr)), 1);
    EXPECT_EQ(bson_oid_get_time_t(&theirs), vesk_bson_oid_generated_time(&oid));
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

TEST(BsonIterator, ConversionsAndFind)
{
    bson_t *l = bson_new();
    theirs_all(l);
    bson b;
    vesk_bson_init_finished_data(&b, const_cast<char *>(reinterpret_cast<const char *>(bson_get_data(l))));
    vesk_bson_iterator it;
    EXPECT_EQ(vesk_bson_find(&it, &b, "d"), BSON_DOUBLE);
    EXPECT_EQ(vesk_bson_iterator_int(&it), 2);
    EXPECT_EQ(vesk_bson_iterator_long(&it), 2);
    EXPECT_EQ(vesk_bson_find(&it, &b, "big"), BSON_LONG);
    EXPECT_EQ(vesk_bson_iterator_int(&it), 7);
    EXPECT_EQ(vesk_bson_iterator_double(&it), 4294967303.0);
    EXPECT_EQ(vesk_bson_find(&it, &b, "dt"), BSON_DATE);
    EXPECT_EQ(vesk_bson_iterator_time_t(&it), -1);
    EXPECT_EQ(vesk_bson_find(&it, &b, "old"), BSON_BINDATA);
    EXPECT_EQ(vesk_bson_iterator_bin_len(&it), 3);
    EXPECT_EQ(memcmp(vesk_bson_iterator_bin_data(&it), bin, 3), 0);
    EXPECT_EQ(vesk_bson_find(&it, &b, "missing"), BSON_EOO);
    EXPECT_EQ(it.cur, reinterpret_cast<const char *>(bson_get_data(l)) + l->len - 1) << "on the end byte";
    EXPECT_EQ(vesk_bson_iterator_next(&it), BSON_EOO) << "stays at the end";
    bson_destroy(l);
}

// What the printer writes on standard output [0] and standard error [1].
std::string printed[2];

template <int K>
int capture(const char *fmt, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    printed[K] += buf;
    return 0;
}

void print(const bson_t *l, int depth)
{
    printed[0].clear();
    printed[1].clear();
    auto saved = vesk_bson_errprintf;
    vesk_bson_printf = capture<0>;
    vesk_bson_errprintf = capture<1>;
    vesk_bson_print_raw(reinterpret_cast<const char *>(bson_get_data(l)), depth);
    vesk_bson_printf = printf;
    vesk_bson_errprintf = saved;
}

TEST(BsonPrinter, LinesOfEveryType)
{
    bson_t *l = bson_new();
    theirs_all(l);
    print(l, 0);
    EXPECT_EQ(printed[0], "\td : 1 \t 2.500000\n"
                          "\tbig : 18 \t 4294967303\n"
                          "\ti : 16 \t -7\n"
                          "\tt : 8 \t true\n"
                          "\tf : 8 \t false\n"
                          "\ts : 2 \t h\xc3\xa9llo\n"
                          "\te : 2 \t \n"
                          "\tn : 2 \t abc\n"
                          "\ty : 14 \t SYMBOL: sym\n"
                          "\tc : 13 \t BSON_CODE: f()\n"
                          "\tnul : 10 \t BSON_NULL\n"
                          "\tu : 6 \t BSON_UNDEFINED\n"
                          "\tbin : 5 \t BSON_BINDATA\n"
                          "\told : 5 \t BSON_BINDATA\n"
                          "\t_id : 7 \t 0123456789abcdef01234567\n"
                          "\tre : 11 \t BSON_REGEX: ^a+$\n"
                          "\tt1 : 17 \t i: 7, t: 100\n"
                          "\tt2 : 17 \t i: 9, t: 200\n"
                          "\tdt : 9 \t -1500\n"
                          "\ttt : 9 \t 1700000000000\n"
                          "\tcw : 15 \t BSON_CODE_W_SCOPE: x+1\n\t SCOPE: \tx : 16 \t 1\n"
                          "\n"
                          "\tmem : 3 \t \n"
                          "\t\ttotal : 18 \t 1\n"
                          "\t\tempty : 3 \t \n"
                          "\n"
                          "\n"
                          "\tcustom : 4 \t \n"
                          "\t\tdisk_root : 3 \t \n"
                          "\t\t\tvalue : 1 \t 3.250000\n"
                          "\t\t\talerts : 4 \t \n"
                          "\n"
                          "\n"
                          "\n");
    EXPECT_EQ(printed[1], "");
    print(l, -1);
    EXPECT_EQ(printed[0].substr(0, 17), "d : 1 \t 2.500000\n");
    bson_destroy(l);
    bson_t empty = BSON_INITIALIZER;
    print(&empty, 3);
    EXPECT_EQ(printed[0], "");
}

TEST(BsonPrinter, TypesItCannotPrint)
{
    // A reference (type 12) is skipped and printing goes on; an unknown type
    // (decimal128, 0x13, and 0xFF) stops that document only.
    bson_t *l = bson_new();
    bson_oid_t oid;
    bson_oid_init_from_string(&oid, kOid);
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
    print(l, 0);
    EXPECT_EQ(printed[0], "\tref : 12 \t \n"
                          "\tafter_ref : 16 \t 1\n"
                          "\tsub : 3 \t \n"
                          "\t\tdec : 19 \t \n"
                          "\n"
                          "\tmin : -1 \t \n");
    EXPECT_EQ(printed[1], "can't print type : 12\ncan't print type : 19\ncan't print type : -1\n");
    bson_destroy(l);
}

// Every lead byte against every second byte: only the range that the lead allows
// passes, so no overlong form, surrogate or code point above U+10FFFF gets through.
// The sanitizer keeps exactly what the check accepts.
TEST(Encoding, Utf8SecondByteRangeOfEveryLead)
{
    const struct {
        unsigned first, last; // lead bytes
        size_t len;
        unsigned lo, hi; // the second byte's range
    } leads[] = {
        {0x00, 0x7F, 1, 0, 0},       {0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF},
        {0xE1, 0xEC, 3, 0x80, 0xBF}, {0xED, 0xED, 3, 0x80, 0x9F}, {0xEE, 0xEF, 3, 0x80, 0xBF},
        {0xF0, 0xF0, 4, 0x90, 0xBF}, {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F},
    };
    for (unsigned c = 0; c < 256; c++) {
        const auto *row = std::find_if(std::begin(leads), std::end(leads),
                                       [c](const auto &l) { return c >= l.first && c <= l.last; });
        const size_t len = row == std::end(leads) ? 4 : row->len;
        for (unsigned a = 0; a < 256; a++) {
            std::string text{static_cast<char>(c), static_cast<char>(a), '\x80', '\x80'};
            text.resize(len);
            const bool valid = row != std::end(leads) && (len == 1 || (a >= row->lo && a <= row->hi));
            ASSERT_EQ(vesk_utf8_valid(text.data(), text.size()), valid) << std::hex << c << " " << a;
            const std::string clean = vesk_utf8_sanitize(text);
            ASSERT_EQ(clean == text, valid) << std::hex << c << " " << a;
            ASSERT_TRUE(vesk_utf8_valid(clean.data(), clean.size())) << std::hex << c << " " << a;
            if (len == 1) break;
        }
    }
    // "\xf4A\x80\x80": the lone lead and both stray continuation bytes are replaced.
    EXPECT_EQ(vesk_utf8_sanitize("\xf4" "A\x80\x80"), "\xef\xbf\xbd" "A\xef\xbf\xbd\xef\xbf\xbd");
}

TEST(Encoding, SanitizeAndCutKeepTextsValid)
{
    const struct {
        std::string in, clean;
    } cases[] = {
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
    // The same text cut at every byte count: a character cut short is dropped whole.
    // Bytes that begin no character stay for the sanitizer.
    for (size_t n = 0; n <= text.size(); n++) EXPECT_EQ(vesk_utf8_whole(text.substr(0, n)), want[n]) << n;
    EXPECT_EQ(vesk_utf8_whole("a\x80\x80\x80\x80"), 5u);
    EXPECT_EQ(vesk_utf8_whole("a\xc0"), 2u);
    EXPECT_EQ(vesk_utf8_whole("a\xf5\x80"), 3u);
    char dst[5];
    vesk_copy_text(dst, text);
    EXPECT_STREQ(dst, "\xc3\xa9");
}

// Documents from outside the agent are checked before they are embedded.
TEST(BsonValidate, WellFormedDocumentsOnly)
{
    bson_t *l = bson_new();
    theirs_all(l);
    bson_oid_t oid;
    bson_oid_init_from_string(&oid, kOid);
    BSON_APPEND_DBPOINTER(l, "p", "coll", &oid);
    const bytes good = of(l);
    bson_destroy(l);
    auto valid = [](const bytes &b) { return vesk_bson_validate(reinterpret_cast<const char *>(b.data()), b.size()); };
    ASSERT_EQ(valid(good), 1);
    EXPECT_EQ(valid(bytes{5, 0, 0, 0, 0}), 1);

    // Where the element of that type and name starts.
    auto at = [&](uint8_t type, const std::string &name) {
        bytes elem{type};
        elem.insert(elem.end(), name.begin(), name.end() + 1);
        return static_cast<size_t>(std::search(good.begin(), good.end(), elem.begin(), elem.end()) - good.begin());
    };
    auto with = [&](size_t pos, bytes replace) {
        bytes b = good;
        std::copy(replace.begin(), replace.end(), b.begin() + static_cast<long>(pos));
        return b;
    };
    const size_t s_len = at(BSON_STRING, "s") + 3; // the int32 length of "s"'s text
    const size_t mem_len = at(BSON_OBJECT, "mem") + 5;
    const struct {
        const char *what;
        bytes doc;
    } bad[] = {
        {"length field says more than the bytes", with(0, le32(good.size() + 1))},
        {"length field says less", with(0, le32(good.size() - 1))},
        {"last byte not 0", with(good.size() - 1, {1})},
        {"truncated", bytes(good.begin(), good.end() - 1)},
        {"text length past the document", with(s_len, {0xff, 0, 0, 0})},
        {"text length 0", with(s_len, {0, 0, 0, 0})},
        {"text not terminated", with(s_len + 4 + 6, {'x'})},
        {"invalid UTF-8 in a text", with(s_len + 4 + 1, {0xc3, 0x28})},
        {"surrogate in a text", with(s_len + 4 + 1, {0xed, 0xa0, 0x80})},
        {"lead F4 before an ASCII byte", with(s_len + 4 + 1, {0xf4, 'A', 0x80, 0x80})},
        {"invalid UTF-8 in a name", with(at(BSON_SYMBOL, "y") + 1, {0xff})},
        {"invalid UTF-8 in a regex's options", with(at(BSON_REGEX, "re") + 4 + 5, {0xff})},
        // The collector's decoder refuses these three as well.
        {"0 byte inside a text", with(s_len + 4 + 3, {0})},
        {"boolean neither 0 nor 1", with(at(BSON_BOOL, "t") + 3, {2})},
        {"old binary's own length not its size", with(at(BSON_BINDATA, "old") + 5 + 5, {4})},
        {"embedded length past its parent", with(mem_len, {0xff, 0, 0, 0})},
        {"embedded length too small", with(mem_len, {4, 0, 0, 0})},
        {"unknown element type", with(at(BSON_DOUBLE, "d"), {0x13})},
        {"end of document inside it", with(at(BSON_DOUBLE, "d"), {0})},
    };
    for (auto &b : bad) EXPECT_EQ(valid(b.doc), 0) << b.what;
    EXPECT_EQ(vesk_bson_validate(nullptr, 5), 0);

    // Nesting: 32 levels below the top are walked, 33 are refused.
    auto nested = [](int levels) {
        bytes b{5, 0, 0, 0, 0};
        for (int i = 0; i < levels; i++) {
            bytes outer{0, 0, 0, 0, 3, 'k', 0};
            outer.insert(outer.end(), b.begin(), b.end());
            outer.push_back(0);
            memcpy(outer.data(), le32(outer.size()).data(), 4);
            b = outer;
        }
        return b;
    };
    EXPECT_EQ(valid(nested(32)), 1);
    EXPECT_EQ(valid(nested(33)), 0);
}

} // namespace
