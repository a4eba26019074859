/* A stand-in for the MySQL client library with every entry point the agent takes,
 * less the one that OMIT names. mysql_init answers NULL, as the real one does when
 * it cannot allocate: no other entry point may then be called, and each aborts. */
#include <stdlib.h>

typedef struct st_mysql MYSQL;
typedef struct st_mysql_res MYSQL_RES;

MYSQL *mysql_init(MYSQL *m) { (void)m; return NULL; }
void mysql_close(MYSQL *m) { (void)m; abort(); }
const char *mysql_error(MYSQL *m) { (void)m; abort(); }
MYSQL *mysql_real_connect(MYSQL *m, const char *h, const char *u, const char *p, const char *d, unsigned port,
                          const char *s, unsigned long f)
{
    (void)m, (void)h, (void)u, (void)p, (void)d, (void)port, (void)s, (void)f;
    abort();
}
int mysql_query(MYSQL *m, const char *q) { (void)m, (void)q; abort(); }
MYSQL_RES *mysql_store_result(MYSQL *m) { (void)m; abort(); }
char **mysql_fetch_row(MYSQL_RES *r) { (void)r; abort(); }
unsigned mysql_num_fields(MYSQL_RES *r) { (void)r; abort(); }
void mysql_free_result(MYSQL_RES *r) { (void)r; abort(); }
#ifndef OMIT_OPTIONS
int mysql_options(MYSQL *m, int o, const void *a) { (void)m, (void)o, (void)a; abort(); }
#endif
void mysql_server_end(void) {}
