// Decimal texts of small numbers, for the element names of BSON arrays.
#include "numbers.hpp"

#include <cstring>

#include "bson.hpp"

namespace {

struct numstr_table {
    char v[1000][4];
};

constexpr numstr_table make_numstrs()
{
    numstr_table t{};
    for (int i = 0; i < 1000; i++) {
        int k = 0;
        if (i >= 100) t.v[i][k++] = static_cast<char>('0' + i / 100);
        if (i >= 10) t.v[i][k++] = static_cast<char>('0' + i / 10 % 10);
        t.v[i][k] = static_cast<char>('0' + i % 10);
    }
    return t;
}

constexpr numstr_table kNumstrs = make_numstrs();

} // namespace

const char (&vesk_bson_numstrs)[1000][4] = kNumstrs.v;

void vesk_bson_numstr(char *str, int i)
{
    // Negative numbers are not in the table.
    if (i >= 0 && i < 1000)
        memcpy(str, vesk_bson_numstrs[i], 4);
    else
        vesk_bson_sprintf(str, "%d", i);
}
