// The pieces of the device that the HID, audio-class, streaming and
// interrupt modules provide. The dispatcher and the attachment call them
// through this table, which those modules fill at start-up (tests fill it
// with their own). An empty handler leaves its requests unanswered, so the
// bus answers control requests with a stall; an empty worker is not
// started, so its endpoint's requests stay pending until the host unlinks
// them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/vbus.h"

namespace quor {

struct SoftDevHooks {
    // Control requests to interface 3, and to interfaces 0 to 2; REQ is
    // converted. 0 when a reply was written, -1 when not.
    using Handler = std::function<int(VirtualBus& bus, uint8_t* req, size_t len)>;
    // Thread bodies, each given the bus; each sets and clears its own alive
    // flag and ends on SOFTDEV_SHUTDOWN (audio) or the stop request
    // (interrupt).
    using Worker = std::function<int(VirtualBus& bus)>;

    Handler hid_requests;
    Handler audio_requests;
    Worker playback_worker;
    Worker capture_worker;
    Worker interrupt_worker;
    // Frees the stored GRUU when the device stops.
    std::function<void()> release_gruu;
};

SoftDevHooks& soft_dev_hooks();

}  // namespace quor
