// The container table: what an inspection answer says, the CPU figure of a statistics
// object, the statistics stream as it arrives, and the table's bound. The Engine client
// itself runs against the fake Engine in the black-box suites.
#include <gtest/gtest.h>
#include <sys/shm.h>

#include <string>
#include <vector>

#include "canned_server.hpp"
#include "nxjson.hpp"
#include "test_support.hpp"
#include "vesk_docker_core.hpp"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

std::string fixture(const std::string &name) { return test_support::fixture_text("json/" + name); }

constexpr int32_t kNoState = 99; // a forged code in the table
constexpr double kNone = -1.0;  // no percentage is ever negative

} // namespace

TEST(DockerInspect, StateAndAddressOfCapturedAnswers)
{
    struct {
        const char *file;
        int32_t previous, state;
        bool running;
        const char *ip;
    } cases[] = {
        {"docker-inspect-running.json", VESK_DOCKER_CONT_STATE_EXITED, VESK_DOCKER_CONT_STATE_RUNNING, true, "172.17.0.2"},
        // The Engine says Running for these two as well.
        {"docker-inspect-paused.json", VESK_DOCKER_CONT_STATE_RUNNING, VESK_DOCKER_CONT_STATE_PAUSED, true, "172.17.0.2"},
        {"docker-inspect-restarting.json", VESK_DOCKER_CONT_STATE_RUNNING, VESK_DOCKER_CONT_STATE_RESTARTING, true,
         "172.17.0.2"},
        {"docker-inspect-exited.json", VESK_DOCKER_CONT_STATE_RUNNING, VESK_DOCKER_CONT_STATE_EXITED, false, ""},
        {"docker-inspect-dead.json", VESK_DOCKER_CONT_STATE_RUNNING, VESK_DOCKER_CONT_STATE_DEAD, false, ""},
        {"docker-inspect-oomkilled.json", VESK_DOCKER_CONT_STATE_RUNNING, VESK_DOCKER_CONT_STATE_OOMKILLED, false, ""},
        // On a user-defined network the address is under the network only.
        {"docker-inspect-usernet.json", VESK_DOCKER_CONT_STATE_EXITED, VESK_DOCKER_CONT_STATE_RUNNING, true, "172.20.0.5"},
        // No flag and a status other than "exited": the previous state stays, a forged one reads as exited.
        {"docker-404.json", VESK_DOCKER_CONT_STATE_PAUSED, VESK_DOCKER_CONT_STATE_PAUSED, false, ""},
        {"docker-404.json", kNoState, VESK_DOCKER_CONT_STATE_EXITED, false, ""},
    };
    for (auto &t : cases) {
        std::string text = fixture(t.file);
        nx_json_ptr js(nx_json_parse(text.data(), nullptr));
        ASSERT_TRUE(js) << t.file;
        docker_inspect in = docker_read_inspect(js.get());
        EXPECT_EQ(in.running, t.running) << t.file;
        EXPECT_EQ(in.ip, t.ip) << t.file;
        EXPECT_EQ(docker_next_state(in, t.previous), t.state) << t.file;
    }
    // Texts are cut to their fields: 15 bytes of address, 18 of status.
    char text[] = "{\"State\":{\"Status\":\"restarting-forever-and-ever\"},"
                  "\"NetworkSettings\":{\"IPAddress\":\"fd00:1234:5678::abcd\"}}";
    nx_json_ptr js(nx_json_parse(text, nullptr));
    docker_inspect in = docker_read_inspect(js.get());
    EXPECT_EQ(in.status, "restarting-forever");
    EXPECT_EQ(in.ip, "fd00:1234:5678:");
}

TEST(DockerStats, CpuPercentOnlyFromUsableSamples)
{
    struct {
        const char *what;
        docker_stats_t s;
        double want; // kNone: no figure, the last one stays
    } cases[] = {
        {"a quarter of four CPUs", {1, 4, 3'000'000'000, 8'000'000'000, 2'000'000'000, 4'000'000'000, 0}, 100.0},
        {"first object of a stream", {1, 0, 8'000'000'000, 4'000'000'000'000, 0, 0, 0}, 0.0},
        {"identical samples", {1, 4, 5, 7, 5, 7, 0}, kNone},
        {"system time went back", {1, 4, 10, 100, 5, 200, 0}, kNone},
        {"CPU counter reset", {1, 4, 10, 300, 500, 200, 0}, kNone},
        {"zeroed object after a stop", {1, 0, 0, 0, 8'250'000'000, 4'004'000'000'000, 0}, kNone},
        {"negative CPU count", {1, -4, 200, 300, 100, 200, 0}, kNone},
        {"wrapping differences", {1, 4, INT64_MIN, INT64_MAX, INT64_MAX, INT64_MIN, 0}, kNone},
        {"no sample", {0, 4, 3, 8, 2, 4, 0}, kNone},
    };
    for (auto &t : cases) {
        std::optional<double> got = docker_cpu_percent(t.s);
        EXPECT_EQ(got.value_or(kNone), t.want) << t.what;
    }
    // A chunk that begins with the answer's headers.
    std::string chunk = "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\n\r\n" + fixture("docker-stats.json");
    docker_stats_t s;
    parse_response(chunk.data(), s);
    EXPECT_EQ(s.ok, 1);
    EXPECT_EQ(docker_cpu_percent(s), 25.0);
    char no_object[] = "HTTP/1.0 200 OK\r\n\r\n";
    parse_response(no_object, s);
    EXPECT_EQ(s.ok, 0);
}

// The stream is split on its newlines, whatever the reads: an object spread over many
// reads, two objects in one read, headers in the first read, chunked or not.
TEST(DockerStats, StreamReaderSplitsObjectsOnNewlines)
{
    std::string objects = fixture("docker-stats.json") + fixture("docker-stats-large.json") +
                          fixture("docker-stats-first.json") + fixture("docker-stats-zero.json");
    ASSERT_GT(fixture("docker-stats-large.json").size(), 10000u);
    std::string chunked;
    for (size_t at = 0; at < objects.size(); at += 3000) {
        std::string piece = objects.substr(at, 3000);
        char size[16];
        snprintf(size, sizeof size, "%zx\r\n", piece.size());
        chunked += size + piece + "\r\n";
    }
    const std::string plain = "HTTP/1.0 200 OK\r\nApi-Version: 1.43\r\nContent-Type: application/json\r\n\r\n" + objects;
    const std::string coded =
        "HTTP/1.1 200 OK\r\ncontent-type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked + "0\r\n\r\n";
    struct {
        const char *what;
        const std::string &bytes;
        size_t read_size;
        docker_stream_reader::state end;
    } cases[] = {
        {"HTTP/1.0, one byte a read", plain, 1, docker_stream_reader::state::body},
        {"HTTP/1.0, 4 kB reads", plain, 4096, docker_stream_reader::state::body},
        {"HTTP/1.0, all in one read", plain, plain.size(), docker_stream_reader::state::body},
        {"chunked, 7 bytes a read", coded, 7, docker_stream_reader::state::ended},
        {"chunked, all in one read", coded, coded.size(), docker_stream_reader::state::ended},
    };
    for (auto &t : cases) {
        docker_stream_reader r;
        std::vector<std::optional<double>> got;
        docker_stream_reader::state st = docker_stream_reader::state::head;
        for (size_t at = 0; at < t.bytes.size(); at += t.read_size) {
            st = r.feed(std::string_view(t.bytes).substr(at, t.read_size), [&](char *line) {
                docker_stats_t s;
                parse_response(line, s);
                got.push_back(docker_cpu_percent(s));
            });
        }
        EXPECT_EQ(st, t.end) << t.what;
        EXPECT_EQ(r.status(), 200) << t.what;
        // 25 %, then 9/16 of 256 CPUs: 750e6 / 4e9 * 256 * 100, then the first object's 0.
        EXPECT_EQ(got, (std::vector<std::optional<double>>{25.0, 4800.0, 0.0, std::nullopt})) << t.what;
    }

    struct {
        const char *what, *bytes;
        int status;
    } refused[] = {
        {"unknown container", "HTTP/1.0 404 Not Found\r\nContent-Length: 38\r\n\r\n{\"message\":\"No such container: x\"}\n", 404},
        {"not HTTP", "SSH-2.0-OpenSSH_9.2\r\n", 0},
        {"bad chunk size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", 200},
    };
    for (auto &t : refused) {
        docker_stream_reader r;
        int lines = 0;
        EXPECT_EQ(r.feed(t.bytes, [&](char *) { lines++; }), docker_stream_reader::state::refused) << t.what;
        EXPECT_EQ(r.status(), t.status) << t.what;
        EXPECT_EQ(lines, 0) << t.what;
    }

    // A line beyond the bound is dropped up to its newline; the stream goes on.
    docker_stream_reader r;
    std::vector<std::string> lines;
    r.feed("HTTP/1.0 200 OK\r\n\r\n", [&](char *l) { lines.emplace_back(l); });
    std::string junk(1 << 19, 'x');
    for (int i = 0; i < 3; i++) r.feed(junk, [&](char *l) { lines.emplace_back(l); });
    r.feed("tail\n{\"a\":1}\n", [&](char *l) { lines.emplace_back(l); });
    EXPECT_EQ(lines, (std::vector<std::string>{"{\"a\":1}"}));
}

// The parent's table never grows past its records, however many hosts name containers.
TEST(DockerTable, HoldsAtMostItsRecords)
{
    reset_agent_state();
    config.shm_key = 7100;
    ASSERT_EQ(docker_init(&config.docker), 1);
    CaptureStdout();
    for (int i = 0; i < VESK_DOCKER_MAX_CONTAINERS; i++)
        EXPECT_EQ(vesk_docker_add_container(config.docker, std::to_string(i).c_str()), i);
    EXPECT_EQ(vesk_docker_add_container(config.docker, "web"), -1);
    EXPECT_EQ(GetCapturedStdout(), "[docker] Max containers number reached: 100, cannot allocate one more\n");
    EXPECT_EQ(vesk_docker_count(config.docker), VESK_DOCKER_MAX_CONTAINERS);
    vesk_docker_remove_table();
    shmdt(config.docker);
    config.docker = nullptr;
}
