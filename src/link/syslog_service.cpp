#include "link/syslog_service.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

#include "base/controller.h"
#include "base/diag_log.h"
#include "base/strings.h"
#include "link/ctrl_channel.h"
#include "link/ctrl_frame.h"
#include "link/pair_session.h"
#include "platform/helper_client.h"
#include "platform/net.h"

namespace quor {

SyslogService g_syslog;

namespace {

// A phone sends its log in bursts; a larger receive queue keeps a burst from
// being dropped while the receiver copies the previous datagrams.
constexpr int RECEIVE_QUEUE_BYTES = 1 << 20;
// Datagrams still read after a stop: what the queue can hold, and a bound
// against a sender that keeps going.
constexpr size_t SYSLOG_DRAIN_MAX = 4096;

// Set by the one stop that acts, so a second stop while the first waits for
// the save dialog does nothing.
std::atomic<int> g_stop_claimed{0};
// Set once the save path is settled, right before the receiver is woken: the
// receiver ends only then, so data arriving while the dialog is open is kept.
std::atomic<int> g_stop_woken{0};
// The window that shows the saved message; null when nobody asked to save.
std::atomic<Controller*> g_save_report{nullptr};
// Guards the hand-over of g_syslog.socket between the receiver, which owns
// and closes the socket, and stop_log_service, which only wakes it.
std::mutex g_socket_mu;

std::string dotted(uint32_t addr) {
    char text[16];
    snprintf(text, sizeof(text), "%u.%u.%u.%u", addr >> 24, (addr >> 16) & 0xFF, (addr >> 8) & 0xFF,
             addr & 0xFF);
    return text;
}

// Whose datagrams the receiver keeps: the phone's of the current pairing,
// or between pairings the phone's of the last pairing seen while the
// service runs (it may go on sending what it was told to). A service
// started before any pairing has no phone to go by and keeps every
// datagram until a pairing names one. Others are dropped: counted, and
// named in the log once per pairing.
class SourceFilter {
  public:
    bool keep(uint32_t from) {
        const uint32_t paired = g_ctrl_peer.load();
        if (paired != 0) phone_ = paired;
        if (phone_ == 0 || from == phone_) return true;
        ++dropped_;
        const int pairing = g_pair_generation.load();
        if (!logged_ || pairing != logged_pairing_) {
            logged_ = true;
            logged_pairing_ = pairing;
            quor_log(
                "SYSLOG: Dropped datagrams from %s, which is not the paired phone %s; "
                "further ones are only counted.\n",
                dotted(from).c_str(), dotted(phone_).c_str());
        }
        return false;
    }
    uint64_t dropped() const { return dropped_; }

  private:
    uint32_t phone_ = 0;
    uint64_t dropped_ = 0;
    bool logged_ = false;
    int logged_pairing_ = 0;
};

// Data that arrived but that the receiver has not taken in yet.
bool data_queued() {
    std::lock_guard lk(g_socket_mu);
    return data_waiting(g_syslog.socket);
}

}  // namespace

int syslog_ring_append(uint8_t* buf, size_t size, size_t* pos, int fill, const uint8_t* data,
                       size_t n) {
    if (n == 0) return fill;
    if (n > size) {
        data += n - size;
        n = size;
    }
    if (fill == SYSLOG_EMPTY) fill = SYSLOG_DATA;
    const size_t space = size - *pos;
    if (n < space) {
        memcpy(buf + *pos, data, n);
        *pos += n;
        return fill;
    }
    memcpy(buf + *pos, data, space);
    memcpy(buf, data + space, n - space);
    *pos = n - space;
    return SYSLOG_WRAPPED;
}

int write_log_file(const std::string& path, size_t pos, const uint8_t* buf, size_t size, int fill) {
    const bool wrapped = fill == SYSLOG_WRAPPED;
    if ((pos == 0 && !wrapped) || pos > size || path.empty()) return -1;
    FILE* f = fopen(path.c_str(), "wbe");
    if (!f) return -1;
    // Every part must be written whole: after an exact wrap the newer part
    // is empty and the older part is the whole buffer.
    bool ok = true;
    if (wrapped) ok = fwrite(buf + pos, 1, size - pos, f) == size - pos;
    if (ok && pos > 0) ok = fwrite(buf, 1, pos, f) == pos;
    if (fclose(f) != 0) ok = false;
    return ok ? 0 : -1;
}

int start_log_service() {
    if (g_syslog.running == 1) return -1;
    std::unique_ptr<uint8_t[]> ring(new (std::nothrow) uint8_t[SYSLOG_RING_SIZE]);
    if (!ring) {
        quor_log("SYSLOG: No memory for the %zu-byte log buffer!\n", SYSLOG_RING_SIZE);
        return -1;
    }
    // While paired, the phone sends its log to our address on the control
    // connection (LOG_ROUTE), so only that address listens; before a
    // pairing every address does.
    uint32_t local = 0;
    if (ctrl_local_ipv4(&local) != 0) local = 0;
    const int fd = udp_bind_privileged(local, SYSLOG_PORT);
    if (fd < 0) {
        quor_log("SYSLOG: Bind syslog socket fail!\n");
        return -1;
    }
    quor_log("SYSLOG: Receiving on %s:%u.\n", local ? dotted(local).c_str() : "every address",
             SYSLOG_PORT);
    set_receive_queue(fd, RECEIVE_QUEUE_BYTES);
    g_syslog.fill = SYSLOG_EMPTY;
    g_syslog.path.set({});
    g_save_report = nullptr;
    g_stop_claimed = 0;
    g_stop_woken = 0;
    g_syslog.running = 1;
    {
        std::lock_guard lk(g_socket_mu);
        g_syslog.socket = fd;
    }
    try {
        std::thread(syslog_thread, fd, ring.get()).detach();
        ring.release();
    } catch (const std::system_error& e) {
        quor_log("SYSLOG: Cannot start the receiver: %s\n", e.what());
        {
            std::lock_guard lk(g_socket_mu);
            g_syslog.socket = -1;
        }
        close_socket(fd);
        g_syslog.running = 0;
        return -1;
    }
    return 0;
}

void syslog_thread(int fd, uint8_t* ring_memory) {
    std::unique_ptr<uint8_t[]> ring(ring_memory);
    size_t pos = 0;
    uint8_t datagram[SYSLOG_DATAGRAM_MAX];
    size_t drained = 0;
    SourceFilter sources;
    for (;;) {
        // Once stopped, what is still queued is read without waiting; the
        // socket is woken, so an empty queue then reads as 0 bytes or EAGAIN.
        const bool stopping = g_stop_woken;
        uint32_t from = 0;
        // A longer datagram reports its real length.
        const ssize_t n = udp_receive(fd, datagram, sizeof(datagram), !stopping, &from);
        if (n > 0 && !sources.keep(from)) {
            if (stopping && ++drained >= SYSLOG_DRAIN_MAX) break;
            continue;
        }
        if (n > 0) {
            const size_t kept = std::min(size_t(n), sizeof(datagram));
            if (size_t(n) > kept)
                quor_log("SYSLOG: A datagram of %zd bytes was cut to %zu bytes.\n", n, kept);
            g_syslog.fill = syslog_ring_append(ring.get(), SYSLOG_RING_SIZE, &pos, g_syslog.fill,
                                               datagram, kept);
            if (stopping && ++drained >= SYSLOG_DRAIN_MAX) break;
            continue;
        }
        // 0 bytes: the wake, or an empty datagram, which adds nothing.
        if (n == 0) {
            if (g_stop_woken) break;
            continue;
        }
        if (errno == EINTR) continue;
        if (!stopping || errno != EAGAIN) quor_log("SYSLOG: Receive failed: %s\n", strerror(errno));
        break;
    }

    if (sources.dropped() > 0)
        quor_log("SYSLOG: %llu datagrams not from the phone were dropped.\n",
                 static_cast<unsigned long long>(sources.dropped()));
    const std::string path = g_syslog.path.get();
    Controller* report = g_save_report.exchange(nullptr);
    int saved = -1;
    if (!path.empty()) {
        saved = write_log_file(path, pos, ring.get(), SYSLOG_RING_SIZE, g_syslog.fill);
        if (saved != 0) quor_log("SYSLOG: Cannot save the log to %s\n", path.c_str());
    }
    ring.reset();
    {
        std::lock_guard lk(g_socket_mu);
        g_syslog.socket = -1;
        close_socket(fd);
    }
    // Marked stopped before the message, so a box the user leaves open
    // neither holds the port nor blocks a new start.
    g_syslog.running = 0;
    if (saved == 0 && report) report->MessageBoxHint(LoadString(IDS_LOG_SAVED), MB_EXCLAMATION_OK);
}

int stop_log_service(Controller* dlg) {
    if (g_syslog.running == 0) return -1;
    if (g_stop_claimed.exchange(1) == 1) return -1;
    const bool received = g_syslog.fill != SYSLOG_EMPTY || data_queued();
    if (dlg && received && ask_log_path(dlg) == 0) g_save_report = dlg;
    g_stop_woken = 1;
    std::lock_guard lk(g_socket_mu);
    wake_socket(g_syslog.socket);
    return 0;
}

int toggle_log_service(Controller* dlg) {
    return g_syslog.socket == -1 ? start_log_service() : stop_log_service(dlg);
}

int ask_log_path(Controller* dlg) {
    const time_t now = time(nullptr);
    tm local{};
    char name[32] = "Log";
    if (localtime_r(&now, &local)) strftime(name, sizeof(name), "Log%Y%m%d%H%M%S", &local);
    const std::string path = dlg->ask_save_path(name, LoadString(IDS_LOG_FILTER));
    g_syslog.path.set(path);
    return path.empty() ? -1 : 0;
}

int send_log_to_pc() {
    uint32_t local = 0;
    if (ctrl_local_ipv4(&local) != 0) return -1;
    uint8_t payload[LOG_ROUTE_LEN];
    build_log_route_to_pc(local, payload);
    return send_ctrl_frame(LOG_ROUTE, payload, sizeof(payload));
}

int send_log_to_phone() {
    if (g_ctrl_socket.load() == -1) return -1;
    uint8_t payload[LOG_ROUTE_LEN];
    build_log_route_to_phone(payload);
    return send_ctrl_frame(LOG_ROUTE, payload, sizeof(payload));
}

}  // namespace quor
