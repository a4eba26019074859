// Assembly of one report document.
#pragma once

#include <cstdint>

// Builds the report; on success *res is a malloc'ed copy of its bytes (the caller
// frees it) and *len its length. Returns 0, or -1 when there is nothing to send.
int stats_to_bson(uint8_t **res, uint32_t *len, unsigned long localAddress);

// The largest payload of one UDP datagram over IPv4.
inline constexpr uint32_t VESK_MAX_DATAGRAM = 65507;

// What report_fit left out of a report.
struct vesk_report_cut {
    int custom = 0; // elements of the "custom" array
    int mounts = 0; // entries of the "mounts" object
};

// Shrinks the finished report doc (*len bytes) in place until it is at most limit
// bytes, leaving out whole objects: the largest elements of "custom" first, one at
// a time (of equal ones the later first), then the entries of "mounts", the last
// first. Every length field is mended, so what remains is a valid document; *len
// becomes its length. A report that fits is not touched. When even that is not
// enough, everything those two hold is left out.
vesk_report_cut report_fit(uint8_t *doc, uint32_t *len, uint32_t limit);
