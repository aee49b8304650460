// Datagram operations of the call's RTP socket beyond net.h: non-blocking
// mode, sending to and receiving from an IPv4 address.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace quor {

// An IPv4 endpoint in host order.
struct Ipv4Endpoint {
    uint32_t addr = 0;
    uint16_t port = 0;
};

int udp_set_nonblocking(int fd);
// Bytes sent, or -1.
ssize_t udp_send_to(int fd, const uint8_t* buf, size_t len, const Ipv4Endpoint& to);
// Takes one waiting datagram without blocking: its length (cut to SIZE), 0
// when nothing is waiting, -1 on an error. FROM receives the sender.
ssize_t udp_receive_from(int fd, uint8_t* buf, size_t size, Ipv4Endpoint* from);

}  // namespace quor
