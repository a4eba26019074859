// The counter record, its seven operation slots, and what every kind of counter does
// with it: its buffers, the scalar-rate delta, the dump lines.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <utility>

#include "encoding.hpp"
#include "vesk_types.hpp"

// Each operation takes the counter untyped; every kind casts it to its own record.
// The delta takes the milliseconds between the counter's own last two samples, which
// its rates are taken over, and the cycle number.
using mycustom_init = int (*)(void *cnt);
using mycustom_reinit = int (*)(void *cnt);
using mycustom_update = int (*)(void *cnt);
using mycustom_delta = int (*)(void *cnt, uint32_t span_ms, uint64_t iteration);
using mycustom_tobson = int (*)(void *cnt, bson *b);
using mycustom_dump = int (*)(void *cnt);
using mycustom_free = int (*)(void *cnt);

// The seven slots in their order; an empty slot is skipped by every pass.
struct mycustom_ops {
    mycustom_init init = nullptr;
    mycustom_reinit reinit = nullptr;
    mycustom_update update = nullptr;
    mycustom_delta delta = nullptr;
    mycustom_tobson tobson = nullptr;
    mycustom_dump dump = nullptr;
    mycustom_free free = nullptr;
};

inline constexpr int VESK_CFG_STRING_LEN = 2048;

// When a counter's update last returned, on the monotonic clock, and the span since
// the one before: a rate covers the time between the counter's own two reads, not
// between cycle starts, so a slow service ahead of it in the cycle does not skew it.
// Zero until known.
struct sample_times {
    int64_t at_ms;
    int64_t span_ms;
};

inline void sample_taken(sample_times &t, int64_t now_ms)
{
    t.span_ms = t.at_ms ? now_ms - t.at_ms : 0;
    t.at_ms = now_ms;
}

// The span a delta is given: the counter's own, or the interval until it has two
// samples (the delta then only primes).
inline uint32_t sample_span_ms(const sample_times &t, uint32_t interval_s)
{
    int64_t ms = t.span_ms > 0 ? t.span_ms : static_cast<int64_t>(interval_s) * 1000;
    return static_cast<uint32_t>(ms < 1 ? 1 : ms > UINT32_MAX ? UINT32_MAX : ms);
}

struct vesk_mycustom_counter {
    char cfg_string[VESK_CFG_STRING_LEN];
    char report[256];
    char id[256];
    char user[256];
    char password[256];
    char exec[2048];
    char alert_condition[50];
    int interval;
    int uid;
    int gid;
    int let;
    int get;
    int max_seconds;
    int incremental;
    int type;
    int restarted_flag;
    sample_times sampled;
    void *data;
    void *data_prev;
    void *data_delta;
    mycustom_init init;
    mycustom_reinit reinit;
    mycustom_update update;
    mycustom_delta delta;
    mycustom_tobson tobson;
    mycustom_dump dump;
    mycustom_free free;
};

// Stores the configuration text (cut to 2047 characters; none when cfg_string is null)
// and the seven operations. The caller has chosen the slot and counts it. Returns 1.
// (mymulticustom_set, in vesk_multicustom, does the same for a multicustom counter.)
int mycustom_set(vesk_mycustom_counter *cnt, const char *cfg_string, const mycustom_ops &ops);

// What mycustom_set and mymulticustom_set store, for either record.
template <typename Counter>
void mycustom_store(Counter *cnt, const char *cfg_string, const mycustom_ops &ops)
{
    if (cfg_string) vesk_copy(cnt->cfg_string, cfg_string);
    cnt->init = ops.init;
    cnt->reinit = ops.reinit;
    cnt->update = ops.update;
    cnt->delta = ops.delta;
    cnt->tobson = ops.tobson;
    cnt->dump = ops.dump;
    cnt->free = ops.free;
}

// ---- what every counter kind does with its record ----

// The first line of every dump: "MyCustom <report> report <id>(<ok>) :".
void sys_dump_header(const vesk_mycustom_counter *c, int ok);
// Dump lines of unsigned values: "\t<label> = <value>\n" each.
void sys_dump_values(std::initializer_list<std::pair<const char *, uint64_t>> lines);

// The counter's buffers hold records of type T: `data`, and with `all_three` also
// `data_prev` and `data_delta`. Allocation replaces what the counter held.
template <typename T>
void sys_release(vesk_mycustom_counter *c)
{
    delete static_cast<T *>(c->data);
    delete static_cast<T *>(c->data_prev);
    delete static_cast<T *>(c->data_delta);
    c->data = c->data_prev = c->data_delta = nullptr;
}
template <typename T>
void sys_allocate(vesk_mycustom_counter *c, bool all_three)
{
    sys_release<T>(c);
    c->data = new T{};
    if (all_three) {
        c->data_prev = new T{};
        c->data_delta = new T{};
    }
}

// The scalar-rate delta of the mem and cpu counters and of the service counters.
// `data_delta` gets a copy of the current sample; when both samples are ok, `rates(cur, prev, out)` fills the values
// to report. Cycle 0 only primes the previous sample.
template <typename T, typename Rates>
int sys_scalar_delta(vesk_mycustom_counter *c, uint64_t iteration, Rates rates)
{
    auto *d = static_cast<T *>(c->data), *prev = static_cast<T *>(c->data_prev), *out = static_cast<T *>(c->data_delta);
    if (!d || !prev || !out) return 1;
    *out = *d;
    if (iteration == 0) {
        out->ok = 0;
    } else if (d->ok && prev->ok) {
        rates(*d, *prev, *out);
        out->ok = 1;
    } else {
        out->ok = 0;
    }
    *prev = *d;
    return 1;
}
