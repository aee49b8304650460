#include "platform/vbus_vhci.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "base/diag_log.h"
#include "platform/helper_client.h"

namespace quor {

namespace {
constexpr unsigned SPEED_FULL = 2;
// vhci_hcd does not check the device id; it comes back in every request.
constexpr unsigned DEVID_BASE = 0x00010000;
constexpr unsigned PORT_FREE = 4;  // VDEV_ST_NULL in the status "sta" column
// Status files of further controllers beside "status": "status.1" ...
constexpr int MAX_CONTROLLERS = 32;

bool file_exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// Marks the free USB 2.0 ports of one status file in OUT.
void read_status_file(std::ifstream& in, uint8_t* out) {
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream row(line);
        std::string hub;
        unsigned long port = 0;
        unsigned long state = 0;
        // Numbers are zero-padded decimals ("0014"); read them as decimal.
        if (!(row >> hub >> port >> state) || hub != "hs") continue;
        if (port + 1 < PORT_STATUS_SIZE) out[port + 1] = state == PORT_FREE ? 0 : 1;
    }
}
}  // namespace

int write_sysfs(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const ssize_t n = write(fd, text.data(), text.size());
    const int err = errno;
    close(fd);
    if (n == ssize_t(text.size())) return 0;
    errno = n < 0 ? err : EIO;
    return -1;
}

VhciBus::VhciBus(std::string sysfs_root, std::string helper_socket)
    : sysfs_root_(std::move(sysfs_root)), helper_socket_(std::move(helper_socket)) {}

VhciBus::~VhciBus() = default;

int VhciBus::find_vbus_device_path(char* path, size_t size) {
    const std::string dir = sysfs_root_ + "/devices/platform/vhci_hcd.0";
    if (!file_exists(dir + "/attach") || !file_exists(dir + "/status")) {
        quor_log("Quor ERR: usbvbus interface is not registered\n");
        return -1;
    }
    if (dir.size() >= size) {
        quor_log("Quor ERR: device path %s is too long\n", dir.c_str());
        return -1;
    }
    memcpy(path, dir.c_str(), dir.size() + 1);
    return 0;
}

int VhciBus::open_device(const char* path) {
    if (!helper_socket_.empty()) {
        // The helper is asked at the first plug-in; its connection lasts
        // until close_device.
        helper_ = std::make_unique<HelperClient>(helper_socket_);
        dir_ = path;
        return 0;
    }
    const std::string attach = std::string(path) + "/attach";
    if (access(attach.c_str(), W_OK) != 0) {
        quor_log("Quor ERR: cannot write %s: %s\n", attach.c_str(), strerror(errno));
        return -1;
    }
    dir_ = path;
    return 0;
}

int read_vhci_ports(const std::string& dir, uint8_t* out) {
    std::ifstream first(dir + "/status");
    if (!first) return -1;
    memset(out, 1, PORT_STATUS_SIZE);
    read_status_file(first, out);
    for (int i = 1; i < MAX_CONTROLLERS; ++i) {
        std::ifstream more(dir + "/status." + std::to_string(i));
        if (!more) break;
        read_status_file(more, out);
    }
    return 0;
}

int VhciBus::port_status(uint8_t* out, size_t size) {
    if (size < PORT_STATUS_SIZE) return -1;
    if (read_vhci_ports(dir_, out) != 0) {
        quor_log("Quor ERR: cannot read %s/status\n", dir_.c_str());
        return -1;
    }
    return int(PORT_STATUS_SIZE);
}

int VhciBus::plugin(const uint8_t* record, size_t len) {
    const unsigned port = len > PLUGIN_RECORD_PORT ? record[PLUGIN_RECORD_PORT] : 0;
    if (port == 0) return 1;
    if (helper_) return plugin_through_helper(port);
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        quor_log("Quor ERR: socketpair failed: %s\n", strerror(errno));
        return 1;
    }
    char line[64];
    snprintf(line, sizeof(line), "%u %d %u %u", port - 1, sv[1], DEVID_BASE | port, SPEED_FULL);
    const int rc = write_sysfs(dir_ + "/attach", line);
    const int err = errno;
    // The kernel holds its own reference to its end once attached.
    close(sv[1]);
    if (rc != 0) {
        quor_log("Quor ERR: vhci_hcd refused attach \"%s\": %s\n", line, strerror(err));
        close(sv[0]);
        return 1;
    }
    if (adopt_stream(sv[0]) != 0) {
        close(sv[0]);
        return 1;
    }
    return 0;
}

int VhciBus::plugin_through_helper(unsigned port) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        quor_log("Quor ERR: socketpair failed: %s\n", strerror(errno));
        return 1;
    }
    // The helper picks its own free port; the device logic's choice only
    // names the device.
    unsigned attached = 0;
    const int err = helper_->attach(sv[1], DEVID_BASE | port, SPEED_FULL, &attached);
    close(sv[1]);
    if (err != 0) {
        quor_log("Quor ERR: quor-helper (%s) refused attach: %s\n", helper_socket_.c_str(),
                 strerror(err));
        close(sv[0]);
        return 1;
    }
    if (adopt_stream(sv[0]) != 0) {
        close(sv[0]);
        helper_->detach(attached);
        return 1;
    }
    helper_port_ = attached + 1;
    return 0;
}

void VhciBus::unplug(const uint8_t* record, size_t len) {
    if (helper_) {
        if (helper_port_ > 0) {
            if (const int err = helper_->detach(helper_port_ - 1); err != 0)
                quor_log("Quor ERR: quor-helper refused detach of port %u: %s\n", helper_port_ - 1,
                         strerror(err));
            helper_port_ = 0;
        }
        drop_stream(nullptr);
        return;
    }
    const unsigned port = len > 0 ? record[0] : 0;
    if (port > 0 && write_sysfs(dir_ + "/detach", std::to_string(port - 1)) != 0)
        quor_log("Quor ERR: vhci_hcd refused detach of port %u: %s\n", port - 1, strerror(errno));
    drop_stream(nullptr);
}

void VhciBus::close_device() {
    close_stream();
    // Closing the connection makes the helper unplug whatever is left.
    helper_.reset();
    helper_port_ = 0;
}

}  // namespace quor
