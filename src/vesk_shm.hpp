// System V shared-memory segments shared between the agent's own processes.
//
// All three processes run as root, so a segment is private to root (mode 0600):
// a world-writable one would let any local user forge reports.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "vesk_owners.hpp"

// The segment with this key and at least `size` bytes, created when missing.
// An existing segment is reused only when our own user owns and created it with
// mode 0600; any other is removed and made afresh. Returns the id, or -1 (errno set).
int vesk_shm_create(key_t key, size_t size);

// The existing segment with this key and at least `size` bytes, never created.
// A segment with the wrong owner or mode counts as missing. Returns the id, or -1.
int vesk_shm_lookup(key_t key, size_t size);

// Attaches a segment; an empty owner when that fails.
shm_attachment vesk_shm_attach(int shmid);

// Removes the segment (it goes once the last process detaches).
void vesk_shm_remove(int shmid);

// `base` + 1 as a key, without signed overflow.
inline key_t vesk_shm_next_key(key_t base)
{
    return static_cast<key_t>(static_cast<unsigned>(base) + 1u);
}
