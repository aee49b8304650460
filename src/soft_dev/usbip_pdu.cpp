#include "soft_dev/usbip_pdu.h"

#include <cstring>

#include "base/diag_log.h"
#include "platform/byte_order.h"

namespace quor {

namespace {
constexpr size_t BASIC_WORDS = 5;
constexpr size_t SUBMIT_WORDS = 10;

void to_host(uint8_t* pdu, size_t first_word, size_t end_word) {
    for (size_t i = first_word; i < end_word; ++i) put_le32(pdu + 4 * i, get_be32(pdu + 4 * i));
}

void put_reply_basics(const uint8_t* req, uint8_t* reply, uint32_t data_len) {
    memset(reply, 0, USBIP_HEADER_SIZE);
    put_le32(reply + USBIP_COMMAND, pdu_word(req, USBIP_COMMAND) + 2);
    put_le32(reply + USBIP_SEQNUM, pdu_word(req, USBIP_SEQNUM));
    put_le32(reply + USBIP_LENGTH, data_len);
}
}  // namespace

void usbip_header_to_host(uint8_t* pdu) {
    to_host(pdu, 0, BASIC_WORDS);
    const uint32_t command = pdu_word(pdu, USBIP_COMMAND);
    if (command == USBIP_CMD_SUBMIT || command == USBIP_RET_SUBMIT)
        to_host(pdu, BASIC_WORDS, SUBMIT_WORDS);
}

uint32_t pdu_word(const uint8_t* pdu, size_t offset) {
    return get_le32(pdu + offset);
}

int make_ret_header(const uint8_t* req, uint8_t* reply, uint32_t data_len) {
    put_reply_basics(req, reply, data_len);
    return 0;
}

int make_iso_ret_header(const uint8_t* req, uint8_t* reply, uint32_t data_len) {
    put_reply_basics(req, reply, data_len);
    put_le32(reply + USBIP_DIRECTION, pdu_word(req, USBIP_DIRECTION));
    put_le32(reply + USBIP_EP, pdu_word(req, USBIP_EP));
    put_le32(reply + USBIP_PACKETS, pdu_word(req, USBIP_PACKETS));
    return 0;
}

void log_dev_pkg(const uint8_t* pdu, size_t len, const char* file, int line, const char* func) {
    if (g_debug_level > 2) log_packet_record(file, line, func, "Send Dev Pkg:\n");
    log_hex_dump(3, pdu, len);
}

int send_dev_pkg(VirtualBus& bus, const uint8_t* pdu, size_t len, const char* file, int line,
                 const char* func) {
    log_dev_pkg(pdu, len, file, line, func);
    return bus.write_reply(pdu, len);
}

}  // namespace quor
