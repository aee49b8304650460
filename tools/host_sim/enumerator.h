// Enumeration of a freshly attached device the way a Linux host and its
// drivers do it: device descriptor (64, then 18 bytes), each configuration
// (9 bytes, then wTotalLength), the language list and every string the
// descriptors name (wLength 255), the device qualifier, SET_CONFIGURATION,
// then what the class drivers send: SET_INTERFACE alt 1 and back to 0 on
// each audio streaming interface; SET_IDLE and GET_DESCRIPTOR(report) on each
// HID interface, whose interrupt IN endpoint gets one URB that is held
// pending and then unlinked. Every reply is checked and the findings printed.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "audio_desc.h"
#include "config_desc.h"
#include "control_transfer.h"
#include "hid_report.h"
#include "host_connection.h"
#include "host_output.h"
#include "usb_descriptors.h"

// What the enumeration learnt about the device.
struct DeviceModel {
    DeviceDesc device;
    std::vector<ConfigDesc> configs;
    std::vector<AudioFunction> audio;  // parallel to configs
    uint16_t language = 0;
    std::map<uint8_t, std::string> strings;  // index -> quoted text
};

// Largest power of two not above an interrupt endpoint's bInterval: the
// period the Linux host actually polls a full-speed endpoint at (ms).
uint32_t interrupt_period(uint8_t interval);

class Enumerator {
  public:
    Enumerator(HostConnection& conn, HostOutput& out, int timeout_ms)
        : m_conn(conn), m_out(out), m_timeout_ms(timeout_ms) {}

    // Runs the whole enumeration and prints "enumeration done". 0 when it
    // ran to its end (failed checks included), -1 when it had to stop (the
    // device went away, or a step the host cannot go on without failed).
    int run();
    const DeviceModel& model() const { return m_model; }

  private:
    // 0 with RESULT, -1 when the device is gone.
    int control(const ControlSetup& setup, ControlResult* result);
    int read_device();
    int read_configurations();
    int read_strings();
    void report_configurations();
    int read_qualifier();
    int configure();
    int bind_audio(const ConfigDesc& config);
    int bind_hid(const InterfaceDesc& intf);
    int probe_interrupt_unlink(const InterfaceDesc& intf);
    int stop(const char* why);

    HostConnection& m_conn;
    HostOutput& m_out;
    int m_timeout_ms;
    DeviceModel m_model;
};
