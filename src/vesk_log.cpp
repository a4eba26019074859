// Levelled diagnostics on standard error.
#include "vesk_log.hpp"

#include <cstdarg>
#include <cstdio>

#include "vesk_config.hpp"

void _vesk_log(log_level_t level, const char *fmt, ...)
{
    if (level > config.log_level) return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
}
