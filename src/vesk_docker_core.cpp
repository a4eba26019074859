#include "vesk_docker_core.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "vesk_config.hpp"
#include "vesk_core.hpp"
#include "vesk_shm.hpp"

const char *vesk_docker_state_name(int32_t state)
{
    switch (state) {
    case VESK_DOCKER_CONT_STATE_RUNNING: return "running";
    case VESK_DOCKER_CONT_STATE_PAUSED: return "paused";
    case VESK_DOCKER_CONT_STATE_RESTARTING: return "restarting";
    case VESK_DOCKER_CONT_STATE_OOMKILLED: return "oomkilled";
    case VESK_DOCKER_CONT_STATE_DEAD: return "dead";
    default: return "exited";
    }
}

int docker_init(vesk_docker_t **docker)
{
    key_t key = vesk_shm_next_key(config.shm_key);
    int id = vesk_shm_create(key, sizeof(vesk_docker_t));
    if (id < 0) {
        perror("shmget");
        return 0;
    }
    shm_attachment seg = vesk_shm_attach(id);
    if (!seg) {
        perror("shmat");
        return 0;
    }
    // A second identity line attaches again; the earlier mapping is no longer needed.
    if (*docker) shmdt(*docker);
    *docker = static_cast<vesk_docker_t *>(seg.release());
    (*docker)->sock_path = VESK_DOCKER_DEFAULT_SOCK;
    (*docker)->count = 0;
    if (config.debug) printf("shmget() succeeded key = %d\n", key);
    return 1;
}

void vesk_docker_update(vesk_docker_t *) {}

const char *vesk_docker_resolve(vesk_docker_t *, const char *) { return nullptr; }

void vesk_docker_free_inspections(vesk_docker_t *docker)
{
    if (!docker) return;
    for (int i = 0; i < docker->count && i < VESK_DOCKER_MAX_CONTAINERS; i++) {
        vesk_docker_container_t &c = docker->containers[i];
        free(c.inspect_ptr);
        c.inspect_ptr = nullptr;
        c.inspect = nullptr;
    }
}

void docker_loop()
{
    // No statistics are streamed yet: wait for the stop, then remove the table.
    while (!stop) sleep(1);
    int id = vesk_shm_lookup(vesk_shm_next_key(config.shm_key), sizeof(vesk_docker_t));
    vesk_shm_remove(id);
}
