// Test helper: a private copy of a fixture procfs tree that a test can advance
// between cycles, and a system counter driven through its operations.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "hostevents/hostevents.h"
#include "mycustom.hpp"
#include "vesk_config.hpp"
#include "vesk_core.hpp"

namespace fs = std::filesystem;

class fixture_root {
public:
    // Copies VESK_FIXTURES/<scenario>/proc and points the procfs root at the copy.
    explicit fixture_root(const std::string &scenario) : src_(fs::path(VESK_FIXTURES) / scenario)
    {
        char tmpl[] = "/tmp/vesk-sysa-XXXXXX";
        const char *d = mkdtemp(tmpl);
        if (!d) throw std::runtime_error("mkdtemp failed");
        dir_ = d;
        fs::copy(src_ / "proc", dir_ / "proc", fs::copy_options::recursive);
        init_config();
        vesk_copy(config.procFsPath, proc().string());
        init_go_module(&config);
    }
    ~fixture_root()
    {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    fixture_root(const fixture_root &) = delete;
    fixture_root &operator=(const fixture_root &) = delete;

    fs::path proc() const { return dir_ / "proc"; }
    // Copies the files of VESK_FIXTURES/<scenario>/<step>/proc over the tree.
    void advance(const std::string &step)
    {
        fs::copy(src_ / step / "proc", proc(), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    }
    void write(const std::string &rel, const std::string &text) { std::ofstream(proc() / rel) << text; }
    void remove(const std::string &rel) { fs::remove(proc() / rel); }
    std::string read(const std::string &rel) const
    {
        std::ifstream in(proc() / rel);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    fs::path src_;
    fs::path dir_;
};

// One system counter of the core group, driven the way the report cycle drives it.
struct core_counter {
    vesk_mycustom_counter c{};
    explicit core_counter(int index) { mycustom_set(&c, nullptr, core_counter_ops(index)); }
    ~core_counter()
    {
        if (c.free) c.free(&c);
    }
    int init() { return c.init(&c); }
    int update() { return c.update(&c); }
    void delta(uint64_t iteration, uint32_t interval = 15) { c.delta(&c, interval, iteration); }
    template <typename T>
    T &data() { return *static_cast<T *>(c.data); }
    template <typename T>
    T &delta_data() { return *static_cast<T *>(c.data_delta); }
};
