// Plug-in documents: whatever the validator accepts, the cursor must walk without
// reading outside the bytes it was given.
#include <cstdint>
#include <cstring>
#include <vector>

#include "bson.hpp"

namespace {

void walk(const char *doc, int depth)
{
    vesk_bson_iterator it;
    vesk_bson_iterator_from_buffer(&it, doc);
    while (vesk_bson_iterator_next(&it) != BSON_EOO) {
        (void)vesk_bson_iterator_key(&it);
        vesk_bson_type t = vesk_bson_iterator_type(&it);
        if ((t == BSON_OBJECT || t == BSON_ARRAY) && depth < 40) walk(vesk_bson_iterator_value(&it), depth + 1);
        if (t == BSON_STRING) (void)strlen(vesk_bson_iterator_string(&it));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<char> doc(data, data + size);
    if (vesk_bson_validate(doc.data(), doc.size())) walk(doc.data(), 0);
    return 0;
}
