#include "stream_stats.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "host_text.h"

namespace {
constexpr double BYTES_PER_SECOND = 96000.0;  // 48 kHz, 16-bit mono
}

void StreamStats::completed(int64_t at_ns, size_t bytes) {
    if (!m_times.empty()) m_bytes_after_first += bytes;
    m_times.push_back(at_ns);
}

double percentile(const std::vector<double>& sorted, double fraction) {
    if (sorted.empty()) return 0;
    const size_t at = size_t(std::ceil(fraction * double(sorted.size()))) - 1;
    return sorted[std::min(at, sorted.size() - 1)];
}

std::string StreamStats::summary() const {
    std::vector<double> intervals;
    for (size_t i = 1; i < m_times.size(); ++i)
        intervals.push_back(double(m_times[i] - m_times[i - 1]) / 1e6);
    std::sort(intervals.begin(), intervals.end());
    const double mean =
        intervals.empty()
            ? 0
            : std::accumulate(intervals.begin(), intervals.end(), 0.0) / double(intervals.size());
    const double wall = m_times.size() < 2 ? 0 : double(m_times.back() - m_times.front()) / 1e9;
    return strfmt(
        "urbs=%zu interval mean=%.3f p50=%.3f p99=%.3f max=%.3f ms audio=%.3f s "
        "wall=%.3f s",
        m_times.size(), mean, percentile(intervals, 0.5), percentile(intervals, 0.99),
        intervals.empty() ? 0.0 : intervals.back(), double(m_bytes_after_first) / BYTES_PER_SECOND,
        wall);
}
