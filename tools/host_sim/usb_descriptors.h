// The device-level descriptors a host reads first: the device descriptor,
// string descriptors with their language list, and the device qualifier.
// Parsers take the bytes exactly as received, check them and describe them in
// the report's line format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host_text.h"

constexpr uint8_t DT_DEVICE = 0x01;
constexpr uint8_t DT_CONFIG = 0x02;
constexpr uint8_t DT_STRING = 0x03;
constexpr uint8_t DT_INTERFACE = 0x04;
constexpr uint8_t DT_ENDPOINT = 0x05;
constexpr uint8_t DT_QUALIFIER = 0x06;
constexpr uint8_t DT_HID = 0x21;
constexpr uint8_t DT_REPORT = 0x22;
constexpr uint8_t DT_CS_INTERFACE = 0x24;
constexpr uint8_t DT_CS_ENDPOINT = 0x25;

constexpr uint8_t REQ_GET_DESCRIPTOR = 0x06;
constexpr uint8_t REQ_SET_CONFIGURATION = 0x09;
constexpr uint8_t REQ_SET_INTERFACE = 0x0B;

constexpr size_t DEVICE_DESC_SIZE = 18;
constexpr size_t QUALIFIER_DESC_SIZE = 10;

struct DeviceDesc {
    uint16_t bcd_usb = 0;
    uint8_t device_class = 0;
    uint8_t device_subclass = 0;
    uint8_t device_protocol = 0;
    uint8_t max_packet0 = 0;
    uint16_t vendor = 0;
    uint16_t product = 0;
    uint16_t bcd_device = 0;
    uint8_t manufacturer_string = 0;
    uint8_t product_string = 0;
    uint8_t serial_string = 0;
    uint8_t configurations = 0;
};

// 0 when the bytes are a device descriptor the host can go on with, -1 when
// not (too short, wrong type); failed checks in CHECKS either way.
int parse_device_descriptor(const uint8_t* p, size_t len, DeviceDesc* dev, CheckList* checks);

// The first read (wLength 64) must be a prefix of the full descriptor and
// give at least the 8 bytes up to bMaxPacketSize0.
void check_device_first_read(const std::vector<uint8_t>& first, const std::vector<uint8_t>& full,
                             CheckList* checks);

// "device vid=2f1c pid=0455 bcd=0214 class=00 maxpacket0=64 configs=1"
std::string format_device(const DeviceDesc& dev);

// The language ids of string descriptor 0. 0 with at least one id, -1 when
// none can be used.
int parse_language_list(const uint8_t* p, size_t len, std::vector<uint16_t>* langs,
                        CheckList* checks);

// String descriptor INDEX as a quoted text. 0 when a text could be taken
// (possibly after failed checks), -1 when not.
int parse_string_descriptor(uint8_t index, const uint8_t* p, size_t len, std::string* quoted,
                            CheckList* checks);

// A device qualifier reply of LEN bytes; "qualifier ..." line.
std::string describe_qualifier(const uint8_t* p, size_t len, CheckList* checks);
