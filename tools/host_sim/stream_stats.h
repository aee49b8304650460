// Pacing figures of one isochronous stream: the intervals between the
// device's completions (mean, median, 99th percentile, largest) and how much
// audio the completions after the first carried against the wall time from
// the first to the last.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class StreamStats {
  public:
    // A completion at AT_NS (monotonic) that carried BYTES of audio.
    void completed(int64_t at_ns, size_t bytes);
    size_t completions() const { return m_times.size(); }
    // "urbs=N interval mean=.. p50=.. p99=.. max=.. ms audio=.. s wall=.. s"
    std::string summary() const;

  private:
    std::vector<int64_t> m_times;
    uint64_t m_bytes_after_first = 0;  // the audio the measured intervals carried
};

// The value below which FRACTION (0..1) of SORTED lies.
double percentile(const std::vector<double>& sorted, double fraction);
