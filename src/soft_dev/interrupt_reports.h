// The interrupt-IN endpoint: input reports that tell Lync what the phone
// wants (sign in, sign out, hang up), acknowledge its requests and hand it
// the GRUU. The bus reader queues the host's interrupt requests; the worker
// answers them one per half second while Lync's send window is open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/clock.h"
#include "platform/vbus.h"

namespace quor {

constexpr int INTERRUPT_PACE_MS = 500;

// What an answer carries, in the order the worker prefers them.
enum class InterruptReport {
    SIGNOUT_REQUEST,
    HUNGUP_PRE,
    HUNGUP,
    ACKNOWLEDGE,
    SIGNIN_FAILED,
    SIGNIN_REQUEST,
    GRUU_PIECE,
    NOTHING,
};

// The most urgent report waiting now.
InterruptReport choose_interrupt_report();

// Answers the queued interrupt request REQ (converted) with the most urgent
// report and, once the answer is written, lowers its flag or moves the GRUU
// transfer on. An answer the bus could not deliver (the request was
// unlinked meanwhile) leaves both for the next request. Returns what was
// sent.
InterruptReport answer_interrupt_request(VirtualBus& bus, const std::vector<uint8_t>& req);

// Thread body: runs until the stop request, then frees the queue. Returns 1.
int interrupt_ep_thread(Clock& clock, VirtualBus& bus);

}  // namespace quor
