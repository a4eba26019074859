/* Preloaded into the agent by black-box tests: while the file named by
 * VESK_FAIL_SOCKET exists, every TCP socket() fails with EMFILE, as when the
 * process has run out of descriptors. Other sockets are created as usual. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

int socket(int domain, int type, int protocol)
{
    static int (*real)(int, int, int);
    if (!real) real = (int (*)(int, int, int))dlsym(RTLD_NEXT, "socket");
    const char *flag = getenv("VESK_FAIL_SOCKET");
    if (domain == AF_INET && (type & 0xf) == SOCK_STREAM && flag && access(flag, F_OK) == 0) {
        errno = EMFILE;
        return -1;
    }
    return real(domain, type, protocol);
}
