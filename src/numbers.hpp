// Decimal texts of small numbers, for element names.
#pragma once

// "0" to "999", each padded with 0 bytes to 4 bytes.
extern const char (&vesk_bson_numstrs)[1000][4];

// Writes i as decimal text into str, which holds at least 12 bytes.
void vesk_bson_numstr(char *str, int i);
