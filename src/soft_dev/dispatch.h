// The bus reader and the dispatcher that routes each request by endpoint:
// control requests to their handlers on this thread, isochronous and
// interrupt requests to the queues of their workers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/vbus.h"
#include "soft_dev/soft_dev_hooks.h"

namespace quor {

constexpr size_t READ_BUFFER_SIZE = 10000;
// Longest wait of the reader before it looks at its events again.
constexpr int READ_POLL_MS = 100;

// Logs, converts and routes one request PDU of LEN bytes as read from the
// bus (header words big-endian); control requests go to DEVICE's handlers.
// Returns 0.
int process_dev_data(DeviceContext& device, uint8_t* buf, size_t len, VirtualBus& bus);

// Takes requests from the bus until SOFTDEV_SHUTDOWN is signalled.
void softdev_io_loop(DeviceContext& device, VirtualBus& bus);

// Removes an unlinked request from whichever worker queue holds it.
void drop_queued_request(uint32_t seqnum);

}  // namespace quor
