// Records of a custom script's result. They cross the customs shared-memory
// segment between the customs child and the parent, so their layout is fixed.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int VESK_MAX_ALERTS = 10;
inline constexpr int VESK_ALERT_TEXT_LEN = 256;

struct vesk_mycustom_agent_alert {
    int32_t index;
    char text[VESK_ALERT_TEXT_LEN];
};

struct vesk_mycustom_data_custom {
    int32_t ok;
    int32_t let;
    int32_t get;
    int32_t interval;
    int32_t updated;
    int32_t mustBeUpdated;
    double value;
    int32_t errors;
    int32_t agent_alerts_count;
    vesk_mycustom_agent_alert agent_alerts[VESK_MAX_ALERTS];
};

static_assert(sizeof(vesk_mycustom_agent_alert) == 260);
static_assert(offsetof(vesk_mycustom_agent_alert, text) == 4);
static_assert(sizeof(vesk_mycustom_data_custom) == 2640);
static_assert(offsetof(vesk_mycustom_data_custom, updated) == 16);
static_assert(offsetof(vesk_mycustom_data_custom, mustBeUpdated) == 20);
static_assert(offsetof(vesk_mycustom_data_custom, value) == 24);
static_assert(offsetof(vesk_mycustom_data_custom, errors) == 32);
static_assert(offsetof(vesk_mycustom_data_custom, agent_alerts_count) == 36);
static_assert(offsetof(vesk_mycustom_data_custom, agent_alerts) == 40);
