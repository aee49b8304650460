// The kernel's vhci_hcd as the virtual bus. The device is plugged in by
// handing the kernel one end of a socket pair through the attach file of
// vhci_hcd.0; the URB stream then runs over our end.
//
// Ports: the device is full speed, so only the USB 2.0 hub's ports ("hs"
// rows of the status files) fit. The bus's port i is the row whose port
// column shows i - 1; that number is what attach and detach take.
//
// The attach and detach files are root's. A program without root rights
// plugs the device in through quor-helper instead: the helper picks the
// port, and unplugs it when the program's connection to it ends, also when
// the program dies.
#pragma once

#include <memory>
#include <string>

#include "platform/vbus_stream.h"

namespace quor {

class HelperClient;

class VhciBus : public StreamBus {
  public:
    // SYSFS_ROOT is "/sys" except in tests. With HELPER_SOCKET, the device
    // is plugged in and out by the helper listening there.
    explicit VhciBus(std::string sysfs_root = "/sys", std::string helper_socket = {});
    ~VhciBus() override;

    int find_vbus_device_path(char* path, size_t size) override;
    int open_device(const char* path) override;
    int port_status(uint8_t* out, size_t size) override;
    int plugin(const uint8_t* record, size_t len) override;
    void unplug(const uint8_t* record, size_t len) override;
    void close_device() override;

  private:
    int plugin_through_helper(unsigned port);

    std::string sysfs_root_;
    std::string dir_;  // the vhci_hcd.0 device folder, once opened
    std::string helper_socket_;
    std::unique_ptr<HelperClient> helper_;
    // The port the helper attached, counted from 1; 0 when none.
    unsigned helper_port_ = 0;
};

// Fills the first PORT_STATUS_SIZE bytes of OUT with the USB 2.0 ports of
// the controller folder DIR as VirtualBus::port_status does: 0, or -1 when
// its status file cannot be read.
int read_vhci_ports(const std::string& dir, uint8_t* out);

// Writes TEXT to the sysfs attribute PATH in one write: 0, or -1 with errno.
int write_sysfs(const std::string& path, const std::string& text);

}  // namespace quor
