// The pieces of the device that the HID, audio-class, streaming and
// interrupt modules provide, and the context one attachment runs in. The
// composition root builds the table (tests build their own) and hands it,
// with the controller, to the device thread; the dispatcher and the
// attachment call the pieces through it. An empty handler leaves its
// requests unanswered, so the bus answers control requests with a stall; an
// empty worker is not started, so its endpoint's requests stay pending until
// the host unlinks them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>

#include "base/controller.h"
#include "platform/vbus.h"

namespace quor {

struct DeviceContext;

struct SoftDevHooks {
    // Control requests to interface 3, and to interfaces 0 to 2; REQ is
    // converted. 0 when a reply was written, -1 when not.
    using Handler =
        std::function<int(DeviceContext& device, VirtualBus& bus, uint8_t* req, size_t len)>;
    // Thread bodies, each given the bus; each sets and clears its own alive
    // flag and ends on SOFTDEV_SHUTDOWN (audio) or the stop request
    // (interrupt).
    using Worker = std::function<int(DeviceContext& device, VirtualBus& bus)>;

    Handler hid_requests;
    Handler audio_requests;
    Worker playback_worker;
    Worker capture_worker;
    Worker interrupt_worker;
    // Frees the stored GRUU when the device stops.
    std::function<void()> release_gruu;
};

// What an attachment's handlers and workers are given, for as long as the
// attachment lasts: the controller whose pairing it serves, the clock every
// worker paces itself by (the controller's), and the device's pieces.
struct DeviceContext {
    DeviceContext(Controller& c, SoftDevHooks h)
        : controller(c), clock(c.clock()), hooks(std::move(h)) {}

    Controller& controller;
    Clock& clock;
    const SoftDevHooks hooks;
};

}  // namespace quor
