#include "vesk_mysqlclient.hpp"

#include "vesk_config.hpp"

// The client library is not loaded yet.
int vesk_mysql_load() { return 0; }

void vesk_mysql_unload() { config.mysql_handle.reset(); }
