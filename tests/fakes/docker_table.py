#!/usr/bin/env python3
"""Reads and writes the agent's container table (System V segment, key id + 1) the
way the tests need it:

    docker_table.py add KEY NAME...   append records, as the parent adds a container
    docker_table.py corrupt KEY       overwrite every byte that a reader could trust
    docker_table.py foreign KEY       create the segment world-writable, with records
    docker_table.py show KEY          count, then one line per record: name state cpu ip

Layout: count (uint16) at 0, then 100 records of 304 bytes from offset 16: name
char[256], ip char[16], running int32, state int32, cpu_usage double."""

import ctypes
import struct
import sys

libc = ctypes.CDLL(None, use_errno=True)
libc.shmat.restype = ctypes.c_void_p
libc.shmat.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int]

SIZE = 30416
RECORD = 304
IPC_CREAT = 0o1000


def attach(key, flags=0, size=0):
    sid = libc.shmget(ctypes.c_int(key), ctypes.c_size_t(size), flags)
    if sid < 0:
        sys.exit("shmget(%d): errno %d" % (key, ctypes.get_errno()))
    addr = libc.shmat(sid, None, 0)
    if addr in (None, ctypes.c_void_p(-1).value):
        sys.exit("shmat: errno %d" % ctypes.get_errno())
    return (ctypes.c_char * SIZE).from_address(addr)


def record(i):
    return 16 + i * RECORD


def add(mem, names):
    count = struct.unpack_from("<H", mem, 0)[0]
    for name in names:
        at = record(count)
        raw = name.encode()[:255]
        mem[at:at + RECORD] = raw + b"\0" * (RECORD - len(raw))
        struct.pack_into("<ii", mem, at + 272, 0, 5)
        count += 1
    struct.pack_into("<H", mem, 0, count)


def corrupt(mem):
    struct.pack_into("<H", mem, 0, 65535)
    for i in range(100):
        at = record(i)
        mem[at:at + 256] = (b"%c" % (65 + i % 26)) * 128 + b"\xff\xfe" * 64  # no terminator, no UTF-8
        mem[at + 256:at + 272] = b"9" * 16
        struct.pack_into("<iid", mem, at + 272, -7, 77 + i, float("nan") if i % 2 else -1e308 * 10)


def show(mem):
    count = struct.unpack_from("<H", mem, 0)[0]
    print(count)
    for i in range(min(count, 100)):
        at = record(i)
        name = bytes(mem[at:at + 256]).split(b"\0")[0].decode(errors="replace")
        ip = bytes(mem[at + 256:at + 272]).split(b"\0")[0].decode(errors="replace")
        running, state, cpu = struct.unpack_from("<iid", mem, at + 272)
        print(name, state, cpu, ip or "-")


def main():
    cmd, key = sys.argv[1], int(sys.argv[2])
    if cmd == "foreign":
        mem = attach(key, IPC_CREAT | 0o666, SIZE)
        add(mem, ["forged"] * 7)
    elif cmd == "add":
        add(attach(key), sys.argv[3:])
    elif cmd == "corrupt":
        corrupt(attach(key))
    elif cmd == "show":
        show(attach(key))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
