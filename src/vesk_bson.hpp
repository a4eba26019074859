// Assembly of one report document.
#pragma once

#include <cstdint>

// Builds the report; on success *res is a malloc'ed copy of its bytes (the caller
// frees it) and *len its length. Returns 0, or -1 when there is nothing to send.
int stats_to_bson(uint8_t **res, uint32_t *len, unsigned long localAddress);
