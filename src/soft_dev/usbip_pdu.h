// USB/IP request and reply PDUs as the device logic handles them. A request
// arrives with big-endian header words and is converted in place, after
// which its header words read little-endian; replies are built
// little-endian and the bus converts them for the wire.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/vbus.h"
#include "platform/vbus_wire.h"

namespace quor {

// The setup packet and the data stage of a request.
enum PduSetupOffset : size_t {
    PDU_REQUEST_TYPE = USBIP_SETUP,
    PDU_REQUEST = USBIP_SETUP + 1,
    PDU_VALUE_LOW = USBIP_SETUP + 2,
    PDU_VALUE_HIGH = USBIP_SETUP + 3,
    PDU_INDEX_LOW = USBIP_SETUP + 4,
    PDU_INDEX_HIGH = USBIP_SETUP + 5,
    PDU_LENGTH_LOW = USBIP_SETUP + 6,
    PDU_LENGTH_HIGH = USBIP_SETUP + 7,
    PDU_DATA = USBIP_HEADER_SIZE,
};

// Converts words 0 to 4 of a 48-byte request header to host order, and
// words 5 to 9 too when the command is CMD_SUBMIT or RET_SUBMIT. The setup
// packet stays as it is.
void usbip_header_to_host(uint8_t* pdu);

// Reads a header word of a converted request or of a reply.
uint32_t pdu_word(const uint8_t* pdu, size_t offset);

// RET_SUBMIT header for the converted request REQ, with DATA_LEN bytes of
// reply data: direction, endpoint and packet count zero. Returns 0.
int make_ret_header(const uint8_t* req, uint8_t* reply, uint32_t data_len);
// The same, copying direction, endpoint and packet count from REQ.
int make_iso_ret_header(const uint8_t* req, uint8_t* reply, uint32_t data_len);

// The packet record and dump of a reply about to be written (debug level
// 3 and above), naming FUNC as the sender.
void log_dev_pkg(const uint8_t* pdu, size_t len, const char* file, int line, const char* func);

// Writes a reply after its packet record and dump (debug level 3 and
// above), naming FUNC as the sender. Use SEND_DEV_PKG.
int send_dev_pkg(VirtualBus& bus, const uint8_t* pdu, size_t len, const char* file, int line,
                 const char* func);
#define SEND_DEV_PKG(bus, pdu, len) \
    ::quor::send_dev_pkg(bus, pdu, len, __FILE__, __LINE__, __func__)

}  // namespace quor
