// Trying the custom and multicustom commands of a configuration file by hand:
// each command runs once through the shell, and its output is shown.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace hostevents {

enum class line_kind {
    ignored,    // not a custom or multicustom line
    unparsable, // selected, but its key and names are not recognised
    unsafe,     // its command begins with "rm"
    command,    // a command to run
};

struct checked_line {
    line_kind kind = line_kind::ignored;
    std::string line;    // the line, trimmed
    std::string command; // for unsafe and command lines
    // The identity the command runs as: uid= and gid= when given; -1 for an id
    // too large to be one.
    long long uid = 65534;
    long long gid = 65534;
};

// Takes one line of a configuration file apart: the key and names, the known
// options, and the command that is left.
checked_line validator_parse_line(std::string_view raw);

struct command_result {
    bool failed = false;
    std::string failure; // why it failed: exit status, signal or start error
    std::string output;  // standard output and standard error, in the order written
};

// Runs `/bin/sh -c command` as the runner of the script counters would: under
// this user and group, in a session of its own, with standard input from the null
// device, no other descriptor of the agent's and "/" as its directory; and waits
// for it.
command_result run_shell_command(const std::string &command, long long uid, long long gid);

// Checks every line of the file, reporting on out; 1 when a command failed, else 0.
// Ends the process with status 1 when the file cannot be opened.
long long validate_conf_file(const std::string &file_name, FILE *out);

} // namespace hostevents
