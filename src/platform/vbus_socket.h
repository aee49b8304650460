// A user-space USB host as the virtual bus (the host simulator, tests, the
// demo). Plugging in connects to the host's address; from then on the
// connection carries the URB stream exactly as between vhci_hcd and an
// attached device. Unplugging closes the connection.
#pragma once

#include <string>

#include "platform/vbus_stream.h"

namespace quor {

class SocketBus : public StreamBus {
  public:
    // ADDRESS: "unix:PATH" or "tcp:A.B.C.D:PORT" (numeric IPv4 only).
    explicit SocketBus(std::string address);

    int find_vbus_device_path(char* path, size_t size) override;
    int open_device(const char* path) override;
    int port_status(uint8_t* out, size_t size) override;
    int plugin(const uint8_t* record, size_t len) override;
    void unplug(const uint8_t* record, size_t len) override;
    void close_device() override;

  private:
    // Opens a stream socket connected to the host: the socket, or -1 with
    // the reason in *WHY.
    int connect_host(std::string* why);

    std::string address_;
};

}  // namespace quor
