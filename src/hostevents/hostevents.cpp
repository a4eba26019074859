#include "hostevents/hostevents.h"

#include <cstring>
#include <string>

#include "vesk_config.hpp"

namespace {

struct ConfigT {
    std::string ProfFsPath;
    std::string SysFsPath;
    bool Initialized = false;
};
ConfigT Config;

} // namespace

extern "C" int init_go_module(void *conf)
{
    const auto *c = static_cast<const vesk_config *>(conf);
    Config.ProfFsPath.assign(c->procFsPath, strnlen(c->procFsPath, 64));
    Config.SysFsPath.assign(c->sysFsPath, strnlen(c->sysFsPath, 64));
    Config.Initialized = true;
    return 1;
}

// Not built yet: no watch, no kills, no uptime, nothing checked.
extern "C" void InitOomKilled(void) {}
extern "C" long long OomGetKilled(void) { return 0; }
extern "C" void CloseOomKilled(void) {}
extern "C" double GetUptime(void) { return 0.0; }
extern "C" long long ValidateConfig(void) { return 0; }
extern "C" long long ValidateConfName(he_string) { return 0; }
