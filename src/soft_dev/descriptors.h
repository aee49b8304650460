// The emulated phone's descriptors: device, the one configuration (audio
// control, speaker and microphone streaming, HID telephony), the strings
// and the HID report descriptor, and the phone identity that
// set_device_identity fills into them and into the plug-in record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/vbus.h"

namespace quor {

constexpr size_t DEVICE_DESCRIPTOR_SIZE = 18;
constexpr size_t CONFIG_DESCRIPTOR_SIZE = 217;
constexpr size_t CONFIG_HEADER_SIZE = 9;
constexpr size_t HID_REPORT_DESCRIPTOR_SIZE = 457;
// A string descriptor's slot; its text holds at most 126 characters.
constexpr size_t STRING_SLOT_SIZE = 256;
constexpr size_t STRING_HEAD_SIZE = 4;
constexpr size_t MAX_STRING_CHARS = 126;
constexpr size_t MAX_MODEL_NAME = 238;

extern const uint8_t CONFIG_DESCRIPTOR[CONFIG_DESCRIPTOR_SIZE];
extern const uint8_t HID_REPORT_DESCRIPTOR[HID_REPORT_DESCRIPTOR_SIZE];

// Stores the phone's identity in the device descriptor and the plug-in
// record and composes strings 1, 4, 5 and 6 from MODEL, one 16-bit code
// unit per byte. Refused (-1, nothing changed) for a missing or empty
// model, a zero id or release, or a model too long for a string descriptor
// (more than 103 bytes). 0 otherwise.
int set_device_identity(const char* model, uint16_t vid, uint16_t pid, uint16_t release);

// Copies of the current descriptors, safe against a concurrent
// set_device_identity.
void copy_device_descriptor(uint8_t out[DEVICE_DESCRIPTOR_SIZE]);
void copy_plugin_record(uint8_t out[PLUGIN_RECORD_SIZE]);
// String descriptor INDEX into OUT (STRING_SLOT_SIZE bytes): its length
// (bLength), or -1 when the device has no such string.
int copy_string_descriptor(uint8_t index, uint8_t* out);

}  // namespace quor
