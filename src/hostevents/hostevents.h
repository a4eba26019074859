/* The host-events module: uptime, out-of-memory kills seen in the system log,
 * and the check of custom commands. Its whole interface is these seven functions. */
#ifndef VESK_HOSTEVENTS_H
#define VESK_HOSTEVENTS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A text passed by value: the bytes need no terminating NUL. */
typedef struct he_string {
    const char *p;
    ptrdiff_t n;
} he_string;

/* Takes the procfs and sysfs roots from the agent's settings record; returns 1. */
int init_go_module(void *conf);
/* Chooses a log source and starts following it. */
void InitOomKilled(void);
/* Kill lines seen since the previous call. */
long long OomGetKilled(void);
/* Stops the watch and waits for the follower to end. */
void CloseOomKilled(void);
/* System uptime in seconds. Ends the process with status 1 when it cannot be read. */
double GetUptime(void);
/* Check the custom commands of /etc/vesk.conf or of a named file: 1 when one failed. */
long long ValidateConfig(void);
long long ValidateConfName(he_string file_name);

#ifdef __cplusplus
}
#endif

#endif
