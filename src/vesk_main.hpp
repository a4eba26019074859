// Start-up, command line, and the bodies of the agent's three processes.
#pragma once

#include <sys/types.h>

// The whole agent; returns the exit status (one-shot modes and children exit directly).
int vesk_main(int argc, char **argv);

// Handles every argument in order; one-shot options do their work and exit.
int parse_options(int argc, char **argv);
void print_help();
void print_osversion();
void print_ifsstats();
void print_sockstats();
void cat_all_configs();
void cat_file(const char *file_name);
void run_config_editor(const char *file_name);
long long validate_config_file(const char *file_name);

void parentThread(pid_t pid);
void childThread();
void dockerThread();
