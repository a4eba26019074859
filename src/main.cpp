// The agent's entry point.
#include "vesk_main.hpp"

int main(int argc, char **argv) { return vesk_main(argc, argv); }
