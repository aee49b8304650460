// Commands that the tests type on the simulator's standard input, one per
// line: phone events to send, scripted faults, the address datagram.
#pragma once

#include "sim_state.h"

// The command list as shown by --help and the "help" command.
const char* sim_command_help();

// Executes one command line (without its line end). Unknown commands and bad
// arguments are reported on standard output and change nothing.
void run_sim_command(SimState& st, const char* line);

// Reads standard input and executes each line until its end or until the
// simulator quits. The end of input does not quit the simulator.
void run_command_reader(SimState& st);
