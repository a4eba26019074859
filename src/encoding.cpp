// Text helpers: UTF-8 checks and sanitizing, printable texts, hexadecimal, bounded copies.
#include "encoding.hpp"

#include <algorithm>
#include <cstring>

#include "bson.hpp"

const char trailingBytesForUTF8[256] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5,
};

namespace {

// One sequence of `len` bytes at `s`.
bool legal_sequence(const unsigned char *s, int len)
{
    if (len == 5 || len == 6) return false;
    for (int i = 2; i < len; i++)
        if (s[i] < 0x80 || s[i] > 0xBF) return false;
    if (len >= 2) {
        unsigned char a = s[1];
        // Every second byte is a continuation byte; these leads narrow its range to
        // refuse overlong forms, surrogates (U+D800 to U+DFFF) and code points
        // above U+10FFFF, which strict decoders reject.
        if (a < 0x80 || a > 0xBF) return false;
        switch (s[0]) {
        case 0xE0: if (a < 0xA0) return false; break;
        case 0xED: if (a > 0x9F) return false; break;
        case 0xF0: if (a < 0x90) return false; break;
        case 0xF4: if (a > 0x8F) return false; break;
        default: break;
        }
    }
    if (s[0] >= 0x80 && s[0] < 0xC2) return false;
    if (s[0] > 0xF4) return false;
    return true;
}

// Length of the valid sequence at `pos`, or 0 when the byte there starts none.
size_t valid_sequence_at(std::string_view t, size_t pos)
{
    const auto *s = reinterpret_cast<const unsigned char *>(t.data());
    size_t seq = static_cast<size_t>(trailingBytesForUTF8[s[pos]]) + 1;
    if (pos + seq > t.size() || !legal_sequence(s + pos, static_cast<int>(seq))) return 0;
    return seq;
}

// Checks UTF-8 and, for field names, the dot and dollar rules; sets bits in err.
int check_string(int &err, std::string_view text, bool field_name)
{
    if (field_name && text.starts_with('$')) {
        std::string_view rest = text.substr(1);
        bool ref = (text.size() >= 4 && rest.starts_with("ref")) || (text.size() == 3 && (rest == "id" || rest == "db"));
        if (!ref) err |= BSON_FIELD_INIT_DOLLAR;
    }
    for (size_t pos = 0; pos < text.size();) {
        size_t seq = valid_sequence_at(text, pos);
        if (seq == 0) {
            err |= BSON_NOT_UTF8;
            return BSON_ERROR;
        }
        if (field_name && text[pos] == '.') err |= BSON_FIELD_HAS_DOT;
        pos += seq;
    }
    return BSON_OK;
}

std::string_view counted(const char *string, int length)
{
    return {string, length < 0 ? 0 : static_cast<size_t>(length)};
}

} // namespace

int vesk_utf8_valid(const char *string, size_t length)
{
    int err = 0;
    return check_string(err, {string, length}, false) == BSON_OK;
}

int vesk_bson_check_string(bson *b, const char *string, int length)
{
    return check_string(b->err, counted(string, length), false);
}

int vesk_bson_check_field_name(bson *b, const char *string, int length)
{
    return check_string(b->err, counted(string, length), true);
}

std::string vesk_utf8_sanitize(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t pos = 0; pos < text.size();) {
        size_t seq = valid_sequence_at(text, pos);
        if (seq == 0) {
            out += "\xEF\xBF\xBD";
            pos++;
        } else {
            out.append(text.substr(pos, seq));
            pos += seq;
        }
    }
    return out;
}

std::string vesk_printable(std::string_view text, size_t max_bytes)
{
    constexpr std::string_view mark = VESK_CUT_MARK;
    std::string out;
    out.reserve(std::min(text.size(), max_bytes));
    // Where the text is cut, should it not fit: after the last piece that leaves room
    // for the mark.
    size_t cut = 0;
    for (size_t pos = 0; pos < text.size();) {
        auto c = static_cast<unsigned char>(text[pos]);
        size_t seq = valid_sequence_at(text, pos);
        // C1 controls (U+0080 to U+009F) start escape sequences on some terminals.
        bool c1 = seq == 2 && c == 0xC2 && static_cast<unsigned char>(text[pos + 1]) < 0xA0;
        bool shown = seq == 1 ? c == '\t' || (c >= 0x20 && c < 0x7F) : seq > 1 && !c1;
        size_t n = seq > 1 ? seq : 1;
        if (shown) {
            out.append(text.substr(pos, n));
        } else {
            for (size_t i = pos; i < pos + n; i++) {
                char hex[2];
                vesk_hex_encode(reinterpret_cast<const uint8_t *>(&text[i]), 1, hex);
                out += "\\x";
                out.append(hex, 2);
            }
        }
        pos += n;
        if (out.size() > max_bytes) {
            out.resize(cut);
            if (cut + mark.size() <= max_bytes) out += mark;
            break;
        }
        if (out.size() + mark.size() <= max_bytes) cut = out.size();
    }
    return out;
}

size_t vesk_utf8_cut(std::string_view text, size_t max_bytes)
{
    if (text.size() <= max_bytes) return text.size();
    size_t cut = max_bytes;
    // Step back over continuation bytes to the start of the sequence that was split.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) cut--;
    return cut;
}

size_t vesk_utf8_whole(std::string_view text)
{
    size_t n = text.size();
    // A sequence is at most four bytes: look back for its lead no further.
    for (size_t back = 1; back <= 4 && back <= n; back++) {
        auto c = static_cast<unsigned char>(text[n - back]);
        if ((c & 0xC0) == 0x80) continue;
        bool lead = c >= 0xC2 && c <= 0xF4;
        return lead && static_cast<size_t>(trailingBytesForUTF8[c]) + 1 > back ? n - back : n;
    }
    return n;
}

void vesk_copy_text(char *dst, std::string_view src, size_t size)
{
    if (size == 0) return;
    std::string clean = vesk_utf8_sanitize(src);
    size_t n = vesk_utf8_cut(clean, size - 1);
    memcpy(dst, clean.data(), n);
    dst[n] = '\0';
}

int vesk_hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void vesk_hex_encode(const uint8_t *in, size_t len, char *out)
{
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < len; i++) {
        out[2 * i] = digits[in[i] >> 4];
        out[2 * i + 1] = digits[in[i] & 0xf];
    }
}

void vesk_strlcpy(char *dst, std::string_view src, size_t size)
{
    if (size == 0) return;
    size_t n = src.size() < size - 1 ? src.size() : size - 1;
    memcpy(dst, src.data(), n);
    dst[n] = '\0';
}
