// Control requests to the HID interface (interface 3): the conversation
// with Lync. Feature reports and the report descriptor identify the device;
// output reports carry Lync's requests and sign-in credentials (report 3),
// the call dialog (6), the display name and reference texts (0x14, 0x15)
// and Lync's presence (0x16), which become messages to the phone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/controller.h"
#include "platform/vbus.h"

namespace quor {

// How long the interrupt worker may answer after Lync's last poll (code 1).
constexpr int HID_SEND_WINDOW_MS = 5000;

// REQ is a converted request of LEN bytes. Returns 0 when a reply was
// written, -1 when the request was left unanswered.
int process_hid_class_specific_requests(Controller& controller, VirtualBus& bus, const uint8_t* req,
                                        size_t len);

// Timer 1128 ran out: Lync stopped polling.
void close_hid_send_window();

}  // namespace quor
