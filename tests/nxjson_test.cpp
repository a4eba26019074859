// The in-place JSON reader: its grammar, its error lines, escapes and the depth limit.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "nxjson.hpp"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// The tree as one line: objects {k:v,...}, arrays [...], strings quoted as stored,
// doubles as value(int part), booleans true/false, null.
std::string dump(const nx_json *js)
{
    std::string out;
    if (js->key) out += std::string(js->key) + ":";
    switch (js->type) {
    case NX_JSON_NULL: out += "null"; break;
    case NX_JSON_STRING: out += "\"" + std::string(js->text_value) + "\""; break;
    case NX_JSON_INTEGER: out += std::to_string(js->int_value); break;
    case NX_JSON_DOUBLE: {
        char b[64];
        snprintf(b, sizeof b, "%g(%lld)", js->dbl_value, static_cast<long long>(js->int_value));
        out += b;
        break;
    }
    case NX_JSON_BOOL: out += js->int_value ? "true" : "false"; break;
    case NX_JSON_OBJECT:
    case NX_JSON_ARRAY: {
        out += js->type == NX_JSON_OBJECT ? "{" : "[";
        int n = 0;
        for (const nx_json *c = js->child; c; c = c->next, n++) out += (n ? "," : "") + dump(c);
        EXPECT_EQ(n, js->length);
        out += js->type == NX_JSON_OBJECT ? "}" : "]";
        break;
    }
    }
    return out;
}

struct outcome {
    std::string tree; // "(none)" when the parse gave no tree
    std::string err;
};

outcome parse(const std::string &text, nx_json_unicode_encoder enc = nullptr)
{
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back(0);
    CaptureStderr();
    const nx_json *js = nx_json_parse(buf.data(), enc);
    outcome o{js ? dump(js) : "(none)", GetCapturedStderr()};
    nx_json_free(js);
    return o;
}

std::string err(int site, const char *what, const std::string &at)
{
    return "NXJSON PARSE ERROR (line " + std::to_string(site) + "): " + what + " at " + at + "\n";
}

} // namespace

TEST(NxJson, Grammar)
{
    struct {
        const char *text, *tree;
    } cases[] = {
        {"{} x", "{}"},
        {"]", "(none)"},
        {"{\"a\":1,\"b\":}", "{a:1}"},
        {"{,\"a\":1,,\"b\":[1,,2,],}", "{a:1,b:[1,2]}"},
        {"[1 2\t3\n]", "[1,2,3]"},
        {"[[],{},[[]]]", "[[],{},[[]]]"},
        {"[08]", "[0,8]"},
        {"[0x10,-0x10,017,-0,0.5,0e1]", "[16,-16,15,0,0.5(0),0(0)]"},
        {"[2.5,-2.5,1e5,3E-1]", "[2.5(2),-2.5(-2),100000(1),0.3(3)]"},
        {"[123456789012345678,1234567890123456789,99999999999999999999,-99999999999999999999]",
         "[123456789012345678,1234567890123456789,9223372036854775807,-9223372036854775808]"},
        {"[true,false,null]", "[true,false,null]"},
        {"truex", "true"},
        {"// note\n 5", "5"},
        {"/**/7", "7"},
        {"[/* a */1,/*b**/2]", "[1,2]"},
        {"{\"a\" \n : 1 /* c */ // d\n }", "{a:1}"},
        {"{\"a\":1,\"a\":2}", "{a:1,a:2}"},
        {"\"\\\"\\\\\\/x\"", "\"\"\\/x\""},
        {"\"\\u00e9\\q\\\\u\"", "\"\\u00e9\\q\\u\""},
        {"{\"k\\ty\":\"v\"}", "{k\ty:\"v\"}"},
        {"\"caf\xc3\xa9 \x01\"", "\"caf\xc3\xa9 \x01\""},
    };
    for (auto &t : cases) {
        outcome o = parse(t.text);
        EXPECT_EQ(o.tree, t.tree) << t.text;
        EXPECT_EQ(o.err, "") << t.text;
    }
    // The control escapes.
    std::vector<char> buf{'"', '\\', 'b', '\\', 'f', '\\', 'n', '\\', 'r', '\\', 't', '"', 0};
    const nx_json *js = nx_json_parse(buf.data(), nullptr);
    ASSERT_NE(js, nullptr);
    EXPECT_STREQ(js->text_value, "\b\f\n\r\t");
    nx_json_free(js);
}

TEST(NxJson, ErrorsNameTheirSiteAndPosition)
{
    struct {
        const char *text;
        std::string err;
    } cases[] = {
        {"", err(246, "unexpected end of text", "")},
        {"[1,", err(246, "unexpected end of text", "")},
        {"{\"a\": }", err(345, "unexpected chars", "}")},
        {"{\"a\" 1}", err(204, "unexpected chars", "1}")},
        {"{\"a\":1", err(237, "unexpected chars", "")},
        {"{\"a\":1 x}", err(233, "unexpected chars", "x}")},
        {"{ // x", err(218, "endless comment", "// x")},
        {"{ /x", err(228, "unexpected chars", "/x")},
        {"{ /*", err(237, "unexpected chars", "")},
        {" /*", err(182, "endless comment", "/*")},
        {"// x", err(330, "endless comment", "// x")},
        {"/x", err(340, "unexpected chars", "/x")},
        {"/*/ ", err(188, "endless comment", "/*/ ")},
        {"-", err(286, "invalid number", "-")},
        {"tru", err(308, "unexpected chars", "tru")},
        {"fals", err(316, "unexpected chars", "fals")},
        {"nul", err(323, "unexpected chars", "nul")},
        {"}", err(345, "unexpected chars", "}")},
        {"\"ab\\", err(174, "no closing quote for string", "ab\\")},
        {"{\"a", err(174, "no closing quote for string", "a")},
    };
    for (auto &t : cases) {
        outcome o = parse(t.text);
        EXPECT_EQ(o.tree, "(none)") << t.text;
        EXPECT_EQ(o.err, t.err) << t.text;
    }
}

// A hostile answer costs one short line: at most 64 bytes of it, control bytes and
// invalid UTF-8 written as \xNN, a character never split, "…" when cut.
TEST(NxJson, ErrorsQuoteLittleAndOnlyPrintableText)
{
    const std::string ellipsis = "\xe2\x80\xa6";
    std::string hostile = "{\"a\":1 ";
    while (hostile.size() < 300 * 1024) hostile += "pwned\x1b]0;\x07\xff"; // 11 bytes a round
    std::string shown;
    for (int i = 0; i < 5; i++) shown += "pwned\\x1b]0;\\x07\\xff";
    shown += "pwned\\x1b]0;";
    const std::string sixty_three(63, 'x');
    struct {
        std::string text, err;
    } cases[] = {
        {hostile, err(233, "unexpected chars", shown + ellipsis)},
        {"{\"a\":1 " + sixty_three + "y", err(233, "unexpected chars", sixty_three + "y")},
        {"{\"a\":1 " + sixty_three + "yz", err(233, "unexpected chars", sixty_three + "y" + ellipsis)},
        {"{\"a\":1 " + sixty_three + "\xc3\xa9", err(233, "unexpected chars", sixty_three + ellipsis)},
        {"{\"a\":1 " + sixty_three + "\x80\x80", err(233, "unexpected chars", sixty_three + "\\x80" + ellipsis)},
    };
    for (auto &t : cases) {
        outcome o = parse(t.text);
        EXPECT_EQ(o.tree, "(none)") << t.text.substr(0, 80);
        EXPECT_EQ(o.err, t.err) << t.text.substr(0, 80);
    }
}

TEST(NxJson, UnicodeEscapesWithTheEncoder)
{
    struct {
        const char *text, *tree;
        std::string err;
    } cases[] = {
        {"\"\\u00e9\\u0041\\u20AC\"", "\"\xc3\xa9" "A\xe2\x82\xac\"", ""},
        {"{\"\\ud83d\\ude00\":1}", "{\xf0\x9f\x98\x80:1}", ""},
        {"\"\\u12\"", "(none)", err(141, "invalid unicode escape", "\\u12\"")},
        {"\"x\\ud83d\"", "(none)", err(148, "invalid unicode surrogate", "\\ud83d\"")},
        {"\"\\ud83d\\u0041\"", "(none)", err(153, "invalid unicode surrogate", "\\ud83d\\u0041\"")},
        {"\"\\udc00\"", "(none)", err(159, "invalid codepoint", "\\udc00\"")},
    };
    for (auto &t : cases) {
        outcome o = parse(t.text, nx_json_unicode_to_utf8);
        EXPECT_EQ(o.tree, t.tree) << t.text;
        EXPECT_EQ(o.err, t.err) << t.text;
    }
}

TEST(NxJson, LookupsNeverReturnNull)
{
    char text[] = "{\"a\":1,\"a\":2,\"b\":[7,8]}";
    const nx_json *js = nx_json_parse(text, nullptr);
    ASSERT_NE(js, nullptr);
    const nx_json *empty = nx_json_get(js, "zz");
    EXPECT_EQ(empty->type, NX_JSON_NULL);
    EXPECT_EQ(nx_json_get(nullptr, "a"), empty);
    EXPECT_EQ(nx_json_get(js, "a")->int_value, 1);
    const nx_json *b = nx_json_get(js, "b");
    EXPECT_EQ(nx_json_item(b, 1)->int_value, 8);
    EXPECT_EQ(nx_json_item(b, 2), empty);
    EXPECT_EQ(nx_json_item(b, -1), empty);
    EXPECT_STREQ(nx_json_get_type(b), "array");
    nx_json_free(js);
}

// Nesting is bounded, so hostile input is refused with a message instead of
// exhausting the stack; inside the bound everything parses.
TEST(NxJson, DepthLimit)
{
    for (char open : {'[', '{'}) {
        auto nest = [open](int depth) {
            std::string s;
            for (int i = 0; i < depth; i++) s += open == '[' ? "[" : (i + 1 < depth ? "{\"k\":" : "{");
            for (int i = 0; i < depth; i++) s += open == '[' ? ']' : '}';
            return s;
        };
        outcome ok = parse(nest(NX_JSON_MAX_DEPTH));
        EXPECT_EQ(ok.err, "");
        EXPECT_NE(ok.tree, "(none)");
        outcome deep = parse(nest(NX_JSON_MAX_DEPTH + 1));
        EXPECT_EQ(deep.tree, "(none)");
        EXPECT_NE(deep.err.find("nesting too deep"), std::string::npos);
        std::string hostile_text;
        for (int i = 0; i < 200000; i++) hostile_text += open == '[' ? "[" : "{\"k\":";
        outcome hostile = parse(hostile_text);
        EXPECT_EQ(hostile.tree, "(none)");
        EXPECT_EQ(hostile.err.rfind("NXJSON PARSE ERROR (line 350): nesting too deep at ", 0), 0u);
    }
}
