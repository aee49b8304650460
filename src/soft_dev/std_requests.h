// Answers to control requests addressed to the device and to an endpoint.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/vbus.h"

namespace quor {

// REQ is a converted request of LEN bytes. Returns 0 when a reply was
// written, -1 when the request was left unanswered (GET_CONFIGURATION,
// SET_CONFIGURATION, GET_INTERFACE and strings the device does not have).
// GET_STATUS answers two zero bytes; every other request without an answer
// of its own gets an empty success.
int process_standard_device_requests(VirtualBus& bus, const uint8_t* req, size_t len);
// Logs which endpoint REQ addresses and answers with an empty success (two
// zero status bytes for GET_STATUS).
int process_endpoint_requests(VirtualBus& bus, const uint8_t* req, size_t len);

}  // namespace quor
