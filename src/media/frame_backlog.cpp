#include "media/frame_backlog.h"

#include <algorithm>
#include <cstring>

namespace quor {

void FrameBacklog::drop_oldest() {
    first_ = (first_ + 1) % CAPACITY;
    --count_;
    ++trimmed_;
}

void FrameBacklog::push(const uint8_t* payload) {
    if (count_ == CAPACITY) drop_oldest();
    memcpy(payloads_[(first_ + count_) % CAPACITY], payload, PAYLOAD_BYTES);
    ++count_;
}

bool FrameBacklog::take(uint8_t* out) {
    least_waiting_ = takes_ == 0 ? count_ : std::min(least_waiting_, count_);
    if (++takes_ == WINDOW) {
        if (least_waiting_ >= KEPT_WAITING + 1) drop_oldest();
        takes_ = 0;
    }
    if (count_ == 0) return false;
    memcpy(out, payloads_[first_], PAYLOAD_BYTES);
    first_ = (first_ + 1) % CAPACITY;
    --count_;
    return true;
}

void FrameBacklog::clear() {
    first_ = count_ = 0;
    takes_ = 0;
}

void FrameBacklog::start() {
    clear();
    trimmed_ = 0;
}

}  // namespace quor
