// Control transfers on endpoint 0 the way the Linux host runs them: one
// request at a time, a time-out after which the request is unlinked
// (CMD_UNLINK) and fails with -ETIMEDOUT, and the unlink itself reported.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host_connection.h"
#include "host_output.h"

struct ControlSetup {
    uint8_t request_type = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
};

void setup_to_bytes(const ControlSetup& setup, uint8_t out[8]);
ControlSetup setup_from_bytes(const uint8_t bytes[8]);

// Standard requests of the enumeration.
ControlSetup get_descriptor_setup(uint8_t type, uint8_t index, uint16_t lang, uint16_t length);
ControlSetup set_configuration_setup(uint8_t value);
ControlSetup set_interface_setup(uint8_t interface, uint8_t alt);

struct ControlResult {
    int32_t status = 0;
    std::vector<uint8_t> data;  // IN data
    uint32_t actual_length = 0;
    bool timed_out = false;  // unlinked after the time-out
};

// Runs one control transfer. OUT_DATA must hold setup.length bytes for an
// OUT request. A request not answered within TIMEOUT_MS is reported
// ("timeout seq=N setup=HEX after=MSms"), unlinked ("unlink seq=N
// status=S") and ends with status -110. 0 with RESULT, -1 when the
// connection is gone or the request could not be sent.
int control_transfer(HostConnection& conn, HostOutput& out, const ControlSetup& setup,
                     const std::vector<uint8_t>& out_data, int timeout_ms, ControlResult* result);

// Sends CMD_UNLINK for URB SEQNUM and reports "unlink seq=N status=S" with
// the RET_UNLINK's status. With no RET_UNLINK within TIMEOUT_MS the device is
// dropped (the Linux host would hang in this state until detach). 0 when the
// RET_UNLINK came or the URB had been answered before, -1 otherwise.
int unlink_urb(HostConnection& conn, HostOutput& out, uint32_t seqnum, int timeout_ms);
