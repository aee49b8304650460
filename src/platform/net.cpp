#include "platform/net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

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

void wake_socket(int fd) {
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

void close_socket(int fd) {
    if (fd >= 0) close(fd);
}

}  // namespace quor
