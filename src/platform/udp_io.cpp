#include "platform/udp_io.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

namespace quor {

int udp_set_nonblocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return -1;
    return 0;
}

ssize_t udp_send_to(int fd, const uint8_t* buf, size_t len, const Ipv4Endpoint& to) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(to.port);
    sa.sin_addr.s_addr = htonl(to.addr);
    return sendto(fd, buf, len, MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sa),
                  sizeof(sa));
}

ssize_t udp_receive_from(int fd, uint8_t* buf, size_t size, Ipv4Endpoint* from) {
    sockaddr_in sa{};
    socklen_t sa_len = sizeof(sa);
    const ssize_t n =
        recvfrom(fd, buf, size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sa), &sa_len);
    if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    if (from != nullptr) {
        from->addr = ntohl(sa.sin_addr.s_addr);
        from->port = ntohs(sa.sin_port);
    }
    return n;
}

}  // namespace quor
