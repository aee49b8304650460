// The stream-socket calls the bus back ends share between POSIX and
// Winsock 2. Sockets are plain ints on both (a Winsock SOCKET is a small
// handle value); errors are read with sock_error() right after the call that
// failed, which is errno on POSIX and WSAGetLastError() on Windows. Only the
// sources of src/platform include this.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h first
#include <afunix.h>
#include <mstcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

namespace quor {

// A poll entry for FD waiting for EVENTS.
inline pollfd sock_pollfd(int fd, short events) {
    pollfd p{};
#ifdef _WIN32
    p.fd = SOCKET(fd);
#else
    p.fd = fd;
#endif
    p.events = events;
    return p;
}

#ifdef _WIN32
inline int sock_error() {
    return WSAGetLastError();
}
inline bool sock_would_block(int err) {
    return err == WSAEWOULDBLOCK;
}
inline bool sock_interrupted(int err) {
    return err == WSAEINTR;
}
inline bool sock_connection_aborted(int err) {
    return err == WSAECONNABORTED || err == WSAECONNRESET;
}
inline std::string sock_error_text(int err) {
    char text[256] = "";
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, DWORD(err), 0, text, sizeof(text), nullptr);
    std::string out(text, n);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.'))
        out.pop_back();
    return out.empty() ? "socket error " + std::to_string(err) : out;
}
inline int sock_poll(pollfd* fds, size_t count, int timeout_ms) {
    return WSAPoll(fds, ULONG(count), timeout_ms);
}
inline int sock_stream(int family) {
    const SOCKET s = socket(family, SOCK_STREAM, 0);
    return s == INVALID_SOCKET ? -1 : int(s);
}
inline int sock_close(int fd) {
    return closesocket(SOCKET(fd));
}
inline void sock_shutdown(int fd) {
    shutdown(SOCKET(fd), SD_BOTH);
}
inline int sock_set_nonblocking(int fd) {
    u_long on = 1;
    return ioctlsocket(SOCKET(fd), FIONBIO, &on) == 0 ? 0 : -1;
}
inline ssize_t sock_recv(int fd, void* buf, size_t len) {
    return recv(SOCKET(fd), static_cast<char*>(buf), int(std::min<size_t>(len, INT32_MAX)), 0);
}
// Sockets are non-blocking where the back ends ask for a send that does not
// wait, so the flag has no Winsock counterpart to pass.
inline ssize_t sock_send(int fd, const void* buf, size_t len) {
    return send(SOCKET(fd), static_cast<const char*>(buf), int(std::min<size_t>(len, INT32_MAX)),
                0);
}
inline int sock_accept(int fd, sockaddr_in* peer) {
    int len = sizeof(*peer);
    const SOCKET s = accept(SOCKET(fd), reinterpret_cast<sockaddr*>(peer), &len);
    return s == INVALID_SOCKET ? -1 : int(s);
}
inline int sock_setopt(int fd, int level, int name, const void* value, int len) {
    return setsockopt(SOCKET(fd), level, name, static_cast<const char*>(value), len);
}
// Keepalive probes after DEAD_MS / 3 of silence, and a connection whose sent
// data stays unacknowledged for DEAD_MS counts as gone.
inline void sock_dead_peer_after(int fd, int dead_ms) {
    tcp_keepalive ka{};
    ka.onoff = 1;
    ka.keepalivetime = ULONG(std::max(1000, dead_ms / 3));
    ka.keepaliveinterval = ULONG(std::max(1000, dead_ms / 6));
    DWORD unused = 0;
    WSAIoctl(SOCKET(fd), SIO_KEEPALIVE_VALS, &ka, sizeof(ka), nullptr, 0, &unused, nullptr,
             nullptr);
#ifndef TCP_MAXRT
#define TCP_MAXRT 5
#endif
    const DWORD max_rt_s = DWORD(std::max(1, dead_ms / 1000));
    sock_setopt(fd, IPPROTO_TCP, TCP_MAXRT, &max_rt_s, sizeof(max_rt_s));
}
// What another thread's sock_poll wakes on: a UDP socket on the loopback
// address that sends itself a datagram.
class SockWaker {
  public:
    int open() {
        fd_ = int(socket(AF_INET, SOCK_DGRAM, 0));
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int len = sizeof(sa);
        if (fd_ < 0 || bind(SOCKET(fd_), reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 ||
            getsockname(SOCKET(fd_), reinterpret_cast<sockaddr*>(&self_), &len) != 0) {
            close();
            return -1;
        }
        return 0;
    }
    int fd() const { return fd_; }
    void wake() {
        const char byte = 1;
        sendto(SOCKET(fd_), &byte, 1, 0, reinterpret_cast<const sockaddr*>(&self_), sizeof(self_));
    }
    void close() {
        if (fd_ >= 0) closesocket(SOCKET(fd_));
        fd_ = -1;
    }

  private:
    int fd_ = -1;
    sockaddr_in self_{};
};
#else
inline int sock_error() {
    return errno;
}
inline bool sock_would_block(int err) {
    return err == EAGAIN || err == EWOULDBLOCK;
}
inline bool sock_interrupted(int err) {
    return err == EINTR;
}
inline bool sock_connection_aborted(int err) {
    return err == ECONNABORTED;
}
inline std::string sock_error_text(int err) {
    return strerror(err);
}
inline int sock_poll(pollfd* fds, size_t count, int timeout_ms) {
    return poll(fds, nfds_t(count), timeout_ms);
}
inline int sock_stream(int family) {
    return socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
}
inline int sock_close(int fd) {
    return close(fd);
}
inline void sock_shutdown(int fd) {
    shutdown(fd, SHUT_RDWR);
}
inline int sock_set_nonblocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 ? 0 : -1;
}
inline ssize_t sock_recv(int fd, void* buf, size_t len) {
    return recv(fd, buf, len, 0);
}
inline ssize_t sock_send(int fd, const void* buf, size_t len) {
    return send(fd, buf, len, MSG_NOSIGNAL);
}
inline int sock_accept(int fd, sockaddr_in* peer) {
    socklen_t len = sizeof(*peer);
    return accept4(fd, reinterpret_cast<sockaddr*>(peer), &len, SOCK_CLOEXEC);
}
inline int sock_setopt(int fd, int level, int name, const void* value, socklen_t len) {
    return setsockopt(fd, level, name, value, len);
}
inline void sock_dead_peer_after(int fd, int dead_ms) {
    const int one = 1;
    const int idle_s = std::max(1, dead_ms / 3000);
    const int interval_s = std::max(1, dead_ms / 6000);
    const int probes = 3;
    const unsigned user_timeout_ms = unsigned(dead_ms);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof(one));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle_s, sizeof(idle_s));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval_s, sizeof(interval_s));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof(probes));
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout_ms, sizeof(user_timeout_ms));
}
class SockWaker {
  public:
    int open() {
        fd_ = eventfd(0, EFD_CLOEXEC);
        return fd_ >= 0 ? 0 : -1;
    }
    int fd() const { return fd_; }
    void wake() {
        const uint64_t one = 1;
        // An eventfd write only fails when the counter is full, which still
        // wakes the poller.
        if (write(fd_, &one, sizeof(one)) < 0) {
        }
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};
#endif

}  // namespace quor
