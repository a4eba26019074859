// The PostgreSQL client library, loaded at run time.
#pragma once

// Loads config.postgre_lib into config.postgre_handle; 1 on success. A library that
// fails to load is closed again and the handle cleared.
int vesk_postgre_load();
