// The "stream" command: plays into the speaker endpoint (0x01) and records
// the microphone endpoint (0x82) at once, as a Linux host's sound driver
// does: several isochronous URBs in flight each way, each resubmitted when
// the device completes it, so the device's completions are the only clock.
// The speaker gets a tone (optionally in bursts) or silence; what the
// microphone gives is written to a WAV file and measured. At the end the
// capture URBs still pending are unlinked, and a summary with the pacing of
// each direction is printed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host_connection.h"
#include "host_output.h"

struct StreamCommand {
    uint32_t seconds = 0;
    double tone_hz = 0;  // 0: silence
    double level_dbfs = -12.0;
    bool burst = false;        // tone on for 200 ms, off for 300 ms
    std::string record_path;   // empty: not written
    uint32_t out_packets = 6;  // per URB, 96 bytes each
    uint32_t out_urbs = 4;     // in flight
    uint32_t in_packets = 1;
    uint32_t in_urbs = 12;
    uint32_t detach_after_ms = 0;  // unplug the device this far into the stream; 0: never
};

// The command reference line for the help text.
extern const char* const STREAM_COMMAND_HELP;

// Parses "stream SECONDS [play HZ] [level DBFS] [burst] [record FILE]
// [out-packets N] [out-urbs N] [in-packets N] [in-urbs N] [detach-after MS]"
// (WORDS[0] is "stream"). 0, or -1 with the reason.
int parse_stream_command(const std::vector<std::string>& words, StreamCommand* cmd,
                         std::string* error);

// Runs the stream on the attached device for the command's time (less when
// the device goes away). 0, or -1 when the device went away.
int run_stream_command(const StreamCommand& cmd, HostConnection& conn, HostOutput& out);
