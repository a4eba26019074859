// Text helpers: the UTF-8 and field-name checks of the BSON builder, sanitized and
// printable texts, hexadecimal, and bounded copies into fixed buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Continuation bytes that a sequence led by a byte claims.
extern const char trailingBytesForUTF8[256];

// 1 when the `length` bytes are valid UTF-8, else 0. The one check behind the
// builder, the sanitizer and the validation of plug-in documents.
int vesk_utf8_valid(const char *string, size_t length);

// Texts from outside the agent (files, mount points, interface and container names,
// script output, service answers) go through these before they reach a report, so
// one odd string can never make the builder refuse the whole document.

// The text with every byte that is not part of a valid sequence replaced by U+FFFD.
std::string vesk_utf8_sanitize(std::string_view text);

// The text as it may go to a terminal or a log: tabs, printable ASCII and valid
// UTF-8 characters stay; every other byte (control characters, C1 controls, bytes
// of no valid sequence) is written as \xNN in lower-case hexadecimal. The result is
// at most max_bytes long: when the whole text does not fit, it ends after a whole
// character or escape with "…" (when that fits too).
std::string vesk_printable(std::string_view text, size_t max_bytes = SIZE_MAX);
// What ends a text that was cut short: "…".
inline constexpr std::string_view VESK_CUT_MARK = "\xe2\x80\xa6";

// The longest prefix of at most max_bytes bytes that does not split a sequence.
size_t vesk_utf8_cut(std::string_view text, size_t max_bytes);
// The length of text without a character that its end cuts short (a lead byte whose
// sequence would run past the end, and the continuation bytes after it), for text
// that was cut at a byte count.
size_t vesk_utf8_whole(std::string_view text);

// Sanitizes src and copies it into dst (size bytes), cut on a character boundary
// and terminated.
void vesk_copy_text(char *dst, std::string_view src, size_t size);
template <size_t N>
inline void vesk_copy_text(char (&dst)[N], std::string_view src)
{
    vesk_copy_text(dst, src, N);
}

// The value of one hexadecimal digit (either case), or -1.
int vesk_hex_digit(char c);
// The len bytes as 2 * len lower-case hexadecimal digits at out, unterminated.
void vesk_hex_encode(const uint8_t *in, size_t len, char *out);

// Bounded copies into fixed buffers: at most size-1 bytes of src, always terminated.
void vesk_strlcpy(char *dst, std::string_view src, size_t size);
template <size_t N>
inline void vesk_copy(char (&dst)[N], std::string_view src)
{
    vesk_strlcpy(dst, src, N);
}
