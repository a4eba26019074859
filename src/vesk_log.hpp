// Levelled diagnostics on standard error.
#pragma once

#include "vesk_types.hpp"

// Writes the printf-formatted message to standard error when level <= config.log_level.
// The message carries its own tag, colour and newline.
void _vesk_log(log_level_t level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
