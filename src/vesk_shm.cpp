// System V shared-memory segments between the agent's own processes.
#include "vesk_shm.hpp"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr int kMode = 0600;

bool trusted(int shmid, size_t size)
{
    struct shmid_ds ds {};
    if (shmctl(shmid, IPC_STAT, &ds) != 0) return false;
    return ds.shm_perm.uid == geteuid() && ds.shm_perm.cuid == geteuid() &&
           (ds.shm_perm.mode & 0777) == kMode && ds.shm_segsz >= size;
}

} // namespace

int vesk_shm_create(key_t key, size_t size)
{
    int id = shmget(key, size, IPC_CREAT | kMode);
    if (id >= 0 && trusted(id, size)) return id;
    if (id < 0 && errno != EINVAL && errno != EACCES) return -1;
    // Someone else's segment, a wrong mode, or one too small: replace it.
    int old = shmget(key, 0, 0);
    if (old >= 0) shmctl(old, IPC_RMID, nullptr);
    return shmget(key, size, IPC_CREAT | IPC_EXCL | kMode);
}

int vesk_shm_lookup(key_t key, size_t size)
{
    int id = shmget(key, size, 0);
    if (id < 0) return -1;
    if (!trusted(id, size)) {
        errno = EPERM;
        return -1;
    }
    return id;
}

shm_attachment vesk_shm_attach(int shmid)
{
    void *p = shmat(shmid, nullptr, 0);
    if (p == reinterpret_cast<void *>(-1)) return shm_attachment{};
    return shm_attachment{p};
}

void vesk_shm_remove(int shmid)
{
    if (shmid >= 0) shmctl(shmid, IPC_RMID, nullptr);
}
