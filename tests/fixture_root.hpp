// Test helper of the os, mem and cpu counters: a private copy of a fixture procfs
// tree that a test advances between cycles.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include "counter_support.hpp"
#include "hostevents/hostevents.h"

class fixture_root {
public:
    // Copies VESK_FIXTURES/<scenario>/proc and points the procfs root (of the agent
    // and of the host-events module) at the copy.
    explicit fixture_root(const std::string &scenario) : src_(std::filesystem::path(VESK_FIXTURES) / scenario)
    {
        std::filesystem::copy(src_ / "proc", proc(), std::filesystem::copy_options::recursive);
        init_config();
        vesk_copy(config.procFsPath, proc().string());
        init_go_module(&config);
    }
    ~fixture_root() { init_config(); }

    std::filesystem::path proc() const { return tmp_.path() / "proc"; }
    // Copies the files of VESK_FIXTURES/<scenario>/<step>/proc over the tree.
    void advance(const std::string &step)
    {
        std::filesystem::copy(src_ / step / "proc", proc(),
                              std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
    }
    void write(const std::string &rel, const std::string &text) { tmp_.write("proc/" + rel, text); }
    void remove(const std::string &rel) { std::filesystem::remove(proc() / rel); }
    std::string read(const std::string &rel) const
    {
        std::ifstream in(proc() / rel);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    temp_dir tmp_;
    std::filesystem::path src_;
};
