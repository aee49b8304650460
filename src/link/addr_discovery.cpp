#include "link/addr_discovery.h"

#include <cerrno>
#include <mutex>

#include "base/diag_log.h"
#include "link/ctrl_frame.h"
#include "platform/net.h"

namespace quor {

std::atomic<int> g_autoip_socket{-1};

namespace {
// Guards the hand-over of g_autoip_socket between the waiting attempt, which
// owns and closes it, and Stop, which only wakes it.
std::mutex g_autoip_mu;
// Set by Stop; an attempt that starts after it gives up at once, since no
// one would wake its receive.
bool g_autoip_stopped = false;
}  // namespace

void begin_address_search() {
    std::lock_guard lk(g_autoip_mu);
    g_autoip_stopped = false;
}

int get_phone_address(uint32_t* addr) {
    const int fd = udp_bind(ADDRESS_DATAGRAM_PORT);
    if (fd < 0) return -1;
    {
        std::lock_guard lk(g_autoip_mu);
        if (g_autoip_stopped) {
            close_socket(fd);
            return -1;
        }
        g_autoip_socket = fd;
    }
    uint8_t buf[100];
    ssize_t n;
    do {
        n = udp_receive(fd, buf, sizeof(buf), true, nullptr);
    } while (n < 0 && errno == EINTR);
    int result = -1;
    if (n == 6) {
        quor_log("NETWORK: Get IP pkg [%02X %02X %02X %02X %02X %02X]\n", buf[0], buf[1], buf[2],
                 buf[3], buf[4], buf[5]);
        if (decode_address_datagram(buf, size_t(n), addr) == 0) result = 0;
    }
    {
        std::lock_guard lk(g_autoip_mu);
        g_autoip_socket = -1;
    }
    close_socket(fd);
    return result;
}

void stop_address_search() {
    std::lock_guard lk(g_autoip_mu);
    g_autoip_stopped = true;
    wake_socket(g_autoip_socket);
}

}  // namespace quor
