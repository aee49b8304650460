// IPv4 addresses from text, the same on POSIX and Windows.
#include "platform/net.h"
#include "platform/socket_compat.h"

namespace quor {

int ipv4_from_dotted(const char* text, uint32_t* addr) {
    in_addr a{};
    if (inet_pton(AF_INET, text, &a) != 1) return -1;
    *addr = ntohl(a.s_addr);
    return 0;
}

uint32_t ipv4_from_text(const char* text) {
    return ntohl(inet_addr(text));
}

}  // namespace quor
