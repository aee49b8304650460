// The "unlink" command: submits a burst of requests of one kind and then
// unlinks every one of them at once, as a Linux host does when a driver
// kills its URBs (a sound stream stopped, a hidraw reader closed, a control
// transfer timed out). Each request must end exactly once: confirmed as
// unlinked while still pending, or answered before its CMD_UNLINK reached
// the device. Prints
//   unlink KIND submitted=N reset=R answered=A
// and an error for a request the device never gave back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host_connection.h"
#include "host_output.h"

struct UnlinkCommand {
    enum Kind { CONTROL, INTERRUPT, ISO_IN, ISO_OUT };
    Kind kind = CONTROL;
    uint32_t count = 1;
};

extern const char* const UNLINK_COMMAND_HELP;

// Parses "unlink control|interrupt|iso-in|iso-out COUNT" (WORDS[0] is
// "unlink"). 0, or -1 with the reason.
int parse_unlink_command(const std::vector<std::string>& words, UnlinkCommand* cmd,
                         std::string* error);

// Runs the burst on the attached device. 0, or -1 when the device went away.
int run_unlink_command(const UnlinkCommand& cmd, HostConnection& conn, HostOutput& out);
