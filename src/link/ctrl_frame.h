// The control channel's frame codec, shared by the connector and the phone
// simulator: one type byte, one length byte (0..255), the payload. Numbers
// inside payloads are big-endian; text payloads end with a NUL that the length
// counts. Also the phone's address datagram and the LOG_ROUTE payload; the
// message codes and the device's payloads are in soft_dev/phone_msgs.h.
// Nothing here does I/O: ctrl_channel.h reads and sends frames on sockets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "soft_dev/phone_msgs.h"

constexpr uint16_t CTRL_PORT = 7063;
constexpr uint16_t ADDRESS_DATAGRAM_PORT = 14897;

constexpr size_t CTRL_HEADER_LEN = 2;
constexpr size_t CTRL_PAYLOAD_MAX = 255;
constexpr size_t CTRL_FRAME_MAX = CTRL_HEADER_LEN + CTRL_PAYLOAD_MAX;

constexpr size_t LOG_ROUTE_LEN = 8;
constexpr size_t ADDRESS_DATAGRAM_LEN = 6;

// The catalogue name of a type ("PAIR_QUERY"), or "UNKNOWN" for a code that
// is not in the catalogue. Never null.
const char* ctrl_type_name(uint8_t type);

// True when the code is in the catalogue, in either direction.
bool ctrl_type_known(uint8_t type);

struct CtrlFrame {
    uint8_t type;
    uint8_t len;
    uint8_t payload[CTRL_PAYLOAD_MAX];
};

// Writes header and payload to OUT. Returns the frame length, or -1 when the
// payload is longer than 255 bytes or the frame does not fit in OUT_SIZE.
// PAYLOAD may be null when LEN is 0.
int encode_frame(uint8_t type, const uint8_t* payload, size_t len, uint8_t* out, size_t out_size);

// Gathers control frames from a byte stream that arrives in pieces of any
// size, a header or payload split over several pieces included. It does no
// I/O: a reader hands it the bytes it received and collects each whole
// frame. It never takes a byte past the end of the frame it is gathering, so
// a reader that receives wanted() bytes at a time leaves the next frame in
// the stream. A frame's payload leaves no copy behind once collected.
class CtrlFramer {
  public:
    CtrlFramer() = default;
    ~CtrlFramer();
    CtrlFramer(const CtrlFramer&) = delete;
    CtrlFramer& operator=(const CtrlFramer&) = delete;

    // Takes bytes from DATA up to the end of the current frame and returns
    // how many it took; 0 while a whole frame waits to be collected.
    size_t feed(const uint8_t* data, size_t n);
    // The bytes the current frame still lacks: what is missing of the
    // header, then of the payload; 0 while a whole frame waits.
    size_t wanted() const;
    // Moves the whole frame to *F and starts the next; false, and F
    // untouched, while the frame is not complete.
    bool next(CtrlFrame* f);
    // Part of a frame is held: a stream that ends now cuts a frame short.
    bool partial() const;

  private:
    CtrlFrame m_frame{};
    size_t m_have = 0;  // header and payload bytes held
};

// Gathers one whole frame from a stream through RECEIVE, which receives at
// most N bytes into BUF and returns how many: 0 at the stream's end, -1 when
// it failed. It asks for no byte past the frame's end, so the next frame
// stays in the stream. 1 for a frame, 0 when the stream ended (also in the
// middle of a frame), -1 when a receive failed. The bytes pass through a
// buffer that is wiped before this returns.
using FrameReceive = std::function<long(uint8_t* buf, size_t n)>;
int gather_frame(CtrlFrame* f, const FrameReceive& receive);

// LOG_ROUTE payloads: send the phone's log to this PC (its address on the
// control connection, host order) or back to the phone itself.
void build_log_route_to_pc(uint32_t local_ipv4_host_order, uint8_t out[LOG_ROUTE_LEN]);
void build_log_route_to_phone(uint8_t out[LOG_ROUTE_LEN]);

// The phone's address datagram: 4 address bytes, first octet first, then the
// 16-bit big-endian sum of those bytes. Decoding returns 0 and the address
// (first octet in the most significant byte) for a valid datagram, -1 for a
// wrong size or check value.
int decode_address_datagram(const uint8_t* buf, size_t n, uint32_t* addr_host_order);
void encode_address_datagram(uint32_t addr_host_order, uint8_t out[ADDRESS_DATAGRAM_LEN]);
