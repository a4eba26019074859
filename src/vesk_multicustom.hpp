// The multicustom counter: one script, up to 512 named values.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mycustom.hpp"
#include "vesk_custom_alert.hpp"

inline constexpr int VESK_MAX_MULTICUSTOM_VALUES = 512;

using mymulticustom_init = mycustom_init;
using mymulticustom_reinit = mycustom_reinit;
using mymulticustom_update = mycustom_update;
using mymulticustom_delta = mycustom_delta;
using mymulticustom_tobson = mycustom_tobson;
using mymulticustom_dump = mycustom_dump;
using mymulticustom_free = mycustom_free;

// One named value; crosses the customs segment.
struct vesk_mymulticustom_data_custom {
    char id[256];
    double value;
    int32_t agent_alerts_count;
    vesk_mycustom_agent_alert agent_alerts[VESK_MAX_ALERTS];
};
static_assert(sizeof(vesk_mymulticustom_data_custom) == 2872);
static_assert(offsetof(vesk_mymulticustom_data_custom, value) == 256);
static_assert(offsetof(vesk_mymulticustom_data_custom, agent_alerts_count) == 264);
static_assert(offsetof(vesk_mymulticustom_data_custom, agent_alerts) == 268);

// One multicustom slot of the customs segment.
struct vesk_multicustom_shared_data {
    uint16_t count;
    int32_t updated;
    vesk_mymulticustom_data_custom counters[VESK_MAX_MULTICUSTOM_VALUES];
};
static_assert(sizeof(vesk_multicustom_shared_data) == 1470472);
static_assert(offsetof(vesk_multicustom_shared_data, updated) == 4);
static_assert(offsetof(vesk_multicustom_shared_data, counters) == 8);

struct vesk_mymulticustom_counter {
    char cfg_string[VESK_CFG_STRING_LEN];
    int errors;
    char report[256];
    char exec[2048];
    char alert_condition[50];
    int ok;
    int interval;
    int updated;
    int mustBeUpdated;
    int uid;
    int gid;
    int max_seconds;
    int incremental;
    int type;
    int restarted_flag;
    sample_times sampled;
    vesk_mymulticustom_data_custom data[VESK_MAX_MULTICUSTOM_VALUES];
    vesk_mymulticustom_data_custom data_delta[VESK_MAX_MULTICUSTOM_VALUES];
    uint64_t mc_count;
    mymulticustom_init init;
    mymulticustom_reinit reinit;
    mymulticustom_update update;
    mymulticustom_delta delta;
    mymulticustom_tobson tobson;
    mymulticustom_dump dump;
    mymulticustom_free free;
};

// mycustom_set for a multicustom counter: the configuration text (at most 2047
// characters; none when cfg_string is null) and the seven operations. Returns 1.
int mymulticustom_set(vesk_mymulticustom_counter *cnt, const char *cfg_string, const mycustom_ops &ops);

// The seven operations of a multicustom counter.
int multicustom_init(void *cnt);
int multicustom_update(void *cnt);
int multicustom_delta(void *cnt, uint32_t span_ms, uint64_t iteration);
int multicustom_tobson(void *cnt, bson *b);
int multicustom_dump(void *cnt);
int multicustom_free(void *cnt);
void multicustom_parse_conf(vesk_mymulticustom_counter *cnt);
// The multicustom debug lines print with --debug or the multicustom --debmod bit.
bool multicustom_debug();

// Results of parse_metric_line.
enum metric_line_code {
    METRIC_OK = 0,        // name and value read
    METRIC_NO_NUMBER = 1, // the last word has no leading number
    METRIC_TOO_LONG = 2,  // the name does not fit the buffer
    METRIC_EMPTY = 3,     // empty line
    METRIC_COMMENT = 4,   // line beginning with '#'
};

// Splits one output line: blank- or tab-separated words, the last one the number,
// the words before it the name (joined by single blanks) written into `metric`.
int parse_metric_line(const char *input, char *metric, size_t met_buf_cap, double *value);

// Runs a multicustom command once; its values go into cnt_array and *mc_count.
// *err is 0 for a usable result, else 1.
void multi_call_exec(vesk_mymulticustom_data_custom *cnt_array, const char *exec, int uid, int gid,
                     int max_seconds, int counter_type, int *err, uint64_t *mc_count, const char *alert_condition);
