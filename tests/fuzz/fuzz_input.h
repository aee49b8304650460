// Reads a fuzzer's input as a little script: bytes, 16-bit numbers and runs
// of bytes, with zeros once the input is used up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quor::fuzz {

class Input {
  public:
    Input(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    bool empty() const { return n_ == 0; }
    uint8_t byte() {
        if (n_ == 0) return 0;
        --n_;
        return *p_++;
    }
    // Little-endian.
    uint16_t u16() {
        const uint8_t low = byte();
        return uint16_t(low | (byte() << 8));
    }
    // Up to WANT bytes: fewer when the input ends first.
    std::vector<uint8_t> bytes(size_t want) {
        const size_t n = want < n_ ? want : n_;
        std::vector<uint8_t> out(p_, p_ + n);
        p_ += n;
        n_ -= n;
        return out;
    }

  private:
    const uint8_t* p_;
    size_t n_;
};

}  // namespace quor::fuzz
