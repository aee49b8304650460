#include "platform/vbus_wire.h"

#include <algorithm>
#include <cstring>

#include "platform/byte_order.h"

namespace quor {

namespace {
constexpr uint8_t SETUP_REQUEST_TYPE = 0;
constexpr uint8_t SETUP_REQUEST = 1;
constexpr uint8_t SETUP_VALUE_LOW = 2;
constexpr uint8_t SETUP_INDEX_LOW = 4;

// Standard requests, keyed by bmRequestType and bRequest together.
constexpr uint16_t SET_CONFIGURATION = 0x0009;
constexpr uint16_t GET_CONFIGURATION = 0x8008;
constexpr uint16_t SET_INTERFACE = 0x010B;
constexpr uint16_t GET_INTERFACE = 0x810A;

uint16_t request_key(const UsbipRequest& req) {
    return uint16_t(req.setup[SETUP_REQUEST_TYPE] << 8 | req.setup[SETUP_REQUEST]);
}

uint32_t iso_count(uint32_t number_of_packets) {
    return number_of_packets == USBIP_NOT_ISO ? 0 : number_of_packets;
}

void put_wire_header(uint8_t* h, uint32_t command, uint32_t seqnum, int32_t status,
                     uint32_t actual_length, uint32_t packets) {
    memset(h, 0, USBIP_HEADER_SIZE);
    put_be32(h + USBIP_COMMAND, command);
    put_be32(h + USBIP_SEQNUM, seqnum);
    put_be32(h + USBIP_STATUS, uint32_t(status));
    put_be32(h + USBIP_LENGTH, actual_length);
    put_be32(h + USBIP_PACKETS, packets);
}
}  // namespace

long usbip_request_size(const uint8_t* hdr, size_t max_pdu, const char** why) {
    const uint32_t command = get_be32(hdr + USBIP_COMMAND);
    if (command == USBIP_CMD_UNLINK) return long(USBIP_HEADER_SIZE);
    if (command != USBIP_CMD_SUBMIT) {
        *why = "unknown command";
        return -1;
    }
    const uint32_t direction = get_be32(hdr + USBIP_DIRECTION);
    if (direction != USBIP_DIR_OUT && direction != USBIP_DIR_IN) {
        *why = "bad direction";
        return -1;
    }
    if (get_be32(hdr + USBIP_EP) > 15) {
        *why = "bad endpoint";
        return -1;
    }
    const uint64_t data = direction == USBIP_DIR_OUT ? get_be32(hdr + USBIP_LENGTH) : 0;
    const uint64_t size = USBIP_HEADER_SIZE + data +
                          uint64_t(iso_count(get_be32(hdr + USBIP_PACKETS))) * USBIP_ISO_DESC_SIZE;
    if (size > max_pdu) {
        *why = "request larger than the device accepts";
        return -1;
    }
    return long(size);
}

int usbip_parse_submit(const uint8_t* pdu, size_t len, UsbipRequest* req, const char** why) {
    req->seqnum = get_be32(pdu + USBIP_SEQNUM);
    req->direction = get_be32(pdu + USBIP_DIRECTION);
    req->ep = get_be32(pdu + USBIP_EP);
    req->transfer_buffer_length = get_be32(pdu + USBIP_LENGTH);
    memcpy(req->setup.data(), pdu + USBIP_SETUP, req->setup.size());
    const uint32_t packets = iso_count(get_be32(pdu + USBIP_PACKETS));
    const size_t descs = len - size_t(packets) * USBIP_ISO_DESC_SIZE;
    req->iso.clear();
    req->iso.reserve(packets);
    // Packets must lie in the buffer and, together, not claim more than it
    // holds: their lengths add up to the bytes an OUT reply reports taken.
    uint64_t total = 0;
    for (uint32_t i = 0; i < packets; ++i) {
        const uint8_t* d = pdu + descs + size_t(i) * USBIP_ISO_DESC_SIZE;
        const IsoPacket p{get_be32(d), get_be32(d + 4)};
        total += p.length;
        if (uint64_t(p.offset) + p.length > req->transfer_buffer_length ||
            total > req->transfer_buffer_length) {
            *why = "isochronous packets outside the transfer buffer";
            return -1;
        }
        req->iso.push_back(p);
    }
    return 0;
}

int usbip_wire_reply(const UsbipRequest& req, const uint8_t* reply, size_t len,
                     std::vector<uint8_t>* out, int32_t* status) {
    if (len < USBIP_HEADER_SIZE || get_le32(reply + USBIP_COMMAND) != USBIP_RET_SUBMIT) return -1;
    const uint32_t actual = get_le32(reply + USBIP_LENGTH);
    if (actual > len - USBIP_HEADER_SIZE) return -1;
    *status = int32_t(get_le32(reply + USBIP_STATUS));
    const uint8_t* data = reply + USBIP_HEADER_SIZE;
    const bool ok = *status == 0;
    const bool in = req.direction == USBIP_DIR_IN;

    const size_t at = out->size();
    out->resize(at + USBIP_HEADER_SIZE);
    if (req.iso.empty()) {
        const uint32_t sent = in && ok ? std::min(actual, req.transfer_buffer_length) : 0;
        const uint32_t taken = in ? sent : ok ? req.transfer_buffer_length : 0;
        put_wire_header(out->data() + at, USBIP_RET_SUBMIT, req.seqnum, *status, taken, 0);
        out->insert(out->end(), data, data + sent);
        return 0;
    }

    // The device's own packet lengths count only when it gave one
    // descriptor per packet of the request.
    const uint32_t dev_packets = get_le32(reply + USBIP_PACKETS);
    const uint8_t* dev_descs = data + actual;
    const bool use_dev_descs =
        dev_packets == req.iso.size() &&
        uint64_t(len) - USBIP_HEADER_SIZE - actual >= uint64_t(dev_packets) * USBIP_ISO_DESC_SIZE;

    std::vector<uint8_t> descs(req.iso.size() * USBIP_ISO_DESC_SIZE);
    uint32_t total = 0;
    uint32_t cursor = 0;  // next unread byte of the device's data
    for (size_t i = 0; i < req.iso.size(); ++i) {
        const IsoPacket& p = req.iso[i];
        uint32_t packet = 0;
        if (ok && !in) {
            packet = p.length;
        } else if (ok) {
            const uint32_t offered = std::min(
                use_dev_descs ? get_le32(dev_descs + i * USBIP_ISO_DESC_SIZE + 8) : p.length,
                actual - cursor);
            packet = std::min(offered, p.length);
            out->insert(out->end(), data + cursor, data + cursor + packet);
            cursor += offered;
        }
        uint8_t* d = descs.data() + i * USBIP_ISO_DESC_SIZE;
        put_be32(d, p.offset);
        put_be32(d + 4, p.length);
        put_be32(d + 8, packet);
        total += packet;
    }
    put_wire_header(out->data() + at, USBIP_RET_SUBMIT, req.seqnum, *status, total,
                    uint32_t(req.iso.size()));
    out->insert(out->end(), descs.begin(), descs.end());
    return 0;
}

std::array<uint8_t, USBIP_HEADER_SIZE> usbip_ret_unlink(uint32_t seqnum, int32_t status) {
    std::array<uint8_t, USBIP_HEADER_SIZE> h;
    put_wire_header(h.data(), USBIP_RET_UNLINK, seqnum, status, 0, 0);
    return h;
}

void UsbipControlState::note_answer(const UsbipRequest& req, int32_t status) {
    if (req.ep != 0 || status != 0) return;
    switch (request_key(req)) {
        case SET_CONFIGURATION:
            configuration_ = req.setup[SETUP_VALUE_LOW];
            alt_setting_.fill(0);
            break;
        case SET_INTERFACE:
            alt_setting_[req.setup[SETUP_INDEX_LOW]] = req.setup[SETUP_VALUE_LOW];
            break;
        default:
            break;
    }
}

std::vector<uint8_t> UsbipControlState::fallback_reply(const UsbipRequest& req) const {
    std::vector<uint8_t> reply(USBIP_HEADER_SIZE, 0);
    int32_t status = 0;
    switch (request_key(req)) {
        case SET_CONFIGURATION:
            break;
        case GET_CONFIGURATION:
            reply.push_back(configuration_);
            break;
        case GET_INTERFACE:
            reply.push_back(alt_setting_[req.setup[SETUP_INDEX_LOW]]);
            break;
        default:
            status = USBIP_ESTALL;
            break;
    }
    put_le32(reply.data() + USBIP_COMMAND, USBIP_RET_SUBMIT);
    put_le32(reply.data() + USBIP_SEQNUM, req.seqnum);
    put_le32(reply.data() + USBIP_STATUS, uint32_t(status));
    put_le32(reply.data() + USBIP_LENGTH, uint32_t(reply.size() - USBIP_HEADER_SIZE));
    return reply;
}

}  // namespace quor
