#include "platform/net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quor {

int net_startup() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    close(fd);
    return 0;
}

static sockaddr_in ipv4_address(uint32_t addr, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(addr);
    return sa;
}

int tcp_connect(uint32_t addr, uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const sockaddr_in sa = ipv4_address(addr, port);
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa));
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int udp_bind(uint16_t port) {
    return udp_bind_at(INADDR_ANY, port);
}

int udp_bind_at(uint32_t addr, uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const sockaddr_in sa = ipv4_address(addr, port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int local_ipv4(int fd, uint32_t* addr) {
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) < 0 || sa.sin_family != AF_INET)
        return -1;
    *addr = ntohl(sa.sin_addr.s_addr);
    return 0;
}

ssize_t socket_recv(int fd, uint8_t* buf, size_t len) {
    return recv(fd, buf, len, 0);
}

ssize_t socket_send(int fd, const uint8_t* buf, size_t len) {
    return send(fd, buf, len, MSG_NOSIGNAL);
}

ssize_t send_with_descriptor(int fd, const uint8_t* buf, size_t len, int pass_fd, int flags) {
    iovec iov{const_cast<uint8_t*>(buf), len};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (pass_fd >= 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        cmsghdr* cm = CMSG_FIRSTHDR(&msg);
        cm->cmsg_level = SOL_SOCKET;
        cm->cmsg_type = SCM_RIGHTS;
        cm->cmsg_len = CMSG_LEN(sizeof(int));
        memcpy(CMSG_DATA(cm), &pass_fd, sizeof(int));
    }
    return sendmsg(fd, &msg, MSG_NOSIGNAL | flags);
}

ssize_t udp_receive(int fd, uint8_t* buf, size_t size, bool wait, uint32_t* from) {
    sockaddr_in sa{};
    socklen_t sa_len = sizeof(sa);
    // MSG_TRUNC reports a longer datagram's real length.
    const ssize_t n = recvfrom(fd, buf, size, MSG_TRUNC | (wait ? 0 : MSG_DONTWAIT),
                               reinterpret_cast<sockaddr*>(&sa), &sa_len);
    if (n >= 0 && from != nullptr) *from = ntohl(sa.sin_addr.s_addr);
    return n;
}

int set_receive_queue(int fd, int bytes) {
    return setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes)) == 0 ? 0 : -1;
}

bool data_waiting(int fd) {
    int bytes = 0;
    return ioctl(fd, FIONREAD, &bytes) == 0 && bytes > 0;
}

void wake_socket(int fd) {
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

void close_socket(int fd) {
    if (fd >= 0) close(fd);
}

}  // namespace quor
