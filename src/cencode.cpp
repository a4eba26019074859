// The streaming Base64 encoder with its 72-character lines.
#include "cencode.hpp"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kGroupsPerLine = CHARS_PER_LINE / 4;

} // namespace

void base64_init_encodestate(base64_encodestate *state_in)
{
    state_in->step = step_A;
    state_in->result = 0;
    state_in->stepcount = 0;
}

char base64_encode_value(char value_in)
{
    auto v = static_cast<unsigned char>(value_in);
    return v > 63 ? '=' : kAlphabet[v];
}

int base64_encode_block(const char *plaintext_in, int length_in, char *code_out, base64_encodestate *state_in)
{
    if (state_in->step != step_A && state_in->step != step_B && state_in->step != step_C) return 0;
    const auto *in = reinterpret_cast<const unsigned char *>(plaintext_in);
    const auto *end = in + (length_in > 0 ? length_in : 0);
    char *out = code_out;
    auto put = [&out](unsigned v) { *out++ = base64_encode_value(static_cast<char>(v)); };
    auto result = static_cast<unsigned char>(state_in->result);
    for (; in < end; in++) {
        const unsigned b = *in;
        switch (state_in->step) {
        case step_A:
            put(b >> 2);
            result = static_cast<unsigned char>((b & 0x03) << 4);
            state_in->step = step_B;
            break;
        case step_B:
            put(result | (b >> 4));
            result = static_cast<unsigned char>((b & 0x0F) << 2);
            state_in->step = step_C;
            break;
        case step_C:
            put(result | (b >> 6));
            put(b & 0x3F);
            result = 0;
            state_in->step = step_A;
            if (++state_in->stepcount == kGroupsPerLine) {
                *out++ = '\n';
                state_in->stepcount = 0;
            }
            break;
        }
    }
    state_in->result = static_cast<char>(result);
    return static_cast<int>(out - code_out);
}

int base64_encode_blockend(char *code_out, base64_encodestate *state_in)
{
    switch (state_in->step) {
    case step_B:
        code_out[0] = base64_encode_value(state_in->result);
        code_out[1] = code_out[2] = '=';
        return 3;
    case step_C:
        code_out[0] = base64_encode_value(state_in->result);
        code_out[1] = '=';
        return 2;
    default: return 0;
    }
}

std::string base64_encode_line(std::string_view plain)
{
    std::string out;
    // Four characters a group, a line feed a line, and the end step.
    out.resize(plain.size() / 3 * 4 + plain.size() / 54 + 8);
    base64_encodestate s;
    base64_init_encodestate(&s);
    size_t n = 0;
    // Fed in pieces of whole lines so that lengths stay far from int's range.
    constexpr size_t kPiece = 54 * 1024;
    for (size_t at = 0; at < plain.size(); at += kPiece) {
        std::string_view piece = plain.substr(at, kPiece);
        n += static_cast<size_t>(base64_encode_block(piece.data(), static_cast<int>(piece.size()), out.data() + n, &s));
    }
    n += static_cast<size_t>(base64_encode_blockend(out.data() + n, &s));
    out.resize(n);
    std::erase(out, '\n');
    return out;
}
