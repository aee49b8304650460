#include "platform/vbus.h"

#include <cstdlib>

#include "platform/vbus_socket.h"
#include "platform/vbus_vhci.h"

namespace quor {

std::unique_ptr<VirtualBus> make_virtual_bus() {
    if (const char* address = getenv("QUOR_VBUS"); address && *address)
        return std::make_unique<SocketBus>(address);
    return std::make_unique<VhciBus>();
}

}  // namespace quor
