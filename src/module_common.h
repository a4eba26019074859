/* The record a plug-in hands back from ge_bson. Usable from C and C++. */
#ifndef VESK_MODULE_COMMON_H
#define VESK_MODULE_COMMON_H

#include <stddef.h>
#include <stdint.h>

typedef struct plugin_response_v1 {
    size_t size;   /* byte length of data, or 0 when not given */
    uint8_t *data; /* a complete BSON document, malloc'ed by the plug-in, freed by the agent */
} plugin_response_v1;

#endif
