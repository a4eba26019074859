// Storing a counter's operations and configuration text, and the dump lines every counter prints.
#include "mycustom.hpp"

#include <cstdio>

int mycustom_set(vesk_mycustom_counter *cnt, const char *cfg_string, const mycustom_ops &ops)
{
    mycustom_store(cnt, cfg_string, ops);
    return 1;
}

void sys_dump_header(const vesk_mycustom_counter *c, int ok)
{
    printf("MyCustom %s report %s(%d) :\n", c->report, c->id, ok);
}

void sys_dump_values(std::initializer_list<std::pair<const char *, uint64_t>> lines)
{
    for (const auto &[label, value] : lines) printf("\t%s = %lu\n", label, static_cast<unsigned long>(value));
}
