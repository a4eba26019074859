// The module's seven C-callable functions; the work is in the units behind them.
#include "hostevents/hostevents.h"

#include "hostevents/config.hpp"
#include "hostevents/vesk_cpu.hpp"
#include "vesk_config.hpp"

using namespace hostevents;

extern "C" int init_go_module(void *conf)
{
    const auto *c = static_cast<const vesk_config *>(conf);
    config_init(c->procFsPath, c->sysFsPath);
    return 1;
}

extern "C" double GetUptime(void)
{
    return read_uptime(getProcPath("uptime"));
}

// Not built yet: no watch, no kills, nothing checked.
extern "C" void InitOomKilled(void) {}
extern "C" long long OomGetKilled(void) { return 0; }
extern "C" void CloseOomKilled(void) {}
extern "C" long long ValidateConfig(void) { return 0; }
extern "C" long long ValidateConfName(he_string) { return 0; }
