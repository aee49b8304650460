// The phone's 10 ms payloads between their arrival and the microphone
// request that takes them. Normally one waits; a burst after a hiccup of
// the network or the phone leaves several, and as one is taken per 10 ms
// that delay would otherwise stay for the rest of the call. The backlog
// keeps at most CAPACITY payloads (dropping the oldest), and when at least
// three have waited at every take over a whole window it drops the oldest
// one, so the delay shrinks back by 10 ms a second down to one spare
// payload. That spare is kept: it is what covers the next late packet,
// where dropping it would cost one repeated frame per late packet and one
// skipped frame a second later.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quor {

class FrameBacklog {
  public:
    static constexpr size_t PAYLOAD_BYTES = 320;
    static constexpr size_t CAPACITY = 6;    // 60 ms
    static constexpr uint32_t WINDOW = 100;  // takes: 1 s of capture
    // Waiting at a take, the one taken included, that the trimming leaves.
    static constexpr size_t KEPT_WAITING = 2;

    // Keeps PAYLOAD (PAYLOAD_BYTES bytes).
    void push(const uint8_t* payload);
    // Moves the oldest payload to OUT; false when none waits.
    bool take(uint8_t* out);
    // Empties the backlog.
    void clear();
    // Empties it for a new call, whose count of dropped payloads starts at 0.
    void start();
    size_t size() const { return count_; }
    // Payloads dropped to keep the delay down since the call's start.
    uint32_t trimmed() const { return trimmed_; }

  private:
    void drop_oldest();

    uint8_t payloads_[CAPACITY][PAYLOAD_BYTES];
    size_t first_ = 0;
    size_t count_ = 0;
    uint32_t takes_ = 0;        // in the current window
    size_t least_waiting_ = 0;  // at any take of the current window
    uint32_t trimmed_ = 0;
};

}  // namespace quor
