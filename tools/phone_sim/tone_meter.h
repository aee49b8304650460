// Measures what a stream of 16-bit samples carries: its level (RMS in dB
// relative to full scale) and, for a tone, its frequency from the
// interpolated upward zero crossings. Header-only so that both simulators
// report the same way.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

struct ToneReading {
    size_t samples = 0;
    double level_dbfs = -120.0;
    double frequency_hz = 0.0;  // 0 when there were fewer than two crossings
};

class ToneMeter {
  public:
    explicit ToneMeter(uint32_t sample_rate) : m_rate(sample_rate) {}

    void add(const int16_t* samples, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            const double x = samples[i];
            m_sum_squares += x * x;
            // A crossing needs a clear swing, so noise around zero in a
            // silent stretch does not count.
            if (m_prev < 0 && x >= 0 && x - m_prev > HYSTERESIS) {
                const double at = double(m_count) - 1.0 + (-m_prev) / (x - m_prev);
                if (m_crossings == 0) m_first_crossing = at;
                m_last_crossing = at;
                ++m_crossings;
            }
            m_prev = x;
            ++m_count;
        }
    }

    ToneReading reading() const {
        ToneReading r;
        r.samples = m_count;
        if (m_count > 0 && m_sum_squares > 0)
            r.level_dbfs = 10.0 * std::log10(m_sum_squares / double(m_count) / (32768.0 * 32768.0));
        if (m_crossings >= 2 && m_last_crossing > m_first_crossing)
            r.frequency_hz =
                double(m_crossings - 1) * m_rate / (m_last_crossing - m_first_crossing);
        return r;
    }

    void reset() { *this = ToneMeter(m_rate); }

  private:
    static constexpr double HYSTERESIS = 64.0;

    uint32_t m_rate;
    size_t m_count = 0;
    double m_sum_squares = 0;
    double m_prev = 0;
    size_t m_crossings = 0;
    double m_first_crossing = 0;
    double m_last_crossing = 0;
};
