// The cpu counter: load average, CPU count, shares of CPU time, uptime, clock rates.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "vesk_types.hpp"

// The nine CPU states of the aggregate "cpu" line of /proc/stat, in file order.
inline constexpr int CPU_NSTATES = 9;

// One record per buffer. In `data` and `data_prev` the nine states are cumulative
// ticks; in `data_delta` they are whole percentages of the interval and `cputot`
// holds the ticks that elapsed (the disk counter divides by it).
struct vesk_mycustom_data_cpu {
    int ok = 0;
    float lavg = 0;      // one-minute load average
    uint32_t ncpus = 0;  // counted once at init; wider than a byte, since hosts with more than 255 CPUs exist
    uint64_t user = 0;
    uint64_t nice = 0;
    uint64_t system = 0;
    uint64_t idle = 0;
    uint64_t iowait = 0;
    uint64_t irq = 0;
    uint64_t softirq = 0;
    uint64_t steal = 0;
    uint64_t guest = 0;
    uint64_t cputot = 0; // data_delta: sum of the nine tick differences; 0 in data
    uint64_t temp = 0;   // never filled, never reported
    double uptime = 0;   // seconds, from the host-events module
    std::vector<double> freq; // MHz per CPU, ncpus entries, in CPU order
};

// Counter operations; `cnt` is a vesk_mycustom_counter.
int cpu_init(void *cnt);
int cpu_update(void *cnt);
int cpu_delta(void *cnt, uint32_t span_ms, uint64_t iteration);
int cpu_tobson(void *cnt, bson *b);
int cpu_dump(void *cnt);
int cpu_free(void *cnt);

// Pure parsers of the cpu counter's sources.

// The numbers of the first line whose first word is exactly "cpu", in order, up to the
// first that is not a number (at most nine); none when there is no such line.
struct cpu_stat_line {
    uint64_t ticks[CPU_NSTATES] = {};
    int count = 0; // states read; the others keep their previous values
};
std::optional<cpu_stat_line> parse_stat(std::string_view text);

// CPUs listed in /proc/stat: distinct first words that begin "cpu" and are not "cpu".
uint32_t count_stat_cpus(std::string_view text);

// Every "cpu MHz" line of /proc/cpuinfo in file order: its value, or none when it
// does not parse.
std::vector<std::optional<double>> parse_cpuinfo(std::string_view text);

// The first number of /proc/loadavg; 0 when there is none.
float parse_loadavg(std::string_view text);

// The percentages of the interval from two samples of the nine states (into `out`'s
// states and `cputot`). A state that went down counts as 0 ticks.
void cpu_percentages(const vesk_mycustom_data_cpu &cur, const vesk_mycustom_data_cpu &prev,
                     vesk_mycustom_data_cpu &out);
