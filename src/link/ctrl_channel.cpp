#include "link/ctrl_channel.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "link/pair_session.h"
#include "platform/net.h"

namespace quor {

std::atomic<int> g_ctrl_socket{-1};
std::atomic<uint32_t> g_ctrl_peer{0};

namespace {
// Held shared by senders for the length of one send, and exclusively while
// the session closes the socket, so a send never lands on a reused number.
std::shared_mutex g_ctrl_mu;
}  // namespace

int read_ctrl_frame(int fd, CtrlFrame* f) {
    return gather_frame(f, [fd](uint8_t* buf, size_t n) -> long {
        ssize_t r;
        do {
            r = socket_recv(fd, buf, n);
        } while (r < 0 && errno == EINTR);
        return r;
    });
}

int send_frame(int fd, uint8_t type, const uint8_t* payload, size_t len) {
    uint8_t frame[CTRL_FRAME_MAX];
    int n = encode_frame(type, payload, len, frame, sizeof(frame));
    if (n < 0) return -1;
    ssize_t sent;
    do {
        sent = socket_send(fd, frame, static_cast<size_t>(n));
    } while (sent < 0 && errno == EINTR);
    // Frames carry the password and the call's key: no copy stays behind.
    explicit_bzero(frame, static_cast<size_t>(n));
    return sent == n ? 0 : -1;
}

int send_ctrl_byte(uint8_t type) {
    if (g_ctrl_socket.load() == -1) return -1;
    return send_ctrl_frame(type, nullptr, 0);
}

int send_ctrl_frame(uint8_t type, const uint8_t* payload, size_t len) {
    std::shared_lock lk(g_ctrl_mu);
    const int fd = g_ctrl_socket.load();
    if (fd < 0) return -1;
    return send_frame(fd, type, payload, len);
}

PhoneSender& ctrl_channel_sender() {
    class ChannelSender final : public PhoneSender {
      public:
        int send_frame(uint8_t type, const uint8_t* payload, size_t len) override {
            return send_ctrl_frame(type, payload, len);
        }
        int send_byte(uint8_t type) override { return send_ctrl_byte(type); }
        int pairing_generation() const override { return g_pair_generation.load(); }
    };
    static ChannelSender sender;
    return sender;
}

int ctrl_local_ipv4(uint32_t* addr) {
    std::shared_lock lk(g_ctrl_mu);
    const int fd = g_ctrl_socket.load();
    if (fd < 0) return -1;
    return local_ipv4(fd, addr);
}

void ctrl_channel_open(int fd, uint32_t peer) {
    std::unique_lock lk(g_ctrl_mu);
    g_ctrl_socket = fd;
    g_ctrl_peer = peer;
}

void ctrl_channel_close() {
    std::unique_lock lk(g_ctrl_mu);
    const int fd = g_ctrl_socket.exchange(-1);
    g_ctrl_peer = 0;
    close_socket(fd);
}

bool ctrl_channel_publish(int fd, uint32_t peer, int generation) {
    std::unique_lock lk(g_ctrl_mu);
    if (g_pair_generation.load() != generation) return false;
    g_ctrl_socket = fd;
    g_ctrl_peer = peer;
    return true;
}

bool ctrl_channel_release(int fd, int generation) {
    std::unique_lock lk(g_ctrl_mu);
    const bool newest = g_pair_generation.load() == generation;
    // An older session's connection that is still published is left open
    // for its owner to close; it only stops being the channel.
    if (newest || (fd >= 0 && g_ctrl_socket.load() == fd)) {
        g_ctrl_socket = -1;
        g_ctrl_peer = 0;
    }
    close_socket(fd);
    return newest;
}

}  // namespace quor
