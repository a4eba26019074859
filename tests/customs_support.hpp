// Helpers of the custom-script tests: counters built from configuration texts and
// the element names of a "custom" array, decoded with libbson.
#pragma once

#include <bson/bson.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bson.hpp"
#include "encoding.hpp"
#include "test_support.hpp"
#include "tools/bson_check.hpp"
#include "vesk_custom.hpp"
#include "vesk_multicustom.hpp"

#define REQUIRE_ROOT()                                                                   \
    do {                                                                                 \
        if (geteuid() != 0) GTEST_SKIP() << "runs scripts under other identities: root"; \
    } while (0)

// A counter initialised from the text after the key.
using custom_ptr = std::shared_ptr<vesk_mycustom_counter>;
inline custom_ptr make_custom(const std::string &cfg)
{
    custom_ptr c(new vesk_mycustom_counter{}, [](vesk_mycustom_counter *p) {
        custom_free(p);
        delete p;
    });
    vesk_copy(c->cfg_string, cfg);
    custom_init(c.get());
    return c;
}

// The element names of the array "custom" that `fill` writes, from a document that
// libbson and the strict UTF-8 check accept.
inline std::vector<std::string> custom_names(const std::function<void(bson *)> &fill)
{
    bson b{};
    vesk_bson_init(&b);
    vesk_bson_append_start_array(&b, "custom");
    fill(&b);
    vesk_bson_append_finish_array(&b);
    std::vector<std::string> out;
    if (vesk_bson_finish(&b) != BSON_OK) {
        ADD_FAILURE() << "the document was refused";
        vesk_bson_destroy(&b);
        return out;
    }
    const auto *p = reinterpret_cast<const uint8_t *>(vesk_bson_data(&b));
    size_t len = static_cast<size_t>(vesk_bson_size(&b));
    bson_t doc;
    bson_iter_t it, arr;
    EXPECT_EQ(bson_check::validate(p, len), "");
    if (bson_init_static(&doc, p, len) && bson_iter_init_find(&it, &doc, "custom") && bson_iter_recurse(&it, &arr))
        while (bson_iter_next(&arr)) out.emplace_back(bson_iter_key(&arr));
    vesk_bson_destroy(&b);
    return out;
}
