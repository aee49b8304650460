#include "soft_dev/request_queue.h"

#include <algorithm>

#include "soft_dev/usbip_pdu.h"

namespace quor {

void RequestQueue::push(const uint8_t* pdu, size_t len) {
    std::vector<uint8_t> node(pdu, pdu + len);
    std::lock_guard lk(lock_);
    nodes_.push_back(std::move(node));
}

bool RequestQueue::pop(std::vector<uint8_t>* out) {
    std::lock_guard lk(lock_);
    if (nodes_.empty()) return false;
    *out = std::move(nodes_.front());
    nodes_.pop_front();
    return true;
}

bool RequestQueue::remove(uint32_t seqnum) {
    std::lock_guard lk(lock_);
    const auto it = std::find_if(nodes_.begin(), nodes_.end(), [&](const std::vector<uint8_t>& n) {
        return n.size() >= USBIP_HEADER_SIZE && pdu_word(n.data(), USBIP_SEQNUM) == seqnum;
    });
    if (it == nodes_.end()) return false;
    nodes_.erase(it);
    return true;
}

void RequestQueue::clear() {
    std::deque<std::vector<uint8_t>> gone;
    std::lock_guard lk(lock_);
    gone.swap(nodes_);
}

size_t RequestQueue::size() {
    std::lock_guard lk(lock_);
    return nodes_.size();
}

}  // namespace quor
