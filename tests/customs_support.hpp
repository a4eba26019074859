// Helpers of the custom-script tests: counters built from configuration texts,
// report documents decoded with libbson, process checks.
#pragma once

#include <bson/bson.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bson.hpp"
#include "test_support.hpp"
#include "tools/bson_check.hpp"
#include "vesk_custom.hpp"
#include "vesk_multicustom.hpp"

#define REQUIRE_ROOT()                                                                   \
    do {                                                                                 \
        if (geteuid() != 0) GTEST_SKIP() << "runs scripts under other identities: root"; \
    } while (0)

struct custom_deleter {
    void operator()(vesk_mycustom_counter *c) const
    {
        custom_free(c);
        delete c;
    }
};
using custom_ptr = std::unique_ptr<vesk_mycustom_counter, custom_deleter>;

// A custom counter initialised from the text after the key.
inline custom_ptr make_custom(const std::string &cfg)
{
    custom_ptr c(new vesk_mycustom_counter{});
    vesk_copy(c->cfg_string, cfg);
    custom_init(c.get());
    return c;
}

inline std::unique_ptr<vesk_mymulticustom_counter> make_multicustom(const std::string &cfg)
{
    auto c = std::make_unique<vesk_mymulticustom_counter>();
    vesk_copy(c->cfg_string, cfg);
    multicustom_init(c.get());
    return c;
}

// A finished document with the array "custom", filled by `fill`.
inline std::vector<uint8_t> custom_document(const std::function<void(bson *)> &fill)
{
    bson b{};
    vesk_bson_init(&b);
    vesk_bson_append_start_array(&b, "custom");
    fill(&b);
    vesk_bson_append_finish_array(&b);
    std::vector<uint8_t> out;
    if (vesk_bson_finish(&b) == BSON_OK) {
        const auto *p = reinterpret_cast<const uint8_t *>(vesk_bson_data(&b));
        out.assign(p, p + vesk_bson_size(&b));
    }
    vesk_bson_destroy(&b);
    return out;
}

// The elements of "custom" as libbson sees them: name and canonical extended JSON.
inline std::vector<std::pair<std::string, std::string>> custom_elements(const std::vector<uint8_t> &doc)
{
    std::vector<std::pair<std::string, std::string>> out;
    EXPECT_EQ(bson_check::validate(doc.data(), doc.size()), "");
    bson_t b;
    if (doc.empty() || !bson_init_static(&b, doc.data(), doc.size())) return out;
    bson_iter_t it, arr;
    if (!bson_iter_init_find(&it, &b, "custom") || !BSON_ITER_HOLDS_ARRAY(&it) || !bson_iter_recurse(&it, &arr))
        return out;
    while (bson_iter_next(&arr)) {
        uint32_t len = 0;
        const uint8_t *data = nullptr;
        EXPECT_TRUE(BSON_ITER_HOLDS_DOCUMENT(&arr));
        bson_iter_document(&arr, &len, &data);
        bson_t sub;
        if (!bson_init_static(&sub, data, len)) continue;
        char *json = bson_as_canonical_extended_json(&sub, nullptr);
        out.emplace_back(bson_iter_key(&arr), json);
        bson_free(json);
    }
    return out;
}

// True while the process exists and is not a zombie.
inline bool process_alive(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(f, stat)) return false;
    size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z' && stat[close + 2] != 'X';
}

// Waits up to two seconds for the process to be gone.
inline bool process_gone(pid_t pid)
{
    for (int i = 0; i < 200; i++) {
        if (!process_alive(pid)) return true;
        usleep(10000);
    }
    return false;
}

inline std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}
