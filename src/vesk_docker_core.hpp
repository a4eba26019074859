// The container table shared by the parent and the docker child, and the
// docker child's loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "vesk_http.hpp"
#include "vesk_owners.hpp"
#include "vesk_service.hpp"

inline constexpr int VESK_DOCKER_MAX_CONTAINERS = 100;
inline constexpr const char *VESK_DOCKER_DEFAULT_SOCK = "/var/run/docker.sock";

enum vesk_docker_container_state_t : int32_t {
    VESK_DOCKER_CONT_STATE_RUNNING = 0,
    VESK_DOCKER_CONT_STATE_PAUSED = 1,
    VESK_DOCKER_CONT_STATE_RESTARTING = 2,
    VESK_DOCKER_CONT_STATE_OOMKILLED = 3,
    VESK_DOCKER_CONT_STATE_DEAD = 4,
    VESK_DOCKER_CONT_STATE_EXITED = 5,
};

struct nx_json;

struct vesk_docker_container_t {
    char name[256];
    char ip[16];
    int32_t running;
    vesk_docker_container_state_t state;
    double cpu_usage;
    const nx_json *inspect; // unused: an answer is read and released at once, never shared
    char *inspect_ptr;      // unused, as above
};

struct vesk_docker_t {
    uint16_t count;
    uint16_t rnd;
    const char *sock_path; // unused: each process keeps the path in its own memory
    vesk_docker_container_t containers[VESK_DOCKER_MAX_CONTAINERS];
};

// Both processes map these bytes; they are the same program on the same machine.
static_assert(sizeof(vesk_docker_container_t) == 304);
static_assert(offsetof(vesk_docker_container_t, ip) == 256);
static_assert(offsetof(vesk_docker_container_t, running) == 272);
static_assert(offsetof(vesk_docker_container_t, state) == 276);
static_assert(offsetof(vesk_docker_container_t, cpu_usage) == 280);
static_assert(offsetof(vesk_docker_container_t, inspect) == 288);
static_assert(offsetof(vesk_docker_container_t, inspect_ptr) == 296);
static_assert(sizeof(vesk_docker_t) == 30416);
static_assert(offsetof(vesk_docker_t, sock_path) == 8);
static_assert(offsetof(vesk_docker_t, containers) == 16);

// ---- reading the table ----
// The table is shared with another process: every read is bounded.

// `count`, never above the table's size.
int vesk_docker_count(const vesk_docker_t *docker);
// A record's name, up to its terminator and at most 255 bytes.
std::string_view vesk_docker_name(const vesk_docker_container_t &c);
// Text of a state code for the report; an unknown code reads as "exited".
const char *vesk_docker_state_name(int32_t state);
// A record's CPU usage; anything but a finite, non-negative number reads as 0.
double vesk_docker_cpu(const vesk_docker_container_t &c);

// ---- the parent: the Engine API client and the table ----

// Creates or attaches the table (key shm_key + 1, mode 0600) and empties it. 1 when attached.
int docker_init(vesk_docker_t **docker);
// The socket the Engine API listens on: the `docker_sock` setting or the default.
const char *vesk_docker_sock_path();

// What one inspection answer says about its container.
struct docker_inspect {
    bool running = false;
    bool paused = false;
    bool restarting = false;
    bool dead = false;
    bool oomkilled = false;
    std::string status;  // "State.Status", at most 18 bytes
    std::string ip;      // at most 15 bytes; empty when none
    std::string network; // the first network, when the address was sought there
};
docker_inspect docker_read_inspect(const nx_json *root);
// The state an inspection gives a record that had `previous`.
int32_t docker_next_state(const docker_inspect &in, int32_t previous);

// A connected stream socket to the Engine; an empty owner after printing the error.
unique_fd vesk_docker_connect(const char *sock_path);
// One request ("GET <path> HTTP/1.0") and its whole answer, read within the deadline
// and bounded in size. None after printing why.
std::optional<http_answer> vesk_docker_cmd(int sock, const std::string &path, service_clock::time_point deadline);

int vesk_docker_find_container(vesk_docker_t *docker, const char *container_name);
// Index of a new record named `container_name`, or -1 when the table is full.
int vesk_docker_add_container(vesk_docker_t *docker, const char *container_name);
// Inspects the container and refreshes (or adds) its record: its index, or -1.
int vesk_docker_update_info(vesk_docker_t *docker, const char *container_name);
// Refreshes every container of the table.
void vesk_docker_update(vesk_docker_t *docker);
// The IPv4 text of the named container while it runs, read afresh from the Engine;
// null when it does not run, has no address or cannot be inspected. The text lives in
// a buffer that the next call overwrites: use it at once.
const char *vesk_docker_resolve(vesk_docker_t *docker, const char *c_name);
// Removes the table's segment (it goes once the last process detaches).
void vesk_docker_remove_table();

// ---- the docker child ----

// One container's last statistics sample.
struct docker_stats_t {
    int32_t ok = 0;   // 1 when the last object gave a sample
    int32_t ncpu = 0; // "precpu_stats.online_cpus"
    int64_t cpu_usage = 0;
    int64_t sys_usage = 0;
    int64_t pre_cpu_usage = 0;
    int64_t pre_sys_usage = 0;
    double cpu_usage_percent = 0.0; // the last accepted percentage
};
// Reads one statistics object (from its first "{\"") into the sample, in place.
void parse_response(char *buf, docker_stats_t &cnt);
// The CPU usage in percent of a sample, or none when the sample says nothing: no
// time passed, the counters went back, or the result is not a finite, non-negative number.
std::optional<double> docker_cpu_percent(const docker_stats_t &s);

// The answer to a statistics request as it arrives: the status line and headers,
// then a body of one JSON object per line, chunked or not.
class docker_stream_reader {
public:
    enum class state { head, body, refused, ended };
    // Takes the next bytes; calls `on_line` with every whole line of the body.
    state feed(std::string_view in, const std::function<void(char *line)> &on_line);
    int status() const { return status_; }

private:
    void split(std::string_view data, const std::function<void(char *line)> &on_line);
    state state_ = state::head;
    int status_ = 0;
    bool chunked_ = false;
    bool skipping_ = false; // inside a line that grew beyond the bound
    http_chunked_decoder dechunk_;
    std::string head_;
    std::string line_;
    std::string decoded_;
};

void docker_log_ch(const char *message);
void docker_log(const char *message);
// The docker child's loop; returns once `stop` is seen, removing the table.
void docker_loop();
