// Helpers for the tests of Lync's conversation with the device: the phone's
// end of the control channel, and requests to the HID and audio interfaces
// as the bus reader hands them over (header converted).
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "link/ctrl_channel.h"
#include "link/ctrl_frame.h"
#include "soft_dev/usbip_pdu.h"
#include "unit/soft_dev_test_support.h"

namespace quor::test {

// The phone's side of a control channel on a socket pair.
class PhoneEnd {
  public:
    PhoneEnd() {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        set_phone_sender(&ctrl_channel_sender());
        ctrl_channel_open(fds[0], 0x7F000001);
        fd_ = fds[1];
    }
    ~PhoneEnd() {
        ctrl_channel_close();
        close(fd_);
    }
    // Every frame that arrives within TIMEOUT_MS of the last, as
    // "TT LL PP..." hex.
    std::vector<std::string> Frames(int timeout_ms = 50) {
        std::vector<std::string> out;
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, timeout_ms) != 1) return out;
            CtrlFrame f;
            if (read_ctrl_frame(fd_, &f) != 1) return out;
            out.push_back(Hex(f));
        }
    }
    // The frames of types only, in order.
    std::vector<int> Types(int timeout_ms = 50) {
        std::vector<int> out;
        for (const std::string& f : Frames(timeout_ms))
            out.push_back(std::stoi(f.substr(0, 2), nullptr, 16));
        return out;
    }

    static std::string Hex(const CtrlFrame& f) {
        std::string s = Byte(f.type) + " " + Byte(f.len);
        for (int i = 0; i < f.len; ++i) s += " " + Byte(f.payload[i]);
        return s;
    }
    static std::string Byte(unsigned v) {
        char b[3];
        snprintf(b, sizeof(b), "%02X", v);
        return b;
    }

  private:
    int fd_ = -1;
};

// A text frame's expected hex: type, length (text + NUL), text, 00.
inline std::string TextFrame(uint8_t type, const std::string& text) {
    std::string s = PhoneEnd::Byte(type) + " " + PhoneEnd::Byte(unsigned(text.size() + 1));
    for (unsigned char c : text) s += " " + PhoneEnd::Byte(c);
    return s + " 00";
}

// A converted control request.
inline Bytes Converted(const Submit& s) {
    Bytes b = s.wire();
    usbip_header_to_host(b.data());
    return b;
}

// SET_REPORT of report ID with DATA (the report id first) to interface 3.
inline Bytes SetReport(uint8_t id, const Bytes& data, uint32_t seqnum = 7) {
    Submit s = control(seqnum, 0x21, 0x09, uint16_t(0x0200 | id), 3, uint16_t(data.size()));
    s.out_data = data;
    return Converted(s);
}

// Report 3 with request code CODE (and chunk position bits) and 31 more
// bytes starting at data byte 2.
inline Bytes LyncReport(uint8_t code, const Bytes& rest = {}) {
    Bytes r(33, 0);
    r[0] = 3;
    r[1] = code;
    std::copy(rest.begin(), rest.begin() + long(std::min<size_t>(rest.size(), 31)), r.begin() + 2);
    return r;
}

// The credential chunks of TEXT as Lync sends them in report 3.
inline std::vector<Bytes> CredentialChunks(const std::string& text) {
    std::vector<Bytes> chunks;
    const Bytes t(text.begin(), text.end());
    if (t.size() <= 29) {
        Bytes rest = {uint8_t(t.size()), 0};
        rest.insert(rest.end(), t.begin(), t.end());
        chunks.push_back(LyncReport(0xC5, rest));
        return chunks;
    }
    Bytes first = {uint8_t(t.size()), 0};
    first.insert(first.end(), t.begin(), t.begin() + 29);
    chunks.push_back(LyncReport(0x45, first));
    size_t at = 29;
    for (; t.size() - at > 31; at += 31)
        chunks.push_back(LyncReport(0x05, Bytes(t.begin() + long(at), t.begin() + long(at) + 31)));
    chunks.push_back(LyncReport(0x85, Bytes(t.begin() + long(at), t.end())));
    return chunks;
}

}  // namespace quor::test
