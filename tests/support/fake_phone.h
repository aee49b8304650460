// A desk phone for in-process tests: listens on 127.0.0.1:7063 and lets the
// test read and write control frames on each accepted connection.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "link/ctrl_channel.h"
#include "link/ctrl_frame.h"

namespace quor::test {

class FakePhone {
  public:
    FakePhone() {
        listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(CTRL_PORT);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = bind(listen_fd_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0 &&
              listen(listen_fd_, 4) == 0;
    }
    ~FakePhone() {
        CloseAll();
        close(listen_fd_);
    }
    // Ends every connection, so sessions blocked in a read return.
    void CloseAll() {
        for (int fd : conns_) close(fd);
        conns_.clear();
        fd_ = -1;
    }
    // Reads and writes go to connection I from now on (0 is the oldest).
    void Use(size_t i) { fd_ = conns_.at(i); }
    void DropOldest() {
        close(conns_.front());
        conns_.erase(conns_.begin());
    }
    bool ok() const { return ok_; }

    // Waits for the next connection; false after TIMEOUT_MS.
    bool Accept(int timeout_ms = 5000) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) return false;
        fd_ = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        conns_.push_back(fd_);
        return fd_ >= 0;
    }
    // The next frame from the program as "TT LL PP..." hex, or "closed" /
    // "timeout".
    std::string Read(int timeout_ms = 5000) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) return "timeout";
        CtrlFrame f;
        if (read_ctrl_frame(fd_, &f) != 1) return "closed";
        std::string hex = Hex(f.type) + " " + Hex(f.len);
        for (int i = 0; i < f.len; ++i) hex += " " + Hex(f.payload[i]);
        return hex;
    }
    void Send(uint8_t type, std::vector<uint8_t> payload = {}) {
        send_frame(fd_, type, payload.data(), payload.size());
    }
    void SendRaw(const std::vector<uint8_t>& bytes) {
        (void)!send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    void SendText(uint8_t type, const std::string& text) {
        std::vector<uint8_t> p(text.begin(), text.end());
        p.push_back(0);
        Send(type, p);
    }
    void SendIdentity(const std::string& model = "Q55") {
        SendText(MODEL_NAME, model);
        Send(VENDOR_ID, {0x2f, 0x1c});
        Send(PRODUCT_ID, {0x04, 0x55});
        Send(DEVICE_RELEASE, {0x02, 0x14});
    }
    void Drop() {
        close(fd_);
        conns_.pop_back();
        fd_ = -1;
    }

  private:
    static std::string Hex(unsigned v) {
        char b[3];
        snprintf(b, sizeof(b), "%02X", v);
        return b;
    }
    int listen_fd_ = -1;
    int fd_ = -1;
    bool ok_ = false;
    std::vector<int> conns_;
};

}  // namespace quor::test
