#include "vesk_networking.hpp"

// Reports are not sent yet.
void send_data() {}
