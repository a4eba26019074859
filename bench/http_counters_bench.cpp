// One update of the Apache, nginx, PHP-FPM and Elasticsearch counters against local
// servers, each beside its floor: the same request bytes sent and the answer read
// with plain socket calls, no parsing. bench/run_http_bench.sh starts the servers
// in a private network namespace and passes their addresses:
//   VESK_BENCH_APACHE, VESK_BENCH_NGINX, VESK_BENCH_FPM, VESK_BENCH_ELASTIC
// (each "port", the Elasticsearch one "port node").
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_net.hpp"
#include "mycustom.hpp"
#include "vesk_apache.hpp"
#include "vesk_config.hpp"
#include "vesk_elastic.hpp"
#include "vesk_fpm.hpp"
#include "vesk_nginx.hpp"

namespace {

const char *setting(const char *name) { return getenv(name); }

// One counter of a kind, initialised from its configuration string.
struct one_counter {
    one_counter(const mycustom_ops &ops, const std::string &cfg)
    {
        init_config();
        c = {};
        mycustom_set(&c, cfg.c_str(), ops);
        fflush(stdout);
        c.init(&c);
    }
    ~one_counter() { c.free(&c); }
    vesk_mycustom_counter c;
};

void run_update(benchmark::State &state, const mycustom_ops &ops, const std::string &cfg)
{
    one_counter one(ops, cfg);
    // A busy php-fpm may answer its status page with a 500 now and then: counted.
    int64_t failed = 0;
    for (auto _ : state)
        if (!one.c.update(&one.c)) failed++;
    state.counters["failed"] = static_cast<double>(failed);
}

// Reads until `whole(bytes)` or the close; the byte count.
template <typename Whole>
size_t read_answer(int fd, Whole whole)
{
    std::string got;
    char buf[16384];
    while (!whole(got)) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got.size();
}

// The least framing that tells an HTTP answer is whole: its length, or the last chunk.
bool http_whole(const std::string &got)
{
    size_t head = got.find("\r\n\r\n");
    if (head == std::string::npos) return false;
    size_t cl = got.find("ontent-length: ");
    if (cl == std::string::npos) cl = got.find("ontent-Length: ");
    if (cl != std::string::npos && cl < head) return got.size() - head - 4 >= strtoul(got.c_str() + cl + 15, nullptr, 10);
    return got.ends_with("0\r\n\r\n");
}

void run_floor(benchmark::State &state, int port, const std::vector<std::string> &requests, bool to_close)
{
    for (auto _ : state) {
        int fd = connect_to(port);
        if (fd < 0) {
            state.SkipWithError("cannot connect");
            break;
        }
        for (const std::string &req : requests) {
            send(fd, req.data(), req.size(), MSG_NOSIGNAL);
            benchmark::DoNotOptimize(
                read_answer(fd, [to_close](const std::string &got) { return !to_close && http_whole(got); }));
        }
        close(fd);
    }
}

void BM_Apache(benchmark::State &state)
{
    if (!setting("VESK_BENCH_APACHE")) return state.SkipWithError("VESK_BENCH_APACHE is not set");
    run_update(state,
               {.init = apache_init, .update = apache_update, .delta = apache_delta, .tobson = apache_tobson,
                .dump = apache_dump, .free = apache_free},
               std::string("b 127.0.0.1:") + setting("VESK_BENCH_APACHE") + "\n");
}
void BM_ApacheFloor(benchmark::State &state)
{
    if (!setting("VESK_BENCH_APACHE")) return state.SkipWithError("VESK_BENCH_APACHE is not set");
    run_floor(state, atoi(setting("VESK_BENCH_APACHE")), {apache_request("", true)}, true);
}

void BM_Nginx(benchmark::State &state)
{
    if (!setting("VESK_BENCH_NGINX")) return state.SkipWithError("VESK_BENCH_NGINX is not set");
    run_update(state,
               {.init = nginx_init, .update = nginx_update, .delta = nginx_delta, .tobson = nginx_tobson,
                .dump = nginx_dump, .free = nginx_free},
               std::string("b 127.0.0.1:") + setting("VESK_BENCH_NGINX") + "/nginx_status localhost\n");
}
void BM_NginxFloor(benchmark::State &state)
{
    if (!setting("VESK_BENCH_NGINX")) return state.SkipWithError("VESK_BENCH_NGINX is not set");
    vesk_mycustom_data_nginx d;
    d.request_uri = "nginx_status";
    d.server = "localhost";
    run_floor(state, atoi(setting("VESK_BENCH_NGINX")), {nginx_request(d)}, false);
}

void BM_Fpm(benchmark::State &state)
{
    if (!setting("VESK_BENCH_FPM")) return state.SkipWithError("VESK_BENCH_FPM is not set");
    run_update(state,
               {.init = fpm_init, .update = fpm_update, .delta = fpm_delta, .tobson = fpm_tobson, .dump = fpm_dump,
                .free = fpm_free},
               std::string("b 127.0.0.1:") + setting("VESK_BENCH_FPM") + " /status\n");
}
void BM_FpmFloor(benchmark::State &state)
{
    if (!setting("VESK_BENCH_FPM")) return state.SkipWithError("VESK_BENCH_FPM is not set");
    run_floor(state, atoi(setting("VESK_BENCH_FPM")), {fpm_request("/status")}, true);
}

void BM_Elastic(benchmark::State &state)
{
    if (!setting("VESK_BENCH_ELASTIC")) return state.SkipWithError("VESK_BENCH_ELASTIC is not set");
    std::string where = setting("VESK_BENCH_ELASTIC");
    run_update(state,
               {.init = elastic_init, .reinit = elastic_reinit, .update = elastic_update, .delta = elastic_delta,
                .tobson = elastic_tobson, .dump = elastic_dump, .free = elastic_free},
               "b 127.0.0.1:" + where + "\n");
}
void BM_ElasticFloor(benchmark::State &state)
{
    if (!setting("VESK_BENCH_ELASTIC")) return state.SkipWithError("VESK_BENCH_ELASTIC is not set");
    std::string where = setting("VESK_BENCH_ELASTIC");
    std::string node = where.substr(where.find(' ') + 1);
    run_floor(state, atoi(where.c_str()),
              {vesk_elastic_construct_api_request("/_nodes/" + node + "/stats/thread_pool"),
               vesk_elastic_construct_api_request("/_cluster/health")},
              false);
}

} // namespace

BENCHMARK(BM_Apache)->UseRealTime();
BENCHMARK(BM_ApacheFloor)->UseRealTime();
BENCHMARK(BM_Nginx)->UseRealTime();
BENCHMARK(BM_NginxFloor)->UseRealTime();
BENCHMARK(BM_Fpm)->UseRealTime();
BENCHMARK(BM_FpmFloor)->UseRealTime();
BENCHMARK(BM_Elastic)->UseRealTime();
BENCHMARK(BM_ElasticFloor)->UseRealTime();
BENCHMARK_MAIN();
