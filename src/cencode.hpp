// A streaming Base64 encoder (standard alphabet, '=' padding) that breaks its
// output into lines of 72 characters. Input may arrive in pieces: the state
// carries an unfinished 3-byte group from one call to the next.
#pragma once

#include <string>
#include <string_view>

enum base64_encodestep : int { step_A = 0, step_B = 1, step_C = 2 };

struct base64_encodestate {
    base64_encodestep step;
    char result;   // bits of the next character from the bytes already consumed
    int stepcount; // complete groups since the last line break
};

inline constexpr int CHARS_PER_LINE = 72;

void base64_init_encodestate(base64_encodestate *state_in);
// The alphabet character of 0-63; '=' for anything larger.
char base64_encode_value(char value_in);
// Encodes length_in bytes at code_out and returns the characters written: four for
// every three bytes, and a line feed after every 72 characters. The caller sizes
// code_out; nothing is terminated.
int base64_encode_block(const char *plaintext_in, int length_in, char *code_out, base64_encodestate *state_in);
// The last character and padding of an unfinished group: 0, 2 or 3 characters.
int base64_encode_blockend(char *code_out, base64_encodestate *state_in);

// The Base64 text of `plain` on one line (no line feeds), as HTTP Basic credentials
// need it.
std::string base64_encode_line(std::string_view plain);
