#include "tone_analysis.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/byte_order.h"

namespace {
constexpr double PI = 3.14159265358979323846;
constexpr double FULL_SCALE = 32768.0;
constexpr double BLOCK_S = 0.010;
// A block carries the tone when it is within 20 dB of the loudest block
// and above -60 dBFS.
constexpr double TONE_RANGE_DB = 20.0;
constexpr double TONE_FLOOR_DBFS = -60.0;
constexpr double SKIP_START_S = 0.100;
constexpr double SKIP_END_S = 0.020;
constexpr double MIN_STRETCH_S = 0.200;
// A window whose RMS is below this share of the median dips: a repeat at
// half level gives 0.5, a dropout 0.
constexpr double DIP_RATIO = 0.7;
constexpr double COARSE_S = 0.25;
constexpr double COARSE_STEP_HZ = 4.0;
constexpr double COARSE_LOW_HZ = 20.0;
constexpr double COARSE_HIGH_HZ = 8000.0;
constexpr double FINE_S = 2.0;
constexpr double FINE_STEP_HZ = 0.1;

double mean_square(const int16_t* s, size_t n) {
    double sum = 0;
    for (size_t i = 0; i < n; ++i) sum += double(s[i]) * s[i];
    return n ? sum / double(n) / (FULL_SCALE * FULL_SCALE) : 0;
}

double to_db(double ms) {
    return ms > 0 ? 10.0 * std::log10(ms) : -120.0;
}

// The peak of the Goertzel power between LOW and HIGH in STEP steps, with a
// parabola through the peak and its neighbours.
double scan_peak(const int16_t* s, size_t n, uint32_t rate, double low, double high, double step) {
    double best_hz = low, best = -1, before = 0, after = 0, prev = 0;
    bool take_next = false;
    for (double hz = low; hz <= high; hz += step) {
        const double p = goertzel_power(s, n, rate, hz);
        if (take_next) {
            after = p;
            take_next = false;
        }
        if (p > best) {
            best = p;
            best_hz = hz;
            before = prev;
            after = 0;
            take_next = true;
        }
        prev = p;
    }
    const double denom = before - 2 * best + after;
    if (denom >= 0) return best_hz;
    const double shift = 0.5 * (before - after) / denom;
    return best_hz + std::clamp(shift, -0.5, 0.5) * step;
}

// S is the analysed stretch, starting FROM samples into the recording.
void count_gaps(const int16_t* s, size_t n, size_t from, uint32_t rate, ToneAnalysis* out) {
    const double hz = std::max(out->frequency_hz, 50.0);
    const double periods = std::max(1.0, std::floor(0.002 * hz));
    const size_t window = std::max<size_t>(1, size_t(std::lround(rate / hz * periods)));
    const size_t count = n / window;
    std::vector<double> rms(count);
    for (size_t i = 0; i < count; ++i) rms[i] = std::sqrt(mean_square(s + i * window, window));
    std::vector<double> sorted = rms;
    std::nth_element(sorted.begin(), sorted.begin() + long(count / 2), sorted.end());
    const double limit = DIP_RATIO * sorted[count / 2];
    std::vector<unsigned> per_second(size_t(double(n) / rate) + 1, 0);
    bool in_dip = false;
    for (size_t i = 0; i < count; ++i) {
        const bool dip = rms[i] < limit;
        if (dip && !in_dip) {
            ++out->gaps;
            ++per_second[i * window / rate];
            out->gap_starts_s.push_back(double(from + i * window) / rate);
        }
        in_dip = dip;
    }
    // A dip in the closing part-second counts towards the worst second too.
    for (unsigned g : per_second) out->worst_second_gaps = std::max(out->worst_second_gaps, g);
    out->gaps_per_s = out->gaps / out->analysed_s;
}
}  // namespace

double goertzel_power(const int16_t* s, size_t n, uint32_t rate, double hz) {
    if (n == 0 || rate == 0) return 0;
    const double coeff = 2.0 * std::cos(2.0 * PI * hz / rate);
    double prev = 0, prev2 = 0;
    for (size_t i = 0; i < n; ++i) {
        const double v = s[i] + coeff * prev - prev2;
        prev2 = prev;
        prev = v;
    }
    const double power = prev * prev + prev2 * prev2 - coeff * prev * prev2;
    return 2.0 * power / (double(n) * double(n) * FULL_SCALE * FULL_SCALE);
}

int analyse_tone(const int16_t* samples, size_t n, uint32_t rate, ToneAnalysis* out,
                 const char** why) {
    *out = ToneAnalysis{};
    out->rate = rate;
    out->samples = n;
    out->duration_s = rate ? double(n) / rate : 0;
    const size_t block = size_t(rate * BLOCK_S);
    if (block == 0 || n < block) {
        *why = "recording shorter than one 10 ms block";
        return -1;
    }
    const size_t blocks = n / block;
    std::vector<double> level(blocks);
    double loudest = -120;
    for (size_t b = 0; b < blocks; ++b) {
        level[b] = to_db(mean_square(samples + b * block, block));
        loudest = std::max(loudest, level[b]);
    }
    const double threshold = std::max(TONE_FLOOR_DBFS, loudest - TONE_RANGE_DB);
    size_t first = blocks, last = 0, loud = 0;
    for (size_t b = 0; b < blocks; ++b) {
        if (level[b] <= threshold) continue;
        first = std::min(first, b);
        last = b;
        ++loud;
    }
    if (loud == 0) {
        *why = "no tone: every block is below -60 dBFS";
        return -1;
    }
    out->tone_start_s = double(first * block) / rate;
    out->tone_end_s = double((last + 1) * block) / rate;
    out->tone_s = out->tone_end_s - out->tone_start_s;
    out->loud_s = double(loud * block) / rate;

    const size_t from = first * block + size_t(SKIP_START_S * rate);
    const size_t to = (last + 1) * block - size_t(SKIP_END_S * rate);
    if (to <= from || double(to - from) / rate < MIN_STRETCH_S) {
        *why = "tone shorter than the 0.3 s needed";
        return -1;
    }
    const int16_t* stretch = samples + from;
    const size_t len = to - from;
    out->analysed_s = double(len) / rate;
    const double energy = mean_square(stretch, len);
    out->level_dbfs = to_db(energy);

    const double high = std::min(COARSE_HIGH_HZ, rate / 2.0 - COARSE_LOW_HZ);
    const double coarse = scan_peak(stretch, std::min(len, size_t(COARSE_S * rate)), rate,
                                    COARSE_LOW_HZ, high, COARSE_STEP_HZ);
    const size_t fine_len = std::min(len, size_t(FINE_S * rate));
    out->frequency_hz = scan_peak(stretch, fine_len, rate, coarse - COARSE_STEP_HZ,
                                  coarse + COARSE_STEP_HZ, FINE_STEP_HZ);
    const double at_peak = goertzel_power(stretch, fine_len, rate, out->frequency_hz);
    const double fine_energy = mean_square(stretch, fine_len);
    out->purity = fine_energy > 0 ? at_peak / fine_energy : 0;
    count_gaps(stretch, len, from, rate, out);
    return 0;
}

int read_wav_file(const std::string& path, std::vector<int16_t>* samples, uint32_t* rate,
                  std::string* why) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) {
        *why = "cannot open " + path + ": " + strerror(errno);
        return -1;
    }
    std::vector<uint8_t> bytes;
    uint8_t buf[65536];
    for (size_t got; (got = fread(buf, 1, sizeof(buf), f)) > 0;)
        bytes.insert(bytes.end(), buf, buf + got);
    fclose(f);
    if (bytes.size() < 12 || memcmp(bytes.data(), "RIFF", 4) != 0 ||
        memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
        *why = path + " is not a WAV file";
        return -1;
    }
    bool have_format = false;
    for (size_t at = 12; at + 8 <= bytes.size();) {
        const uint8_t* chunk = bytes.data() + at;
        const size_t room = bytes.size() - at - 8;
        // A recorder stopped early may leave a data size past the end.
        const size_t size = std::min<size_t>(get_le32(chunk + 4), room);
        if (memcmp(chunk, "fmt ", 4) == 0) {
            if (size < 16 || get_le16(chunk + 8) != 1 || get_le16(chunk + 10) != 1 ||
                get_le16(chunk + 22) != 16) {
                *why = path + " is not mono 16-bit PCM";
                return -1;
            }
            *rate = get_le32(chunk + 12);
            have_format = *rate > 0;
        } else if (memcmp(chunk, "data", 4) == 0) {
            if (!have_format) break;
            samples->resize(size / 2);
            for (size_t i = 0; i < samples->size(); ++i)
                (*samples)[i] = int16_t(get_le16(chunk + 8 + 2 * i));
            return 0;
        }
        at += 8 + size + (size & 1);
    }
    *why = path + " has no format or data chunk";
    return -1;
}
