// One update, delta and report of the Memcached, Redis and Beanstalkd counters against
// local servers that the benchmark starts on free loopback ports. Beside each, the
// floor: the same request sent and its reply read to its end with plain socket calls.
// The growth benchmark runs 10,000 cycles of the three and reports the descriptors and
// resident memory gained.
#include <benchmark/benchmark.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench_support.hpp"
#include "bench_net.hpp"
#include "bson.hpp"
#include "mycustom.hpp"
#include "vesk_beanstalk.hpp"
#include "vesk_config.hpp"
#include "vesk_memcache.hpp"
#include "vesk_redis.hpp"

namespace {

constexpr uint32_t kSpanMs = 15000;

int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    close(fd);
    return ntohs(sa.sin_port);
}

// A server started for the benchmark and stopped at exit.
struct server {
    pid_t pid = -1;
    int port = 0;
    server(std::vector<std::string> argv, int p) : port(p)
    {
        pid = fork();
        if (pid == 0) {
            freopen("/dev/null", "w", stdout);
            std::vector<char *> args;
            for (std::string &a : argv) args.push_back(a.data());
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        for (int i = 0; i < 100; i++) {
            int fd = connect_to(port);
            if (fd >= 0) {
                close(fd);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~server()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

struct servers {
    int mc_port = free_port(), rd_port = free_port(), bs_port = free_port();
    server mc{{"memcached", "-u", "root", "-l", "127.0.0.1", "-p", std::to_string(mc_port), "-U", "0", "-t", "1"}, mc_port};
    server rd{{"redis-server", "--port", std::to_string(rd_port), "--bind", "127.0.0.1", "--save", "", "--appendonly",
               "no", "--dir", "/tmp"},
              rd_port};
    server bs{{"beanstalkd", "-l", "127.0.0.1", "-p", std::to_string(bs_port)}, bs_port};
};

servers &local()
{
    static servers s;
    return s;
}

// A counter initialised once, as the parent does.
struct bench_counter {
    vesk_mycustom_counter c{};
    uint64_t iteration = 0;
    bench_counter(const mycustom_ops &ops, const std::string &cfg)
    {
        init_config();
        mycustom_set(&c, cfg.c_str(), ops);
        c.init(&c);
    }
    ~bench_counter() { c.free(&c); }
    // update, delta and the report part; the update's result
    int cycle()
    {
        int ok = c.update(&c);
        c.delta(&c, kSpanMs, iteration);
        iteration = iteration % 1000 + 1;
        bson b;
        vesk_bson_init(&b);
        c.tobson(&c, &b);
        vesk_bson_finish(&b);
        benchmark::DoNotOptimize(vesk_bson_size(&b));
        vesk_bson_destroy(&b);
        return ok;
    }
};

bench_counter &memcache()
{
    static bench_counter c({.init = memcache_init1, .update = memcache_update, .delta = memcache_delta,
                            .tobson = memcache_tobson, .free = memcache_free},
                           "127.0.0.1:" + std::to_string(local().mc_port));
    return c;
}
bench_counter &redis()
{
    static bench_counter c({.init = redis_init, .update = redis_update, .delta = redis_delta, .tobson = redis_tobson,
                            .free = redis_free},
                           "bench mon:@127.0.0.1:" + std::to_string(local().rd_port));
    return c;
}
bench_counter &beanstalk()
{
    static bench_counter c({.init = beanstalk_init1, .update = beanstalk_update, .delta = beanstalk_delta,
                            .tobson = beanstalk_tobson, .free = beanstalk_free},
                           "127.0.0.1:" + std::to_string(local().bs_port));
    return c;
}

// The floor: connect, send, read until the reply is whole, close.
template <typename Complete>
void floor_once(int port, std::string_view request, Complete complete)
{
    static char buf[16384];
    std::string reply;
    int fd = connect_to(port);
    (void)!write(fd, request.data(), request.size());
    ssize_t n;
    while (!complete(reply) && (n = read(fd, buf, sizeof buf)) > 0) reply.append(buf, static_cast<size_t>(n));
    close(fd);
    benchmark::DoNotOptimize(reply.size());
}

size_t sized_end(std::string_view r)
{
    size_t nl = r.find("\r\n");
    if (nl == std::string_view::npos) return SIZE_MAX;
    size_t at = r.find_first_of("0123456789");
    return nl + 2 + strtoull(r.data() + at, nullptr, 10) + 2;
}

void run_cycles(benchmark::State &state, bench_counter &c)
{
    for (auto _ : state)
        if (!c.cycle()) state.SkipWithError("update failed");
}

void BM_memcache_cycle(benchmark::State &state) { run_cycles(state, memcache()); }
void BM_memcache_floor(benchmark::State &state)
{
    for (auto _ : state)
        floor_once(local().mc_port, "stats\r\n", [](std::string_view r) { return r.ends_with("END\r\n"); });
}
void BM_redis_cycle(benchmark::State &state) { run_cycles(state, redis()); }
void BM_redis_floor(benchmark::State &state)
{
    for (auto _ : state)
        floor_once(local().rd_port, "info\r\n", [](std::string_view r) { return r.size() >= sized_end(r); });
}
void BM_beanstalk_cycle(benchmark::State &state) { run_cycles(state, beanstalk()); }
void BM_beanstalk_floor(benchmark::State &state)
{
    for (auto _ : state)
        floor_once(local().bs_port, "stats\r\n", [](std::string_view r) { return r.size() >= sized_end(r); });
}

// 10,000 cycles of the three counters: descriptors and resident memory gained.
void BM_services_growth(benchmark::State &state)
{
    bench_counter *all[] = {&memcache(), &redis(), &beanstalk()};
    for (bench_counter *c : all) c->cycle(); // first allocations out of the way
    for (auto _ : state) {
        int fds = open_fds();
        long rss = resident_kib();
        for (int i = 0; i < 10000; i++)
            for (bench_counter *c : all)
                if (!c->cycle()) state.SkipWithError("update failed");
        state.counters["fd_growth"] = open_fds() - fds;
        state.counters["rss_growth_kb"] = static_cast<double>(resident_kib() - rss);
    }
}

} // namespace

BENCHMARK(BM_memcache_cycle);
BENCHMARK(BM_memcache_floor);
BENCHMARK(BM_redis_cycle);
BENCHMARK(BM_redis_floor);
BENCHMARK(BM_beanstalk_cycle);
BENCHMARK(BM_beanstalk_floor);
BENCHMARK(BM_services_growth)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
