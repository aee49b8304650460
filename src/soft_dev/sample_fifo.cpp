#include "soft_dev/sample_fifo.h"

#include <algorithm>
#include <cstring>

namespace quor {

size_t SampleFifo::push(const uint8_t* data, size_t len) {
    const size_t n = std::min(len, CAPACITY - len_);
    if (n > 0) memcpy(buf_ + len_, data, n);
    len_ += n;
    return n;
}

bool SampleFifo::pop(uint8_t* out, size_t len) {
    if (len > len_) return false;
    memcpy(out, buf_, len);
    memmove(buf_, buf_ + len, len_ - len);
    len_ -= len;
    return true;
}

}  // namespace quor
