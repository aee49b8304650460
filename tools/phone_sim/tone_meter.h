// Measures what a stream of 16-bit samples carries: its level (RMS in dB
// relative to full scale) and, for a tone (also one in bursts), its
// frequency from the interpolated upward zero crossings. Header-only so that
// both simulators report the same way.
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
                crossing(double(m_count) - 1.0 + (-m_prev) / (x - m_prev));
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
        const double cycles = m_cycles + (m_run_crossings > 1 ? double(m_run_crossings - 1) : 0.0);
        const double span = m_span + (m_run_crossings > 1 ? m_run_last - m_run_first : 0.0);
        if (cycles > 0 && span > 0) r.frequency_hz = cycles * m_rate / span;
        return r;
    }

    void reset() { *this = ToneMeter(m_rate); }

  private:
    static constexpr double HYSTERESIS = 64.0;
    // Crossings further apart than this (a tone below 40 Hz) belong to
    // separate runs: the silence between two bursts is not a cycle.
    static constexpr double MAX_PERIOD_S = 1.0 / 40.0;

    // Periods are measured within runs of crossings, so a tone that starts
    // and stops is read at its own frequency.
    void crossing(double at) {
        if (m_run_crossings > 0 && at - m_run_last > MAX_PERIOD_S * m_rate) {
            if (m_run_crossings > 1) {
                m_cycles += double(m_run_crossings - 1);
                m_span += m_run_last - m_run_first;
            }
            m_run_crossings = 0;
        }
        if (m_run_crossings == 0) m_run_first = at;
        m_run_last = at;
        ++m_run_crossings;
    }

    uint32_t m_rate;
    size_t m_count = 0;
    double m_sum_squares = 0;
    double m_prev = 0;
    double m_cycles = 0;  // of the runs that ended
    double m_span = 0;    // in samples
    size_t m_run_crossings = 0;
    double m_run_first = 0;
    double m_run_last = 0;
};
