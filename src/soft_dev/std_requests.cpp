#include "soft_dev/std_requests.h"

#include <algorithm>
#include <cstring>

#include "base/diag_log.h"
#include "platform/byte_order.h"
#include "soft_dev/descriptors.h"
#include "soft_dev/usbip_pdu.h"

namespace quor {

namespace {
enum StandardRequest : uint8_t {
    GET_STATUS = 0,
    CLEAR_FEATURE = 1,
    SET_FEATURE = 3,
    GET_DESCRIPTOR = 6,
    SET_DESCRIPTOR = 7,
    GET_CONFIGURATION = 8,
    SET_CONFIGURATION = 9,
    GET_INTERFACE = 10,
    SET_INTERFACE = 11,
};

enum DescriptorType : uint8_t { DESC_DEVICE = 1, DESC_CONFIGURATION = 2, DESC_STRING = 3 };

enum EndpointNumber : uint8_t { EP_ISOCH_OUT = 1, EP_ISOCH_IN = 2, EP_INTERRUPT_IN = 3 };

// bmRequestType: direction, type and recipient.
constexpr uint8_t DIR_IN = 0x80;
constexpr uint8_t TYPE_MASK = 0x60;
constexpr uint8_t TYPE_STANDARD = 0x00;
constexpr uint8_t RECIPIENT_MASK = 0x1F;
constexpr uint8_t RECIPIENT_INTERFACE = 0x01;
// The endpoint feature selector ENDPOINT_HALT, the only one endpoints have.
constexpr uint16_t ENDPOINT_HALT = 0;
// Where the configuration descriptor gives bNumInterfaces.
constexpr size_t CONFIG_NUM_INTERFACES_AT = 4;

// Largest descriptor a reply carries: a string in its whole slot (254
// bytes for a 126-character text), the configuration or the device.
constexpr size_t MAX_DESCRIPTOR =
    std::max({STRING_SLOT_SIZE, CONFIG_DESCRIPTOR_SIZE, DEVICE_DESCRIPTOR_SIZE});
constexpr size_t MAX_REPLY = USBIP_HEADER_SIZE + MAX_DESCRIPTOR;
// GET_STATUS answers two bytes; all zero: bus-powered, no remote wake-up,
// endpoint not halted. A shorter answer is an error for a Linux host.
constexpr size_t STATUS_SIZE = 2;

bool is_get_status(const uint8_t* req) {
    return req[PDU_REQUEST] == GET_STATUS && (req[PDU_REQUEST_TYPE] & DIR_IN);
}

bool is_standard(const uint8_t* req) {
    return (req[PDU_REQUEST_TYPE] & TYPE_MASK) == TYPE_STANDARD;
}

int reply_status(VirtualBus& bus, const uint8_t* req, const char* sender) {
    uint8_t reply[USBIP_HEADER_SIZE + STATUS_SIZE] = {};
    make_ret_header(req, reply, uint32_t(STATUS_SIZE));
    send_dev_pkg(bus, reply, sizeof(reply), __FILE__, __LINE__, sender);
    return 0;
}

// The standard requests an endpoint of this device answers.
bool endpoint_takes(const uint8_t* req) {
    switch (req[PDU_REQUEST]) {
        case GET_STATUS:
            return req[PDU_REQUEST_TYPE] & DIR_IN;
        case CLEAR_FEATURE:
        case SET_FEATURE:
            return get_le16(req + PDU_VALUE_LOW) == ENDPOINT_HALT;
        default:
            return false;
    }
}

// Copies the GET_DESCRIPTOR answer into DATA, which has room for CAPACITY
// bytes: its length, or -1 when the device has none to give.
int descriptor_reply(const uint8_t* req, uint8_t* data, size_t capacity) {
    const uint8_t type = req[PDU_VALUE_HIGH];
    const uint8_t index = req[PDU_VALUE_LOW];
    uint8_t desc[MAX_DESCRIPTOR];
    const uint8_t* src = desc;
    size_t n = 0;
    switch (type) {
        case DESC_DEVICE:
            copy_device_descriptor(desc);
            n = DEVICE_DESCRIPTOR_SIZE;
            break;
        case DESC_CONFIGURATION:
            src = CONFIG_DESCRIPTOR;
            n = pdu_word(req, USBIP_LENGTH) == CONFIG_HEADER_SIZE ? CONFIG_HEADER_SIZE
                                                                  : CONFIG_DESCRIPTOR_SIZE;
            break;
        case DESC_STRING: {
            const int len = copy_string_descriptor(index, desc);
            if (len < 0) {
                quor_log("STDDEV: What's precdata[2] %d!\n", index);
                return -1;
            }
            const bool has_head = index >= 4 && index <= 7;
            n = has_head && req[PDU_LENGTH_LOW] == STRING_HEAD_SIZE ? STRING_HEAD_SIZE
                                                                    : size_t(len);
            break;
        }
        default:
            return 0;  // other types: an empty success
    }
    if (n > capacity) {
        quor_log("STDDEV: descriptor of %zu bytes does not fit its reply, dropped\n", n);
        return -1;
    }
    memcpy(data, src, n);
    return int(n);
}
}  // namespace

int process_standard_device_requests(VirtualBus& bus, const uint8_t* req, size_t) {
    uint8_t reply[MAX_REPLY];
    int data_len = 0;
    switch (req[PDU_REQUEST]) {
        case GET_DESCRIPTOR:
            data_len =
                descriptor_reply(req, reply + USBIP_HEADER_SIZE, sizeof(reply) - USBIP_HEADER_SIZE);
            if (data_len < 0) return -1;
            break;
        case GET_CONFIGURATION:
            quor_log("STDDEV: Get Configuration Request\n");
            return -1;
        case SET_CONFIGURATION:
            quor_log("STDDEV: Set Configuration Request\n");
            return -1;
        case GET_INTERFACE:
            quor_log("STDDEV: Get Interface Request\n");
            return -1;
        default:  // SET_DESCRIPTOR, SET_INTERFACE and the rest: empty success
            if (is_get_status(req)) return reply_status(bus, req, __func__);
            break;
    }
    make_ret_header(req, reply, uint32_t(data_len));
    SEND_DEV_PKG(bus, reply, USBIP_HEADER_SIZE + size_t(data_len));
    if (req[PDU_REQUEST] == GET_DESCRIPTOR && req[PDU_VALUE_HIGH] != DESC_DEVICE &&
        req[PDU_VALUE_HIGH] != DESC_CONFIGURATION && req[PDU_VALUE_HIGH] != DESC_STRING)
        quor_log("STDDEV: What's precdata[3] %d!\n", req[PDU_VALUE_HIGH]);
    return 0;
}

int process_endpoint_requests(VirtualBus& bus, const uint8_t* req, size_t) {
    switch (req[PDU_INDEX_LOW] & 0x0F) {
        case EP_ISOCH_OUT:
            quor_log("EDPDEV: Ctrl request for ISOCH OUT endpoint\n");
            break;
        case EP_ISOCH_IN:
            quor_log("EDPDEV: Ctrl request for ISOCH IN endpoint\n");
            break;
        case EP_INTERRUPT_IN:
            quor_log("EDPDEV: Ctrl request for Interrupt IN endpoint\n");
            break;
        default:
            quor_log("EDPDEV: Unknown Endpoint\n");
            break;
    }
    if (is_standard(req) && !endpoint_takes(req)) {
        quor_log("EDPDEV: standard request %d not for an endpoint, stalled\n", req[PDU_REQUEST]);
        return -1;
    }
    if (is_get_status(req)) return reply_status(bus, req, __func__);
    uint8_t reply[USBIP_HEADER_SIZE];
    make_ret_header(req, reply, 0);
    SEND_DEV_PKG(bus, reply, sizeof(reply));
    return 0;
}

bool is_standard_interface_request(const uint8_t* req) {
    return is_standard(req) && req[PDU_REQUEST] != SET_INTERFACE &&
           req[PDU_REQUEST] != GET_DESCRIPTOR;
}

int process_standard_interface_requests(VirtualBus& bus, const uint8_t* req, size_t) {
    const uint8_t request = req[PDU_REQUEST];
    const uint16_t interface = get_le16(req + PDU_INDEX_LOW);
    const bool to_interface = (req[PDU_REQUEST_TYPE] & RECIPIENT_MASK) == RECIPIENT_INTERFACE &&
                              interface < CONFIG_DESCRIPTOR[CONFIG_NUM_INTERFACES_AT];
    if (to_interface && is_get_status(req)) return reply_status(bus, req, __func__);
    if (to_interface && request == GET_INTERFACE && (req[PDU_REQUEST_TYPE] & DIR_IN)) {
        quor_log("STDDEV: Get Interface Request\n");
        return -1;
    }
    quor_log("STDDEV: standard request %d to interface %d stalled\n", request, interface);
    return -1;
}

}  // namespace quor
