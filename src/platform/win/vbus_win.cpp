#include <cstdlib>
#include <cstring>

#include "base/diag_log.h"
#include "platform/vbus.h"
#include "platform/vbus_socket.h"
#include "platform/vbus_usbip_server.h"

namespace quor {

// The USB/IP server, which a USB/IP client on this PC or another attaches,
// or the socket back end that QUOR_VBUS names. The virtual bus driver the
// program was designed for is not available, so the server listens on
// loopback unless told otherwise; one that could not start says why in its
// look-up.
std::unique_ptr<VirtualBus> make_virtual_bus() {
    const char* address = getenv("QUOR_VBUS");
    if (address && *address && strncmp(address, "usbip:", 6) != 0 && !usbip_server())
        return std::make_unique<SocketBus>(address);
    return make_usbip_bus();
}

// The server is the only bus: a USB/IP client on this PC attaches the phone.
std::string default_usbip_listen() {
    return "127.0.0.1";
}

}  // namespace quor
