#include "link/ctrl_frame.h"

#include <algorithm>
#include <cstring>

#include "platform/byte_order.h"

namespace {

struct CatalogueEntry {
    uint8_t type;
    const char* name;
};

const CatalogueEntry CATALOGUE[] = {
    {USER_NAME, "USER_NAME"},
    {PASSWORD, "PASSWORD"},
    {DOMAIN, "DOMAIN"},
    {DISMISS_SIGNIN_HELP, "DISMISS_SIGNIN_HELP"},
    {PAIR_START, "PAIR_START"},
    {LYNC_ONLINE, "LYNC_ONLINE"},
    {LYNC_LOGOUT, "LYNC_LOGOUT"},
    {PAIR_QUERY, "PAIR_QUERY"},
    {LOG_ROUTE, "LOG_ROUTE"},
    {MEDIA_OFFER, "MEDIA_OFFER"},
    {MEDIA_STOP, "MEDIA_STOP"},
    {DISPLAY_NAME, "DISPLAY_NAME"},
    {KEEPALIVE, "KEEPALIVE"},
    {SET_GRUU, "SET_GRUU"},
    {SIGNED_IN, "SIGNED_IN"},
    {SIGNED_OUT, "SIGNED_OUT"},
    {SIGNIN_FAILED, "SIGNIN_FAILED"},
    {SIGNIN_REQUEST, "SIGNIN_REQUEST"},
    {MODEL_NAME, "MODEL_NAME"},
    {VENDOR_ID, "VENDOR_ID"},
    {PRODUCT_ID, "PRODUCT_ID"},
    {DEVICE_RELEASE, "DEVICE_RELEASE"},
    {SIGNOUT_REQUEST, "SIGNOUT_REQUEST"},
    {PAIR_ANSWER, "PAIR_ANSWER"},
    {TAKEN_OVER, "TAKEN_OVER"},
    {PHONE_MEDIA_OFFER, "PHONE_MEDIA_OFFER"},
    {HANG_UP, "HANG_UP"},
    {KEEPALIVE_ACK, "KEEPALIVE_ACK"},
    {UNPAIR, "UNPAIR"},
    {UNPAIR_ACK, "UNPAIR_ACK"},
};

const char* catalogue_name(uint8_t type) {
    for (const CatalogueEntry& e : CATALOGUE)
        if (e.type == type) return e.name;
    return nullptr;
}

}  // namespace

const char* ctrl_type_name(uint8_t type) {
    const char* name = catalogue_name(type);
    return name ? name : "UNKNOWN";
}

bool ctrl_type_known(uint8_t type) {
    return catalogue_name(type) != nullptr;
}

int encode_frame(uint8_t type, const uint8_t* payload, size_t len, uint8_t* out, size_t out_size) {
    if (len > CTRL_PAYLOAD_MAX || out_size < CTRL_HEADER_LEN + len) return -1;
    out[0] = type;
    out[1] = static_cast<uint8_t>(len);
    if (len > 0) memcpy(out + CTRL_HEADER_LEN, payload, len);
    return static_cast<int>(CTRL_HEADER_LEN + len);
}

CtrlFramer::~CtrlFramer() {
    explicit_bzero(&m_frame, sizeof(m_frame));
}

size_t CtrlFramer::wanted() const {
    if (m_have < CTRL_HEADER_LEN) return CTRL_HEADER_LEN - m_have;
    return CTRL_HEADER_LEN + m_frame.len - m_have;
}

size_t CtrlFramer::feed(const uint8_t* data, size_t n) {
    size_t taken = 0;
    while (taken < n && m_have < CTRL_HEADER_LEN) {
        if (m_have == 0)
            m_frame.type = data[taken];
        else
            m_frame.len = data[taken];
        ++taken;
        ++m_have;
    }
    const size_t k = std::min(wanted(), n - taken);
    if (k > 0) {
        memcpy(m_frame.payload + (m_have - CTRL_HEADER_LEN), data + taken, k);
        taken += k;
        m_have += k;
    }
    return taken;
}

bool CtrlFramer::next(CtrlFrame* f) {
    if (m_have < CTRL_HEADER_LEN || wanted() != 0) return false;
    f->type = m_frame.type;
    f->len = m_frame.len;
    memcpy(f->payload, m_frame.payload, m_frame.len);
    explicit_bzero(m_frame.payload, m_frame.len);
    m_have = 0;
    return true;
}

bool CtrlFramer::partial() const {
    return m_have > 0 && wanted() > 0;
}

int gather_frame(CtrlFrame* f, const FrameReceive& receive) {
    CtrlFramer framer;
    uint8_t buf[CTRL_FRAME_MAX];
    int result = 1;
    while (!framer.next(f)) {
        const long r = receive(buf, framer.wanted());
        if (r <= 0) {
            result = r == 0 ? 0 : -1;
            break;
        }
        framer.feed(buf, static_cast<size_t>(r));
    }
    // A frame may carry the password or the call's key: no copy stays here.
    explicit_bzero(buf, sizeof(buf));
    return result;
}

void build_log_route_to_pc(uint32_t local_ipv4_host_order, uint8_t out[LOG_ROUTE_LEN]) {
    out[0] = 0x01;
    out[1] = 0x01;
    out[2] = 0x07;
    out[3] = 0x00;
    put_be32(out + 4, local_ipv4_host_order);
}

void build_log_route_to_phone(uint8_t out[LOG_ROUTE_LEN]) {
    out[0] = 0x01;
    out[1] = 0x00;
    out[2] = 0x06;
    out[3] = 0x00;
    put_be32(out + 4, 0);
}

int decode_address_datagram(const uint8_t* buf, size_t n, uint32_t* addr_host_order) {
    if (n != ADDRESS_DATAGRAM_LEN) return -1;
    uint16_t sum = static_cast<uint16_t>(buf[0] + buf[1] + buf[2] + buf[3]);
    if (get_be16(buf + 4) != sum) return -1;
    *addr_host_order = get_be32(buf);
    return 0;
}

void encode_address_datagram(uint32_t addr_host_order, uint8_t out[ADDRESS_DATAGRAM_LEN]) {
    put_be32(out, addr_host_order);
    put_be16(out + 4, static_cast<uint16_t>(out[0] + out[1] + out[2] + out[3]));
}
