// Requests to quor-helper, the small privileged program that does the few
// things the connector cannot do as a desktop user: plug the emulated device
// into vhci_hcd, bind the phone's log port (UDP 514), and open the firewall
// for the paired phone.
//
// The helper listens on a SOCK_SEQPACKET Unix socket. Every request is one
// 20-byte record and gets one 16-byte answer, both in this machine's byte
// order (the two ends are on the same host). Descriptors travel as
// SCM_RIGHTS ancillary data: the attach request carries the stream socket
// that the kernel will use, the bind answer carries the bound socket.
//
//   request: magic u32 | version u16 | op u16 | a u32 | b u32 | c u32
//   answer:  magic u32 | op u16 | status u16 | value u32 | zero u32
//
//   op             a          b               c        answer value
//   ATTACH         device id  speed (1-3)     0        vhci port
//   DETACH         vhci port  0               0        -
//   BIND_UDP       family     IPv4 address    port     -  (socket attached)
//   FIREWALL_OPEN  family     IPv4 address    0        -
//   FIREWALL_CLOSE family     IPv4 address    0        -
//
// Addresses are in host order; the family is AF_INET's number. Status is 0
// or an errno value: EPERM (not authorized), EINVAL (malformed), ENOENT
// (a port or rule this caller does not hold), EBUSY (no free port), or the
// error of the failed operation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quor::helper {

constexpr uint32_t MAGIC = 0x51484C50u;  // "QHLP"
constexpr uint16_t VERSION = 1;
constexpr size_t REQUEST_SIZE = 20;
constexpr size_t ANSWER_SIZE = 16;

constexpr uint16_t OP_ATTACH = 1;
constexpr uint16_t OP_DETACH = 2;
constexpr uint16_t OP_BIND_UDP = 3;
constexpr uint16_t OP_FIREWALL_OPEN = 4;
constexpr uint16_t OP_FIREWALL_CLOSE = 5;

constexpr uint32_t FAMILY_IPV4 = 2;  // AF_INET
// USB speeds the USB 2.0 ports of vhci_hcd take: low, full and high.
constexpr uint32_t SPEED_LOW = 1;
constexpr uint32_t SPEED_HIGH = 3;
// vhci_hcd numbers its ports from 0; the program never uses more than the
// port table it reads (PORT_STATUS_SIZE - 1 entries).
constexpr uint32_t MAX_PORT = 126;
// The only port the helper binds: the phone's log service.
constexpr uint16_t LOG_SERVICE_PORT = 514;

struct Request {
    uint16_t op = 0;
    uint32_t a = 0;
    uint32_t b = 0;
    uint32_t c = 0;
};

struct Answer {
    uint16_t op = 0;
    uint16_t status = 0;
    uint32_t value = 0;
};

void encode_request(const Request& req, uint8_t out[REQUEST_SIZE]);
void encode_answer(const Answer& ans, uint8_t out[ANSWER_SIZE]);

// Checks one received request: LEN bytes in BUF (LEN may exceed
// REQUEST_SIZE when the sender sent too much; the record is then refused),
// FDS the number of descriptors that came with it. Returns 0 and fills *REQ,
// or EINVAL with *WHY naming the fault for the log.
int decode_request(const uint8_t* buf, size_t len, int fds, Request* req, const char** why);

// Checks an answer to a request of operation OP: 0 and fills *ANS, or
// EPROTO.
int decode_answer(const uint8_t* buf, size_t len, uint16_t op, Answer* ans);

// Name of an operation for log lines ("attach"), "unknown" for others.
const char* op_name(uint16_t op);

}  // namespace quor::helper
