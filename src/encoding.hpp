// UTF-8 and field-name checks of the BSON builder.
#pragma once

#include <cstddef>

// Continuation bytes that a sequence led by a byte claims.
extern const char trailingBytesForUTF8[256];

// 1 when the `length` bytes are valid UTF-8 (3-byte surrogates accepted), else 0.
int vesk_utf8_valid(const char *string, size_t length);
