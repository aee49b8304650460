#include "soft_dev/iso_request.h"

#include "platform/byte_order.h"
#include "soft_dev/usbip_pdu.h"

namespace quor {

int read_iso_layout(const uint8_t* req, size_t len, IsoLayout* out) {
    if (len < USBIP_HEADER_SIZE) return -1;
    out->number_of_packets = pdu_word(req, USBIP_PACKETS);
    out->transfer_length = pdu_word(req, USBIP_LENGTH);
    const bool is_out = pdu_word(req, USBIP_DIRECTION) == USBIP_DIR_OUT;
    const uint64_t data = is_out ? out->transfer_length : 0;
    out->has_descriptors = out->number_of_packets != USBIP_NOT_ISO && out->number_of_packets != 0;
    const uint64_t packets = out->has_descriptors ? out->number_of_packets : 0;
    if (packets > MAX_ISO_PACKETS || USBIP_HEADER_SIZE + data + packets * USBIP_ISO_DESC_SIZE > len)
        return -1;
    out->out_data = is_out ? req + USBIP_HEADER_SIZE : nullptr;
    if (!out->has_descriptors) {
        out->count = 1;
        out->slice[0] = IsoSlice{0, out->transfer_length, 0};
        return 0;
    }
    out->count = size_t(packets);
    const uint8_t* d = req + USBIP_HEADER_SIZE + data;
    for (size_t i = 0; i < out->count; ++i, d += USBIP_ISO_DESC_SIZE) {
        // Descriptors stay as the host sent them: big-endian.
        IsoSlice s{get_be32(d), get_be32(d + 4), 0};
        if (uint64_t(s.offset) + s.length > out->transfer_length) s.length = 0;
        out->slice[i] = s;
    }
    return 0;
}

size_t put_iso_descriptors(const IsoLayout& layout, uint8_t* out) {
    if (!layout.has_descriptors) return 0;
    for (size_t i = 0; i < layout.count; ++i, out += USBIP_ISO_DESC_SIZE) {
        put_le32(out, layout.slice[i].offset);
        put_le32(out + 4, layout.slice[i].length);
        put_le32(out + 8, layout.slice[i].actual);
        put_le32(out + 12, 0);
    }
    return layout.count * USBIP_ISO_DESC_SIZE;
}

}  // namespace quor
