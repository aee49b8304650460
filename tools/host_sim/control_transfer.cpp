#include "control_transfer.h"

#include "platform/byte_order.h"
#include "usb_descriptors.h"

void setup_to_bytes(const ControlSetup& setup, uint8_t out[8]) {
    out[0] = setup.request_type;
    out[1] = setup.request;
    put_le16(out + 2, setup.value);
    put_le16(out + 4, setup.index);
    put_le16(out + 6, setup.length);
}

ControlSetup setup_from_bytes(const uint8_t bytes[8]) {
    ControlSetup s;
    s.request_type = bytes[0];
    s.request = bytes[1];
    s.value = get_le16(bytes + 2);
    s.index = get_le16(bytes + 4);
    s.length = get_le16(bytes + 6);
    return s;
}

ControlSetup get_descriptor_setup(uint8_t type, uint8_t index, uint16_t lang, uint16_t length) {
    ControlSetup s;
    s.request_type = 0x80;
    s.request = REQ_GET_DESCRIPTOR;
    s.value = static_cast<uint16_t>((type << 8) | index);
    s.index = lang;
    s.length = length;
    return s;
}

ControlSetup set_configuration_setup(uint8_t value) {
    ControlSetup s;
    s.request_type = 0x00;
    s.request = REQ_SET_CONFIGURATION;
    s.value = value;
    return s;
}

ControlSetup set_interface_setup(uint8_t interface, uint8_t alt) {
    ControlSetup s;
    s.request_type = 0x01;
    s.request = REQ_SET_INTERFACE;
    s.value = alt;
    s.index = interface;
    return s;
}

int control_transfer(HostConnection& conn, HostOutput& out, const ControlSetup& setup,
                     const std::vector<uint8_t>& out_data, int timeout_ms, ControlResult* result) {
    UrbRequest req;
    req.type = UrbType::CONTROL;
    setup_to_bytes(setup, req.setup);
    req.buffer_length = setup.length;
    if ((setup.request_type & 0x80) == 0) req.out_data = out_data;

    uint32_t seqnum = 0;
    if (conn.submit(req, nullptr, &seqnum) != 0) return -1;
    UrbResult urb;
    UrbTracker::WaitResult w = conn.wait(seqnum, timeout_ms, &urb);
    *result = ControlResult();
    if (w == UrbTracker::TIMEOUT) {
        out.linef("timeout seq=%u setup=%s after=%dms", seqnum, hex_string(req.setup, 8).c_str(),
                  timeout_ms);
        if (unlink_urb(conn, out, seqnum, timeout_ms) != 0) return -1;
        if (conn.wait(seqnum, timeout_ms, &urb) != UrbTracker::DONE) return -1;
        result->timed_out = urb.unlinked;
    } else if (w != UrbTracker::DONE) {
        return -1;
    }
    result->status = result->timed_out ? STATUS_ETIMEDOUT : urb.status;
    result->data = std::move(urb.data);
    result->actual_length = urb.actual_length;
    return 0;
}

int unlink_urb(HostConnection& conn, HostOutput& out, uint32_t seqnum, int timeout_ms) {
    int32_t status = 0;
    switch (conn.unlink(seqnum, timeout_ms, &status)) {
        case HostConnection::UNLINK_ANSWERED:
            out.linef("unlink seq=%u status=%d", seqnum, status);
            return 0;
        case HostConnection::UNLINK_NOT_NEEDED:
            out.linef("unlink seq=%u answered-before-unlink", seqnum);
            return 0;
        case HostConnection::UNLINK_TIMEOUT:
            out.error(strfmt("no RET_UNLINK for seqnum %u within %d ms; dropping the device",
                             seqnum, timeout_ms));
            conn.drop();
            return -1;
        default:
            return -1;
    }
}
