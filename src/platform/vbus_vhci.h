// The kernel's vhci_hcd as the virtual bus. The device is plugged in by
// handing the kernel one end of a socket pair through the attach file of
// vhci_hcd.0; the URB stream then runs over our end.
//
// Ports: the device is full speed, so only the USB 2.0 hub's ports ("hs"
// rows of the status files) fit. The bus's port i is the row whose port
// column shows i - 1; that number is what attach and detach take.
#pragma once

#include <string>

#include "platform/vbus_stream.h"

namespace quor {

class VhciBus : public StreamBus {
  public:
    // SYSFS_ROOT is "/sys" except in tests.
    explicit VhciBus(std::string sysfs_root = "/sys");

    int find_vbus_device_path(char* path, size_t size) override;
    int open_device(const char* path) override;
    int port_status(uint8_t* out, size_t size) override;
    int plugin(const uint8_t* record, size_t len) override;
    void unplug(const uint8_t* record, size_t len) override;
    void close_device() override;

  private:
    std::string sysfs_root_;
    std::string dir_;  // the vhci_hcd.0 device folder, once opened
};

// Writes TEXT to the sysfs attribute PATH in one write: 0, or -1 with errno.
int write_sysfs(const std::string& path, const std::string& text);

}  // namespace quor
