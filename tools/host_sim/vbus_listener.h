// The listening end of the socket bus: "unix:PATH" (AF_UNIX stream socket)
// or "tcp:ADDR:PORT" with a loopback ADDR. A device plugs in by connecting
// and unplugs by closing its connection.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

struct VbusAddress {
    enum Kind { UNIX, TCP };
    Kind kind = UNIX;
    std::string path;   // UNIX
    uint32_t ipv4 = 0;  // TCP, host order
    uint16_t port = 0;  // TCP; 0 picks a free port
};

// 0 on success, -1 with the reason in ERROR. TCP addresses must be loopback
// (127.0.0.0/8): the simulator never listens on a real network.
int parse_vbus_address(const std::string& text, VbusAddress* addr, std::string* error);

class VbusListener {
  public:
    VbusListener() = default;
    ~VbusListener();
    VbusListener(const VbusListener&) = delete;
    VbusListener& operator=(const VbusListener&) = delete;

    // Binds and listens. A socket file at a UNIX path that nobody serves is
    // replaced; a served one or any other file is left alone and refused.
    // 0, or -1 with ERROR.
    int open(const VbusAddress& addr, std::string* error);
    int fd() const { return m_fd; }
    // The address devices connect to, with the port actually bound.
    const std::string& name() const { return m_name; }
    // Takes one pending connection; its socket, or -1.
    int accept_connection();

  private:
    int m_fd = -1;
    bool m_tcp = false;
    std::string m_unix_path;  // removed again on destruction if still ours
    struct stat m_unix_file {};
    std::string m_name;
};
