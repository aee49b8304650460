// The connector's side of quor-helper (see helper_protocol.h): a connection
// to the helper and its requests. What the helper did for a connection
// (attached ports, firewall rules) is undone by the helper when the
// connection closes, so a connection lives as long as what it asked for.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace quor {

// Where the helper listens: $QUOR_HELPER_SOCKET, or the socket that systemd
// opens for it.
std::string helper_socket_path();

class HelperClient {
  public:
    explicit HelperClient(std::string socket_path);
    ~HelperClient();
    HelperClient(const HelperClient&) = delete;
    HelperClient& operator=(const HelperClient&) = delete;

    // Every call returns 0 or an errno value: the helper's refusal
    // (EPERM when not authorized) or the connection's failure. The first
    // call connects; after a failed connection the next call connects anew.

    // Plugs the device into a free vhci_hcd port with STREAM_FD (one end of
    // a stream socket pair; the caller keeps and closes its own copy):
    // *PORT receives the port, numbered as vhci_hcd numbers it (from 0).
    int attach(int stream_fd, uint32_t devid, uint32_t speed, unsigned* port);
    // Unplugs a port that this connection attached.
    int detach(unsigned port);
    // A UDP socket bound to ADDR (IPv4, host order, 0 for every address)
    // and PORT, into *FD.
    int bind_udp(uint32_t addr, uint16_t port, int* fd);
    // Lets the phone at ADDR (IPv4, host order) reach the program's inbound
    // UDP ports until firewall_close or the end of the connection.
    int firewall_open(uint32_t addr);
    int firewall_close(uint32_t addr);
    // Closes the connection; the helper undoes what it did for it.
    void disconnect();

  private:
    int call(uint16_t op, uint32_t a, uint32_t b, uint32_t c, int send_fd, uint32_t* value,
             int* recv_fd);
    int connect_locked();

    std::string path_;
    std::mutex mu_;
    int fd_ = -1;
};

// The firewall for the paired phone: lets the phone at ADDR (IPv4, host
// order) reach the program's inbound UDP ports through the helper, in place
// of the phone let in before, until phone_firewall_close or the end of the
// process. Nothing is added permanently. A helper that cannot be reached or
// refuses leaves the firewall as it is, with a log line.
void phone_firewall_open(uint32_t addr);
void phone_firewall_close();

// A UDP socket bound to ADDR (IPv4, host order; 0 for every address) and a
// port below 1024: bound here when the process may, otherwise by the
// helper. The socket, or -1 after a log line naming the reason.
int udp_bind_privileged(uint32_t addr, uint16_t port);

}  // namespace quor
