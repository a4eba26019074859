// The MySQL client library, loaded at run time.
#pragma once

// Loads config.mysql_lib into config.mysql_handle; 1 on success. A library that
// fails to load is closed again and the handle cleared.
int vesk_mysql_load();
// Ends the library's use and closes it.
void vesk_mysql_unload();
