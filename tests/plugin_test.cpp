// The plug-in loader, plug-in counters and their passes, driven in-process with the
// test plug-ins of tests/plugins (found through LD_LIBRARY_PATH). Reports are decoded
// with libbson, and the expected plug-in documents are built with it.
#include <bson/bson.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "bson.hpp"
#include "test_support.hpp"
#include "vesk_config.hpp"
#include "vesk_core.hpp"
#include "vesk_plugin.hpp"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

struct output {
    std::string out, err;
};

template <typename F>
output capture(F f)
{
    CaptureStdout();
    CaptureStderr();
    f();
    output o;
    o.out = GetCapturedStdout();
    o.err = GetCapturedStderr();
    return o;
}

std::vector<ge_plugin_counter *> counters()
{
    std::vector<ge_plugin_counter *> v;
    for (ge_plugin_counter *c = stats.plugin_counters; c; c = c->next) v.push_back(c);
    return v;
}

int loaded_count()
{
    int n = 0;
    for (ge_plugin_ref *p = loaded_plugins; p; p = p->next) n++;
    return n;
}

using bytes = std::vector<uint8_t>;

// The "mycustoms" array as report assembly writes it, filled by plugin_to_bson.
bytes build_report()
{
    bson b{};
    vesk_bson_init(&b);
    vesk_bson_append_start_array(&b, "mycustoms");
    for (ge_plugin_counter *c : counters()) plugin_to_bson(c, &b);
    vesk_bson_append_finish_array(&b);
    EXPECT_EQ(vesk_bson_finish(&b), BSON_OK);
    bytes out(vesk_bson_data(&b), vesk_bson_data(&b) + vesk_bson_size(&b));
    vesk_bson_destroy(&b);
    return out;
}

// Key and raw bytes of each element of "mycustoms", as libbson reads them.
std::vector<std::pair<std::string, bytes>> mycustoms(const bytes &doc)
{
    std::vector<std::pair<std::string, bytes>> v;
    bson_t b;
    EXPECT_TRUE(bson_init_static(&b, doc.data(), doc.size()));
    size_t bad = 0;
    EXPECT_TRUE(bson_validate(&b, BSON_VALIDATE_UTF8, &bad)) << "invalid at " << bad;
    bson_iter_t it, child;
    if (!bson_iter_init_find(&it, &b, "mycustoms") || !BSON_ITER_HOLDS_ARRAY(&it) || !bson_iter_recurse(&it, &child)) {
        ADD_FAILURE() << "no mycustoms array";
        return v;
    }
    while (bson_iter_next(&child)) {
        EXPECT_TRUE(BSON_ITER_HOLDS_DOCUMENT(&child));
        uint32_t len = 0;
        const uint8_t *data = nullptr;
        bson_iter_document(&child, &len, &data);
        v.emplace_back(bson_iter_key(&child), bytes(data, data + len));
    }
    return v;
}

// The document the test plug-in should hand back, encoded by libbson.
bytes expected_document(int handle, const std::string &line, int updates)
{
    bson_t *e = bson_new();
    BSON_APPEND_INT32(e, "handle", handle);
    BSON_APPEND_UTF8(e, "line", line.c_str());
    BSON_APPEND_INT32(e, "updates", updates);
    bytes out(bson_get_data(e), bson_get_data(e) + e->len);
    bson_destroy(e);
    return out;
}

class Plugins : public testing::Test {
protected:
    temp_dir dir;
    std::string call_log = (dir.path() / "calls.log").string();

    void SetUp() override
    {
        reset_agent_state();
        config.log_level = LOG_LEVEL_INFO;
        setenv("VTEST_LOG", call_log.c_str(), 1);
    }

    void TearDown() override
    {
        for (const char *v : {"VTEST_NAME", "VTEST_PREFIX", "VTEST_NULL_ERROR", "VTEST_FAIL_UNLOAD"}) unsetenv(v);
        capture([] {
            freeCounters();
            ge_plugin_unload_all();
        });
        EXPECT_EQ(loaded_plugins, nullptr);
        EXPECT_EQ(stats.plugin_counters, nullptr);
        unsetenv("VTEST_LOG");
    }

    // The calls the test plug-ins logged since the test began.
    std::string calls()
    {
        std::ifstream f(call_log);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }

    int add(const char *name, const char *line) { return plugin_set(&stats, name, line, config.log_level); }
};

TEST_F(Plugins, TwoLinesLoadTheLibraryOnceAndGiveTwoCounters)
{
    output o = capture([&] {
        EXPECT_EQ(add("vtest", "vtest id=first"), 1);
        EXPECT_EQ(add("vtest", "vtest id=second\n"), 1);
    });
    ASSERT_EQ(loaded_count(), 1);
    EXPECT_STREQ(loaded_plugins->prefix, "vtest");
    EXPECT_STREQ(loaded_plugins->name, "Test Plugin vtest");
    auto c = counters();
    ASSERT_EQ(c.size(), 2u);
    EXPECT_NE(c[0]->handle, c[1]->handle);
    EXPECT_EQ(c[0]->plugin, c[1]->plugin);
    EXPECT_STREQ(c[0]->report_id, "first");
    EXPECT_STREQ(c[1]->report_id, "second");
    EXPECT_STREQ(c[1]->cfg_string, "vtest id=second\n");

    const std::string info = "\33[0;32m[info] ";
    EXPECT_EQ(o.err, info + "loading library 'libvesk-plugin-vtest.so'\33[0;0m\n" + info +
                         "initialized plugin 'vtest' instance with handle " + std::to_string(c[0]->handle) +
                         "\33[0;0m\n" + info + "initialized plugin 'vtest' instance with handle " +
                         std::to_string(c[1]->handle) + "\33[0;0m\n" + info + "appending Test Plugin vtest#" +
                         std::to_string(c[1]->handle) + " after Test Plugin vtest#" +
                         std::to_string(c[0]->handle) + "\33[0;0m\n");
    EXPECT_EQ(o.out, "");
}

// Lines that create no counter, and what each says.
TEST_F(Plugins, RefusedLinesCreateNoCounter)
{
    struct row {
        const char *name, *line;
        std::string out, err;
        int loaded; // plug-ins in the list afterwards
    };
    const std::string long_name(32, 'n');
    const row rows[] = {
        {"vnojson", "vnojson", "[error] plugin 'libvesk-plugin-vnojson.so' doesn't have a 'ge_json' symbol\n", "", 0},
        {"vprefix", "vprefix", "",
         "\33[0;31m[error] plugin real prefix 'other' mismatches expected 'vprefix'\n\33[0;0m\n", 0},
        {"vmissing", "vmissing", "",
         "\33[0;31m[error] dlopen error: libvesk-plugin-vmissing.so: cannot open shared object file: No such file or "
         "directory\n\33[0;0m\n",
         0},
        {long_name.c_str(), "x", "",
         "\33[0;31m[error] plugin name '" + long_name + "' is too long (at most 31 characters)\33[0;0m\n", 0},
        {"../vtest", "x", "", "\33[0;31m[error] plugin name '../vtest' must not contain '/'\33[0;0m\n", 0},
        // The plug-in refuses the line but stays loaded.
        {"vtest", "vtest refuse", "",
         "\33[0;31m[error] cannot initialize vtest plugin counter: line refused (log level 2)\33[0;0m\n", 1},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        config.log_level = LOG_LEVEL_ERROR;
        output o = capture([&] { EXPECT_EQ(plugin_set(&stats, r.name, r.line, config.log_level), 0); });
        EXPECT_EQ(o.out, r.out);
        EXPECT_EQ(o.err, r.err);
        EXPECT_EQ(stats.plugin_counters, nullptr);
        EXPECT_EQ(loaded_count(), r.loaded);
    }
}

// Texts from the plug-in are bounded, terminated and valid UTF-8; null ones read as empty.
TEST_F(Plugins, PluginTextsAreBoundedAndSafe)
{
    {
        // 30 ASCII bytes then a 2-byte character that would straddle the 31-byte limit.
        setenv("VTEST_NAME", (std::string(30, 'a') + "\xC3\xA9" + "tail").c_str(), 1);
        capture([&] { EXPECT_EQ(add("vtest", "vtest id=\xFF\xFEok"), 1); });
        ASSERT_EQ(counters().size(), 1u);
        EXPECT_STREQ(loaded_plugins->name, std::string(30, 'a').c_str());
        EXPECT_STREQ(counters()[0]->report_id, "\xEF\xBF\xBD\xEF\xBF\xBDok");
        // A report key that is not UTF-8 would make the whole report unfinishable.
        auto m = mycustoms(build_report());
        ASSERT_EQ(m.size(), 1u);
        EXPECT_EQ(m[0].first, "\xEF\xBF\xBD\xEF\xBF\xBDok");
    }
    {
        capture([&] { EXPECT_EQ(add("vtest", "vtest idfill"), 1); });
        ASSERT_EQ(counters().size(), 2u);
        EXPECT_EQ(std::string(counters()[1]->report_id), std::string(255, 'x'));
    }
    capture([] {
        freeCounters();
        ge_plugin_unload_all();
    });
    {
        setenv("VTEST_NAME", "(null)", 1);
        setenv("VTEST_NULL_ERROR", "1", 1);
        output o = capture([&] {
            ASSERT_EQ(add("vtest", "vtest fail=init"), 1);
            initCounters(0);
        });
        EXPECT_STREQ(loaded_plugins->name, "");
        EXPECT_PRED2(contains, o.err, "\33[0;31m[error] cannot init plugin : \33[0;0m\n");
    }
    capture([] {
        freeCounters();
        ge_plugin_unload_all();
    });
    {
        setenv("VTEST_PREFIX", "(null)", 1);
        output o = capture([&] { EXPECT_EQ(add("vtest", "vtest"), 0); });
        EXPECT_PRED2(contains, o.err, "[error] plugin real prefix '' mismatches expected 'vtest'\n");
        EXPECT_EQ(loaded_count(), 0);
    }
}

// Every pass prints its line with the prefix and handle, reports a failure with the
// plug-in's name and error, and goes on with the next counter; delta gets the
// whole seconds between the counter's own two updates and the cycle number.
TEST_F(Plugins, PassesDriveEveryCounterAndReportFailures)
{
    capture([&] {
        ASSERT_EQ(add("vtest", "vtest fail=init fail=reinit fail=update fail=delta fail=free"), 1);
        ASSERT_EQ(add("vtest", "vtest"), 1);
    });
    auto c = counters();
    ASSERT_EQ(c.size(), 2u);
    const std::string h1 = std::to_string(c[0]->handle), h2 = std::to_string(c[1]->handle);
    config.interval = 45;

    struct row {
        const char *pass, *line, *error;
        void (*run)();
    };
    const row rows[] = {
        {"init", "\ninitializing vtest #", "cannot init plugin", [] { initCounters(0); }},
        {"reinit", "\nre-initializing vtest #", "cannot re-init plugin", [] { reinitCounters(0); }},
        {"update", "\nupdating vtest #", "cannot update plugin", [] { updateCounters(); }},
        {"delta", "\ndelta-ing vtest #", "cannot get delta for plugin",
         [] {
             for (ge_plugin_counter *pc = stats.plugin_counters; pc; pc = pc->next) pc->sampled.span_ms = 46600;
             deltaCounters(1163962799);
         }},
        {"dump", "\ndumping vtest #", nullptr, [] { dumpCounters(); }},
        {"free", "\nfreeing vtest #", "cannot free plugin", [] { freeCounters(); }},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.pass);
        unlink(call_log.c_str());
        output o = capture(r.run);
        EXPECT_EQ(o.out, std::string(r.line) + h1 + " counter\n" + r.line + h2 + " counter\n");
        std::string error;
        if (r.error)
            error = std::string("\33[0;31m[error] ") + r.error + " Test Plugin vtest: " + r.pass +
                    " failed for handle " + h1 + "\33[0;0m\n";
        EXPECT_EQ(o.err, error);
        EXPECT_PRED2(contains, calls(), std::string("vtest ") + r.pass + " " + h2 + "\n");
        // Plug-ins get their own span, rounded, not the configured interval.
        if (std::string(r.pass) == "delta") {
            EXPECT_PRED2(contains, calls(), "vtest delta-args " + h2 + " 47 1163962799\n");
        }
    }
}

// The documents are embedded byte for byte under their report ids, in list order.
TEST_F(Plugins, DocumentsAreEmbeddedByteForByte)
{
    capture([&] {
        ASSERT_EQ(add("vtest", "vtest id=alpha\n"), 1);
        ASSERT_EQ(add("vtest", "vtest id=beta doc=nosize"), 1);
        updateCounters();
        updateCounters();
    });
    auto c = counters();
    ASSERT_EQ(c.size(), 2u);
    bytes report;
    output o = capture([&] { report = build_report(); });
    EXPECT_EQ(o.err, "");
    auto m = mycustoms(report);
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].first, "alpha");
    EXPECT_EQ(m[0].second, expected_document(c[0]->handle, "vtest id=alpha\n", 2));
    EXPECT_EQ(m[1].first, "beta");
    EXPECT_EQ(m[1].second, expected_document(c[1]->handle, "vtest id=beta doc=nosize", 2));
}

// A document that cannot be embedded as it stands is refused like a failed call,
// and leaves only its own counter out of the report.
TEST_F(Plugins, UnusableDocumentsAreLeftOut)
{
    const char *modes[] = {"null", "short", "oversize", "noterm", "negative", "innerlen", "badutf8", "badtype"};
    for (const char *mode : modes) {
        SCOPED_TRACE(mode);
        std::string line = std::string("vtest id=bad doc=") + mode;
        capture([&] {
            ASSERT_EQ(add("vtest", line.c_str()), 1);
            ASSERT_EQ(add("vtest", "vtest id=good"), 1);
        });
        bytes report;
        output o = capture([&] { report = build_report(); });
        // The plug-in reported no error; its last text may be left from earlier calls.
        EXPECT_EQ(o.err.rfind("\33[0;31m[error] [vtest] unable to bson remote: ", 0), 0u) << o.err;
        EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
        auto m = mycustoms(report);
        ASSERT_EQ(m.size(), 1u);
        EXPECT_EQ(m[0].first, "good");
        capture([] { freeCounters(); });
    }
}

// At the stop every counter is freed before its plug-in is unloaded.
TEST_F(Plugins, FreeComesBeforeUnloadAndEmptiesTheList)
{
    capture([&] {
        ASSERT_EQ(add("vtest", "vtest"), 1);
        ASSERT_EQ(add("vtest", "vtest"), 1);
    });
    ASSERT_EQ(counters().size(), 2u);
    const std::string h1 = std::to_string(counters()[0]->handle), h2 = std::to_string(counters()[1]->handle);
    unlink(call_log.c_str());
    int result = 0;
    output o = capture([&] {
        freeCounters();
        result = ge_plugin_unload_all();
    });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(calls(), "vtest free " + h1 + "\nvtest free " + h2 + "\nvtest unload\n");
    EXPECT_EQ(o.err, "\33[0;32m[info] unloading plugin 'Test Plugin vtest'\33[0;0m\n"
                     "\33[0;32m[info] unloaded plugin 'Test Plugin vtest'\33[0;0m\n");
    EXPECT_EQ(loaded_plugins, nullptr);
    EXPECT_EQ(stats.plugin_counters, nullptr);
}

TEST_F(Plugins, FailedUnloadKeepsThePluginListed)
{
    capture([&] { ASSERT_EQ(add("vtest", "vtest"), 1); });
    setenv("VTEST_FAIL_UNLOAD", "1", 1);
    int result = 1;
    output o = capture([&] {
        freeCounters();
        result = ge_plugin_unload_all();
    });
    EXPECT_EQ(result, 0);
    EXPECT_PRED2(contains, o.err, "\33[0;31m[error] cannot unload plugin 'Test Plugin vtest': unload failed\33[0;0m\n");
    EXPECT_EQ(loaded_count(), 1);
}

TEST_F(Plugins, ListOperations)
{
    capture([&] { ASSERT_EQ(add("vtest", "vtest"), 1); });
    ge_plugin_ref *p = ge_plugin_find("vtest");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(ge_plugin_find_or_load("vtest"), p);
    EXPECT_EQ(ge_plugin_find("Test Plugin vtest"), nullptr);
    // A counter still points at it: taking it out would leave the counter dangling.
    EXPECT_EQ(ge_plugin_unload("vtest"), 0);
    EXPECT_EQ(loaded_count(), 1);
    capture([] { freeCounters(); });
    unlink(call_log.c_str());
    EXPECT_EQ(ge_plugin_unload("vtest"), 1);
    EXPECT_EQ(ge_plugin_unload("vtest"), 0);
    EXPECT_EQ(loaded_plugins, nullptr);
    EXPECT_EQ(calls(), "") << "neither ge_unload nor anything else is called";
}

} // namespace
