// A configuration descriptor with everything that follows it (interfaces,
// endpoints, class-specific descriptors), split into a model the host works
// from, with the checks every configuration must pass. The audio class and
// HID report checks build on this model (audio_desc.h, hid_report.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host_text.h"

constexpr size_t CONFIG_DESC_SIZE = 9;

// Where one descriptor sits in the configuration's bytes.
struct DescRef {
    size_t offset = 0;
    uint8_t length = 0;
    uint8_t type = 0;
};

struct EndpointDesc {
    DescRef ref;
    uint8_t address = 0;
    uint8_t attributes = 0;
    uint16_t max_packet = 0;
    uint8_t interval = 0;
    std::vector<DescRef> class_specific;  // descriptors following it
};

struct HidDesc {
    DescRef ref;
    uint16_t bcd_hid = 0;
    uint8_t country = 0;
    uint16_t report_length = 0;  // 0 when no report descriptor is named
};

struct InterfaceDesc {
    DescRef ref;
    uint8_t number = 0;
    uint8_t alt = 0;
    uint8_t declared_endpoints = 0;
    uint8_t interface_class = 0;
    uint8_t interface_subclass = 0;
    uint8_t interface_protocol = 0;
    uint8_t string = 0;
    std::vector<DescRef> class_specific;  // before the first endpoint
    bool has_hid = false;
    HidDesc hid;
    std::vector<EndpointDesc> endpoints;
};

struct ConfigDesc {
    std::vector<uint8_t> bytes;
    uint16_t total_length = 0;
    uint8_t interface_count = 0;
    uint8_t value = 0;
    uint8_t string = 0;
    uint8_t attributes = 0;
    uint8_t max_power = 0;                  // units of 2 mA
    std::vector<InterfaceDesc> interfaces;  // every alternate setting, in order
};

constexpr uint8_t EP_XFER_ISO = 1;
constexpr uint8_t EP_XFER_BULK = 2;
constexpr uint8_t EP_XFER_INT = 3;

constexpr uint8_t CLASS_AUDIO = 0x01;
constexpr uint8_t CLASS_HID = 0x03;
constexpr uint8_t AUDIO_CONTROL = 0x01;
constexpr uint8_t AUDIO_STREAMING = 0x02;

// Reads the 9-byte head of a configuration (the first, short read):
// wTotalLength in TOTAL. 0, or -1 when the bytes are no configuration head.
int parse_config_head(const uint8_t* p, size_t len, uint16_t* total, CheckList* checks);

// Splits and checks a whole configuration. 0 when a model could be built
// (possibly with failed checks), -1 when the bytes are unusable.
int parse_config(const uint8_t* p, size_t len, ConfigDesc* config, CheckList* checks);

// Report lines that a class checker adds to an alternate setting (keyed by
// its index in ConfigDesc::interfaces) or to one of its endpoints.
struct ClassLines {
    std::map<size_t, std::vector<std::string>> interface;
    std::map<std::pair<size_t, size_t>, std::vector<std::string>> endpoint;
};

// The report lines of the configuration: the "config" line, then per
// alternate setting its "interface" line, its "hid" line and class lines,
// and each "endpoint" line followed by that endpoint's class lines. STRINGS
// maps string indices to quoted texts.
std::vector<std::string> format_config(const ConfigDesc& config,
                                       const std::map<uint8_t, std::string>& strings,
                                       const ClassLines& class_lines);

// "endpoint 0x01 iso out maxpacket=96 interval=1"
std::string format_endpoint(const EndpointDesc& ep);
