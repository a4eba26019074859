// Splitting of texts with escapes, and of user:password@host:port.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int VESK_URL_PART_LEN = 100;

struct vesk_url_parts {
    char user[VESK_URL_PART_LEN];
    char pass[VESK_URL_PART_LEN];
    char host[VESK_URL_PART_LEN];
    uint32_t port;
};

// Splits str at `delimiter` into the first `limit` buffers of `parts`, each of
// `part_size` bytes (a part is cut to fit). After limit-1 splits the delimiter is
// kept as text. A backslash before a backslash or the delimiter stands for that
// character. Parts the text does not reach are left untouched. Returns 1.
int vesk_split_str(const char *str, char delimiter, char **parts, int limit, size_t part_size);

// [user[:pass]@]host[:port]. Returns 1.
int vesk_parse_url(const char *url, vesk_url_parts *parts);
