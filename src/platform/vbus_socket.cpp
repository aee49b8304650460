#include "platform/vbus_socket.h"

#include <cstring>

#include "base/diag_log.h"
#include "platform/socket_compat.h"

namespace quor {

namespace {
constexpr char UNIX_PREFIX[] = "unix:";
constexpr char TCP_PREFIX[] = "tcp:";

bool starts_with(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

// Splits "A.B.C.D:PORT"; false when it is not a numeric IPv4 address and
// a port 1 to 65535.
bool parse_tcp(const std::string& text, sockaddr_in* sa) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    const std::string host = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long number = std::stoul(port);
    if (number == 0 || number > 65535) return false;
    *sa = sockaddr_in{};
    sa->sin_family = AF_INET;
    sa->sin_port = htons(uint16_t(number));
    return inet_pton(AF_INET, host.c_str(), &sa->sin_addr) == 1;
}

bool parse_unix(const std::string& path, sockaddr_un* sa) {
    *sa = sockaddr_un{};
    if (path.empty() || path.size() >= sizeof(sa->sun_path)) return false;
    sa->sun_family = AF_UNIX;
    memcpy(sa->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// The socket address that ADDRESS names; false when it names none.
bool resolve(const std::string& address, sockaddr_storage* sa, int* len) {
    *sa = sockaddr_storage{};
    if (starts_with(address, UNIX_PREFIX)) {
        *len = sizeof(sockaddr_un);
        return parse_unix(address.substr(sizeof(UNIX_PREFIX) - 1),
                          reinterpret_cast<sockaddr_un*>(sa));
    }
    if (starts_with(address, TCP_PREFIX)) {
        *len = sizeof(sockaddr_in);
        return parse_tcp(address.substr(sizeof(TCP_PREFIX) - 1),
                         reinterpret_cast<sockaddr_in*>(sa));
    }
    return false;
}

bool valid_address(const std::string& address) {
    sockaddr_storage sa;
    int len;
    return resolve(address, &sa, &len);
}
}  // namespace

SocketBus::SocketBus(std::string address) : address_(std::move(address)) {}

int SocketBus::find_vbus_device_path(char* path, size_t size) {
    if (!valid_address(address_)) {
        quor_log(
            "Quor ERR: usbvbus interface is not registered: QUOR_VBUS=\"%s\" is not "
            "unix:PATH or tcp:A.B.C.D:PORT\n",
            address_.c_str());
        return -1;
    }
    if (address_.size() >= size) {
        quor_log("Quor ERR: device path %s is too long\n", address_.c_str());
        return -1;
    }
    memcpy(path, address_.c_str(), address_.size() + 1);
    return 0;
}

int SocketBus::open_device(const char* path) {
    address_ = path;
    return valid_address(address_) ? 0 : -1;
}

// One port, free while the device is not plugged in.
int SocketBus::port_status(uint8_t* out, size_t size) {
    if (size < PORT_STATUS_SIZE) return -1;
    memset(out, 1, PORT_STATUS_SIZE);
    out[1] = stream_alive() ? 1 : 0;
    return int(PORT_STATUS_SIZE);
}

int SocketBus::connect_host(std::string* why) {
    sockaddr_storage sa;
    int len = 0;
    if (!resolve(address_, &sa, &len)) {
        *why = "not an address";
        return -1;
    }
    const int fd = sock_stream(sa.ss_family);
    if (fd < 0) {
        *why = sock_error_text(sock_error());
        return -1;
    }
    int rc;
    int err = 0;
    do {
        rc = connect(fd, reinterpret_cast<const sockaddr*>(&sa), len);
        err = rc < 0 ? sock_error() : 0;
    } while (rc < 0 && sock_interrupted(err));
    if (rc < 0) {
        *why = sock_error_text(err);
        sock_close(fd);
        return -1;
    }
    return fd;
}

int SocketBus::plugin(const uint8_t* record, size_t len) {
    if (len <= PLUGIN_RECORD_PORT || record[PLUGIN_RECORD_PORT] != 1) return 1;
    std::string why;
    const int fd = connect_host(&why);
    if (fd < 0) {
        quor_log("Quor ERR: USB host at %s not reachable: %s\n", address_.c_str(), why.c_str());
        return 1;
    }
    if (adopt_stream(fd) != 0) {
        sock_close(fd);
        return 1;
    }
    return 0;
}

void SocketBus::unplug(const uint8_t*, size_t) {
    drop_stream(nullptr);
}

void SocketBus::close_device() {
    close_stream();
}

}  // namespace quor
