#include <cerrno>

#include "platform/helper_client.h"
#include "platform/net.h"

namespace quor {

// On Windows the program's firewall exception covers the executable as a
// whole, made at start-up; there is no rule per paired phone to add or take
// back here.
void phone_firewall_open(uint32_t) {}
void phone_firewall_close() {}

// Windows lets any process bind ports below 1024.
int udp_bind_privileged(uint32_t addr, uint16_t port) {
    return udp_bind_at(addr, port);
}

}  // namespace quor
