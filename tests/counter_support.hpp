// Helpers of the system counter tests: a counter driven through its operations on
// fixture roots, and its report part decoded by libbson into a flat text.
#pragma once

#include <bson/bson.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bson.hpp"
#include "mycustom.hpp"
#include "vesk_config.hpp"
#include "vesk_core.hpp"
#include "test_support.hpp"
#include "tools/bson_check.hpp"

namespace test_support {

// Every element as key:type=value; embedded documents as key:{...}.
inline void describe(bson_iter_t *it, std::string &out)
{
    char num[64];
    while (bson_iter_next(it)) {
        out += bson_iter_key(it);
        switch (bson_iter_type(it)) {
        case BSON_TYPE_INT32:
            out += ":i32=" + std::to_string(bson_iter_int32(it));
            break;
        case BSON_TYPE_INT64:
            out += ":i64=" + std::to_string(bson_iter_int64(it));
            break;
        case BSON_TYPE_DOUBLE:
            snprintf(num, sizeof num, ":dbl=%.17g", bson_iter_double(it));
            out += num;
            break;
        case BSON_TYPE_UTF8:
            out += ":str=";
            out += bson_iter_utf8(it, nullptr);
            break;
        case BSON_TYPE_DOCUMENT: {
            bson_iter_t child;
            out += ":{";
            if (bson_iter_recurse(it, &child)) describe(&child, out);
            out += "}";
            break;
        }
        default:
            out += ":type" + std::to_string(static_cast<int>(bson_iter_type(it)));
        }
        out += ";";
    }
}

// A double as describe() prints it.
inline std::string dbl(double d)
{
    char num[64];
    snprintf(num, sizeof num, "%.17g", d);
    return num;
}

// One system counter in a slot of its own, initialised at construction and freed at
// destruction, run with the operations setCoreCounters installs.
class core_counter {
public:
    explicit core_counter(int index) : c_(std::make_unique<vesk_mycustom_counter>())
    {
        *c_ = {};
        mycustom_set(c_.get(), nullptr, core_counter_ops(index));
        init_result = c_->init(c_.get());
    }
    ~core_counter() { c_->free(c_.get()); }
    core_counter(const core_counter &) = delete;
    core_counter &operator=(const core_counter &) = delete;

    vesk_mycustom_counter *get() { return c_.get(); }
    int update() { return c_->update(c_.get()); }
    void delta(uint32_t interval, uint64_t iteration)
    {
        if (c_->delta) c_->delta(c_.get(), interval, iteration);
    }
    // The counter's part of a report, as libbson reads it back.
    std::string report()
    {
        std::string out;
        decoded([&](const bson_t *doc) {
            bson_iter_t it;
            if (bson_iter_init(&it, doc)) describe(&it, out);
        });
        return out;
    }
    // The keys of one object of the counter's part, in order.
    std::vector<std::string> keys(const char *object)
    {
        std::vector<std::string> out;
        decoded([&](const bson_t *doc) {
            bson_iter_t it, child;
            if (!bson_iter_init_find(&it, doc, object) || !bson_iter_recurse(&it, &child)) {
                ADD_FAILURE() << "no object " << object;
                return;
            }
            while (bson_iter_next(&child)) out.push_back(bson_iter_key(&child));
        });
        return out;
    }
    // What the dump prints.
    std::string dump()
    {
        testing::internal::CaptureStdout();
        c_->dump(c_.get());
        return testing::internal::GetCapturedStdout();
    }
    int init_result = 0;

private:
    // Builds the counter's part into a fresh document and hands it to `use` as libbson reads it.
    template <typename Use>
    void decoded(Use use)
    {
        bson b;
        vesk_bson_init(&b);
        c_->tobson(c_.get(), &b);
        EXPECT_EQ(vesk_bson_finish(&b), BSON_OK);
        const auto *bytes = reinterpret_cast<const uint8_t *>(vesk_bson_data(&b));
        const auto size = static_cast<size_t>(vesk_bson_size(&b));
        // Names and texts from outside must reach the report as valid UTF-8.
        std::string invalid = bson_check::validate(bytes, size);
        bson_t doc;
        if (invalid.empty() && bson_init_static(&doc, bytes, size))
            use(&doc);
        else
            ADD_FAILURE() << "libbson refused the document: " << invalid;
        vesk_bson_destroy(&b);
    }

    std::unique_ptr<vesk_mycustom_counter> c_;
};

// Fixture roots for one test, reached through a short link in a private temporary
// directory (the roots hold 64 characters); the settings go back to their defaults
// afterwards.
class CounterTest : public testing::Test {
protected:
    void SetUp() override
    {
        init_config();
        std::filesystem::create_directory_symlink(std::string(VESK_FIXTURES) + "/devices", tmp_.path() / "f");
    }
    void TearDown() override { init_config(); }
    // A fixture directory, or a file of the temporary directory.
    std::string fixture(const std::string &rel) const { return scratch("f/" + rel); }
    std::string scratch(const std::string &rel) const { return (tmp_.path() / rel).string(); }
    static void proc_root(const std::string &path)
    {
        ASSERT_LT(path.size(), sizeof config.procFsPath);
        vesk_copy(config.procFsPath, path);
    }
    static void sys_root(const std::string &path)
    {
        ASSERT_LT(path.size(), sizeof config.sysFsPath);
        vesk_copy(config.sysFsPath, path);
    }
    void write_file(const std::string &rel, const std::string &text) const { tmp_.write(rel, text); }

    temp_dir tmp_;
};

// The standard output of a command.
inline std::string run(const std::string &cmd)
{
    std::string out;
    if (FILE *p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    return out;
}

} // namespace test_support
