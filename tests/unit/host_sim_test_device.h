// The phone's USB descriptors byte for byte (model "Q55", vendor 2f1c,
// product 0455, release 0214) and a small device that plugs into a
// quor-host-sim listener and answers from them, with switches for the faults
// the host must catch. It parses and builds PDUs with the byte-order helpers
// only, independently of the host's own codec.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/byte_order.h"

namespace test_device {

inline std::vector<uint8_t> device_descriptor() {
    return {0x12, 0x01, 0x10, 0x01, 0x00, 0x00, 0x00, 0x40, 0x1C,
            0x2F, 0x55, 0x04, 0x14, 0x02, 0x00, 0x00, 0x00, 0x01};
}

inline std::vector<uint8_t> configuration() {
    return {
        0x09, 0x02, 0xD9, 0x00, 0x04, 0x01, 0x00, 0x80, 0xFA,                    // 0
        0x09, 0x04, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x04,                    // 9
        0x0A, 0x24, 0x01, 0x00, 0x01, 0x46, 0x00, 0x02, 0x01, 0x02,              // 18
        0x0C, 0x24, 0x02, 0x01, 0x03, 0x04, 0x03, 0x01, 0x04, 0x00, 0x05, 0x05,  // 28
        0x09, 0x24, 0x06, 0x06, 0x01, 0x01, 0x03, 0x00, 0x00,                    // 40
        0x09, 0x24, 0x03, 0x02, 0x01, 0x01, 0x04, 0x06, 0x05,                    // 49
        0x0C, 0x24, 0x02, 0x04, 0x01, 0x01, 0x02, 0x01, 0x04, 0x00, 0x06, 0x06,  // 58
        0x09, 0x24, 0x06, 0x05, 0x04, 0x01, 0x03, 0x00, 0x00,                    // 70
        0x09, 0x24, 0x03, 0x03, 0x03, 0x04, 0x01, 0x05, 0x06,                    // 79
        0x09, 0x04, 0x01, 0x00, 0x00, 0x01, 0x02, 0x00, 0x05,                    // 88
        0x09, 0x04, 0x01, 0x01, 0x01, 0x01, 0x02, 0x00, 0x05,                    // 97
        0x07, 0x24, 0x01, 0x04, 0xFF, 0x01, 0x00,                                // 106
        0x0B, 0x24, 0x02, 0x01, 0x01, 0x02, 0x10, 0x01, 0x80, 0xBB, 0x00,        // 113
        0x09, 0x05, 0x01, 0x0D, 0x60, 0x00, 0x01, 0x00, 0x00,                    // 124
        0x07, 0x25, 0x01, 0x01, 0x00, 0x00, 0x00,                                // 133
        0x09, 0x04, 0x02, 0x00, 0x00, 0x01, 0x02, 0x00, 0x06,                    // 140
        0x09, 0x04, 0x02, 0x01, 0x01, 0x01, 0x02, 0x00, 0x06,                    // 149
        0x07, 0x24, 0x01, 0x02, 0xFF, 0x01, 0x00,                                // 158
        0x0B, 0x24, 0x02, 0x01, 0x01, 0x02, 0x10, 0x01, 0x80, 0xBB, 0x00,        // 165
        0x09, 0x05, 0x82, 0x0D, 0x60, 0x00, 0x01, 0x00, 0x00,                    // 176
        0x07, 0x25, 0x01, 0x01, 0x00, 0x00, 0x00,                                // 185
        0x09, 0x04, 0x03, 0x00, 0x01, 0x03, 0x00, 0x00, 0x07,                    // 192
        0x09, 0x21, 0x01, 0x01, 0x00, 0x01, 0x22, 0xC9, 0x01,                    // 201
        0x07, 0x05, 0x83, 0x03, 0x40, 0x00, 0x0A,                                // 210
    };
}

inline std::vector<uint8_t> report_descriptor() {
    return {
        0x05, 0x0B, 0x09, 0x01, 0xA1, 0x01, 0xA1, 0x02, 0x85, 0x01, 0x05, 0x0B, 0x09, 0x20, 0x15,
        0xFF, 0x25, 0x01, 0x95, 0x01, 0x75, 0x02, 0x81, 0x26, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01,
        0x95, 0x02, 0x09, 0x21, 0x09, 0x24, 0x81, 0x02, 0x95, 0x01, 0x09, 0x2F, 0x81, 0x06, 0x95,
        0x01, 0x09, 0x07, 0x05, 0x09, 0x09, 0x01, 0x81, 0x02, 0x06, 0x99, 0xFF, 0x0A, 0x1E, 0xFF,
        0x81, 0x02, 0x95, 0x01, 0x81, 0x03, 0x05, 0x0B, 0x09, 0x06, 0xA1, 0x02, 0x19, 0xB0, 0x29,
        0xBC, 0x15, 0x01, 0x25, 0x0D, 0x95, 0x01, 0x75, 0x04, 0x81, 0x00, 0xC0, 0x75, 0x04, 0x81,
        0x03, 0xC0, 0x85, 0x05, 0x05, 0x0C, 0xA1, 0x02, 0x15, 0x00, 0x26, 0x64, 0x00, 0x75, 0x08,
        0x95, 0x01, 0x09, 0xE0, 0x81, 0x22, 0xC0, 0xA1, 0x02, 0x85, 0x06, 0x15, 0x00, 0x25, 0x01,
        0x95, 0x01, 0x75, 0x01, 0x05, 0x08, 0x09, 0x17, 0x91, 0x02, 0x95, 0x07, 0x91, 0x03, 0xC0,
        0xC0, 0x06, 0x99, 0xFF, 0x09, 0x02, 0xA1, 0x01, 0x85, 0x03, 0x05, 0x0A, 0xA1, 0x02, 0x15,
        0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x20, 0x09, 0x01, 0x91, 0x02, 0xC0, 0x85, 0x04,
        0x05, 0x0A, 0xA1, 0x02, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x20, 0x09, 0x01,
        0x81, 0x02, 0xC0, 0xC0, 0x06, 0x99, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x0A, 0x00, 0xFF, 0xA1,
        0x02, 0x85, 0x11, 0x0A, 0x01, 0xFF, 0x0A, 0x02, 0xFF, 0x15, 0x00, 0x27, 0xFF, 0xFF, 0x00,
        0x00, 0x95, 0x02, 0x75, 0x10, 0xB1, 0x03, 0xC0, 0x09, 0x20, 0xA1, 0x02, 0x85, 0x12, 0x09,
        0x35, 0x09, 0x36, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x95, 0x02, 0x75, 0x08, 0xB1, 0x03, 0x19,
        0x81, 0x29, 0x8A, 0x25, 0x01, 0x95, 0x0A, 0x75, 0x01, 0xB1, 0x03, 0x95, 0x01, 0x75, 0x06,
        0xB1, 0x03, 0xC0, 0x09, 0x24, 0xA1, 0x02, 0x85, 0x13, 0x09, 0x26, 0x09, 0x25, 0x0A, 0x10,
        0xFF, 0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x91, 0x02, 0x0A, 0x11, 0xFF, 0x25,
        0x0F, 0x95, 0x01, 0x75, 0x04, 0x91, 0x02, 0x75, 0x01, 0x91, 0x03, 0xC0, 0x09, 0x48, 0xA1,
        0x02, 0x85, 0x14, 0x19, 0x81, 0x29, 0x8A, 0x15, 0x01, 0x25, 0x0A, 0x95, 0x01, 0x75, 0x04,
        0x91, 0x00, 0x95, 0x01, 0x75, 0x04, 0x91, 0x03, 0x0A, 0x23, 0xFF, 0x15, 0x00, 0x25, 0x03,
        0x95, 0x01, 0x75, 0x02, 0x91, 0x02, 0x95, 0x01, 0x75, 0x05, 0x91, 0x03, 0x0A, 0x22, 0xFF,
        0x25, 0x01, 0x95, 0x01, 0x75, 0x01, 0x91, 0x02, 0xC0, 0x09, 0x2B, 0xA1, 0x02, 0x85, 0x15,
        0x95, 0x01, 0x75, 0x07, 0x91, 0x03, 0x0A, 0x24, 0xFF, 0x15, 0x00, 0x25, 0x01, 0x95, 0x01,
        0x75, 0x01, 0x91, 0x02, 0x0A, 0x2C, 0xFF, 0x27, 0xFF, 0xFF, 0x00, 0x00, 0x95, 0x08, 0x75,
        0x10, 0x91, 0x02, 0xC0, 0x0A, 0x17, 0xFF, 0xA1, 0x02, 0x85, 0x16, 0x0A, 0x18, 0xFF, 0x15,
        0x00, 0x25, 0x0F, 0x95, 0x01, 0x75, 0x04, 0x91, 0x02, 0x75, 0x04, 0x91, 0x03, 0x0A, 0x1A,
        0xFF, 0x0A, 0x1B, 0xFF, 0x0A, 0x1F, 0xFF, 0x0A, 0x20, 0xFF, 0x25, 0x01, 0x95, 0x04, 0x75,
        0x01, 0x91, 0x02, 0x95, 0x01, 0x75, 0x02, 0x15, 0xFF, 0x25, 0x01, 0x0A, 0x1C, 0xFF, 0x91,
        0x26, 0x75, 0x02, 0x91, 0x03, 0xC0, 0xC0,
    };
}

// A string descriptor: each byte of TEXT becomes one 16-bit code unit.
inline std::vector<uint8_t> string_descriptor(const std::string& text) {
    std::vector<uint8_t> d = {static_cast<uint8_t>(2 * (text.size() + 1)), 0x03};
    for (char c : text) {
        d.push_back(static_cast<uint8_t>(c));
        d.push_back(0);
    }
    return d;
}

// The device's strings; empty for indices it does not have.
inline std::vector<uint8_t> string_by_index(uint8_t index) {
    switch (index) {
        case 0:
            return {0x04, 0x03, 0x09, 0x04};
        case 1:
        case 4:
            return string_descriptor("Kestrow Q55 Phone");
        case 3:
            return string_descriptor("0000000000");
        case 5:
            return string_descriptor("Kestrow Q55 Audio Capture");
        case 6:
            return string_descriptor("Kestrow Q55 Audio Playback");
        case 7:
            return string_descriptor("HID Interface");
        case 33:
            return string_descriptor("UCQ11111000001001");
        default:
            return {};
    }
}

// The faults the device can be told to commit.
struct Behaviour {
    std::vector<uint8_t> config = configuration();
    std::vector<uint8_t> report = report_descriptor();
    bool answer_qualifier = true;       // false: leave it unanswered
    bool answer_unlink = true;          // false: ignore CMD_UNLINK
    bool ignore_wlength = false;        // whole configuration even for wLength 9
    bool reply_twice_to_first = false;  // two RET_SUBMITs for the first request
    bool reply_after_unlink = false;    // RET_SUBMIT for the unlinked interrupt URB
    bool answer_interrupt = false;      // answer the interrupt URB at once
    bool stray_reply = false;           // a RET_SUBMIT for seqnum 999 after SET_CONFIGURATION
};

struct SeenRequest {
    uint32_t command = 0;
    uint32_t seqnum = 0;
    uint32_t devid = 0;
    uint32_t direction = 0;
    uint32_t ep = 0;
    uint32_t flags = 0;
    uint32_t length = 0;
    uint32_t interval = 0;
    uint32_t victim = 0;  // CMD_UNLINK
    uint8_t setup[8] = {};
    std::vector<uint8_t> out_data;
};

class FakeDevice {
  public:
    FakeDevice(const std::string& socket_path, Behaviour behaviour)
        : m_behaviour(std::move(behaviour)) {
        m_fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        strncpy(sa.sun_path, socket_path.c_str(), sizeof(sa.sun_path) - 1);
        bool connected = false;
        for (int i = 0; i < 200 && !connected; ++i) {
            connected = connect(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
            if (!connected) usleep(10000);
        }
        EXPECT_TRUE(connected) << "host listener never came up at " << socket_path;
        m_thread = std::thread([this] { run(); });
    }
    ~FakeDevice() { unplug(); }

    void unplug() {
        shutdown(m_fd, SHUT_RDWR);
        if (m_thread.joinable()) m_thread.join();
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
    }

    std::vector<SeenRequest> seen() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_seen;
    }
    // True once the host closed the connection.
    bool host_closed() const { return m_host_closed.load(); }

  private:
    bool read_exact(uint8_t* p, size_t n) {
        while (n > 0) {
            ssize_t r = recv(m_fd, p, n, 0);
            if (r <= 0) return false;
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }

    void send_ret_submit(uint32_t seqnum, int32_t status, const std::vector<uint8_t>& data,
                         uint32_t actual) {
        std::vector<uint8_t> pdu(48 + data.size(), 0);
        put_be32(&pdu[0], 3);
        put_be32(&pdu[4], seqnum);
        put_be32(&pdu[20], static_cast<uint32_t>(status));
        put_be32(&pdu[24], actual);
        std::copy(data.begin(), data.end(), pdu.begin() + 48);
        send(m_fd, pdu.data(), pdu.size(), MSG_NOSIGNAL);
    }

    void send_ret_unlink(uint32_t seqnum, int32_t status) {
        std::vector<uint8_t> pdu(48, 0);
        put_be32(&pdu[0], 4);
        put_be32(&pdu[4], seqnum);
        put_be32(&pdu[20], static_cast<uint32_t>(status));
        send(m_fd, pdu.data(), pdu.size(), MSG_NOSIGNAL);
    }

    // The reply data of a control IN request; false leaves it unanswered.
    bool control_in(const uint8_t* s, std::vector<uint8_t>* data, int32_t* status) {
        uint8_t type = s[3], index = s[2];
        uint16_t length = get_le16(s + 6);
        *status = 0;
        if (s[0] == 0x80 && s[1] == 6 && type == 1) {
            *data = device_descriptor();
        } else if (s[0] == 0x80 && s[1] == 6 && type == 2) {
            *data = m_behaviour.config;
            if (length == 9 && !m_behaviour.ignore_wlength) data->resize(9);
        } else if (s[0] == 0x80 && s[1] == 6 && type == 3) {
            *data = string_by_index(index);
            if (data->empty()) *status = -32;
        } else if (s[0] == 0x80 && s[1] == 6 && type == 6) {
            if (!m_behaviour.answer_qualifier) return false;
            data->clear();
        } else if (s[0] == 0x81 && s[1] == 6 && type == 0x22) {
            *data = m_behaviour.report;
        } else {
            *status = -32;
        }
        if (!m_behaviour.ignore_wlength && data->size() > length) data->resize(length);
        return true;
    }

    void run() {
        uint8_t h[48];
        uint32_t held_interrupt = 0;
        std::vector<uint32_t> unanswered;  // requests held, as a device queue would
        bool first = true;
        while (read_exact(h, sizeof(h))) {
            SeenRequest r;
            r.command = get_be32(h);
            r.seqnum = get_be32(h + 4);
            r.devid = get_be32(h + 8);
            r.direction = get_be32(h + 12);
            r.ep = get_be32(h + 16);
            r.flags = get_be32(h + 20);
            r.length = get_be32(h + 24);
            r.interval = get_be32(h + 36);
            r.victim = get_be32(h + 20);
            memcpy(r.setup, h + 40, 8);
            if (r.command == 1 && r.direction == 0) {
                r.out_data.resize(r.length);
                if (!r.out_data.empty() && !read_exact(r.out_data.data(), r.length)) break;
            }
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_seen.push_back(r);
            }
            if (r.command == 2) {
                if (!m_behaviour.answer_unlink) continue;
                auto it = std::find(unanswered.begin(), unanswered.end(), r.victim);
                bool pending = it != unanswered.end();
                send_ret_unlink(r.seqnum, pending ? -104 : 0);
                if (pending && r.victim == held_interrupt && m_behaviour.reply_after_unlink) {
                    send_ret_submit(held_interrupt, 0, {1, 0, 0}, 3);
                }
                if (pending) unanswered.erase(it);
                continue;
            }
            if (r.ep == 3) {
                if (m_behaviour.answer_interrupt) {
                    send_ret_submit(r.seqnum, 0, {1, 0, 0}, 3);
                } else {
                    held_interrupt = r.seqnum;
                    unanswered.push_back(r.seqnum);
                }
                continue;
            }
            if (r.direction == 1) {
                std::vector<uint8_t> data;
                int32_t status = 0;
                if (!control_in(r.setup, &data, &status)) {
                    unanswered.push_back(r.seqnum);
                    continue;
                }
                send_ret_submit(r.seqnum, status, data, static_cast<uint32_t>(data.size()));
                if (first && m_behaviour.reply_twice_to_first) {
                    send_ret_submit(r.seqnum, status, data, static_cast<uint32_t>(data.size()));
                }
            } else {
                send_ret_submit(r.seqnum, 0, {}, r.length);
                if (r.setup[1] == 9 && m_behaviour.stray_reply) send_ret_submit(999, 0, {}, 0);
            }
            first = false;
        }
        m_host_closed = true;
    }

    Behaviour m_behaviour;
    int m_fd = -1;
    std::thread m_thread;
    std::mutex m_mutex;
    std::vector<SeenRequest> m_seen;
    std::atomic<bool> m_host_closed{false};
};

}  // namespace test_device
