#include "config_desc.h"

#include <set>

#include "platform/byte_order.h"
#include "usb_descriptors.h"

namespace {

constexpr size_t INTERFACE_DESC_SIZE = 9;
constexpr size_t ENDPOINT_DESC_SIZE = 7;
constexpr size_t AUDIO_ENDPOINT_DESC_SIZE = 9;
constexpr size_t HID_DESC_MIN_SIZE = 9;
constexpr uint8_t MAX_POWER_UNITS = 250;  // 500 mA

const char* transfer_name(uint8_t attributes) {
    static const char* const NAMES[] = {"control", "iso", "bulk", "interrupt"};
    return NAMES[attributes & 0x03];
}

void parse_interface(const uint8_t* p, const DescRef& ref, InterfaceDesc* intf) {
    intf->ref = ref;
    intf->number = p[2];
    intf->alt = p[3];
    intf->declared_endpoints = p[4];
    intf->interface_class = p[5];
    intf->interface_subclass = p[6];
    intf->interface_protocol = p[7];
    intf->string = p[8];
}

void parse_endpoint(const uint8_t* p, const DescRef& ref, EndpointDesc* ep) {
    ep->ref = ref;
    ep->address = p[2];
    ep->attributes = p[3];
    ep->max_packet = get_le16(p + 4);
    ep->interval = p[6];
}

void parse_hid(const uint8_t* p, const DescRef& ref, const InterfaceDesc& intf, HidDesc* hid,
               CheckList* checks) {
    hid->ref = ref;
    hid->bcd_hid = get_le16(p + 2);
    hid->country = p[4];
    uint8_t count = p[5];
    if (count == 0)
        checks->fail("interface %u: HID descriptor names no class descriptor", intf.number);
    if (ref.length != 6 + 3 * count) {
        checks->fail("interface %u: HID descriptor bLength %u for %u class descriptors",
                     intf.number, ref.length, count);
    }
    for (size_t i = 0; i < count && 6 + 3 * i + 3 <= ref.length; ++i) {
        uint8_t type = p[6 + 3 * i];
        uint16_t length = get_le16(p + 7 + 3 * i);
        if (type == DT_REPORT && hid->report_length == 0) hid->report_length = length;
    }
    if (p[6] != DT_REPORT) {
        checks->fail("interface %u: first HID class descriptor has type 0x%02x, expected 0x22",
                     intf.number, p[6]);
    }
    if (hid->report_length == 0) {
        checks->fail("interface %u: HID descriptor gives no report descriptor length", intf.number);
    }
}

void check_endpoint(const InterfaceDesc& intf, const EndpointDesc& ep, CheckList* checks) {
    bool audio = intf.interface_class == CLASS_AUDIO;
    uint8_t len = ep.ref.length;
    if (len != ENDPOINT_DESC_SIZE && !(audio && len == AUDIO_ENDPOINT_DESC_SIZE)) {
        checks->fail("endpoint 0x%02x: bLength %u", ep.address, len);
    }
    if ((ep.address & 0x70) != 0 || (ep.address & 0x0F) == 0) {
        checks->fail("endpoint 0x%02x: not a valid endpoint address", ep.address);
    }
    uint8_t type = ep.attributes & 0x03;
    if (type != EP_XFER_ISO && (ep.attributes & 0x3C) != 0) {
        checks->fail("endpoint 0x%02x: reserved attribute bits set (0x%02x)", ep.address,
                     ep.attributes);
    }
    if ((ep.attributes & 0xC0) != 0) {
        checks->fail("endpoint 0x%02x: reserved attribute bits set (0x%02x)", ep.address,
                     ep.attributes);
    }
    if ((ep.max_packet & 0xF800) != 0) {
        checks->fail(
            "endpoint 0x%02x: wMaxPacketSize 0x%04x asks for more than one transaction "
            "per frame, which full speed cannot do",
            ep.address, ep.max_packet);
    }
    uint16_t mp = ep.max_packet & 0x07FF;
    if (type == EP_XFER_ISO) {
        if (mp > 1023) checks->fail("endpoint 0x%02x: iso max packet %u > 1023", ep.address, mp);
        if (ep.interval < 1 || ep.interval > 16) {
            checks->fail("endpoint 0x%02x: iso bInterval %u outside 1..16", ep.address,
                         ep.interval);
        }
    } else if (type == EP_XFER_INT) {
        if (mp == 0 || mp > 64) {
            checks->fail("endpoint 0x%02x: interrupt max packet %u outside 1..64", ep.address, mp);
        }
        if (ep.interval == 0) checks->fail("endpoint 0x%02x: interrupt bInterval 0", ep.address);
    } else if (type == EP_XFER_BULK) {
        if (mp != 8 && mp != 16 && mp != 32 && mp != 64) {
            checks->fail("endpoint 0x%02x: bulk max packet %u", ep.address, mp);
        }
    }
}

// Interfaces, their alternate settings and endpoint addresses as a whole.
void check_interfaces(const ConfigDesc& config, CheckList* checks) {
    std::set<uint8_t> numbers;
    std::set<std::pair<uint8_t, uint8_t>> settings;
    std::map<uint8_t, uint8_t> endpoint_owner;  // address -> interface number
    for (const InterfaceDesc& intf : config.interfaces) {
        numbers.insert(intf.number);
        if (!settings.insert({intf.number, intf.alt}).second) {
            checks->fail("interface %u alt %u appears twice", intf.number, intf.alt);
        }
        if (intf.endpoints.size() != intf.declared_endpoints) {
            checks->fail("interface %u alt %u: bNumEndpoints %u but %zu endpoint descriptors",
                         intf.number, intf.alt, intf.declared_endpoints, intf.endpoints.size());
        }
        std::set<uint8_t> in_this_setting;
        for (const EndpointDesc& ep : intf.endpoints) {
            check_endpoint(intf, ep, checks);
            if (!in_this_setting.insert(ep.address).second) {
                checks->fail("interface %u alt %u: endpoint 0x%02x twice", intf.number, intf.alt,
                             ep.address);
            }
            auto owner = endpoint_owner.emplace(ep.address, intf.number);
            if (!owner.second && owner.first->second != intf.number) {
                checks->fail("endpoint 0x%02x used by interfaces %u and %u", ep.address,
                             owner.first->second, intf.number);
            }
        }
        if (intf.interface_class == CLASS_HID) {
            if (!intf.has_hid) {
                checks->fail("interface %u: HID class without a HID descriptor", intf.number);
            }
            bool int_in = false;
            for (const EndpointDesc& ep : intf.endpoints) {
                if ((ep.attributes & 0x03) == EP_XFER_INT && (ep.address & 0x80) != 0)
                    int_in = true;
            }
            if (!int_in)
                checks->fail("interface %u: HID without an interrupt IN endpoint", intf.number);
        } else if (intf.has_hid) {
            checks->fail("interface %u: HID descriptor in a class %02x interface", intf.number,
                         intf.interface_class);
        }
    }
    if (numbers.size() != config.interface_count) {
        checks->fail("configuration %u: bNumInterfaces %u but %zu interfaces", config.value,
                     config.interface_count, numbers.size());
    }
    for (uint8_t n : numbers) {
        if (n >= numbers.size()) {
            checks->fail("configuration %u: interface numbers are not 0..%zu (found %u)",
                         config.value, numbers.size() - 1, n);
        }
        if (settings.count({n, 0}) == 0) checks->fail("interface %u has no alt 0", n);
    }
}

// One descriptor of the walk, placed into the model.
void place_descriptor(const uint8_t* p, const DescRef& ref, ConfigDesc* config, CheckList* checks) {
    InterfaceDesc* intf = config->interfaces.empty() ? nullptr : &config->interfaces.back();
    switch (ref.type) {
        case DT_INTERFACE:
            if (ref.length < INTERFACE_DESC_SIZE) {
                checks->fail("interface descriptor at offset %zu: bLength %u", ref.offset,
                             ref.length);
                return;
            }
            config->interfaces.emplace_back();
            parse_interface(p, ref, &config->interfaces.back());
            return;
        case DT_ENDPOINT:
            if (!intf || ref.length < ENDPOINT_DESC_SIZE) {
                checks->fail("endpoint descriptor at offset %zu: %s", ref.offset,
                             intf ? "too short" : "outside any interface");
                return;
            }
            intf->endpoints.emplace_back();
            parse_endpoint(p, ref, &intf->endpoints.back());
            return;
        case DT_HID:
            if (!intf || ref.length < HID_DESC_MIN_SIZE || intf->has_hid) {
                checks->fail("HID descriptor at offset %zu: %s", ref.offset,
                             !intf                            ? "outside any interface"
                             : ref.length < HID_DESC_MIN_SIZE ? "too short"
                                                              : "second in one interface");
                return;
            }
            if (!intf->endpoints.empty()) {
                checks->fail("interface %u: HID descriptor after the endpoints", intf->number);
            }
            intf->has_hid = true;
            parse_hid(p, ref, *intf, &intf->hid, checks);
            return;
        case DT_CS_INTERFACE:
            if (!intf) {
                checks->fail("class-specific descriptor at offset %zu outside any interface",
                             ref.offset);
                return;
            }
            intf->class_specific.push_back(ref);
            return;
        case DT_CS_ENDPOINT:
            if (!intf || intf->endpoints.empty()) {
                checks->fail(
                    "class-specific endpoint descriptor at offset %zu before any "
                    "endpoint",
                    ref.offset);
                return;
            }
            intf->endpoints.back().class_specific.push_back(ref);
            return;
        case DT_DEVICE:
        case DT_CONFIG:
        case DT_STRING:
            checks->fail("descriptor type 0x%02x at offset %zu inside a configuration", ref.type,
                         ref.offset);
            return;
        default:
            return;  // other descriptors (association, vendor) are skipped as a host does
    }
}

}  // namespace

int parse_config_head(const uint8_t* p, size_t len, uint16_t* total, CheckList* checks) {
    if (len < 4 || p[1] != DT_CONFIG) {
        checks->fail("configuration head: %zu bytes%s", len,
                     len >= 2 && p[1] != DT_CONFIG ? " of another type" : "");
        return -1;
    }
    if (len != CONFIG_DESC_SIZE) {
        checks->fail("configuration head: %zu bytes for a 9-byte request", len);
    }
    *total = get_le16(p + 2);
    if (*total < CONFIG_DESC_SIZE) {
        checks->fail("configuration head: wTotalLength %u", *total);
        return -1;
    }
    return 0;
}

int parse_config(const uint8_t* p, size_t len, ConfigDesc* config, CheckList* checks) {
    *config = ConfigDesc();
    if (len < CONFIG_DESC_SIZE || p[1] != DT_CONFIG || p[0] < CONFIG_DESC_SIZE) {
        checks->fail("configuration: %zu bytes, no configuration descriptor", len);
        return -1;
    }
    config->bytes.assign(p, p + len);
    config->total_length = get_le16(p + 2);
    config->interface_count = p[4];
    config->value = p[5];
    config->string = p[6];
    config->attributes = p[7];
    config->max_power = p[8];

    if (p[0] != CONFIG_DESC_SIZE) checks->fail("configuration: bLength %u, expected 9", p[0]);
    if (config->total_length != len) {
        checks->fail("configuration %u: wTotalLength %u but %zu bytes received", config->value,
                     config->total_length, len);
    }
    if (config->value == 0) checks->fail("configuration: bConfigurationValue 0");
    if ((config->attributes & 0x80) == 0 || (config->attributes & 0x1F) != 0) {
        checks->fail("configuration %u: bmAttributes 0x%02x (bit 7 must be set, bits 0-4 clear)",
                     config->value, config->attributes);
    }
    if (config->max_power > MAX_POWER_UNITS) {
        checks->fail("configuration %u: %u mA is more than a port gives", config->value,
                     config->max_power * 2);
    }

    size_t limit = config->total_length < len ? config->total_length : len;
    size_t off = p[0];
    while (off < limit) {
        if (limit - off < 2) {
            checks->fail("configuration %u: %zu stray byte(s) at offset %zu", config->value,
                         limit - off, off);
            break;
        }
        DescRef ref;
        ref.offset = off;
        ref.length = p[off];
        ref.type = p[off + 1];
        if (ref.length < 2) {
            checks->fail("configuration %u: descriptor at offset %zu has bLength %u", config->value,
                         off, ref.length);
            break;
        }
        if (off + ref.length > limit) {
            checks->fail(
                "configuration %u: descriptor type 0x%02x at offset %zu (bLength %u) "
                "runs past the end (%zu)",
                config->value, ref.type, off, ref.length, limit);
            break;
        }
        place_descriptor(p + off, ref, config, checks);
        off += ref.length;
    }
    check_interfaces(*config, checks);
    return 0;
}

std::string format_endpoint(const EndpointDesc& ep) {
    return strfmt("endpoint 0x%02x %s %s maxpacket=%u interval=%u", ep.address,
                  transfer_name(ep.attributes), (ep.address & 0x80) ? "in" : "out",
                  ep.max_packet & 0x07FF, ep.interval);
}

std::vector<std::string> format_config(const ConfigDesc& config,
                                       const std::map<uint8_t, std::string>& strings,
                                       const ClassLines& class_lines) {
    auto string_field = [&strings](uint8_t index) -> std::string {
        if (index == 0) return "";
        auto it = strings.find(index);
        return it == strings.end() ? strfmt(" string=#%u", index) : " string=" + it->second;
    };
    std::vector<std::string> lines;
    lines.push_back(strfmt("config %u interfaces=%u power=%umA total=%u%s", config.value,
                           config.interface_count, config.max_power * 2, config.total_length,
                           string_field(config.string).c_str()));
    for (size_t i = 0; i < config.interfaces.size(); ++i) {
        const InterfaceDesc& intf = config.interfaces[i];
        lines.push_back(strfmt("interface %u alt %u class=%02x sub=%02x proto=%02x endpoints=%u%s",
                               intf.number, intf.alt, intf.interface_class, intf.interface_subclass,
                               intf.interface_protocol, intf.declared_endpoints,
                               string_field(intf.string).c_str()));
        if (intf.has_hid) {
            lines.push_back(strfmt("hid %u version=%04x country=%u report-length=%u", intf.number,
                                   intf.hid.bcd_hid, intf.hid.country, intf.hid.report_length));
        }
        auto cl = class_lines.interface.find(i);
        if (cl != class_lines.interface.end()) {
            lines.insert(lines.end(), cl->second.begin(), cl->second.end());
        }
        for (size_t e = 0; e < intf.endpoints.size(); ++e) {
            lines.push_back(format_endpoint(intf.endpoints[e]));
            auto el = class_lines.endpoint.find({i, e});
            if (el != class_lines.endpoint.end()) {
                lines.insert(lines.end(), el->second.begin(), el->second.end());
            }
        }
    }
    return lines;
}
