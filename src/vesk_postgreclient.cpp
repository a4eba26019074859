#include "vesk_postgreclient.hpp"

// The client library is not loaded yet.
int vesk_postgre_load() { return 0; }
