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
#include "encoding.hpp"
#include "hostevents/hostevents.h"
#include "mycustom.hpp"
#include "test_support.hpp"
#include "tools/bson_check.hpp"
#include "vesk_config.hpp"
#include "vesk_core.hpp"

namespace test_support {

// A double as describe() prints it.
inline std::string dbl(double d)
{
    char num[64];
    snprintf(num, sizeof num, "%.17g", d);
    return num;
}

// Every element as key:type=value; embedded documents as key:{...}.
inline void describe(bson_iter_t *it, std::string &out)
{
    while (bson_iter_next(it)) {
        bson_iter_t child;
        out += bson_iter_key(it);
        switch (bson_iter_type(it)) {
        case BSON_TYPE_INT32: out += ":i32=" + std::to_string(bson_iter_int32(it)); break;
        case BSON_TYPE_INT64: out += ":i64=" + std::to_string(bson_iter_int64(it)); break;
        case BSON_TYPE_DOUBLE: out += ":dbl=" + dbl(bson_iter_double(it)); break;
        case BSON_TYPE_UTF8: out += ":str=" + std::string(bson_iter_utf8(it, nullptr)); break;
        case BSON_TYPE_DOCUMENT:
            out += ":{";
            if (bson_iter_recurse(it, &child)) describe(&child, out);
            out += "}";
            break;
        default: out += ":type" + std::to_string(static_cast<int>(bson_iter_type(it)));
        }
        out += ";";
    }
}

// One counter in a slot of its own, initialised at construction and freed at
// destruction: a system counter with the operations setCoreCounters installs, or any
// other kind from its operations and configuration string.
class core_counter {
public:
    explicit core_counter(int index) : core_counter(core_counter_ops(index), nullptr) {}
    core_counter(const mycustom_ops &ops, const char *cfg) : c_(std::make_unique<vesk_mycustom_counter>())
    {
        *c_ = {};
        mycustom_set(c_.get(), cfg, ops);
        init_result = c_->init(c_.get());
    }
    ~core_counter() { c_->free(c_.get()); }
    core_counter(const core_counter &) = delete;

    template <typename T> T &data() { return *static_cast<T *>(c_->data); }
    template <typename T> T &reported() { return *static_cast<T *>(c_->data_delta); }
    int update() { return c_->update(c_.get()); }
    int delta(uint64_t iteration, uint32_t span_ms = 15000) { return c_->delta(c_.get(), span_ms, iteration); }
    // One report cycle whose samples are `span_ms` apart; the update's result.
    int cycle(uint64_t iteration, uint32_t span_ms = 15000)
    {
        int r = update();
        if (c_->delta) c_->delta(c_.get(), span_ms, iteration);
        return r;
    }
    // The counter's part of a report, as libbson reads it back, all described or
    // as the keys of one of its objects.
    std::string report() { return decoded(nullptr); }
    std::vector<std::string> keys(const char *object)
    {
        std::vector<std::string> out;
        decoded(object, &out);
        return out;
    }
    std::string dump()
    {
        testing::internal::CaptureStdout();
        c_->dump(c_.get());
        return testing::internal::GetCapturedStdout();
    }
    int init_result = 0;

private:
    std::string decoded(const char *object, std::vector<std::string> *keys = nullptr)
    {
        std::string out;
        bson b;
        vesk_bson_init(&b);
        c_->tobson(c_.get(), &b);
        EXPECT_EQ(vesk_bson_finish(&b), BSON_OK);
        const auto *bytes = reinterpret_cast<const uint8_t *>(vesk_bson_data(&b));
        const auto size = static_cast<size_t>(vesk_bson_size(&b));
        // Names and texts from outside must reach the report as valid UTF-8.
        std::string invalid = bson_check::validate(bytes, size);
        bson_t doc;
        bson_iter_t it, child;
        if (!invalid.empty() || !bson_init_static(&doc, bytes, size))
            ADD_FAILURE() << "libbson refused the document: " << invalid;
        else if (!object && bson_iter_init(&it, &doc))
            describe(&it, out);
        else if (object && bson_iter_init_find(&it, &doc, object) && bson_iter_recurse(&it, &child))
            while (bson_iter_next(&child)) keys->push_back(bson_iter_key(&child));
        else
            ADD_FAILURE() << "no object " << object;
        vesk_bson_destroy(&b);
        return out;
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
        std::filesystem::create_directory_symlink(VESK_FIXTURES, tmp_.path() / "f");
    }
    void TearDown() override { init_config(); }
    // A fixture directory, or a file of the temporary directory.
    std::string fixture(const std::string &rel) const { return scratch("f/" + rel); }
    std::string scratch(const std::string &rel) const { return (tmp_.path() / rel).string(); }
    static void proc_root(const std::string &p) { ASSERT_LT(p.size(), sizeof config.procFsPath); vesk_copy(config.procFsPath, p); }
    static void sys_root(const std::string &p) { ASSERT_LT(p.size(), sizeof config.sysFsPath); vesk_copy(config.sysFsPath, p); }
    void write_file(const std::string &rel, const std::string &text) const { tmp_.write(rel, text); }
    // A writable copy of a captured host's /proc as the procfs root of the agent and
    // of the host-events module; advance() copies the host's next sample over it.
    void host_root()
    {
        std::filesystem::copy(fixture("sysa-basic/proc"), scratch("proc"), std::filesystem::copy_options::recursive);
        proc_root(scratch("proc"));
        init_go_module(&config);
    }
    void advance()
    {
        std::filesystem::copy(fixture("sysa-basic/cycle2/proc"), scratch("proc"),
                              std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
    }
    // Moves a file of the copy away, or back.
    void hide(const std::string &rel, bool back = false) const
    {
        const std::filesystem::path at = scratch("proc/" + rel), away = scratch("hidden/" + rel);
        std::filesystem::create_directories((back ? at : away).parent_path());
        std::filesystem::rename(back ? away : at, back ? at : away);
    }

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
