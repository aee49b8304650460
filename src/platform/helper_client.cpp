#include "platform/helper_client.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/diag_log.h"
#include "platform/helper_protocol.h"
#include "platform/net.h"

namespace quor {

namespace {
constexpr char DEFAULT_SOCKET[] = "/run/kestrow-quor/helper.sock";
// The helper answers at once, or after polkit's answer; a helper that hangs
// must not hold up the program forever.
constexpr int ANSWER_TIMEOUT_S = 30;
}  // namespace

std::string helper_socket_path() {
    const char* path = getenv("QUOR_HELPER_SOCKET");
    return path && *path ? path : DEFAULT_SOCKET;
}

HelperClient::HelperClient(std::string socket_path) : path_(std::move(socket_path)) {}

HelperClient::~HelperClient() {
    disconnect();
}

void HelperClient::disconnect() {
    std::lock_guard lk(mu_);
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

int HelperClient::connect_locked() {
    if (fd_ >= 0) return 0;
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (path_.size() >= sizeof(sa.sun_path)) return ENAMETOOLONG;
    memcpy(sa.sun_path, path_.c_str(), path_.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0) {
        const int err = errno;
        close(fd);
        return err;
    }
    const timeval tv{ANSWER_TIMEOUT_S, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    fd_ = fd;
    return 0;
}

int HelperClient::call(uint16_t op, uint32_t a, uint32_t b, uint32_t c, int send_fd,
                       uint32_t* value, int* recv_fd) {
    std::lock_guard lk(mu_);
    if (const int err = connect_locked(); err != 0) return err;
    uint8_t req[helper::REQUEST_SIZE];
    helper::encode_request({op, a, b, c}, req);
    int err = 0;
    if (send_with_descriptor(fd_, req, sizeof(req), send_fd, 0) != ssize_t(sizeof(req)))
        err = errno ? errno : EIO;

    uint8_t ans_buf[helper::ANSWER_SIZE + 1];
    alignas(cmsghdr) char in_control[CMSG_SPACE(sizeof(int) * 4)] = {};
    int got_fd = -1;
    ssize_t n = -1;
    int flags = 0;
    if (err == 0) {
        iovec in_iov{ans_buf, sizeof(ans_buf)};
        msghdr in{};
        in.msg_iov = &in_iov;
        in.msg_iovlen = 1;
        in.msg_control = in_control;
        in.msg_controllen = sizeof(in_control);
        do n = recvmsg(fd_, &in, MSG_CMSG_CLOEXEC);
        while (n < 0 && errno == EINTR);
        if (n < 0)
            err = errno;
        else if (n == 0)
            err = ECONNRESET;
        flags = in.msg_flags;
        // Keep one descriptor; close any others rather than leak them.
        for (cmsghdr* cm = CMSG_FIRSTHDR(&in); n > 0 && cm; cm = CMSG_NXTHDR(&in, cm)) {
            if (cm->cmsg_level != SOL_SOCKET || cm->cmsg_type != SCM_RIGHTS) continue;
            const size_t count = (cm->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int fd;
                memcpy(&fd, CMSG_DATA(cm) + i * sizeof(int), sizeof(int));
                if (got_fd < 0)
                    got_fd = fd;
                else
                    close(fd);
            }
        }
    }
    helper::Answer ans;
    if (err == 0 && ((flags & (MSG_TRUNC | MSG_CTRUNC)) != 0 ||
                     helper::decode_answer(ans_buf, size_t(n), op, &ans) != 0))
        err = EPROTO;
    if (err == 0) err = ans.status;
    if (err == 0 && (recv_fd != nullptr) != (got_fd >= 0)) err = EPROTO;
    if (err != 0) {
        if (got_fd >= 0) close(got_fd);
        // A connection that failed or went out of step is not used again.
        if (err == EPROTO || err == ECONNRESET || err == EPIPE || err == EAGAIN ||
            err == ENOTCONN || n <= 0) {
            close(fd_);
            fd_ = -1;
        }
        return err;
    }
    if (value) *value = ans.value;
    if (recv_fd) *recv_fd = got_fd;
    return 0;
}

int HelperClient::attach(int stream_fd, uint32_t devid, uint32_t speed, unsigned* port) {
    uint32_t value = 0;
    const int err = call(helper::OP_ATTACH, devid, speed, 0, stream_fd, &value, nullptr);
    if (err == 0) *port = value;
    return err;
}

int HelperClient::detach(unsigned port) {
    return call(helper::OP_DETACH, port, 0, 0, -1, nullptr, nullptr);
}

int HelperClient::bind_udp(uint32_t addr, uint16_t port, int* fd) {
    return call(helper::OP_BIND_UDP, helper::FAMILY_IPV4, addr, port, -1, nullptr, fd);
}

int HelperClient::firewall_open(uint32_t addr) {
    return call(helper::OP_FIREWALL_OPEN, helper::FAMILY_IPV4, addr, 0, -1, nullptr, nullptr);
}

int HelperClient::firewall_close(uint32_t addr) {
    return call(helper::OP_FIREWALL_CLOSE, helper::FAMILY_IPV4, addr, 0, -1, nullptr, nullptr);
}

namespace {
std::mutex g_firewall_mu;
// The connection that holds the rules: the helper removes them when it
// closes, also when the process dies.
HelperClient* g_firewall_helper = nullptr;
uint32_t g_firewall_phone = 0;  // 0: no rule open

std::string dotted(uint32_t a) {
    char text[16];
    snprintf(text, sizeof(text), "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF,
             a & 0xFF);
    return text;
}

void close_locked() {
    if (g_firewall_phone == 0) return;
    if (const int err = g_firewall_helper->firewall_close(g_firewall_phone); err != 0)
        quor_log("Quor ERR: firewall for phone %s not closed: %s\n",
                 dotted(g_firewall_phone).c_str(), strerror(err));
    g_firewall_phone = 0;
}
}  // namespace

void phone_firewall_open(uint32_t addr) {
    std::lock_guard lk(g_firewall_mu);
    if (addr == g_firewall_phone) return;
    // Created once, kept for the process's life (never destroyed, so that
    // no exit path races a session thread on it).
    if (!g_firewall_helper) g_firewall_helper = new HelperClient(helper_socket_path());
    close_locked();
    if (const int err = g_firewall_helper->firewall_open(addr); err != 0) {
        // No helper installed (a console run as root, say): nothing to open.
        if (err == ENOENT || err == ECONNREFUSED)
            quor_log("FIREWALL: no quor-helper at %s; the firewall is left as it is.\n",
                     helper_socket_path().c_str());
        else
            quor_log("Quor ERR: firewall not opened for phone %s: quor-helper: %s\n",
                     dotted(addr).c_str(), strerror(err));
        return;
    }
    g_firewall_phone = addr;
    quor_log("FIREWALL: phone %s may reach UDP 14897, 514 and 18747 while paired.\n",
             dotted(addr).c_str());
}

void phone_firewall_close() {
    std::lock_guard lk(g_firewall_mu);
    close_locked();
}

int udp_bind_privileged(uint32_t addr, uint16_t port) {
    const int fd = udp_bind_at(addr, port);
    if (fd >= 0 || errno != EACCES) return fd;
    // Only root binds ports below 1024 (by default): the helper does it.
    HelperClient helper(helper_socket_path());
    int bound = -1;
    if (const int err = helper.bind_udp(addr, port, &bound); err != 0) {
        quor_log("Quor ERR: quor-helper did not bind UDP port %u: %s\n", port, strerror(err));
        return -1;
    }
    return bound;
}

}  // namespace quor
