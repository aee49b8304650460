#include "soft_dev/request_queue.h"

#include <algorithm>

#include "soft_dev/usbip_pdu.h"

namespace quor {

namespace {
// The packet count of a converted request; a count no request of a
// full-speed device can have counts as none.
uint64_t packets_of(const std::vector<uint8_t>& node) {
    constexpr uint32_t MOST_PACKETS = 1024;
    if (node.size() < USBIP_HEADER_SIZE) return 0;
    const uint32_t n = pdu_word(node.data(), USBIP_PACKETS);
    return n <= MOST_PACKETS ? n : 0;
}
}  // namespace

void RequestQueue::push(const uint8_t* pdu, size_t len) {
    std::vector<uint8_t> node(pdu, pdu + len);
    const uint64_t packets = packets_of(node);
    std::lock_guard lk(lock_);
    nodes_.push_back(std::move(node));
    packets_ += packets;
}

bool RequestQueue::pop(std::vector<uint8_t>* out) {
    std::lock_guard lk(lock_);
    if (nodes_.empty()) return false;
    *out = std::move(nodes_.front());
    nodes_.pop_front();
    packets_ -= packets_of(*out);
    return true;
}

bool RequestQueue::pop_if(const std::function<bool(const uint8_t*, size_t)>& take,
                          std::vector<uint8_t>* out) {
    std::lock_guard lk(lock_);
    if (nodes_.empty() || !take(nodes_.front().data(), nodes_.front().size())) return false;
    *out = std::move(nodes_.front());
    nodes_.pop_front();
    packets_ -= packets_of(*out);
    return true;
}

bool RequestQueue::remove(uint32_t seqnum) {
    std::lock_guard lk(lock_);
    const auto it = std::find_if(nodes_.begin(), nodes_.end(), [&](const std::vector<uint8_t>& n) {
        return n.size() >= USBIP_HEADER_SIZE && pdu_word(n.data(), USBIP_SEQNUM) == seqnum;
    });
    if (it == nodes_.end()) return false;
    packets_ -= packets_of(*it);
    nodes_.erase(it);
    return true;
}

void RequestQueue::clear() {
    std::deque<std::vector<uint8_t>> gone;
    std::lock_guard lk(lock_);
    gone.swap(nodes_);
    packets_ = 0;
}

size_t RequestQueue::size() {
    std::lock_guard lk(lock_);
    return nodes_.size();
}

uint64_t RequestQueue::queued_packets() {
    std::lock_guard lk(lock_);
    return packets_;
}

}  // namespace quor
