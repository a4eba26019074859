// The counter record and its seven operation slots.
#pragma once

#include <cstdint>

#include "vesk_types.hpp"

// Each operation takes the counter untyped; every kind casts it to its own record.
using mycustom_init = int (*)(void *cnt);
using mycustom_reinit = int (*)(void *cnt);
using mycustom_update = int (*)(void *cnt);
using mycustom_delta = int (*)(void *cnt, uint32_t interval, uint64_t iteration);
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

struct vesk_mymulticustom_counter;

// Stores the configuration text (cut to 2047 characters; none when cfg_string is null)
// and the seven operations. The caller has chosen the slot and counts it. Returns 1.
int mycustom_set(vesk_mycustom_counter *cnt, const char *cfg_string, const mycustom_ops &ops);
int mymulticustom_set(vesk_mymulticustom_counter *cnt, const char *cfg_string, const mycustom_ops &ops);
