#include "platform/vbus_stream.h"

#include <chrono>
#include <cstring>

#include "base/diag_log.h"
#include "platform/byte_order.h"
#include "platform/socket_compat.h"

namespace quor {

namespace {
// A host that takes no reply data for this long is treated as gone.
constexpr int WRITE_TIMEOUT_MS = 1000;

int64_t steady_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
}  // namespace

StreamBus::StreamBus() : rx_(USBIP_MAX_PDU) {}

StreamBus::~StreamBus() {
    close_stream();
}

void StreamBus::set_unlink_handler(UnlinkHandler handler) {
    std::lock_guard lk(mu_);
    on_unlink_ = std::move(handler);
}

int StreamBus::adopt_stream(int fd) {
    std::lock_guard lk(mu_);
    if (fd_ >= 0) return -1;
    sock_set_nonblocking(fd);
    fd_ = fd;
    alive_ = true;
    pending_.clear();
    control_ = UsbipControlState{};
    rx_len_ = 0;
    return 0;
}

bool StreamBus::stream_alive() {
    std::lock_guard lk(mu_);
    return alive_;
}

void StreamBus::drop_stream(const char* why) {
    std::lock_guard lk(mu_);
    drop_locked(why);
}

void StreamBus::drop_locked(const char* why) {
    if (!alive_) return;
    if (why) quor_log("Quor ERR: USB host connection closed: %s\n", why);
    alive_ = false;
    // Requests of a host that is gone are dropped from the device logic
    // too: answered later, a stale one could be taken for a new host's
    // request with the same sequence number.
    if (on_unlink_)
        for (const auto& entry : pending_) on_unlink_(entry.first);
    pending_.clear();
    sock_shutdown(fd_);
}

void StreamBus::close_stream() {
    std::lock_guard lk(mu_);
    alive_ = false;
    pending_.clear();
    if (fd_ >= 0) sock_close(fd_);
    fd_ = -1;
}

int StreamBus::read_request(uint8_t* buf, size_t size, int timeout_ms) {
    const int64_t deadline = steady_ms() + timeout_ms;
    for (;;) {
        if (!stream_alive()) return -1;
        if (const int n = take_request(buf, size); n != 0) return n;
        pollfd p = sock_pollfd(fd_, POLLIN);
        const int64_t left = deadline - steady_ms();
        const int ready = sock_poll(&p, 1, left > 0 ? int(left) : 0);
        int err = ready < 0 ? sock_error() : 0;
        if (ready < 0 && sock_interrupted(err)) continue;
        if (ready == 0) return 0;
        const ssize_t got =
            ready < 0 ? -1 : sock_recv(fd_, rx_.data() + rx_len_, rx_.size() - rx_len_);
        if (got < 0 && ready > 0) err = sock_error();
        if (got > 0) {
            rx_len_ += size_t(got);
        } else if (got == 0) {
            drop_stream(end_of_stream_is_normal_ ? nullptr : "end of stream");
            return -1;
        } else if (!sock_would_block(err) && !sock_interrupted(err)) {
            drop_stream(sock_error_text(err).c_str());
            return -1;
        }
    }
}

int StreamBus::take_request(uint8_t* buf, size_t size) {
    while (rx_len_ >= USBIP_HEADER_SIZE) {
        const char* why = nullptr;
        const long total = usbip_request_size(rx_.data(), rx_.size(), &why);
        if (total < 0) {
            quor_log("Quor ERR: malformed request from the USB host: %s (command %u)\n", why,
                     get_be32(rx_.data() + USBIP_COMMAND));
            drop_stream("malformed request");
            return -1;
        }
        if (rx_len_ < size_t(total)) return 0;
        int result = 0;
        if (get_be32(rx_.data() + USBIP_COMMAND) == USBIP_CMD_UNLINK) {
            answer_unlink(rx_.data());
        } else if (size_t(total) > size) {
            why = "request larger than the read buffer";
        } else {
            UsbipRequest req;
            if (usbip_parse_submit(rx_.data(), size_t(total), &req, &why) == 0) {
                std::lock_guard lk(mu_);
                if (pending_.size() >= USBIP_MAX_PENDING)
                    why = "too many pending requests";
                else if (!pending_.emplace(req.seqnum, std::move(req)).second)
                    why = "sequence number already pending";
            }
            if (!why) {
                memcpy(buf, rx_.data(), size_t(total));
                result = int(total);
            }
        }
        if (why) {
            quor_log("Quor ERR: malformed request from the USB host: %s (seqnum %u)\n", why,
                     get_be32(rx_.data() + USBIP_SEQNUM));
            drop_stream("malformed request");
            return -1;
        }
        rx_len_ -= size_t(total);
        memmove(rx_.data(), rx_.data() + total, rx_len_);
        if (result > 0) return result;
    }
    return 0;
}

void StreamBus::answer_unlink(const uint8_t* hdr) {
    const uint32_t victim = get_be32(hdr + USBIP_UNLINK_SEQNUM);
    std::lock_guard lk(mu_);
    const bool was_pending = pending_.erase(victim) == 1;
    if (was_pending && on_unlink_) on_unlink_(victim);
    const auto reply =
        usbip_ret_unlink(get_be32(hdr + USBIP_SEQNUM), was_pending ? USBIP_ECONNRESET : 0);
    send_locked(reply.data(), reply.size());
}

void StreamBus::finish_request(uint32_t seqnum) {
    std::lock_guard lk(mu_);
    const auto it = pending_.find(seqnum);
    if (it == pending_.end() || it->second.ep != 0) return;
    const std::vector<uint8_t> reply = control_.fallback_reply(it->second);
    std::vector<uint8_t> wire;
    int32_t status = 0;
    usbip_wire_reply(it->second, reply.data(), reply.size(), &wire, &status);
    control_.note_answer(it->second, status);
    pending_.erase(it);
    send_locked(wire.data(), wire.size());
}

int StreamBus::write_reply(const uint8_t* pdu, size_t len) {
    if (len < USBIP_HEADER_SIZE) return -1;
    const uint32_t seqnum = get_le32(pdu + USBIP_SEQNUM);
    std::lock_guard lk(mu_);
    const auto it = pending_.find(seqnum);
    if (it == pending_.end()) {
        if (g_debug_level > 2) quor_log("DEV: reply to seqnum %u dropped: not pending\n", seqnum);
        return -1;
    }
    std::vector<uint8_t> wire;
    int32_t status = 0;
    if (usbip_wire_reply(it->second, pdu, len, &wire, &status) != 0) {
        quor_log("Quor ERR: malformed reply to seqnum %u not sent\n", seqnum);
        return -1;
    }
    control_.note_answer(it->second, status);
    pending_.erase(it);
    return send_locked(wire.data(), wire.size());
}

int StreamBus::send_locked(const uint8_t* wire, size_t len) {
    size_t sent = 0;
    while (alive_ && sent < len) {
        const ssize_t n = sock_send(fd_, wire + sent, len - sent);
        if (n > 0) {
            sent += size_t(n);
            continue;
        }
        const int err = n < 0 ? sock_error() : 0;
        if (n < 0 && sock_interrupted(err)) continue;
        if (n < 0 && !sock_would_block(err)) {
            drop_locked(sock_error_text(err).c_str());
            break;
        }
        pollfd p = sock_pollfd(fd_, POLLOUT);
        if (sock_poll(&p, 1, WRITE_TIMEOUT_MS) == 0) drop_locked("the host takes no more replies");
    }
    return sent == len ? 0 : -1;
}

}  // namespace quor
