#!/usr/bin/python3
"""A file system whose statfs does not answer while a flag file exists, as a dead
network mount does, and otherwise answers after DELAY milliseconds (default 0), as
a remote one under load does. Each statfs is logged when it begins, with the id of
the calling thread, and when it answers.

    stalling_fs.py MOUNTPOINT FLAG LOG [DELAY]

Runs in the foreground until unmounted."""
import errno
import os
import stat
import sys
import threading
import time

import fusepy


class Stalling(fusepy.Operations):
    def __init__(self, flag, log, delay):
        self.flag = flag
        self.delay = delay
        self.log = open(log, "a", buffering=1)
        self.lock = threading.Lock()

    def note(self, text):
        with self.lock:
            self.log.write(text + "\n")

    def getattr(self, path, fh=None):
        if path != "/":
            raise fusepy.FuseOSError(errno.ENOENT)
        return {"st_mode": stat.S_IFDIR | 0o755, "st_nlink": 2}

    def readdir(self, path, fh):
        return [".", ".."]

    def statfs(self, path):
        self.note("statfs begins %d" % fusepy.fuse_get_context()[2])
        time.sleep(self.delay)
        while os.path.exists(self.flag):
            time.sleep(0.05)
        self.note("statfs answers")
        # 4 KiB blocks: 3906 MiB in all, 976 MiB free; half the inodes free.
        return {"f_bsize": 4096, "f_frsize": 4096, "f_blocks": 1000000, "f_bfree": 250000,
                "f_bavail": 250000, "f_files": 1000, "f_ffree": 500, "f_namemax": 255}


if __name__ == "__main__":
    mountpoint, flag, log = sys.argv[1:4]
    delay = int(sys.argv[4]) / 1000 if len(sys.argv) > 4 else 0
    fusepy.FUSE(Stalling(flag, log, delay), mountpoint, foreground=True, fsname="stalling", subtype="stalling")
