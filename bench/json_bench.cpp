// The JSON reader on captured Engine answers: a large inspection answer (43 kB) and
// statistics objects (2 kB, and 11 kB from a 256-CPU host), each parsed in place
// from a fresh copy and read by the paths the agent uses. Beside each, the floor:
// the same copy and a memchr scan that stops at every '"' of the text, which any
// reader has to find. Target: within 5x that floor. The lowest floor, the copy and
// one memchr through the whole text, is shown too.
#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "nxjson.hpp"
#include "vesk_json.hpp"

namespace {

std::string load(const char *name)
{
    std::ifstream f(std::string(VESK_FIXTURES) + "/json/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

void floor_scan(benchmark::State &state, const char *file)
{
    std::string text = load(file);
    std::vector<char> buf(text.size() + 1);
    for (auto _ : state) {
        memcpy(buf.data(), text.data(), text.size() + 1);
        size_t quotes = 0;
        const char *p = buf.data(), *end = buf.data() + text.size();
        while ((p = static_cast<const char *>(memchr(p, '"', static_cast<size_t>(end - p))))) {
            quotes++;
            p++;
        }
        benchmark::DoNotOptimize(quotes);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void floor_copy_scan(benchmark::State &state, const char *file)
{
    std::string text = load(file);
    std::vector<char> buf(text.size() + 1);
    for (auto _ : state) {
        memcpy(buf.data(), text.data(), text.size() + 1);
        benchmark::DoNotOptimize(memchr(buf.data(), '\x01', text.size()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void parse(benchmark::State &state, const char *file, bool stats)
{
    std::string text = load(file);
    std::vector<char> buf(text.size() + 1);
    for (auto _ : state) {
        memcpy(buf.data(), text.data(), text.size() + 1);
        const nx_json *js = nx_json_parse(buf.data(), nullptr);
        if (stats) {
            benchmark::DoNotOptimize(json_get_long_by_path(js, "cpu_stats.cpu_usage.total_usage"));
            benchmark::DoNotOptimize(json_get_long_by_path(js, "precpu_stats.online_cpus"));
        } else {
            char ip[16];
            benchmark::DoNotOptimize(json_get_bool_by_path(js, "State.Running"));
            benchmark::DoNotOptimize(json_get_str_by_path(js, "NetworkSettings.IPAddress", ip, sizeof ip));
        }
        nx_json_free(js);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

} // namespace

BENCHMARK_CAPTURE(floor_copy_scan, inspect_43k, "docker-inspect-large.json");
BENCHMARK_CAPTURE(floor_scan, inspect_43k, "docker-inspect-large.json");
BENCHMARK_CAPTURE(parse, inspect_43k, "docker-inspect-large.json", false);
BENCHMARK_CAPTURE(floor_copy_scan, stats_2k, "docker-stats.json");
BENCHMARK_CAPTURE(floor_scan, stats_2k, "docker-stats.json");
BENCHMARK_CAPTURE(parse, stats_2k, "docker-stats.json", true);
BENCHMARK_CAPTURE(floor_copy_scan, stats_11k, "docker-stats-large.json");
BENCHMARK_CAPTURE(floor_scan, stats_11k, "docker-stats-large.json");
BENCHMARK_CAPTURE(parse, stats_11k, "docker-stats-large.json", true);

BENCHMARK_MAIN();
