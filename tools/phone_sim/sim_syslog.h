// The phone's own log. LOG_ROUTE from the connector says where it goes: to
// the PC named in the payload, on UDP port 514, or nowhere but the phone.
// The "syslog" command then sends log lines there. The route lasts as long
// as the connection that set it.
#pragma once

#include <cstddef>

#include "link/ctrl_frame.h"
#include "sim_state.h"

constexpr uint16_t SIM_SYSLOG_PORT = 514;
// Largest datagram payload over IPv4.
constexpr size_t SIM_SYSLOG_SIZE_MAX = 65507;
constexpr unsigned SIM_SYSLOG_COUNT_MAX = 100000;

// Applies a well-formed LOG_ROUTE (8 bytes) and reports the route.
void apply_log_route(SimState& st, const CtrlFrame& f);

// The log stays on the phone again.
void clear_log_route(SimState& st);

// Sends COUNT datagrams "<14>MODEL phone: log line I of COUNT\n" to the
// routed PC; with SIZE not 0 each is padded with dots, or cut, to SIZE bytes
// and still ends in a line feed. Only loopback addresses are served.
void send_log_lines(SimState& st, unsigned count, size_t size);
