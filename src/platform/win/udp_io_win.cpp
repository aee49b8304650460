#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/udp_io.h"

namespace quor {

int udp_set_nonblocking(int fd) {
    u_long on = 1;
    return ioctlsocket(SOCKET(fd), FIONBIO, &on) == 0 ? 0 : -1;
}

ssize_t udp_send_to(int fd, const uint8_t* buf, size_t len, const Ipv4Endpoint& to) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(to.port);
    sa.sin_addr.s_addr = htonl(to.addr);
    const int n = sendto(SOCKET(fd), reinterpret_cast<const char*>(buf), int(len), 0,
                         reinterpret_cast<const sockaddr*>(&sa), sizeof(sa));
    return n == SOCKET_ERROR ? -1 : n;
}

ssize_t udp_receive_from(int fd, uint8_t* buf, size_t size, Ipv4Endpoint* from) {
    sockaddr_in sa{};
    int sa_len = sizeof(sa);
    const int n = recvfrom(SOCKET(fd), reinterpret_cast<char*>(buf), int(size), 0,
                           reinterpret_cast<sockaddr*>(&sa), &sa_len);
    if (n == SOCKET_ERROR) {
        const int err = WSAGetLastError();
        // Nothing there, or a refusal of an earlier send reported late.
        if (err == WSAEWOULDBLOCK || err == WSAECONNRESET) return 0;
        if (err != WSAEMSGSIZE) return -1;
        // Cut to the buffer, as POSIX does without MSG_TRUNC.
    }
    if (from != nullptr) {
        from->addr = ntohl(sa.sin_addr.s_addr);
        from->port = ntohs(sa.sin_port);
    }
    return n == SOCKET_ERROR ? ssize_t(size) : n;
}

}  // namespace quor
