/* A stand-in for the PostgreSQL client library that lacks PQfname: nothing in it is
 * ever called, since a library without all its entry points is not used. */
#include <stdlib.h>

void *PQconnectdb(void) { abort(); }
void *PQsetdbLogin(void) { abort(); }
int PQstatus(void) { abort(); }
void *PQexec(void) { abort(); }
char *PQgetvalue(void) { abort(); }
int PQresultStatus(void) { abort(); }
int PQntuples(void) { abort(); }
int PQnfields(void) { abort(); }
char *PQerrorMessage(void) { abort(); }
void PQclear(void) { abort(); }
void PQfinish(void) { abort(); }
