#include "platform/vbus.h"

#include <cstdlib>
#include <cstring>

#include "platform/vbus_socket.h"
#include "platform/vbus_usbip_server.h"
#include "platform/vbus_vhci.h"

namespace quor {

std::unique_ptr<VirtualBus> make_virtual_bus() {
    const char* address = getenv("QUOR_VBUS");
    if (usbip_server() || (address && strncmp(address, "usbip:", 6) == 0)) return make_usbip_bus();
    if (address && *address) return std::make_unique<SocketBus>(address);
    return std::make_unique<VhciBus>();
}

}  // namespace quor
