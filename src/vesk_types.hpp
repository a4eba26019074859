// Basic types shared by every module of the agent.
#pragma once

#include <csignal>
#include <cstdint>

#define VESK_VERSION "1.2.7"
#define VESK_BUILD_ON "Ubuntu 26.04 LTS"

// Levels of _vesk_log; a message prints when its level is at or below config.log_level.
enum log_level_t : int {
    LOG_LEVEL_CRITICAL = 1,
    LOG_LEVEL_ERROR = 2,
    LOG_LEVEL_WARNING = 3,
    LOG_LEVEL_INFO = 4,
    LOG_LEVEL_DEBUG = 5,
};

// Bits of config.mod_debug (--debmod).
enum : uint16_t {
    VESK_DEBMOD_MULTI = 1,
    VESK_DEBMOD_CUSTOM = 2,
    VESK_DEBMOD_PROCSYS = 4,
};

// Set by the stop handler (defined with the registry); every loop and every wait of
// the agent's own tests it.
extern volatile sig_atomic_t stop;

struct bson;
struct string_list;
struct vesk_docker_t;
struct ge_plugin_counter;
