#include "soft_dev/class_reply.h"

#include <algorithm>
#include <cstring>

#include "base/diag_log.h"
#include "soft_dev/usbip_pdu.h"

namespace quor {

size_t request_data_len(const uint8_t* req, size_t len) {
    if (len <= USBIP_HEADER_SIZE) return 0;
    return std::min<size_t>(len - USBIP_HEADER_SIZE, pdu_word(req, USBIP_LENGTH));
}

size_t copy_request_data(const uint8_t* req, size_t len, uint8_t* out, size_t size) {
    const size_t n = std::min(request_data_len(req, len), size);
    memcpy(out, req + PDU_DATA, n);
    memset(out + n, 0, size - n);
    return n;
}

int send_reply(VirtualBus& bus, const uint8_t* req, ReplyHeader header, const uint8_t* data,
               size_t n, const char* file, int line, const char* sender) {
    uint8_t reply[USBIP_HEADER_SIZE + MAX_REPLY_DATA];
    if (n > MAX_REPLY_DATA) {
        quor_log("Quor ERR: %s reply of %zu bytes cut to %zu\n", sender, n, MAX_REPLY_DATA);
        n = MAX_REPLY_DATA;
    }
    if (header == ReplyHeader::ECHO)
        make_iso_ret_header(req, reply, uint32_t(n));
    else
        make_ret_header(req, reply, uint32_t(n));
    if (n > 0) memcpy(reply + USBIP_HEADER_SIZE, data, n);
    return send_dev_pkg(bus, reply, USBIP_HEADER_SIZE + n, file, line, sender);
}

}  // namespace quor
