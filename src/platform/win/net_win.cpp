// Winsock 2 behind the same calls as the POSIX back end. A socket is a
// SOCKET handle value kept in an int. As on POSIX, a socket that another
// thread blocks on is woken by wake_socket and closed only by the thread
// that owns it. Winsock's shutdown does not end a receive already waiting
// (a datagram socket's least of all), so the receives that wait here poll
// in short steps and end, like a POSIX receive after shutdown, with 0 once
// their socket was woken.
#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h first
#include <mswsock.h>

#include <cerrno>
#include <mutex>
#include <set>

#include "platform/net.h"

namespace quor {

namespace {
// Winsock's error as an errno value for the callers that look at errno.
void set_errno_from_winsock() {
    switch (WSAGetLastError()) {
        case WSAEWOULDBLOCK:
            errno = EAGAIN;
            break;
        case WSAEINTR:
            errno = EINTR;
            break;
        case WSAEACCES:
            errno = EACCES;
            break;
        case WSAEADDRINUSE:
            errno = EADDRINUSE;
            break;
        case WSAECONNREFUSED:
            errno = ECONNREFUSED;
            break;
        case WSAECONNRESET:
            errno = ECONNRESET;
            break;
        case WSAECONNABORTED:
            errno = ECONNABORTED;
            break;
        case WSAETIMEDOUT:
            errno = ETIMEDOUT;
            break;
        case WSAENOTCONN:
            errno = ENOTCONN;
            break;
        case WSAESHUTDOWN:
            errno = EPIPE;
            break;
        case WSAEMSGSIZE:
            errno = EMSGSIZE;
            break;
        case WSAENOTSOCK:
            errno = EBADF;
            break;
        case WSAEINVAL:
            errno = EINVAL;
            break;
        default:
            errno = EIO;
            break;
    }
}

sockaddr_in ipv4_address(uint32_t addr, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(addr);
    return sa;
}

int new_socket(int type) {
    const SOCKET s = WSASocketW(AF_INET, type, 0, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        set_errno_from_winsock();
        return -1;
    }
    return int(s);
}

// Closes FD after the call on it failed, keeping that call's error in
// errno: -1.
int fail_and_close(int fd) {
    set_errno_from_winsock();
    const int err = errno;
    closesocket(SOCKET(fd));
    errno = err;
    return -1;
}

ssize_t result(int n) {
    if (n == SOCKET_ERROR) {
        set_errno_from_winsock();
        return -1;
    }
    return n;
}

int clamp_len(size_t len) {
    return len > 0x7FFFFFFF ? 0x7FFFFFFF : int(len);
}

// How long a waiting receive sleeps between looks at its socket's wake.
constexpr int WAKE_STEP_MS = 50;

std::mutex g_woken_mu;
std::set<int> g_woken;  // sockets woken and not closed yet

bool woken(int fd) {
    std::lock_guard lk(g_woken_mu);
    return g_woken.count(fd) != 0;
}

// Waits until FD has something to receive (data, an end of stream or an
// error): true, or false once FD was woken.
bool wait_readable(int fd) {
    for (;;) {
        if (woken(fd)) return false;
        WSAPOLLFD p{SOCKET(fd), POLLRDNORM, 0};
        const int ready = WSAPoll(&p, 1, WAKE_STEP_MS);
        if (ready != 0) return !woken(fd);
    }
}
}  // namespace

int net_startup() {
    // Once for the process; Winsock stays loaded until it ends.
    static const int rc = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0 ? 0 : -1;
    }();
    return rc;
}

int tcp_connect(uint32_t addr, uint16_t port) {
    net_startup();
    const int fd = new_socket(SOCK_STREAM);
    if (fd < 0) return -1;
    const sockaddr_in sa = ipv4_address(addr, port);
    if (connect(SOCKET(fd), reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0)
        return fail_and_close(fd);
    return fd;
}

int udp_bind(uint16_t port) {
    return udp_bind_at(INADDR_ANY, port);
}

int udp_bind_at(uint32_t addr, uint16_t port) {
    net_startup();
    const int fd = new_socket(SOCK_DGRAM);
    if (fd < 0) return -1;
    // Windows lets a second socket take a bound port unless told not to;
    // POSIX refuses it.
    const BOOL exclusive = TRUE;
    setsockopt(SOCKET(fd), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
               reinterpret_cast<const char*>(&exclusive), sizeof(exclusive));
    // A datagram refused by an earlier send's destination does not fail
    // the next receive (WSAECONNRESET), as it does not on POSIX.
    BOOL report = FALSE;
    DWORD unused = 0;
    WSAIoctl(SOCKET(fd), SIO_UDP_CONNRESET, &report, sizeof(report), nullptr, 0, &unused, nullptr,
             nullptr);
    const sockaddr_in sa = ipv4_address(addr, port);
    if (bind(SOCKET(fd), reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0)
        return fail_and_close(fd);
    return fd;
}

int local_ipv4(int fd, uint32_t* addr) {
    sockaddr_in sa{};
    int len = sizeof(sa);
    if (getsockname(SOCKET(fd), reinterpret_cast<sockaddr*>(&sa), &len) != 0 ||
        sa.sin_family != AF_INET)
        return -1;
    *addr = ntohl(sa.sin_addr.s_addr);
    return 0;
}

ssize_t socket_recv(int fd, uint8_t* buf, size_t len) {
    if (!wait_readable(fd)) return 0;
    return result(recv(SOCKET(fd), reinterpret_cast<char*>(buf), clamp_len(len), 0));
}

ssize_t socket_send(int fd, const uint8_t* buf, size_t len) {
    return result(send(SOCKET(fd), reinterpret_cast<const char*>(buf), clamp_len(len), 0));
}

ssize_t send_with_descriptor(int, const uint8_t*, size_t, int, int) {
    // Passing descriptors is a Unix-socket facility.
    errno = ENOSYS;
    return -1;
}

ssize_t udp_receive(int fd, uint8_t* buf, size_t size, bool wait, uint32_t* from) {
    if (wait ? !wait_readable(fd) : woken(fd)) return 0;
    if (!wait && !data_waiting(fd)) {
        errno = EAGAIN;
        return -1;
    }
    sockaddr_in sa{};
    int sa_len = sizeof(sa);
    const int n = recvfrom(SOCKET(fd), reinterpret_cast<char*>(buf), clamp_len(size), 0,
                           reinterpret_cast<sockaddr*>(&sa), &sa_len);
    if (n == SOCKET_ERROR && WSAGetLastError() == WSAEMSGSIZE) {
        // Winsock fills the buffer and drops the rest; POSIX's MSG_TRUNC
        // answers with the datagram's real length, which only has to be
        // larger than the buffer for the callers.
        if (from != nullptr) *from = ntohl(sa.sin_addr.s_addr);
        return ssize_t(size) + 1;
    }
    if (n >= 0 && from != nullptr) *from = ntohl(sa.sin_addr.s_addr);
    return result(n);
}

int set_receive_queue(int fd, int bytes) {
    return setsockopt(SOCKET(fd), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
                      sizeof(bytes)) == 0
               ? 0
               : -1;
}

bool data_waiting(int fd) {
    u_long bytes = 0;
    if (ioctlsocket(SOCKET(fd), FIONREAD, &bytes) != 0) return false;
    if (bytes > 0) return true;
    // An empty datagram counts too: FIONREAD says 0 for it.
    WSAPOLLFD p{SOCKET(fd), POLLRDNORM, 0};
    return WSAPoll(&p, 1, 0) == 1 && (p.revents & POLLRDNORM);
}

void wake_socket(int fd) {
    if (fd < 0) return;
    {
        std::lock_guard lk(g_woken_mu);
        g_woken.insert(fd);
    }
    shutdown(SOCKET(fd), SD_BOTH);
}

void close_socket(int fd) {
    if (fd < 0) return;
    {
        // The number may name a new socket after this.
        std::lock_guard lk(g_woken_mu);
        g_woken.erase(fd);
    }
    closesocket(SOCKET(fd));
}

}  // namespace quor
