#include "usbip_wire.h"

#include <cstring>

#include "host_text.h"
#include "platform/byte_order.h"

namespace {

void put_header_base(uint8_t* p, uint32_t command, uint32_t seqnum, uint32_t devid,
                     uint32_t direction, uint32_t ep) {
    put_be32(p + 0, command);
    put_be32(p + 4, seqnum);
    put_be32(p + 8, devid);
    put_be32(p + 12, direction);
    put_be32(p + 16, ep);
}

// Once this many consumed bytes sit in front of the buffer they are dropped.
constexpr size_t COMPACT_AT = 64 * 1024;

}  // namespace

int encode_cmd_submit(const CmdSubmit& cmd, const uint8_t* out_data,
                      const std::vector<UsbipIsoPacket>& iso, std::vector<uint8_t>* pdu) {
    size_t data_len = cmd.direction == USBIP_DIR_OUT ? cmd.transfer_buffer_length : 0;
    size_t packets = cmd.number_of_packets > 0 ? static_cast<size_t>(cmd.number_of_packets) : 0;
    if (data_len > 0 && out_data == nullptr) return -1;
    if (iso.size() < packets) return -1;

    pdu->assign(USBIP_HEADER_SIZE + data_len + packets * USBIP_ISO_DESC_SIZE, 0);
    uint8_t* p = pdu->data();
    put_header_base(p, USBIP_CMD_SUBMIT, cmd.seqnum, cmd.devid, cmd.direction, cmd.ep);
    put_be32(p + 20, cmd.transfer_flags);
    put_be32(p + 24, cmd.transfer_buffer_length);
    put_be32(p + 28, static_cast<uint32_t>(cmd.start_frame));
    put_be32(p + 32, static_cast<uint32_t>(cmd.number_of_packets));
    put_be32(p + 36, cmd.interval);
    memcpy(p + 40, cmd.setup, sizeof(cmd.setup));
    if (data_len > 0) memcpy(p + USBIP_HEADER_SIZE, out_data, data_len);
    uint8_t* d = p + USBIP_HEADER_SIZE + data_len;
    for (size_t i = 0; i < packets; ++i) put_iso_packet(d + i * USBIP_ISO_DESC_SIZE, iso[i]);
    return 0;
}

void encode_cmd_unlink(uint32_t seqnum, uint32_t devid, uint32_t victim,
                       std::vector<uint8_t>* pdu) {
    pdu->assign(USBIP_HEADER_SIZE, 0);
    put_header_base(pdu->data(), USBIP_CMD_UNLINK, seqnum, devid, USBIP_DIR_OUT, 0);
    put_be32(pdu->data() + 20, victim);
}

void put_iso_packet(uint8_t* p, const UsbipIsoPacket& packet) {
    put_be32(p + 0, packet.offset);
    put_be32(p + 4, packet.length);
    put_be32(p + 8, packet.actual_length);
    put_be32(p + 12, static_cast<uint32_t>(packet.status));
}

UsbipIsoPacket get_iso_packet(const uint8_t* p) {
    UsbipIsoPacket packet;
    packet.offset = get_be32(p + 0);
    packet.length = get_be32(p + 4);
    packet.actual_length = get_be32(p + 8);
    packet.status = static_cast<int32_t>(get_be32(p + 12));
    return packet;
}

void decode_ret_header(const uint8_t* p, RetHeader* h) {
    h->command = get_be32(p + 0);
    h->seqnum = get_be32(p + 4);
    h->devid = get_be32(p + 8);
    h->direction = get_be32(p + 12);
    h->ep = get_be32(p + 16);
    h->status = static_cast<int32_t>(get_be32(p + 20));
    h->actual_length = get_be32(p + 24);
    h->start_frame = static_cast<int32_t>(get_be32(p + 28));
    h->number_of_packets = static_cast<int32_t>(get_be32(p + 32));
    h->error_count = static_cast<int32_t>(get_be32(p + 36));
}

void RetFramer::append(const uint8_t* bytes, size_t len) {
    if (m_failed || len == 0) return;
    if (m_pos >= COMPACT_AT) {
        m_buf.erase(m_buf.begin(), m_buf.begin() + static_cast<std::ptrdiff_t>(m_pos));
        m_pos = 0;
    }
    m_buf.insert(m_buf.end(), bytes, bytes + len);
}

RetFramer::Result RetFramer::next(UrbShapeLookup& lookup, RetPdu* pdu, std::string* error) {
    if (m_failed) {
        *error = m_failure;
        return FATAL;
    }
    if (buffered() < USBIP_HEADER_SIZE) return NEED_MORE;
    const uint8_t* p = m_buf.data() + m_pos;
    RetHeader h;
    decode_ret_header(p, &h);

    UrbShape shape;
    if (h.command == USBIP_RET_SUBMIT) {
        std::string why;
        if (lookup.shape_of(h.seqnum, &shape, &why) != 0) {
            m_failure = strfmt("RET_SUBMIT for seqnum %u, %s", h.seqnum, why.c_str());
        } else if (shape.in && h.actual_length > shape.buffer_length) {
            m_failure = strfmt("RET_SUBMIT seqnum %u carries %u bytes for a %u-byte buffer",
                               h.seqnum, h.actual_length, shape.buffer_length);
        } else if (shape.iso && h.number_of_packets != shape.packets) {
            m_failure = strfmt("RET_SUBMIT seqnum %u has %d packets, the request had %d", h.seqnum,
                               h.number_of_packets, shape.packets);
        }
        if (!m_failure.empty()) {
            m_failed = true;
            *error = m_failure;
            return FATAL;
        }
    } else if (h.command != USBIP_RET_UNLINK) {
        m_failed = true;
        m_failure = strfmt("reply with unknown command %u (seqnum %u)", h.command, h.seqnum);
        *error = m_failure;
        return FATAL;
    }

    size_t data = shape.in ? h.actual_length : 0;
    size_t packets = shape.iso && shape.packets > 0 ? static_cast<size_t>(shape.packets) : 0;
    size_t whole = USBIP_HEADER_SIZE + data + packets * USBIP_ISO_DESC_SIZE;
    if (buffered() < whole) return NEED_MORE;

    pdu->header = h;
    pdu->data.clear();
    pdu->iso.clear();
    const uint8_t* body = p + USBIP_HEADER_SIZE;
    if (h.command == USBIP_RET_SUBMIT) {
        pdu->data.assign(body, body + data);
        if (shape.iso) {
            uint64_t total = 0;
            for (size_t i = 0; i < packets; ++i) {
                pdu->iso.push_back(get_iso_packet(body + data + i * USBIP_ISO_DESC_SIZE));
                total += pdu->iso.back().actual_length;
            }
            if (total != h.actual_length) {
                m_failed = true;
                m_failure = strfmt(
                    "RET_SUBMIT seqnum %u: packets' actual lengths add up to %llu, "
                    "actual_length is %u",
                    h.seqnum, static_cast<unsigned long long>(total), h.actual_length);
                *error = m_failure;
                return FATAL;
            }
        }
    }
    if (m_keep_raw) {
        pdu->raw.assign(p, p + whole);
    } else {
        pdu->raw.clear();
    }
    m_pos += whole;
    if (m_pos == m_buf.size()) {
        m_buf.clear();
        m_pos = 0;
    }
    return PDU;
}
