// Completion times of isochronous requests paced by the audio they carry:
// mono 16-bit PCM at 48 kHz, 96 bytes a millisecond. The times come from a
// base and the bytes counted since it, so rounding never accumulates, and a
// late completion is followed by shorter waits until the grid is met again.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quor {

constexpr size_t AUDIO_BYTES_PER_MS = 96;

class AudioPacer {
  public:
    // The next request's audio starts at NOW_MS.
    void rebase(int64_t now_ms);
    // A request carrying BYTES bytes follows the previous one; the time at
    // which it is to complete.
    int64_t next_completion(size_t bytes);
    // The same time, without counting the request in.
    int64_t peek_completion(size_t bytes) const;

  private:
    int64_t base_ms_ = 0;
    uint64_t bytes_since_base_ = 0;
};

}  // namespace quor
