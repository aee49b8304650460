// Command line of quor-host-sim.
#pragma once

#include <string>

struct HostOptions {
    std::string listen;     // --listen, else $QUOR_VBUS
    int timeout_ms = 5000;  // unanswered request -> CMD_UNLINK
    std::string script;     // commands run before standard input's
    bool exit_after_enumeration = false;
    int linger_ms = 600;  // replies still checked before that exit
    bool trace = false;   // every PDU in hex
};

// Parses ARGV; ENV_VBUS is $QUOR_VBUS or null. 0 to run, 1 when --help was
// printed, -1 on a bad command line (a message went to standard error).
int parse_host_options(int argc, char** argv, const char* env_vbus, HostOptions* opt);
