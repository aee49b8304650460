#include "enumerator.h"

#include <chrono>
#include <set>
#include <thread>

namespace {

constexpr uint16_t FIRST_DEVICE_READ = 64;
constexpr uint16_t STRING_READ = 255;
constexpr size_t MAX_CONFIGURATIONS = 8;  // the Linux host reads no more
constexpr uint8_t REQ_SET_IDLE = 0x0A;
// How long the interrupt URB is held before it is unlinked: long enough for
// a device that wrongly answers it at once to have done so.
constexpr int INTERRUPT_HOLD_MS = 100;

}  // namespace

uint32_t interrupt_period(uint8_t interval) {
    uint32_t period = 1;
    while (period * 2 <= interval) period *= 2;
    return period;
}

int Enumerator::control(const ControlSetup& setup, ControlResult* result) {
    return control_transfer(m_conn, m_out, setup, {}, m_timeout_ms, result);
}

int Enumerator::stop(const char* why) {
    if (!m_conn.alive()) {
        m_out.line("enumeration stopped: device disconnected");
    } else {
        m_out.error(strfmt("enumeration failed: %s", why));
    }
    return -1;
}

int Enumerator::read_device() {
    ControlResult first, full;
    if (control(get_descriptor_setup(DT_DEVICE, 0, 0, FIRST_DEVICE_READ), &first) != 0) return -1;
    if (first.status != 0) {
        m_out.check_failed(strfmt("device descriptor: first read status %d", first.status));
        return -1;
    }
    if (control(get_descriptor_setup(DT_DEVICE, 0, 0, DEVICE_DESC_SIZE), &full) != 0) return -1;
    if (full.status != 0) {
        m_out.check_failed(strfmt("device descriptor: status %d", full.status));
        return -1;
    }
    CheckList checks;
    int r = parse_device_descriptor(full.data.data(), full.data.size(), &m_model.device, &checks);
    if (r == 0) {
        check_device_first_read(first.data, full.data, &checks);
        m_out.line(format_device(m_model.device));
    }
    m_out.check_failed(checks);
    return r;
}

int Enumerator::read_configurations() {
    size_t count = m_model.device.configurations;
    if (count > MAX_CONFIGURATIONS) {
        m_out.check_failed(strfmt("device descriptor: %zu configurations, a host reads %zu", count,
                                  MAX_CONFIGURATIONS));
        count = MAX_CONFIGURATIONS;
    }
    for (size_t i = 0; i < count; ++i) {
        uint8_t index = static_cast<uint8_t>(i);
        ControlResult head, full;
        if (control(get_descriptor_setup(DT_CONFIG, index, 0, CONFIG_DESC_SIZE), &head) != 0) {
            return -1;
        }
        CheckList checks;
        uint16_t total = 0;
        if (head.status != 0) {
            checks.fail("configuration %zu: head read status %d", i, head.status);
        } else if (parse_config_head(head.data.data(), head.data.size(), &total, &checks) == 0) {
            if (control(get_descriptor_setup(DT_CONFIG, index, 0, total), &full) != 0) return -1;
            ConfigDesc config;
            AudioFunction audio;
            if (full.status != 0) {
                checks.fail("configuration %zu: read status %d", i, full.status);
            } else if (parse_config(full.data.data(), full.data.size(), &config, &checks) == 0) {
                parse_audio(config, &audio, &checks);
                m_model.configs.push_back(std::move(config));
                m_model.audio.push_back(std::move(audio));
            }
        }
        m_out.check_failed(checks);
    }
    return m_model.configs.empty() ? -1 : 0;
}

int Enumerator::read_strings() {
    std::set<uint8_t> wanted;
    const DeviceDesc& dev = m_model.device;
    for (uint8_t s : {dev.manufacturer_string, dev.product_string, dev.serial_string}) {
        wanted.insert(s);
    }
    for (size_t c = 0; c < m_model.configs.size(); ++c) {
        wanted.insert(m_model.configs[c].string);
        for (const InterfaceDesc& intf : m_model.configs[c].interfaces) wanted.insert(intf.string);
        std::set<uint8_t> audio = audio_string_indices(m_model.audio[c]);
        wanted.insert(audio.begin(), audio.end());
    }
    wanted.erase(0);
    if (wanted.empty()) return 0;

    ControlResult langs;
    if (control(get_descriptor_setup(DT_STRING, 0, 0, STRING_READ), &langs) != 0) return -1;
    CheckList checks;
    std::vector<uint16_t> ids;
    if (langs.status != 0) {
        checks.fail("string 0: status %d, strings are named but there is no language list",
                    langs.status);
    } else if (parse_language_list(langs.data.data(), langs.data.size(), &ids, &checks) == 0) {
        m_model.language = ids[0];
        std::string list;
        for (uint16_t id : ids) list += strfmt(list.empty() ? "%04x" : ",%04x", id);
        m_out.line("languages " + list);
    }
    m_out.check_failed(checks);
    if (ids.empty()) return 0;

    for (uint8_t index : wanted) {
        ControlResult r;
        ControlSetup setup = get_descriptor_setup(DT_STRING, index, m_model.language, STRING_READ);
        if (control(setup, &r) != 0) return -1;
        CheckList string_checks;
        std::string text;
        if (r.status != 0) {
            string_checks.fail("string %u: named by a descriptor but status %d", index, r.status);
        } else if (parse_string_descriptor(index, r.data.data(), r.data.size(), &text,
                                           &string_checks) == 0) {
            m_model.strings[index] = text;
            m_out.line(strfmt("string %u ", index) + text);
        }
        m_out.check_failed(string_checks);
    }
    return 0;
}

void Enumerator::report_configurations() {
    for (size_t c = 0; c < m_model.configs.size(); ++c) {
        ClassLines lines;
        format_audio(m_model.audio[c], m_model.strings, &lines);
        for (const std::string& line : format_config(m_model.configs[c], m_model.strings, lines)) {
            m_out.line(line);
        }
    }
}

int Enumerator::read_qualifier() {
    ControlResult r;
    if (control(get_descriptor_setup(DT_QUALIFIER, 0, 0, QUALIFIER_DESC_SIZE), &r) != 0) {
        return -1;
    }
    CheckList checks;
    if (r.timed_out) {
        m_out.line("qualifier timeout");
    } else if (r.status == STATUS_EPIPE) {
        m_out.line("qualifier stall");
    } else if (r.status != 0) {
        m_out.line(strfmt("qualifier status=%d", r.status));
    } else {
        m_out.line(describe_qualifier(r.data.data(), r.data.size(), &checks));
    }
    m_out.check_failed(checks);
    return 0;
}

int Enumerator::configure() {
    uint8_t value = m_model.configs[0].value;
    ControlResult r;
    if (control(set_configuration_setup(value), &r) != 0) return -1;
    m_out.line(strfmt("set-configuration %u status=%d", value, r.status));
    if (r.status != 0) {
        m_out.check_failed(strfmt("SET_CONFIGURATION %u: status %d", value, r.status));
        return -1;
    }
    return 0;
}

int Enumerator::bind_audio(const ConfigDesc& config) {
    std::set<uint8_t> streaming;
    for (const InterfaceDesc& intf : config.interfaces) {
        if (intf.interface_class == CLASS_AUDIO && intf.interface_subclass == AUDIO_STREAMING &&
            intf.alt == 1) {
            streaming.insert(intf.number);
        }
    }
    for (uint8_t n : streaming) {
        for (uint8_t alt : {1, 0}) {
            ControlResult r;
            if (control(set_interface_setup(n, alt), &r) != 0) return -1;
            m_out.line(strfmt("set-interface %u %u status=%d", n, alt, r.status));
            if (r.status != 0) {
                m_out.check_failed(strfmt("SET_INTERFACE %u alt %u: status %d", n, alt, r.status));
            }
        }
    }
    return 0;
}

int Enumerator::bind_hid(const InterfaceDesc& intf) {
    ControlSetup idle;
    idle.request_type = 0x21;
    idle.request = REQ_SET_IDLE;
    idle.index = intf.number;
    ControlResult r;
    if (control(idle, &r) != 0) return -1;
    // usbhid ignores a refused SET_IDLE, so a stall is only reported.
    m_out.line(strfmt("set-idle %u status=%d", intf.number, r.status));

    ControlSetup get = get_descriptor_setup(DT_REPORT, 0, intf.number, intf.hid.report_length);
    get.request_type = 0x81;
    if (control(get, &r) != 0) return -1;
    CheckList checks;
    if (r.status != 0) {
        checks.fail("interface %u: report descriptor status %d", intf.number, r.status);
    } else {
        if (r.data.size() != intf.hid.report_length) {
            checks.fail("interface %u: report descriptor of %zu bytes, the HID descriptor says %u",
                        intf.number, r.data.size(), intf.hid.report_length);
        }
        HidReportSummary summary;
        parse_hid_report(r.data.data(), r.data.size(), &summary, &checks);
        m_out.line(format_hid_reports(summary));
    }
    m_out.check_failed(checks);
    return 0;
}

int Enumerator::probe_interrupt_unlink(const InterfaceDesc& intf) {
    for (const EndpointDesc& ep : intf.endpoints) {
        if ((ep.attributes & 0x03) != EP_XFER_INT || (ep.address & 0x80) == 0) continue;
        UrbRequest req;
        req.type = UrbType::INTERRUPT;
        req.endpoint = ep.address;
        req.buffer_length = ep.max_packet & 0x07FF;
        req.interval = interrupt_period(ep.interval);
        HostOutput& out = m_out;
        uint8_t address = ep.address;
        auto report = [&out, address](uint32_t seqnum, const UrbResult& result) {
            if (result.unlinked) return;
            out.line(strfmt("interrupt seq=%u ep=0x%02x status=%d length=%u data=%s", seqnum,
                            address, result.status, result.actual_length,
                            hex_string(result.data.data(), result.data.size()).c_str()));
        };
        uint32_t seqnum = 0;
        if (m_conn.submit(req, report, &seqnum) != 0) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(INTERRUPT_HOLD_MS));
        if (unlink_urb(m_conn, m_out, seqnum, m_timeout_ms) != 0) return -1;
    }
    return 0;
}

int Enumerator::run() {
    m_model = DeviceModel();
    if (read_device() != 0) return stop("no usable device descriptor");
    if (read_configurations() != 0) return stop("no usable configuration");
    if (read_strings() != 0) return stop("string descriptors");
    report_configurations();
    if (read_qualifier() != 0) return stop("device qualifier");
    if (configure() != 0) return stop("device not configured");
    const ConfigDesc& config = m_model.configs[0];
    if (bind_audio(config) != 0) return stop("audio interfaces");
    for (const InterfaceDesc& intf : config.interfaces) {
        if (intf.alt != 0 || !intf.has_hid) continue;
        if (bind_hid(intf) != 0 || probe_interrupt_unlink(intf) != 0) return stop("HID interface");
    }
    m_out.line("enumeration done");
    return 0;
}
