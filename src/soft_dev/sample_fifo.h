// A small first-in first-out byte buffer between the USB side's requests,
// whatever their size, and the RTP side's 10 ms frames.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quor {

class SampleFifo {
  public:
    static constexpr size_t CAPACITY = 16384;

    size_t size() const { return len_; }
    // Appends up to LEN bytes; returns how many fitted.
    size_t push(const uint8_t* data, size_t len);
    // Moves the oldest LEN bytes to OUT; false (and nothing moved) when fewer
    // are held.
    bool pop(uint8_t* out, size_t len);
    void clear() { len_ = 0; }

  private:
    uint8_t buf_[CAPACITY];
    size_t len_ = 0;
};

}  // namespace quor
