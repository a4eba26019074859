/*
 * A plug-in for the agent's tests. Its configuration line picks its behaviour:
 *   NAME [id=REPORT_ID] [idfill] [refuse] [fail=OP]... [doc=MODE] [bsonfail=PATH]
 *   OP    init, reinit, update or delta, free: that call fails for this counter
 *   MODE  what ge_bson hands back: null (no data), short (length 4), oversize (length
 *         above size), noterm (last byte not 0), negative (length -1), nosize (size 0),
 *         innerlen ("line" claims more bytes than the document has), badutf8 (an invalid
 *         byte in "line"), badtype (an element type the reader cannot step over)
 *   bsonfail  ge_bson fails while PATH exists
 *   idfill    fills all 256 bytes of the report id, with no terminator
 * Environment: VTEST_LOG appends one line per call; VTEST_NAME and VTEST_PREFIX replace
 * the texts of ge_name and ge_config_prefix ("(null)" for a null pointer);
 * VTEST_NULL_ERROR makes ge_last_error null; VTEST_FAIL_UNLOAD makes ge_unload fail.
 * Its document: {"handle": int32, "line": string (non-ASCII bytes as '?'), "updates": int32}.
 */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "vesk_plugin_api.h"

#define MAX_COUNTERS 64

enum { OP_INIT = 1, OP_REINIT = 2, OP_UPDATE = 4, OP_DELTA = 8, OP_FREE = 16 };
enum { DOC_GOOD, DOC_NULL, DOC_SHORT, DOC_OVERSIZE, DOC_NOTERM, DOC_NEGATIVE, DOC_NOSIZE, DOC_INNERLEN, DOC_BADUTF8, DOC_BADTYPE };

struct counter {
    int used;
    char line[2048];
    int fail;
    int doc;
    char bsonfail[256];
    int updates;
};

static struct counter counters[MAX_COUNTERS + 1];
static int last_handle;
static char error_text[256];

static void log_call(const char *fmt, ...)
{
    const char *path = getenv("VTEST_LOG");
    if (!path) return;
    FILE *f = fopen(path, "a");
    if (!f) return;
    fprintf(f, "%s ", PLUGIN_NAME);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(f, fmt, ap);
    va_end(ap);
    fputc('\n', f);
    fclose(f);
}

static const char *env_text(const char *var, const char *fallback)
{
    const char *v = getenv(var);
    if (!v) return fallback;
    return strcmp(v, "(null)") == 0 ? NULL : v;
}

static struct counter *counter_of(int handle)
{
    if (handle < 1 || handle > MAX_COUNTERS || !counters[handle].used) {
        snprintf(error_text, sizeof error_text, "unknown handle %d", handle);
        return NULL;
    }
    return &counters[handle];
}

static int run(const char *op, int bit, int handle)
{
    log_call("%s %d", op, handle);
    struct counter *c = counter_of(handle);
    if (!c) return 0;
    if (c->fail & bit) {
        snprintf(error_text, sizeof error_text, "%s failed for handle %d", op, handle);
        return 0;
    }
    return 1;
}

const char *ge_config_prefix(void)
{
#ifdef FIXED_PREFIX
    return FIXED_PREFIX;
#else
    return env_text("VTEST_PREFIX", PLUGIN_NAME);
#endif
}

const char *ge_name(void) { return env_text("VTEST_NAME", "Test Plugin " PLUGIN_NAME); }
const char *ge_version(void) { return "1.0"; }
const char *ge_last_error(void) { return getenv("VTEST_NULL_ERROR") ? NULL : error_text; }

int ge_parse_config_line(const char *cfg_string, char *report_id, uint8_t log_level)
{
    if (last_handle >= MAX_COUNTERS) {
        snprintf(error_text, sizeof error_text, "too many counters");
        return 0;
    }
    struct counter c = {0};
    snprintf(c.line, sizeof c.line, "%s", cfg_string);
    snprintf(report_id, GE_REPORT_ID_SIZE, "%s_%d", PLUGIN_NAME, last_handle + 1);

    char words[4096];
    snprintf(words, sizeof words, "%s", cfg_string);
    char *save = NULL;
    strtok_r(words, " \t\r\n", &save); /* the plug-in's name */
    for (char *w = strtok_r(NULL, " \t\r\n", &save); w; w = strtok_r(NULL, " \t\r\n", &save)) {
        if (strncmp(w, "id=", 3) == 0) {
            snprintf(report_id, GE_REPORT_ID_SIZE, "%s", w + 3);
        } else if (strcmp(w, "idfill") == 0) {
            memset(report_id, 'x', GE_REPORT_ID_SIZE);
        } else if (strcmp(w, "refuse") == 0) {
            snprintf(error_text, sizeof error_text, "line refused (log level %d)", log_level);
            return 0;
        } else if (strncmp(w, "fail=", 5) == 0) {
            static const char *ops[] = {"init", "reinit", "update", "delta", "free"};
            for (int i = 0; i < 5; i++)
                if (strcmp(w + 5, ops[i]) == 0) c.fail |= 1 << i;
        } else if (strncmp(w, "doc=", 4) == 0) {
            static const char *modes[] = {"good", "null", "short", "oversize", "noterm", "negative", "nosize",
                                          "innerlen", "badutf8", "badtype"};
            for (int i = 0; i < (int)(sizeof modes / sizeof modes[0]); i++)
                if (strcmp(w + 4, modes[i]) == 0) c.doc = i;
        } else if (strncmp(w, "bsonfail=", 9) == 0) {
            snprintf(c.bsonfail, sizeof c.bsonfail, "%s", w + 9);
        }
    }
    c.used = 1;
    counters[++last_handle] = c;
    log_call("parse %d", last_handle);
    return last_handle;
}

int ge_unload(void)
{
    log_call("unload");
    if (getenv("VTEST_FAIL_UNLOAD")) {
        snprintf(error_text, sizeof error_text, "unload failed");
        return 0;
    }
    return 1;
}

int ge_init(int handle) { return run("init", OP_INIT, handle); }
int ge_reinit(int handle) { return run("reinit", OP_REINIT, handle); }

int ge_update(int handle)
{
    if (!run("update", OP_UPDATE, handle)) return 0;
    counters[handle].updates++;
    return 1;
}

int ge_delta(int handle, uint32_t interval, uint64_t iteration)
{
    log_call("delta-args %d %u %llu", handle, interval, (unsigned long long)iteration);
    return run("delta", OP_DELTA, handle);
}

int ge_dump(int handle)
{
    log_call("dump %d", handle);
    return 1;
}

int ge_free(int handle)
{
    if (!run("free", OP_FREE, handle)) return 0;
    counters[handle].used = 0;
    return 1;
}

static uint8_t *put32(uint8_t *p, int32_t v)
{
    uint32_t u = (uint32_t)v;
    for (int i = 0; i < 4; i++) *p++ = (uint8_t)(u >> (8 * i));
    return p;
}

static uint8_t *put_name(uint8_t *p, uint8_t type, const char *name)
{
    *p++ = type;
    size_t n = strlen(name) + 1;
    memcpy(p, name, n);
    return p + n;
}

int ge_bson(int handle, plugin_response_v1 *response)
{
    log_call("bson %d", handle);
    struct counter *c = counter_of(handle);
    if (!c) return 0;
    if (c->bsonfail[0] && access(c->bsonfail, F_OK) == 0) {
        snprintf(error_text, sizeof error_text, "bson failed for handle %d", handle);
        return 0;
    }
    if (c->doc == DOC_NULL) return 1;
    size_t line_len = strlen(c->line);
    size_t n = 4 + (1 + 7 + 4) + (1 + 5 + 4 + line_len + 1) + (1 + 8 + 4) + 1;
    uint8_t *d = malloc(n);
    if (!d) return 0;
    uint8_t *p = put32(d, (int32_t)n);
    p = put32(put_name(p, 0x10, "handle"), handle);
    p = put32(put_name(p, 0x02, "line"), (int32_t)(line_len + 1));
    /* The line as ASCII, so that only doc=badutf8 puts invalid text in the document. */
    for (size_t i = 0; i <= line_len; i++) p[i] = (unsigned char)c->line[i] < 0x80 ? c->line[i] : '?';
    p += line_len + 1;
    p = put32(put_name(p, 0x10, "updates"), c->updates);
    *p = 0;

    response->data = d;
    response->size = n;
    switch (c->doc) {
    case DOC_SHORT: put32(d, 4); break;
    case DOC_OVERSIZE: response->size = n - 1; break;
    case DOC_NOTERM: d[n - 1] = 1; break;
    case DOC_NEGATIVE: put32(d, -1); break;
    case DOC_NOSIZE: response->size = 0; break;
    case DOC_INNERLEN: put32(d + 4 + 12 + 1 + 5, (int32_t)n); break;
    case DOC_BADUTF8: d[4 + 12 + 1 + 5 + 4] = (uint8_t)0xFF; break;
    case DOC_BADTYPE: d[4] = 0x13; break;
    }
    return 1;
}

#ifndef OMIT_JSON
char *ge_json(int handle)
{
    (void)handle;
    return NULL;
}
#endif
