#include "mycustom.hpp"

#include "encoding.hpp"
#include "vesk_multicustom.hpp"

namespace {

template <typename Counter>
void set_ops(Counter *cnt, const char *cfg_string, const mycustom_ops &ops)
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

} // namespace

int mycustom_set(vesk_mycustom_counter *cnt, const char *cfg_string, const mycustom_ops &ops)
{
    set_ops(cnt, cfg_string, ops);
    return 1;
}

int mymulticustom_set(vesk_mymulticustom_counter *cnt, const char *cfg_string, const mycustom_ops &ops)
{
    set_ops(cnt, cfg_string, ops);
    return 1;
}
