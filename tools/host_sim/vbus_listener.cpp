#include "vbus_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host_text.h"
#include "platform/net.h"

namespace {

constexpr int BACKLOG = 4;

// Whether a host still accepts connections at SA; a socket file nobody
// serves is left over from a host that ended without removing it.
bool socket_is_served(const sockaddr_un& sa) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool served = connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) == 0;
    quor::close_socket(fd);
    return served;
}

}  // namespace

int parse_vbus_address(const std::string& text, VbusAddress* addr, std::string* error) {
    if (text.rfind("unix:", 0) == 0) {
        std::string path = text.substr(5);
        if (path.empty() || path.size() >= sizeof(sockaddr_un::sun_path)) {
            *error = "unix socket path empty or too long: " + text;
            return -1;
        }
        addr->kind = VbusAddress::UNIX;
        addr->path = path;
        return 0;
    }
    if (text.rfind("tcp:", 0) == 0) {
        std::string rest = text.substr(4);
        size_t colon = rest.rfind(':');
        uint32_t port = 0;
        in_addr in{};
        if (colon == std::string::npos || parse_number(rest.substr(colon + 1), 65535, &port) != 0 ||
            inet_pton(AF_INET, rest.substr(0, colon).c_str(), &in) != 1) {
            *error = "expected tcp:ADDR:PORT, got " + text;
            return -1;
        }
        uint32_t ip = ntohl(in.s_addr);
        if ((ip >> 24) != 127) {
            *error = "only loopback addresses are served: " + text;
            return -1;
        }
        addr->kind = VbusAddress::TCP;
        addr->ipv4 = ip;
        addr->port = static_cast<uint16_t>(port);
        return 0;
    }
    *error = "expected unix:PATH or tcp:127.0.0.1:PORT, got " + text;
    return -1;
}

VbusListener::~VbusListener() {
    if (m_fd >= 0) quor::close_socket(m_fd);
    // Only our own socket file goes: a host started after this one may have
    // taken the path over. Inode numbers are reused at once, so the change
    // time must match too.
    struct stat st {};
    if (!m_unix_path.empty() && lstat(m_unix_path.c_str(), &st) == 0 &&
        st.st_dev == m_unix_file.st_dev && st.st_ino == m_unix_file.st_ino &&
        st.st_ctim.tv_sec == m_unix_file.st_ctim.tv_sec &&
        st.st_ctim.tv_nsec == m_unix_file.st_ctim.tv_nsec) {
        unlink(m_unix_path.c_str());
    }
}

int VbusListener::open(const VbusAddress& addr, std::string* error) {
    if (addr.kind == VbusAddress::UNIX) {
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        memcpy(sa.sun_path, addr.path.c_str(), addr.path.size());
        struct stat st {};
        if (lstat(addr.path.c_str(), &st) == 0) {
            if (!S_ISSOCK(st.st_mode)) {
                *error = addr.path + " exists and is not a socket";
                return -1;
            }
            if (socket_is_served(sa)) {
                *error = "another host is listening on " + addr.path;
                return -1;
            }
            unlink(addr.path.c_str());
        }
        m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
            *error = strfmt("cannot bind %s: %s", addr.path.c_str(), strerror(errno));
            return -1;
        }
        if (lstat(addr.path.c_str(), &st) == 0) {
            m_unix_path = addr.path;
            m_unix_file = st;
        }
        m_name = "unix:" + addr.path;
    } else {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(addr.ipv4);
        sa.sin_port = htons(addr.port);
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        if (m_fd >= 0) setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
            *error = strfmt("cannot bind port %u: %s", addr.port, strerror(errno));
            return -1;
        }
        socklen_t len = sizeof(sa);
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &len);
        char ip[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &sa.sin_addr, ip, sizeof(ip));
        m_name = strfmt("tcp:%s:%u", ip, ntohs(sa.sin_port));
        m_tcp = true;
    }
    if (listen(m_fd, BACKLOG) != 0) {
        *error = strfmt("cannot listen on %s: %s", m_name.c_str(), strerror(errno));
        return -1;
    }
    return 0;
}

int VbusListener::accept_connection() {
    for (;;) {
        int fd = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0 && m_tcp) {
            // Requests are small and each one is waited for: Nagle's delay
            // would hold every one of them back.
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        }
        if (fd >= 0 || errno != EINTR) return fd;
    }
}
