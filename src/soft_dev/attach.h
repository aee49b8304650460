// One attachment of the emulated phone to the virtual bus, from the look-up
// of the bus to the unplug: started by the pairing session once the phone
// has told its identity.
#pragma once

#include "base/controller.h"
#include "platform/vbus.h"
#include "soft_dev/soft_dev_hooks.h"

namespace quor {

// Plug-in requests after the first refusal, 200 ms apart.
constexpr int PLUGIN_RETRIES = 20;
constexpr int PLUGIN_RETRY_MS = 200;

// The first free port 1 to 127 of the bus's port table, or -1 when the
// table cannot be read, is not 128 bytes, or has no free port.
int get_free_port(VirtualBus& bus);
// Plugs the device into PORT with the current plug-in record: 0 accepted,
// 1 refused.
int plugin_device(VirtualBus& bus, int port);

// Thread body: one attachment for CONTROLLER's pairing on the bus that
// QUOR_VBUS names (vhci_hcd when unset), with the HID and audio-class
// handlers and the streaming and interrupt workers of HOOKS. Returns 0.
int start_device_thread(Controller& controller, SoftDevHooks hooks);
// The attachment on BUS. Sleeps and polls on the device's clock. Ends with
// state 0, or with the program ended when the stop request was 2.
int run_attachment(DeviceContext& device, VirtualBus& bus);

}  // namespace quor
