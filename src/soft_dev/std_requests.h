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
// Logs which endpoint REQ addresses and answers it. GET_STATUS gets two zero
// status bytes, CLEAR_FEATURE and SET_FEATURE of ENDPOINT_HALT and every
// class or vendor request an empty success. The other standard requests do
// not apply to these endpoints (SYNCH_FRAME included: no endpoint here
// varies its packet sizes) and are left unanswered (-1), which the bus
// answers with a stall.
int process_endpoint_requests(VirtualBus& bus, const uint8_t* req, size_t len);

// Whether REQ, which the dispatcher routes to an interface, is a standard
// request that no class handler serves: all but SET_INTERFACE (the streaming
// interfaces' selection) and GET_DESCRIPTOR (the HID report descriptor).
bool is_standard_interface_request(const uint8_t* req);
// Answers such a request: GET_STATUS of an interface of the configuration
// gets its two zero bytes; GET_INTERFACE is left to the bus, which answers
// with the alternate setting it saw selected; the rest (no interface has a
// feature to clear or set, the other requests are not for interfaces) are
// left unanswered, a stall. Returns 0 when a reply was written, -1 when not.
int process_standard_interface_requests(VirtualBus& bus, const uint8_t* req, size_t len);

}  // namespace quor
