// The report's signature: SHA-1 of the report followed by the secret.
#pragma once

#include <cstdint>

// The signature's length: SHA-1 in hex digits.
inline constexpr uint32_t VESK_SIGNATURE_LENGTH = 40;
// What the signature adds to a report: VESK_SIGNATURE_LENGTH with config.secret set, else 0.
uint32_t signature_length();

// Makes the packet: a copy of the report, followed, when config.secret is set, by
// 40 lower-case hex digits of SHA-1(report bytes + secret). The caller frees
// *msgSigned. Returns 0, or -1 (nothing allocated) when the packet cannot be made.
int sign(void *msg, int len, uint8_t **msgSigned, uint32_t *lenSigned);
