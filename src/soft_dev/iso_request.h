// The packets of a converted isochronous request as the streaming workers
// answer them: one reply descriptor per packet of the request, each
// packet's length taken from the request.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/vbus_wire.h"

namespace quor {

// Descriptors a request PDU of the largest accepted size can hold.
constexpr size_t MAX_ISO_PACKETS = (USBIP_MAX_PDU - USBIP_HEADER_SIZE) / USBIP_ISO_DESC_SIZE;

struct IsoSlice {
    uint32_t offset;  // in the transfer buffer
    uint32_t length;  // as requested
    uint32_t actual;  // bytes taken or given; set by the worker
};

struct IsoLayout {
    uint32_t number_of_packets = 0;  // as the request gave it, echoed in the reply
    uint32_t transfer_length = 0;
    // OUT data (transfer_length bytes) inside the request; null for IN.
    const uint8_t* out_data = nullptr;
    // The packets; a request that is not isochronous counts as one packet
    // covering the whole transfer buffer, and gets no descriptors back.
    size_t count = 0;
    bool has_descriptors = false;
    IsoSlice slice[MAX_ISO_PACKETS];
};

// Reads converted request REQ of LEN bytes. A packet reaching outside the
// transfer buffer keeps its place with length 0. -1 when the PDU is shorter
// than its header announces or holds more packets than any request can.
int read_iso_layout(const uint8_t* req, size_t len, IsoLayout* out);

// Writes the reply's descriptors (offset, length, actual, status 0; 16
// bytes each, little-endian) at OUT; returns the bytes written.
size_t put_iso_descriptors(const IsoLayout& layout, uint8_t* out);

}  // namespace quor
