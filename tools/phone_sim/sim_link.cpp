#include "sim_link.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
constexpr auto UNPAIR_ACK_WAIT = std::chrono::seconds(2);
}  // namespace

void SimLink::attach(int fd) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fd = fd;
    m_sending_done = false;
    m_unpair_pending = false;
    m_out.event("connected");
}

void SimLink::detach() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd < 0) return;
    close(m_fd);
    m_fd = -1;
    m_unpair_pending = false;
    m_out.event("closed");
}

void SimLink::record_received(const CtrlFrame& f) {
    uint8_t bytes[CTRL_FRAME_MAX];
    int n = encode_frame(f.type, f.payload, f.len, bytes, sizeof(bytes));
    std::lock_guard<std::mutex> lock(m_mutex);
    m_out.transcript('P', bytes, static_cast<size_t>(n));
    m_out.event("recv %s", ctrl_type_name(f.type));
}

int SimLink::send_locked(const uint8_t* bytes, size_t len) {
    if (m_fd < 0 || m_sending_done) {
        m_out.event("note: no connection, nothing sent");
        return -1;
    }
    ssize_t sent;
    do {
        sent = ::send(m_fd, bytes, len, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(len)) {
        m_out.event("note: send failed: %s", sent < 0 ? strerror(errno) : "short write");
        return -1;
    }
    m_out.transcript('T', bytes, len);
    return 0;
}

int SimLink::send_frame_locked(uint8_t type, const uint8_t* payload, size_t len) {
    uint8_t frame[CTRL_FRAME_MAX];
    int n = encode_frame(type, payload, len, frame, sizeof(frame));
    if (n < 0) {
        m_out.event("note: %s payload of %zu bytes does not fit a frame", ctrl_type_name(type),
                    len);
        return -1;
    }
    if (send_locked(frame, static_cast<size_t>(n)) != 0) return -1;
    m_out.event("sent %s", ctrl_type_name(type));
    return 0;
}

int SimLink::send(uint8_t type, const uint8_t* payload, size_t len) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return send_frame_locked(type, payload, len);
}

int SimLink::send_raw(const uint8_t* bytes, size_t len) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (send_locked(bytes, len) != 0) return -1;
    m_out.event("sent raw %zu bytes", len);
    return 0;
}

int SimLink::drop() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd < 0) return -1;
    linger reset{1, 0};
    setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    shutdown(m_fd, SHUT_RDWR);
    m_sending_done = true;
    return 0;
}

int SimLink::start_unpair() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (send_frame_locked(UNPAIR, nullptr, 0) != 0) return -1;
    m_unpair_pending = true;
    m_unpair_deadline = Clock::now() + UNPAIR_ACK_WAIT;
    return 0;
}

bool SimLink::unpair_pending() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_unpair_pending;
}

bool SimLink::unpair_overdue(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_unpair_pending && now >= m_unpair_deadline;
}

void SimLink::finish_sending() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd < 0 || m_sending_done) return;
    shutdown(m_fd, SHUT_WR);
    m_sending_done = true;
}
