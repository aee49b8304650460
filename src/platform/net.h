// Thin socket layer over POSIX. A socket that another thread may be blocked
// on is woken with wake_socket() and closed only by its owner: close() does
// not wake a blocked receive, and a closed descriptor number can be reused at
// once by another socket or file.
#pragma once

#include <sys/types.h>

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
// Receives up to LEN bytes of a stream: their number, 0 when the peer has
// closed or the socket was woken, -1 with errno set.
ssize_t socket_recv(int fd, uint8_t* buf, size_t len);
// Sends LEN bytes of a stream: the number sent, or -1 with errno set. A
// peer that has gone away is an error here, never a signal to the process.
ssize_t socket_send(int fd, const uint8_t* buf, size_t len);
// Sends the LEN bytes of BUF as one message on a local socket, with the
// descriptor PASS_FD attached unless it is -1. FLAGS are added to
// MSG_NOSIGNAL. The number of bytes sent, or -1 with errno set.
ssize_t send_with_descriptor(int fd, const uint8_t* buf, size_t len, int pass_fd, int flags);
// Takes one datagram into BUF, cut to SIZE: waits for it, or with WAIT false
// takes only one already queued (-1 with errno EAGAIN when none is). Returns
// the datagram's whole length, which exceeds SIZE when it was cut; 0 for an
// empty datagram or once the socket was woken; -1 with errno set. FROM,
// unless null, receives the sender's IPv4 address in host order.
ssize_t udp_receive(int fd, uint8_t* buf, size_t size, bool wait, uint32_t* from);
// Asks for a receive queue of BYTES on FD; 0, or -1.
int set_receive_queue(int fd, int bytes);
// True when data that has arrived on FD waits to be received.
bool data_waiting(int fd);
// Makes every blocked call on FD return; FD stays open.
void wake_socket(int fd);
void close_socket(int fd);

// An IPv4 address written in dotted decimal ("192.168.1.20": four decimal
// parts of 0 to 255) into *ADDR in host order; 0, or -1 for other text.
int ipv4_from_dotted(const char* text, uint32_t* addr);

// What ipv4_from_text returns for text it rejects (and for
// "255.255.255.255").
constexpr uint32_t IPV4_NONE = 0xFFFFFFFFu;
// TEXT read with the lenient address grammar of the classic resolver: one to
// four parts, the first most significant and the last filling the bits
// left, each decimal, octal (leading 0) or hexadecimal (leading 0x); host
// order.
uint32_t ipv4_from_text(const char* text);

}  // namespace quor
