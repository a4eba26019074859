// The module's seven C-callable functions; the work is in the units behind them.
#include "hostevents/hostevents.h"

#include <cstdio>
#include <string>

#include "hostevents/config.hpp"
#include "hostevents/vesk_cpu.hpp"
#include "hostevents/vesk_oomkiller.hpp"
#include "hostevents/vesk_validator.hpp"
#include "vesk_config.hpp"

using namespace hostevents;

namespace {

// Never destroyed: the process may exit while the follower still runs, and its
// thread must not be torn down under it.
oom_watch &the_watch()
{
    static oom_watch *w = new oom_watch;
    return *w;
}

} // namespace

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

extern "C" void InitOomKilled(void)
{
    oom_watch_init(the_watch(), oom_sources(getProcPath("kmsg")), stdout, nullptr);
}

extern "C" long long OomGetKilled(void)
{
    return oom_watch_take(the_watch(), stderr);
}

extern "C" void CloseOomKilled(void)
{
    oom_watch_close(the_watch(), stdout);
}

extern "C" long long ValidateConfig(void)
{
    return validate_conf_file("/etc/vesk.conf", stderr);
}

extern "C" long long ValidateConfName(he_string file_name)
{
    std::string name;
    if (file_name.p && file_name.n > 0) name.assign(file_name.p, static_cast<size_t>(file_name.n));
    return validate_conf_file(name, stderr);
}
