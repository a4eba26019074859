// The in-place JSON reader.
#include "nxjson.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "encoding.hpp"

namespace {

// Every lookup that misses returns this node.
const nx_json dummy{};

// Nodes come from blocks that grow as the tree does; the root is the first node of
// the first block, so freeing the root finds every block from there.
struct node_block {
    node_block *next;
    size_t used;
    size_t cap;
    nx_json *nodes() { return reinterpret_cast<nx_json *>(this + 1); }
};
static_assert(sizeof(node_block) % alignof(nx_json) == 0);

constexpr size_t kFirstBlock = 32;
constexpr size_t kMaxBlock = 256;

node_block *new_block(size_t cap)
{
    auto *b = static_cast<node_block *>(malloc(sizeof(node_block) + cap * sizeof(nx_json)));
    if (!b) abort();
    b->next = nullptr;
    b->used = 0;
    b->cap = cap;
    return b;
}

void free_blocks(node_block *b)
{
    while (b) {
        node_block *n = b->next;
        free(b);
        b = n;
    }
}

// The error lines name a fixed site number and print the text from the position
// in question.
enum error_kind { END_OF_TEXT, UNEXPECTED, BAD_NUMBER, ENDLESS_COMMENT, NO_QUOTE, BAD_ESCAPE, BAD_SURROGATE,
                  BAD_CODEPOINT, TOO_DEEP };

const char *const kErrorFormats[] = {
    "NXJSON PARSE ERROR (line %d): unexpected end of text at %s\n",
    "NXJSON PARSE ERROR (line %d): unexpected chars at %s\n",
    "NXJSON PARSE ERROR (line %d): invalid number at %s\n",
    "NXJSON PARSE ERROR (line %d): endless comment at %s\n",
    "NXJSON PARSE ERROR (line %d): no closing quote for string at %s\n",
    "NXJSON PARSE ERROR (line %d): invalid unicode escape at %s\n",
    "NXJSON PARSE ERROR (line %d): invalid unicode surrogate at %s\n",
    "NXJSON PARSE ERROR (line %d): invalid codepoint at %s\n",
    "NXJSON PARSE ERROR (line %d): nesting too deep at %s\n",
};

// An answer may be megabytes of anything: the line quotes at most this many bytes
// of it, made printable, so nothing hostile reaches a log or a terminal.
constexpr size_t kEchoMax = 64;

char *parse_error(error_kind kind, int site, const char *at)
{
    std::string_view rest(at, strnlen(at, kEchoMax + 1));
    const bool cut = rest.size() > kEchoMax;
    // A character that the cut would split is left out whole.
    if (cut) rest = rest.substr(0, vesk_utf8_whole(rest.substr(0, kEchoMax)));
    std::string shown = vesk_printable(rest);
    if (cut) shown += VESK_CUT_MARK;
    fprintf(stderr, kErrorFormats[kind], site, shown.c_str());
    return nullptr;
}

struct parser {
    nx_json_unicode_encoder encoder;
    node_block *first = nullptr;
    node_block *last = nullptr;

    nx_json *create(nx_json_type type, const char *key, nx_json *parent)
    {
        if (!last || last->used == last->cap) {
            node_block *b = new_block(last ? std::min(last->cap * 2, kMaxBlock) : kFirstBlock);
            (last ? last->next : first) = b;
            last = b;
        }
        nx_json *js = last->nodes() + last->used++;
        *js = nx_json{};
        js->type = type;
        js->key = key;
        if (!parent->last_child)
            parent->child = parent->last_child = js;
        else {
            parent->last_child->next = js;
            parent->last_child = js;
        }
        parent->length++;
        return js;
    }

    char *value(nx_json *parent, const char *key, char *p, int depth);
    char *object(nx_json *js, char *p, int depth);
    char *array(nx_json *js, char *p, int depth);
    char *string(char *p, const char **out);
    char *number(nx_json *parent, const char *key, char *p);
};

// From just after "/*" to just after the closing "*/".
char *skip_block_comment(char *p)
{
    char *start = p - 2;
    if (!*p) return parse_error(ENDLESS_COMMENT, 182, start);
    for (;;) {
        p = strchr(p + 1, '/');
        if (!p) return parse_error(ENDLESS_COMMENT, 188, start);
        if (p[-1] == '*') return p + 1;
    }
}

// From a '/' to just after the comment it opens. The sites name the caller's place
// for a line comment that never ends and for a '/' that opens no comment.
char *skip_comment(char *p, int endless_site, int stray_site)
{
    if (p[1] == '/') {
        char *nl = strchr(p, '\n');
        return nl ? nl + 1 : parse_error(ENDLESS_COMMENT, endless_site, p);
    }
    if (p[1] == '*') return skip_block_comment(p + 2);
    return parse_error(UNEXPECTED, stray_site, p);
}

// Four hex digits at p, or -1.
int hex4(const char *p)
{
    int v = 0;
    for (int i = 0; i < 4; i++) {
        int d = vesk_hex_digit(p[i]);
        if (d < 0) return -1;
        v = v * 16 + d;
    }
    return v;
}

// Unescapes in place from just after the opening quote; returns the position after
// the closing quote. The writer never gets ahead of the reader.
char *parser::string(char *p, const char **out)
{
    char *start = p;
    char *d = p;
    *out = start;
    for (;;) {
        size_t run = strcspn(p, "\"\\");
        if (d != p) memmove(d, p, run);
        d += run;
        p += run;
        if (*p == '"') {
            *d = 0;
            return p + 1;
        }
        if (!*p) return parse_error(NO_QUOTE, 174, start);
        // A backslash.
        char *esc = p++;
        switch (*p) {
        case '"': case '\\': case '/': *d++ = *p++; break;
        case 'b': *d++ = '\b'; p++; break;
        case 'f': *d++ = '\f'; p++; break;
        case 'n': *d++ = '\n'; p++; break;
        case 'r': *d++ = '\r'; p++; break;
        case 't': *d++ = '\t'; p++; break;
        case 'u':
            if (encoder) {
                int cp = hex4(p + 1);
                if (cp < 0) return parse_error(BAD_ESCAPE, 141, esc);
                p += 5;
                unsigned code = static_cast<unsigned>(cp);
                if ((code & 0xFC00) == 0xD800) {
                    int low = (p[0] == '\\' && p[1] == 'u') ? hex4(p + 2) : -1;
                    if (low < 0) return parse_error(BAD_SURROGATE, 148, esc);
                    if ((low & 0xFC00) != 0xDC00) return parse_error(BAD_SURROGATE, 153, esc);
                    code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<unsigned>(low) - 0xDC00);
                    p += 6;
                }
                if (!encoder(code, d, &d)) return parse_error(BAD_CODEPOINT, 159, esc);
                break;
            }
            [[fallthrough]];
        default:
            // Kept as written: the backslash, then the character read as any other.
            *d++ = '\\';
            break;
        }
    }
}

char *parser::number(nx_json *parent, const char *key, char *p)
{
    nx_json *js = create(NX_JSON_INTEGER, key, parent);
    // Plain decimal integers of up to 18 digits are read directly; every other form
    // (hex, octal, long or empty) goes through strtoll, whose results these equal.
    char *q = p + (*p == '-');
    char *pe = q;
    int64_t v = 0;
    while (*pe >= '0' && *pe <= '9' && pe - q < 18) v = v * 10 + (*pe++ - '0');
    bool plain = pe > q && !(*pe >= '0' && *pe <= '9') && !(*q == '0' && (pe - q > 1 || *pe == 'x' || *pe == 'X'));
    if (plain) {
        js->int_value = *p == '-' ? -v : v;
    } else {
        js->int_value = strtoll(p, &pe, 0);
        if (pe == p) return parse_error(BAD_NUMBER, 286, p);
    }
    if (*pe == '.' || *pe == 'e' || *pe == 'E') {
        js->type = NX_JSON_DOUBLE;
        js->dbl_value = strtod(p, &pe);
        if (pe == p) return parse_error(BAD_NUMBER, 293, p);
        return pe;
    }
    js->dbl_value = static_cast<double>(js->int_value);
    return pe;
}

// From just after '{' to just after '}'.
char *parser::object(nx_json *js, char *p, int depth)
{
    for (;;) {
        while ((static_cast<unsigned char>(*p) >= 1 && static_cast<unsigned char>(*p) <= 0x20) || *p == ',') p++;
        switch (*p) {
        case 0: return parse_error(UNEXPECTED, 237, p);
        case '}': return p + 1;
        case '/':
            // Where a member is expected, "/*" at the very end is the end of the text.
            if (p[1] == '*' && !p[2]) return parse_error(UNEXPECTED, 237, p + 2);
            p = skip_comment(p, 218, 228);
            if (!p) return nullptr;
            break;
        case '"': {
            const char *name;
            p = string(p + 1, &name);
            if (!p) return nullptr;
            while (static_cast<unsigned char>(*p) >= 1 && static_cast<unsigned char>(*p) <= 0x20) p++;
            if (*p != ':') return parse_error(UNEXPECTED, 204, p);
            p++;
            // A name whose colon is followed at once by the closing brace is dropped.
            if (*p == '}') return p + 1;
            p = value(js, name, p, depth);
            if (!p) return nullptr;
            break;
        }
        default: return parse_error(UNEXPECTED, 233, p);
        }
    }
}

// From just after '[' to just after ']'. Commas are optional.
char *parser::array(nx_json *js, char *p, int depth)
{
    for (;;) {
        p = value(js, nullptr, p, depth);
        if (!p) return nullptr;
        if (*p == ']') return p + 1;
    }
}

// One value from p; returns where it ended. A ']' where a value is expected ends
// the read there with no node.
char *parser::value(nx_json *parent, const char *key, char *p, int depth)
{
    for (;;) {
        switch (*p) {
        case 0: return parse_error(END_OF_TEXT, 246, p);
        case ' ': case '\t': case '\n': case '\r': case ',': p++; break;
        case '{':
            if (depth >= NX_JSON_MAX_DEPTH) return parse_error(TOO_DEEP, 350, p);
            return object(create(NX_JSON_OBJECT, key, parent), p + 1, depth + 1);
        case '[':
            if (depth >= NX_JSON_MAX_DEPTH) return parse_error(TOO_DEEP, 350, p);
            return array(create(NX_JSON_ARRAY, key, parent), p + 1, depth + 1);
        case ']': return p;
        case '"': {
            nx_json *js = create(NX_JSON_STRING, key, parent);
            return string(p + 1, &js->text_value);
        }
        case '-': case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9':
            return number(parent, key, p);
        case 't':
            if (strncmp(p, "true", 4) != 0) return parse_error(UNEXPECTED, 308, p);
            create(NX_JSON_BOOL, key, parent)->int_value = 1;
            return p + 4;
        case 'f':
            if (strncmp(p, "false", 5) != 0) return parse_error(UNEXPECTED, 316, p);
            create(NX_JSON_BOOL, key, parent);
            return p + 5;
        case 'n':
            if (strncmp(p, "null", 4) != 0) return parse_error(UNEXPECTED, 323, p);
            create(NX_JSON_NULL, key, parent);
            return p + 4;
        case '/':
            p = skip_comment(p, 330, 340);
            if (!p) return nullptr;
            break;
        default: return parse_error(UNEXPECTED, 345, p);
        }
    }
}

} // namespace

int unicode_to_utf8(unsigned int codepoint, char *p, char **endp)
{
    auto *u = reinterpret_cast<unsigned char *>(p);
    if (codepoint < 0x80) {
        *u++ = static_cast<unsigned char>(codepoint);
    } else if (codepoint < 0x800) {
        *u++ = static_cast<unsigned char>(0xC0 | (codepoint >> 6));
        *u++ = static_cast<unsigned char>(0x80 | (codepoint & 0x3F));
    } else if (codepoint >= 0xD800 && codepoint <= 0xDFFF) {
        return 0;
    } else if (codepoint < 0x10000) {
        *u++ = static_cast<unsigned char>(0xE0 | (codepoint >> 12));
        *u++ = static_cast<unsigned char>(0x80 | ((codepoint >> 6) & 0x3F));
        *u++ = static_cast<unsigned char>(0x80 | (codepoint & 0x3F));
    } else if (codepoint <= 0x10FFFF) {
        *u++ = static_cast<unsigned char>(0xF0 | (codepoint >> 18));
        *u++ = static_cast<unsigned char>(0x80 | ((codepoint >> 12) & 0x3F));
        *u++ = static_cast<unsigned char>(0x80 | ((codepoint >> 6) & 0x3F));
        *u++ = static_cast<unsigned char>(0x80 | (codepoint & 0x3F));
    } else {
        return 0;
    }
    *endp = reinterpret_cast<char *>(u);
    return 1;
}

nx_json_unicode_encoder nx_json_unicode_to_utf8 = unicode_to_utf8;

const nx_json *nx_json_parse(char *text, nx_json_unicode_encoder encoder)
{
    parser ps{encoder};
    nx_json top{};
    if (!ps.value(&top, nullptr, text, 0)) {
        free_blocks(ps.first);
        return nullptr;
    }
    // A text that begins with ']' made no node.
    return top.child;
}

const nx_json *nx_json_parse_utf8(char *text) { return nx_json_parse(text, unicode_to_utf8); }

void nx_json_free(const nx_json *js)
{
    if (!js) return;
    // Only a root is ever freed, and a root opens its first block.
    auto *first = reinterpret_cast<node_block *>(const_cast<nx_json *>(js)) - 1;
    free_blocks(first);
}

const nx_json *nx_json_get(const nx_json *json, std::string_view key)
{
    if (!json) return &dummy;
    for (const nx_json *js = json->child; js; js = js->next)
        if (js->key && strncmp(js->key, key.data(), key.size()) == 0 && js->key[key.size()] == 0) return js;
    return &dummy;
}

const nx_json *nx_json_get(const nx_json *json, const char *key)
{
    return key ? nx_json_get(json, std::string_view(key)) : &dummy;
}

const nx_json *nx_json_item(const nx_json *json, int idx)
{
    if (!json || idx < 0) return &dummy;
    for (const nx_json *js = json->child; js; js = js->next)
        if (idx-- == 0) return js;
    return &dummy;
}

const char *nx_json_get_type(const nx_json *item)
{
    static const char *const names[] = {"null", "object", "array", "string", "int", "double", "bool"};
    unsigned t = static_cast<unsigned>(item->type);
    return t < 7 ? names[t] : "unknown";
}
