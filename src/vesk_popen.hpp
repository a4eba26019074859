// Commands run through /bin/sh -c with separate output and error pipes.
#pragma once

#include <sys/types.h>

#include <cstdio>

struct vesk_proc_outs {
    int pid;   // the shell; also the id of its process group
    FILE *out; // its standard output
    FILE *err; // its standard error
};

// Starts the command; none on failure. The shell runs in a session of its own (its
// pid is the session's and the group's id), with no controlling terminal, standard
// input from /dev/null, no descriptor of the caller's beyond its two pipes, "/" as
// its working directory, SIGPIPE at its default action and no signal blocked.
vesk_proc_outs *vesk_popen(const char *command);
// Closes both streams and waits for the shell without a time limit.
void vesk_pclose(vesk_proc_outs *meta);
// Closes both streams and reaps the shell; after timeout_seconds the whole process
// group is killed, and reaped for up to one more second.
void vesk_pclose_with_timeout(vesk_proc_outs *meta, int timeout_seconds);
