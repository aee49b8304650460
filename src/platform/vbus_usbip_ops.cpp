#include "platform/vbus_usbip_ops.h"

#include <cstring>

#include "platform/byte_order.h"
#include "platform/socket_compat.h"

namespace quor {

namespace {
constexpr uint8_t DEVICE_DESCRIPTOR = 1;
constexpr uint8_t CONFIG_DESCRIPTOR = 2;
constexpr uint8_t INTERFACE_DESCRIPTOR = 4;
constexpr size_t DEVICE_DESCRIPTOR_LENGTH = 18;
constexpr size_t CONFIG_HEADER_LENGTH = 9;
constexpr size_t INTERFACE_DESCRIPTOR_LENGTH = 9;
constexpr char EXPORT_PATH[] = "/sys/devices/platform/quor-connector/usb1/1-1";

void put_header(std::vector<uint8_t>* out, uint16_t code, uint32_t status) {
    uint8_t hdr[USBIP_OP_HEADER_SIZE];
    put_be16(hdr, USBIP_VERSION);
    put_be16(hdr + 2, code);
    put_be32(hdr + 4, status);
    out->insert(out->end(), hdr, hdr + sizeof(hdr));
}

void put_device_record(std::vector<uint8_t>* out, const UsbipDeviceInfo& d) {
    uint8_t rec[USBIP_DEVICE_RECORD_SIZE] = {};
    memcpy(rec, EXPORT_PATH, sizeof(EXPORT_PATH));
    memcpy(rec + USBIP_PATH_SIZE, USBIP_EXPORT_BUSID, sizeof(USBIP_EXPORT_BUSID));
    uint8_t* p = rec + USBIP_PATH_SIZE + USBIP_BUSID_SIZE;
    put_be32(p, USBIP_EXPORT_BUSNUM);
    put_be32(p + 4, USBIP_EXPORT_DEVNUM);
    put_be32(p + 8, USBIP_SPEED_FULL);
    put_be16(p + 12, d.vendor);
    put_be16(p + 14, d.product);
    put_be16(p + 16, d.release);
    p[18] = d.device_class;
    p[19] = d.device_subclass;
    p[20] = d.device_protocol;
    p[21] = d.configuration_value;
    p[22] = d.num_configurations;
    p[23] = uint8_t(d.interfaces.size());
    out->insert(out->end(), rec, rec + sizeof(rec));
}

// Whether the 32-byte bus id field names the exported device: the text and
// its terminating NUL, whatever follows.
bool names_export(const uint8_t* busid) {
    return memcmp(busid, USBIP_EXPORT_BUSID, sizeof(USBIP_EXPORT_BUSID)) == 0;
}
}  // namespace

int usbip_describe_device(const uint8_t* dev, size_t dev_len, const uint8_t* cfg, size_t cfg_len,
                          UsbipDeviceInfo* info, const char** why) {
    if (dev_len < DEVICE_DESCRIPTOR_LENGTH || dev[0] < DEVICE_DESCRIPTOR_LENGTH ||
        dev[1] != DEVICE_DESCRIPTOR) {
        *why = "not a device descriptor";
        return -1;
    }
    if (cfg_len < CONFIG_HEADER_LENGTH || cfg[0] < CONFIG_HEADER_LENGTH ||
        cfg[1] != CONFIG_DESCRIPTOR) {
        *why = "not a configuration descriptor";
        return -1;
    }
    UsbipDeviceInfo d;
    d.vendor = get_le16(dev + 8);
    d.product = get_le16(dev + 10);
    d.release = get_le16(dev + 12);
    d.device_class = dev[4];
    d.device_subclass = dev[5];
    d.device_protocol = dev[6];
    d.num_configurations = dev[17];
    d.configuration_value = cfg[5];
    const size_t total = get_le16(cfg + 2);
    if (total > cfg_len || total < CONFIG_HEADER_LENGTH) {
        *why = "configuration length does not match";
        return -1;
    }
    for (size_t at = 0; at < total;) {
        const size_t length = cfg[at];
        if (length < 2 || length > total - at) {
            *why = "descriptor length runs past the configuration";
            return -1;
        }
        if (cfg[at + 1] == INTERFACE_DESCRIPTOR && length >= INTERFACE_DESCRIPTOR_LENGTH &&
            cfg[at + 3] == 0)
            d.interfaces.push_back({cfg[at + 5], cfg[at + 6], cfg[at + 7]});
        at += length;
    }
    if (d.interfaces.size() != cfg[4]) {
        *why = "interfaces differ from bNumInterfaces";
        return -1;
    }
    *info = std::move(d);
    return 0;
}

UsbipOpOutcome usbip_answer_op(const uint8_t* in, size_t len, const UsbipExportView& view,
                               std::vector<uint8_t>* reply, size_t* need, const char** why) {
    *why = nullptr;
    *need = USBIP_OP_HEADER_SIZE;
    if (len < USBIP_OP_HEADER_SIZE) return UsbipOpOutcome::NEED_MORE;
    const uint16_t version = get_be16(in);
    const uint16_t code = get_be16(in + 2);
    const uint16_t reply_code = uint16_t(code & ~USBIP_OP_REQUEST);
    if (code != USBIP_OP_REQ_DEVLIST && code != USBIP_OP_REQ_IMPORT) {
        *why = "unknown operation";
        put_header(reply, reply_code, USBIP_ST_NA);
        return UsbipOpOutcome::REFUSED;
    }
    if (version != USBIP_VERSION) {
        *why = "unsupported protocol version";
        put_header(reply, reply_code, USBIP_ST_NA);
        return UsbipOpOutcome::REFUSED;
    }
    if (code == USBIP_OP_REQ_DEVLIST) {
        // Only a client that may import the device learns of it.
        const bool listed = view.device && view.peer_allowed;
        put_header(reply, USBIP_OP_REP_DEVLIST, USBIP_ST_OK);
        uint8_t count[4];
        put_be32(count, listed ? 1 : 0);
        reply->insert(reply->end(), count, count + sizeof(count));
        if (listed) {
            put_device_record(reply, *view.device);
            for (const auto& intf : view.device->interfaces) {
                const uint8_t rec[USBIP_INTERFACE_RECORD_SIZE] = {intf[0], intf[1], intf[2], 0};
                reply->insert(reply->end(), rec, rec + sizeof(rec));
            }
        }
        return UsbipOpOutcome::ANSWERED;
    }
    *need = USBIP_IMPORT_REQUEST_SIZE;
    if (len < USBIP_IMPORT_REQUEST_SIZE) return UsbipOpOutcome::NEED_MORE;
    if (!view.peer_allowed)
        *why = "address not allowed";
    else if (!names_export(in + USBIP_OP_HEADER_SIZE))
        *why = "no such bus id";
    else if (!view.device)
        *why = "no device exported";
    else if (view.held)
        *why = "device in use by another client";
    if (*why) {
        put_header(reply, USBIP_OP_REP_IMPORT, USBIP_ST_NA);
        return UsbipOpOutcome::ANSWERED;
    }
    put_header(reply, USBIP_OP_REP_IMPORT, USBIP_ST_OK);
    put_device_record(reply, *view.device);
    return UsbipOpOutcome::IMPORTED;
}

bool UsbipAllowList::parse(const std::string& text) {
    std::vector<Prefix> parsed;
    size_t start = 0;
    while (start <= text.size() && !text.empty()) {
        size_t end = text.find(',', start);
        if (end == std::string::npos) end = text.size();
        std::string item = text.substr(start, end - start);
        unsigned bits = 32;
        if (const auto slash = item.find('/'); slash != std::string::npos) {
            const std::string len = item.substr(slash + 1);
            if (len.empty() || len.size() > 2 ||
                len.find_first_not_of("0123456789") != std::string::npos)
                return false;
            bits = unsigned(std::stoul(len));
            if (bits > 32) return false;
            item.resize(slash);
        }
        in_addr a{};
        if (inet_pton(AF_INET, item.c_str(), &a) != 1) return false;
        const uint32_t mask = bits == 0 ? 0 : ~uint32_t(0) << (32 - bits);
        parsed.push_back({ntohl(a.s_addr) & mask, mask});
        start = end + 1;
    }
    if (parsed.empty()) parsed.push_back({0x7F000000, 0xFF000000});
    prefixes_ = std::move(parsed);
    return true;
}

bool UsbipAllowList::allows(uint32_t address) const {
    for (const Prefix& p : prefixes_)
        if ((address & p.mask) == p.net) return true;
    return false;
}

bool usbip_parse_listen(const std::string& text, uint32_t* address, uint16_t* port) {
    std::string host = text;
    unsigned long number = USBIP_DEFAULT_PORT;
    if (const auto colon = text.rfind(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        const std::string digits = text.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        number = std::stoul(digits);
        if (number == 0 || number > 65535) return false;
    }
    in_addr a{};
    if (inet_pton(AF_INET, host.c_str(), &a) != 1) return false;
    *address = ntohl(a.s_addr);
    *port = uint16_t(number);
    return true;
}

}  // namespace quor
