// The commands quor-host-sim takes on standard input and from --script
// files, one per line, and how those that talk to the device are carried out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host_connection.h"
#include "host_output.h"
#include "host_stream.h"
#include "softphone.h"
#include "unlink_command.h"

struct HostCommand {
    enum Kind {
        ENUMERATE,
        GET_DESCRIPTOR,
        CONTROL,
        SET_INTERFACE,
        DETACH,
        QUIT,
        SLEEP,
        ECHO,
        STREAM,
        SOFTPHONE,
        UNLINK,
        SEND_RAW
    };
    Kind kind = ENUMERATE;
    uint8_t descriptor_type = 0;  // get-descriptor
    uint8_t descriptor_index = 0;
    uint16_t length = 0;
    uint8_t setup[8] = {};      // control
    std::vector<uint8_t> data;  // control OUT data; send-raw bytes
    uint8_t interface = 0;      // set-interface
    uint8_t alt = 0;
    uint32_t ms = 0;             // sleep
    std::string text;            // echo
    StreamCommand stream;        // stream
    SoftphoneCommand softphone;  // lync-...
    UnlinkCommand unlink;        // unlink
};

// The command reference printed by --help.
extern const char* const HOST_COMMAND_HELP;

// 0 with CMD, 1 for a blank or comment ('#') line, -1 with the reason.
int parse_command(const std::string& line, HostCommand* cmd, std::string* error);

// Whether CMD waits for an attached, enumerated device.
bool command_needs_device(const HostCommand& cmd);

// Runs get-descriptor, control or set-interface on the attached device and
// prints its result line. LANGUAGE is used for string descriptors other than
// 0. 0 when the command ran (whatever the device answered), -1 when the
// device went away.
int run_transfer_command(const HostCommand& cmd, HostConnection& conn, HostOutput& out,
                         int timeout_ms, uint16_t language);
