#include "usb_descriptors.h"

#include "platform/byte_order.h"

namespace {

bool is_bcd(uint16_t v) {
    for (int shift = 0; shift < 16; shift += 4) {
        if (((v >> shift) & 0x0F) > 9) return false;
    }
    return true;
}

}  // namespace

int parse_device_descriptor(const uint8_t* p, size_t len, DeviceDesc* dev, CheckList* checks) {
    if (len < DEVICE_DESC_SIZE) {
        checks->fail("device descriptor: %zu bytes, expected %zu", len, DEVICE_DESC_SIZE);
        return -1;
    }
    if (p[1] != DT_DEVICE) {
        checks->fail("device descriptor: type 0x%02x, expected 0x01", p[1]);
        return -1;
    }
    if (p[0] != DEVICE_DESC_SIZE) checks->fail("device descriptor: bLength %u, expected 18", p[0]);
    if (len > DEVICE_DESC_SIZE) {
        checks->fail("device descriptor: %zu bytes for an 18-byte request", len);
    }
    dev->bcd_usb = get_le16(p + 2);
    dev->device_class = p[4];
    dev->device_subclass = p[5];
    dev->device_protocol = p[6];
    dev->max_packet0 = p[7];
    dev->vendor = get_le16(p + 8);
    dev->product = get_le16(p + 10);
    dev->bcd_device = get_le16(p + 12);
    dev->manufacturer_string = p[14];
    dev->product_string = p[15];
    dev->serial_string = p[16];
    dev->configurations = p[17];

    if (!is_bcd(dev->bcd_usb) || dev->bcd_usb < 0x0100) {
        checks->fail("device descriptor: bcdUSB %04x is no USB version", dev->bcd_usb);
    }
    if (dev->device_class == 0 && (dev->device_subclass != 0 || dev->device_protocol != 0)) {
        checks->fail("device descriptor: class 00 with subclass %02x protocol %02x",
                     dev->device_subclass, dev->device_protocol);
    }
    uint8_t mp = dev->max_packet0;
    if (mp != 8 && mp != 16 && mp != 32 && mp != 64) {
        checks->fail("device descriptor: bMaxPacketSize0 %u, a full-speed device needs 8/16/32/64",
                     mp);
    }
    if (dev->vendor == 0) checks->fail("device descriptor: idVendor 0");
    if (dev->configurations == 0) checks->fail("device descriptor: no configuration");
    return 0;
}

void check_device_first_read(const std::vector<uint8_t>& first, const std::vector<uint8_t>& full,
                             CheckList* checks) {
    if (first.size() < 8) {
        checks->fail("device descriptor: first read gave %zu bytes, the host needs 8",
                     first.size());
        return;
    }
    size_t n = first.size() < full.size() ? first.size() : full.size();
    for (size_t i = 0; i < n; ++i) {
        if (first[i] != full[i]) {
            checks->fail("device descriptor: byte %zu is %02x in the first read, %02x later", i,
                         first[i], full[i]);
            return;
        }
    }
}

std::string format_device(const DeviceDesc& dev) {
    return strfmt("device vid=%04x pid=%04x bcd=%04x class=%02x maxpacket0=%u configs=%u",
                  dev.vendor, dev.product, dev.bcd_device, dev.device_class, dev.max_packet0,
                  dev.configurations);
}

int parse_language_list(const uint8_t* p, size_t len, std::vector<uint16_t>* langs,
                        CheckList* checks) {
    langs->clear();
    if (len < 4 || p[1] != DT_STRING) {
        checks->fail("string 0: %zu bytes%s, no language list", len,
                     len >= 2 && p[1] != DT_STRING ? " of another type" : "");
        return -1;
    }
    if (p[0] != len) checks->fail("string 0: bLength %u but %zu bytes received", p[0], len);
    size_t n = (p[0] < len ? p[0] : len);
    if (n % 2 != 0) checks->fail("string 0: odd length %zu", n);
    for (size_t i = 2; i + 1 < n; i += 2) {
        uint16_t lang = get_le16(p + i);
        if (lang == 0) {
            checks->fail("string 0: language id 0");
        } else {
            langs->push_back(lang);
        }
    }
    return langs->empty() ? -1 : 0;
}

int parse_string_descriptor(uint8_t index, const uint8_t* p, size_t len, std::string* quoted,
                            CheckList* checks) {
    if (len < 2) {
        checks->fail("string %u: %zu bytes, not a descriptor", index, len);
        return -1;
    }
    if (p[1] != DT_STRING) {
        checks->fail("string %u: type 0x%02x, expected 0x03", index, p[1]);
        return -1;
    }
    size_t n = p[0];
    if (n < 2) {
        checks->fail("string %u: bLength %zu", index, n);
        return -1;
    }
    if (n != len) {
        checks->fail("string %u: bLength %zu but %zu bytes received", index, n, len);
        if (n > len) n = len;
    }
    if (n % 2 != 0) {
        checks->fail("string %u: odd length %zu", index, n);
        --n;
    }
    *quoted = quote_utf16le(p + 2, n - 2);
    return 0;
}

std::string describe_qualifier(const uint8_t* p, size_t len, CheckList* checks) {
    if (len == 0) return "qualifier empty";
    if (len != QUALIFIER_DESC_SIZE || p[0] != QUALIFIER_DESC_SIZE || p[1] != DT_QUALIFIER) {
        checks->fail("device qualifier: %zu bytes, not a 10-byte qualifier", len);
        return strfmt("qualifier %zu bytes", len);
    }
    return strfmt("qualifier usb=%04x class=%02x maxpacket0=%u configs=%u", get_le16(p + 2), p[4],
                  p[7], p[8]);
}
