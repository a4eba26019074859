// The container table shared by the parent and the docker child, and the
// docker child's loop.
#pragma once

#include <cstddef>
#include <cstdint>

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
    const nx_json *inspect; // parent only
    char *inspect_ptr;      // parent only
};

struct vesk_docker_t {
    uint16_t count;
    uint16_t rnd;
    const char *sock_path;
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

// Text of a state code for the report.
const char *vesk_docker_state_name(int32_t state);

// Creates or attaches the table (key shm_key + 1) and empties it. 1 when attached.
int docker_init(vesk_docker_t **docker);
// Refreshes every container of the table.
void vesk_docker_update(vesk_docker_t *docker);
// The IPv4 text of the named container while it runs, read afresh from the Engine;
// null when it does not run, has no address or cannot be inspected. The text lives in
// the table and is overwritten by the next refresh: use it at once.
const char *vesk_docker_resolve(vesk_docker_t *docker, const char *c_name);
// Frees the parent's parsed inspection answers.
void vesk_docker_free_inspections(vesk_docker_t *docker);
// The docker child's loop; returns once `stop` is seen, removing the table.
void docker_loop();
