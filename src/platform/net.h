// Thin socket layer over POSIX. A socket that another thread may be blocked
// on is woken with wake_socket() and closed only by its owner: close() does
// not wake a blocked receive, and a closed descriptor number can be reused at
// once by another socket or file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quor {

// Checks that the socket layer works (an IPv4 datagram socket can be made).
int net_startup();

// TCP client connect to ADDR (IPv4, host order) and PORT; the socket or -1.
int tcp_connect(uint32_t addr, uint16_t port);
// UDP socket bound to PORT on every local address; the socket or -1.
int udp_bind(uint16_t port);
// UDP socket bound to PORT on the local address ADDR (IPv4, host order;
// 0 is every address); the socket or -1.
int udp_bind_at(uint32_t addr, uint16_t port);
// Local IPv4 address of a connected socket in host order; 0 on success.
int local_ipv4(int fd, uint32_t* addr);
// Makes every blocked call on FD return; FD stays open.
void wake_socket(int fd);
void close_socket(int fd);

}  // namespace quor
