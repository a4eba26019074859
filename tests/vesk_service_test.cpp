// The conventions every service counter shares.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <csignal>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "canned_server.hpp"
#include "counter_support.hpp"
#include "encoding.hpp"
#include "vesk_clock.hpp"
#include "vesk_devlist.hpp"
#include "vesk_docker_core.hpp"
#include "vesk_elastic.hpp"
#include "vesk_fpm.hpp"
#include "vesk_memcache.hpp"
#include "vesk_mysql.hpp"
#include "vesk_nginx.hpp"
#include "vesk_redis.hpp"
#include "vesk_service.hpp"

using namespace std::chrono_literals;

TEST(ServiceConf, WordsHostsAndEndpoints)
{
    struct {
        const char *cfg;
        bool credentials;
        std::vector<std::string> words;
        bool empty_password;
    } cases[] = {
        {"db1 monitor:secret@10.0.0.5:3306", true, {"db1", "monitor", "secret", "10.0.0.5", "3306"}, false},
        {"db1 monitor:@10.0.0.5:3306", true, {"db1", "monitor", "10.0.0.5", "3306"}, true},
        // A password may hold a ':' that is then a blank too; only ":@" marks it empty.
        {"r1 u:p:q@[cache]:6379", true, {"r1", "u", "p", "q", "[cache]", "6379"}, false},
        {"c1 u:x@@h:1", true, {"c1", "u", "x", "h", "1"}, false},
        {"127.0.0.1:11211", false, {"127.0.0.1", "11211"}, false},
        {"local:/run/memcached.sock", false, {"local", "/run/memcached.sock"}, false},
        {"a@b:c", false, {"a@b", "c"}, false},
        {"", true, {}, false},
    };
    for (const auto &c : cases) {
        std::string text = c.cfg;
        service_words w = service_parse_words(text.data(), c.credentials);
        EXPECT_EQ(w.words, c.words) << c.cfg;
        EXPECT_EQ(w.empty_password, c.empty_password) << c.cfg;
    }
    std::string longword(300, 'x');
    EXPECT_EQ(service_parse_words(longword.data()).words.at(0).size(), SERVICE_WORD_MAX);

    EXPECT_EQ(service_container_name("[web-1]"), "web-1");
    EXPECT_EQ(service_container_name("[]"), "");
    EXPECT_EQ(service_container_name("[web"), std::nullopt);
    EXPECT_EQ(service_container_name("10.0.0.1"), std::nullopt);
    EXPECT_EQ(service_container_name("[" + std::string(200, 'n') + "]")->size(), SERVICE_CONTAINER_MAX);

    EXPECT_EQ(service_port_or_socket("6379").port, 6379);
    EXPECT_EQ(service_port_or_socket("/run/x.sock").socket, "/run/x.sock");
    EXPECT_EQ(service_port_or_socket("99999999999999").port, 0);
}

// Every counter that takes a container host reads it alike: "[]" names the empty
// container, and a host without both brackets is an address.
TEST(ServiceConf, ContainerHostsReadAlikeByEveryCounter)
{
    struct host_read {
        int in_docker;
        std::string name;
    };
    auto read = [](auto &d) { return host_read{static_cast<int>(d.in_docker), d.docker_container_name}; };
    const std::pair<const char *, std::function<host_read(const std::string &)>> counters[] = {
        {"memcache", [&](const std::string &h) { vesk_mycustom_data_memcache d; char id[256]; std::string cfg = h + ":11211";
                                                 memcache_parse_conf(cfg.data(), id, d); return read(d); }},
        {"redis", [&](const std::string &h) { vesk_mycustom_data_redis d; char id[256]; std::string cfg = "r1 u:p@" + h + ":6379";
                                              redis_parse_conf(cfg.data(), id, d); return read(d); }},
        {"mysql", [&](const std::string &h) { auto c = std::make_unique<vesk_mycustom_counter>(); vesk_mycustom_data_mysql d;
                                              vesk_copy(c->cfg_string, "m1 u:p@" + h + ":3306"); mysql_parse_conf(c.get(), d);
                                              return read(d); }},
        {"nginx", [&](const std::string &h) { vesk_mycustom_data_nginx d; std::string id, cfg = "n1 " + h + ":80/status example.org";
                                              nginx_parse_conf(cfg.data(), id, d); return read(d); }},
        {"fpm", [&](const std::string &h) { vesk_mycustom_data_fpm d; std::string id, cfg = "f1 " + h + ":9000 /status";
                                            fpm_parse_conf(cfg.data(), id, d); return read(d); }},
        {"elastic", [&](const std::string &h) { vesk_mycustom_data_elastic d; std::string id;
                                                elastic_parse_conf(("e1 " + h + ":9200 node-1").c_str(), id, d); return read(d); }},
    };
    const std::pair<std::string, host_read> hosts[] = {
        {"[]", {1, ""}}, {"[web-1]", {1, "web-1"}}, {"10.0.0.1", {0, ""}}, {"[web", {0, ""}}};
    for (const auto &[kind, parse] : counters) {
        for (const auto &[host, want] : hosts) {
            host_read got = parse(host);
            EXPECT_EQ(got.in_docker, want.in_docker) << kind << " " << host;
            EXPECT_EQ(got.name, want.name) << kind << " " << host;
        }
    }
}

// "[]" never resolves, and the Engine is not asked about it; a named container is.
TEST(ServiceConf, TheEmptyContainerIsNeverAskedOfTheEngine)
{
    reset_agent_state();
    temp_dir dir;
    const std::string sock = (dir.path() / "engine.sock").string();
    // The Engine's requests end with a blank line of bare line feeds.
    test_support::canned_server engine({{{"HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n"}}}, sock,
                                       [](const std::string &r) { return r.ends_with("\n\n"); });
    auto table = std::make_unique<vesk_docker_t>();
    config.docker = table.get();
    config.docker_sock_path = sock;

    testing::internal::CaptureStdout();
    EXPECT_EQ(service_address(true, "", "[]", "memcache"), std::nullopt);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[memcache] Cannot resolve IP for container ''\n");
    EXPECT_TRUE(engine.requests().empty());
    EXPECT_EQ(vesk_docker_count(table.get()), 0);

    testing::internal::CaptureStdout();
    EXPECT_EQ(service_address(true, "web-1", "[web-1]", "memcache"), std::nullopt);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(engine.requests().size(), 1u);
    EXPECT_TRUE(engine.requests()[0].starts_with("GET /containers/web-1/json ")) << engine.requests()[0];

    config.docker = nullptr;
    config.docker_sock_path.clear();
}

TEST(ServiceDelta, RatesNeverWrap)
{
    EXPECT_EQ(service_rate<uint64_t>(1300, 1000, 15000), 1200u);
    EXPECT_EQ(service_rate<uint64_t>(1000, 1300, 15000), 0u); // a restart
    EXPECT_EQ(service_rate<uint64_t>(1300, 1000, 15000, 1), 20u);
    EXPECT_EQ(service_rate<uint64_t>(5, 1, 0), 0u);
    // 100 million a second: 32-bit arithmetic would wrap the factors.
    EXPECT_EQ(service_rate<uint64_t>(4100000000ull, 4000000000ull, 1000), 6000000000ull);
    EXPECT_EQ(service_rate<uint32_t>(4000000000u, 0, 1000), UINT32_MAX);
    EXPECT_EQ(service_rate<uint64_t>(UINT64_MAX, 0, 1000), UINT64_MAX);
}

// A count growing by 100 a second, read at uneven moments: each rate is over the
// reads' own span, so every one comes out the same.
TEST(ServiceDelta, RatesOverUnevenSpans)
{
    EXPECT_EQ(service_rate<uint64_t>(1550, 1000, 5500), 6000u);
    EXPECT_EQ(service_rate<uint64_t>(1250, 1000, 2500), 6000u);
    EXPECT_EQ(service_rate<uint32_t>(1250, 1000, 2500, 1), 100u);
    EXPECT_DOUBLE_EQ(service_rate_double(1.5 + 401, 1.5, 4010, 60), 6000.0);
    EXPECT_EQ(vesk_counter_rate(1000 + 274, 1000, 2740), 100u);
    EXPECT_EQ(vesk_counter_rate(1000 + 273, 1000, 2740), 99u); // truncated
}

TEST(ServiceReport, TheTwoObjectForms)
{
    vesk_mycustom_counter c{};
    vesk_copy(c.report, "Apache");
    vesk_copy(c.id, "web\xff");
    bson b;
    vesk_bson_init(&b);
    service_open_named(&b, &c);
    service_append(&b, {{"ok", 1}, {"big", service_u(UINT64_MAX)}});
    service_close(&b);
    service_open_mycustom(&b, &c);
    service_append(&b, {{"n", -3}});
    service_close(&b);
    ASSERT_EQ(vesk_bson_finish(&b), BSON_OK);
    bson_t doc;
    bson_iter_t it;
    ASSERT_TRUE(bson_init_static(&doc, reinterpret_cast<const uint8_t *>(vesk_bson_data(&b)),
                                 static_cast<size_t>(vesk_bson_size(&b))));
    ASSERT_TRUE(bson_iter_init(&it, &doc));
    std::string out;
    test_support::describe(&it, out);
    EXPECT_EQ(out, "web\xEF\xBF\xBD:{ok:i64=1;big:i64=-1;};"
                   "Apache_web\xEF\xBF\xBD:{report:str=Apache;id:str=web\xEF\xBF\xBD;n:i64=-3;};");
    vesk_bson_destroy(&b);
}

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

} // namespace

// A reply comes in pieces; it is read until its framing says it is whole, the cap,
// the close, or the one deadline of the exchange.
TEST(ServiceExchange, RepliesAreReadToTheirEndUnderOneDeadline)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    unique_fd ours(sv[0]), peer(sv[1]);
    auto ends_with_end = [](std::string_view s) { return s.ends_with("END\r\n"); };

    std::thread writer([&] {
        for (const char *piece : {"STAT a 1\r\n", "STAT b 2\r", "\nEN", "D\r\n"}) {
            std::this_thread::sleep_for(20ms);
            (void)!write(peer.get(), piece, strlen(piece));
        }
    });
    service_reply r = service_read(ours.get(), 4096, service_deadline(2), ends_with_end);
    writer.join();
    EXPECT_EQ(r.end, service_end::complete);
    EXPECT_EQ(r.data, "STAT a 1\r\nSTAT b 2\r\nEND\r\n");

    // A peer that sends part of a reply and then nothing: one deadline, not one per read.
    auto t0 = std::chrono::steady_clock::now();
    (void)!write(peer.get(), "STAT", 4);
    r = service_read(ours.get(), 4096, service_deadline(1), ends_with_end);
    EXPECT_EQ(r.end, service_end::timeout);
    EXPECT_EQ(r.data, "STAT");
    EXPECT_GE(seconds_since(t0), 0.9);
    EXPECT_LT(seconds_since(t0), 1.5);

    std::string big(10000, 'x');
    (void)!write(peer.get(), big.data(), big.size());
    r = service_read(ours.get(), 4096, service_deadline(1), ends_with_end);
    EXPECT_EQ(r.end, service_end::full);
    EXPECT_EQ(r.data.size(), 4096u);

    peer.reset();
    r = service_read(ours.get(), 100000, service_deadline(1), ends_with_end);
    EXPECT_EQ(r.end, service_end::closed);
    EXPECT_EQ(r.data.size(), 10000u - 4096u);

    // A socket path longer than sun_path is refused, never copied past it.
    EXPECT_EQ(service_connect_unix(std::string(120, 'p'), 1).failed, service_fail::connect);
}

namespace {

// A loopback listener whose accept queue is full: a connect to it waits.
struct full_listener {
    unique_fd listening{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    unique_fd pending{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    sockaddr_in sa{};
    full_listener()
    {
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        auto *a = reinterpret_cast<sockaddr *>(&sa);
        if (bind(listening.get(), a, sizeof sa) != 0 || getsockname(listening.get(), a, &len) != 0 ||
            listen(listening.get(), 0) != 0 || connect(pending.get(), a, sizeof sa) != 0)
            ADD_FAILURE() << "no full listener: " << strerror(errno);
    }
    service_conn connect_to(int timeout_s) const
    {
        return service_connect_tcp(sa.sin_addr, ntohs(sa.sin_port), timeout_s);
    }
};

// The same over a Unix socket.
struct full_unix_listener {
    temp_dir dir;
    std::string path = (dir.path() / "sock").string();
    unique_fd listening{socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    unique_fd pending{socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    full_unix_listener()
    {
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        path.copy(sa.sun_path, sizeof sa.sun_path - 1);
        auto *a = reinterpret_cast<sockaddr *>(&sa);
        if (bind(listening.get(), a, sizeof sa) != 0 || listen(listening.get(), 0) != 0 ||
            connect(pending.get(), a, sizeof sa) != 0)
            ADD_FAILURE() << "no full Unix listener: " << strerror(errno);
    }
    service_conn connect_to(int timeout_s) const { return service_connect_unix(path, timeout_s); }
};

// SIGALRM with a handler every 300 ms while it lives, calls not restarted. The tenth
// sets the stop, so that a wait that would never end fails the test instead.
volatile sig_atomic_t alarms = 0;
struct alarm_storm {
    struct sigaction old {};
    alarm_storm()
    {
        alarms = 0;
        struct sigaction sa {};
        sa.sa_handler = [](int) {
            alarms = alarms + 1;
            if (alarms >= 10) stop = 1;
        };
        sigaction(SIGALRM, &sa, &old);
        itimerval every{{0, 300000}, {0, 300000}};
        setitimer(ITIMER_REAL, &every, nullptr);
    }
    ~alarm_storm()
    {
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &old, nullptr);
    }
};

} // namespace

// The stop ends a wait on a service at once, a read from a silent peer and a connect
// to a full accept queue alike, each allowed 5 s; one begun after the stop does not
// wait at all. Without the stop the deadline ends them, whatever other signal comes.
TEST(ServiceExchange, TheStopEndsEveryWait)
{
    stop_handler handler;
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    unique_fd ours(sv[0]), peer(sv[1]);
    auto never = [](std::string_view) { return false; };
    full_listener full;

    // No stop: the deadline ends each wait, the read's even under a signal every 10 ms.
    struct sigaction sa {}, old {};
    sa.sa_handler = [](int) {};
    sigaction(SIGALRM, &sa, &old);
    itimerval every{{0, 10000}, {0, 10000}}, off{};
    setitimer(ITIMER_REAL, &every, nullptr);
    auto t0 = std::chrono::steady_clock::now();
    service_reply r = service_read(ours.get(), 4096, service_deadline(1), never);
    EXPECT_EQ(r.end, service_end::timeout);
    EXPECT_GE(seconds_since(t0), 0.9);
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(full.connect_to(1).failed, service_fail::connect);
    EXPECT_GE(seconds_since(t0), 0.9);

    // The stop comes during the wait.
    std::thread signal = stop_signal_after(200ms);
    t0 = std::chrono::steady_clock::now();
    r = service_read(ours.get(), 4096, service_deadline(5), never);
    signal.join();
    EXPECT_EQ(r.end, service_end::error);
    EXPECT_EQ(r.error, ECANCELED);
    EXPECT_LT(seconds_since(t0), 1.0);
    stop = 0;
    signal = stop_signal_after(200ms);
    t0 = std::chrono::steady_clock::now();
    service_conn c = full.connect_to(5);
    signal.join();
    EXPECT_EQ(c.failed, service_fail::connect);
    EXPECT_EQ(c.error, ECANCELED);
    EXPECT_LT(seconds_since(t0), 1.0);

    // Begun after the stop.
    t0 = std::chrono::steady_clock::now();
    c = full.connect_to(5);
    EXPECT_EQ(c.error, ECANCELED);
    r = service_read(ours.get(), 4096, service_deadline(5), never);
    EXPECT_EQ(r.error, ECANCELED);
    EXPECT_EQ(service_poll(ours.get(), POLLOUT, service_deadline(5)), service_wait::error); // though writable
    EXPECT_LT(seconds_since(t0), 0.2);
}

// Other signals do not make a connect wait its time-out anew: it ends at its deadline
// with the errno of a blocking connect that timed out, and at once at the stop.
TEST(ServiceExchange, AConnectKeepsItsDeadlineUnderOtherSignals)
{
    stop_handler handler;
    full_listener tcp;
    full_unix_listener unix_socket;
    const struct {
        const char *what;
        std::function<service_conn(int)> connect_to;
        int timed_out;
    } cases[] = {
        {"tcp", [&](int s) { return tcp.connect_to(s); }, EINPROGRESS},
        {"unix", [&](int s) { return unix_socket.connect_to(s); }, EAGAIN},
    };
    for (const auto &c : cases) {
        alarm_storm storm;
        auto t0 = std::chrono::steady_clock::now();
        service_conn conn = c.connect_to(1);
        EXPECT_EQ(conn.failed, service_fail::connect) << c.what;
        EXPECT_EQ(conn.error, c.timed_out) << c.what << ": " << strerror(conn.error);
        EXPECT_GE(seconds_since(t0), 0.9) << c.what;
        EXPECT_LT(seconds_since(t0), 1.2) << c.what;

        stop = 0;
        std::thread signal = stop_signal_after(500ms);
        t0 = std::chrono::steady_clock::now();
        conn = c.connect_to(5);
        signal.join();
        EXPECT_EQ(conn.error, ECANCELED) << c.what;
        EXPECT_LT(seconds_since(t0), 0.7) << c.what;
        stop = 0;
    }
}

// A stop signal that lands between a wait's test of the stop and the wait itself
// ends that wait at once, not at its deadline.
TEST(ServiceExchange, AStopJustBeforeTheWaitEndsIt)
{
    stop_handler handler;
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    unique_fd ours(sv[0]), peer(sv[1]);
    full_listener full;
    vesk_ppoll_window_hook = [] { raise(SIGTERM); };
    struct unhook {
        ~unhook() { vesk_ppoll_window_hook = nullptr; }
    } unhook;

    auto t0 = std::chrono::steady_clock::now();
    service_reply r = service_read(ours.get(), 4096, service_deadline(3), [](std::string_view) { return false; });
    EXPECT_EQ(r.end, service_end::error);
    EXPECT_EQ(r.error, ECANCELED);
    EXPECT_LT(seconds_since(t0), 0.5);
    stop = 0;
    t0 = std::chrono::steady_clock::now();
    service_conn c = full.connect_to(3);
    EXPECT_EQ(c.error, ECANCELED);
    EXPECT_LT(seconds_since(t0), 0.5);
}
