#include "platform/vbus.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/helper_client.h"
#include "platform/vbus_socket.h"
#include "platform/vbus_usbip_server.h"
#include "platform/vbus_vhci.h"

namespace quor {

std::unique_ptr<VirtualBus> make_virtual_bus() {
    const char* address = getenv("QUOR_VBUS");
    if (usbip_server() || (address && strncmp(address, "usbip:", 6) == 0)) return make_usbip_bus();
    if (address && *address) return std::make_unique<SocketBus>(address);
    // Without root rights, quor-helper writes vhci_hcd's attach and detach
    // files.
    return std::make_unique<VhciBus>("/sys", geteuid() == 0 ? std::string() : helper_socket_path());
}

// vhci_hcd is the bus; the server runs only when asked for.
std::string default_usbip_listen() {
    return {};
}

}  // namespace quor
