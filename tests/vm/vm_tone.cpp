// quor-vm-tone: writes a test tone as a WAV file, and analyses a recorded
// one, for the checks that run inside the test guest (which has no python).
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tone_analysis.h"
#include "wav_writer.h"

namespace {

const char* const USAGE =
    "Usage: quor-vm-tone generate HZ SECONDS RATE DBFS OUT.wav [ON_MS OFF_MS]\n"
    "       quor-vm-tone analyse FILE.wav\n"
    "\n"
    "generate: a mono 16-bit sine of HZ at RATE and DBFS, SECONDS long; with\n"
    "          ON_MS and OFF_MS, bursts of the tone separated by silence,\n"
    "          the first burst at the start.\n"
    "analyse:  prints one line of key=value figures: rate, samples, duration,\n"
    "          tone_start, tone_end, tone (s), loud (s), level (dBFS), freq (Hz,\n"
    "          Goertzel peak), purity (share of the energy at freq), gaps (level\n"
    "          dips), gaps_per_s, worst_second, analysed (s), gaps_at (where\n"
    "          the first ten dips begin, s).\n";

constexpr double PI = 3.14159265358979323846;

// A number from LOW to HIGH: 0, or -1.
int parse_number(const char* text, double low, double high, double* value) {
    char* end = nullptr;
    const double v = strtod(text, &end);
    if (end == text || *end != 0 || !(v >= low && v <= high)) return -1;
    *value = v;
    return 0;
}

int generate(char** args, int count) {
    double hz, seconds, rate, dbfs, on_ms = 0, off_ms = 0;
    if (parse_number(args[0], 1, 20000, &hz) != 0 ||
        parse_number(args[1], 0.01, 600, &seconds) != 0 ||
        parse_number(args[2], 8000, 192000, &rate) != 0 ||
        parse_number(args[3], -90, 0, &dbfs) != 0 ||
        (count == 7 && (parse_number(args[5], 1, 60000, &on_ms) != 0 ||
                        parse_number(args[6], 1, 60000, &off_ms) != 0))) {
        fputs(USAGE, stderr);
        return 2;
    }
    WavWriter wav;
    if (wav.open(args[4], uint32_t(rate)) != 0) {
        fprintf(stderr, "quor-vm-tone: cannot write %s: %s\n", args[4], strerror(errno));
        return 1;
    }
    const double amplitude = 32767.0 * std::pow(10.0, dbfs / 20.0);
    const size_t total = size_t(std::lround(seconds * rate));
    const size_t on = size_t(std::lround(on_ms * rate / 1000));
    const size_t period = on + size_t(std::lround(off_ms * rate / 1000));
    std::vector<int16_t> samples(total);
    for (size_t i = 0; i < total; ++i) {
        if (period > 0 && i % period >= on) continue;
        samples[i] = int16_t(std::lround(amplitude * std::sin(2 * PI * hz * double(i) / rate)));
    }
    wav.write_samples(samples.data(), samples.size());
    wav.close();
    return 0;
}

// "0.512,1.310" for the first ten dips, "-" for none.
std::string gap_list(const ToneAnalysis& a) {
    std::string list;
    char one[32];
    for (size_t i = 0; i < a.gap_starts_s.size() && i < 10; ++i) {
        snprintf(one, sizeof(one), i ? ",%.3f" : "%.3f", a.gap_starts_s[i]);
        list += one;
    }
    return list.empty() ? "-" : list;
}

int analyse(const char* path) {
    std::vector<int16_t> samples;
    uint32_t rate = 0;
    std::string why_file;
    if (read_wav_file(path, &samples, &rate, &why_file) != 0) {
        fprintf(stderr, "quor-vm-tone: %s\n", why_file.c_str());
        return 1;
    }
    ToneAnalysis a;
    const char* why = nullptr;
    if (analyse_tone(samples.data(), samples.size(), rate, &a, &why) != 0) {
        printf("rate=%u samples=%zu duration=%.3f error=\"%s\"\n", rate, samples.size(),
               a.duration_s, why);
        return 1;
    }
    printf(
        "rate=%u samples=%zu duration=%.3f tone_start=%.3f tone_end=%.3f tone=%.3f loud=%.3f "
        "level=%.1f freq=%.2f purity=%.3f gaps=%u gaps_per_s=%.2f worst_second=%u "
        "analysed=%.3f gaps_at=%s\n",
        a.rate, a.samples, a.duration_s, a.tone_start_s, a.tone_end_s, a.tone_s, a.loud_s,
        a.level_dbfs, a.frequency_hz, a.purity, a.gaps, a.gaps_per_s, a.worst_second_gaps,
        a.analysed_s, gap_list(a).c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if ((argc == 7 || argc == 9) && strcmp(argv[1], "generate") == 0)
        return generate(argv + 2, argc - 2);
    if (argc == 3 && strcmp(argv[1], "analyse") == 0) return analyse(argv[2]);
    fputs(USAGE, argc == 2 && strcmp(argv[1], "--help") == 0 ? stdout : stderr);
    return argc == 2 && strcmp(argv[1], "--help") == 0 ? 0 : 2;
}
