// What a recorded tone looks like: where it starts and ends, its frequency
// (peak of a Goertzel scan), how much of its energy sits at that frequency,
// and how often its level dips for a moment, as it does where the device
// filled a missing 10 ms frame with a faded repeat or silence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ToneAnalysis {
    uint32_t rate = 0;
    size_t samples = 0;
    double duration_s = 0;    // the whole recording
    double tone_start_s = 0;  // first and last 10 ms block carrying the tone
    double tone_end_s = 0;
    double tone_s = 0;         // tone_end_s - tone_start_s
    double loud_s = 0;         // the blocks carrying the tone, added up
    double level_dbfs = -120;  // RMS over the analysed stretch
    double frequency_hz = 0;   // Goertzel peak over the analysed stretch
    double purity = 0;         // share of the stretch's energy at that peak (1: pure sine)
    unsigned gaps = 0;         // level dips over the analysed stretch
    double gaps_per_s = 0;
    unsigned worst_second_gaps = 0;    // most dips within one whole second
    std::vector<double> gap_starts_s;  // where the dips begin, from the recording's start
    double analysed_s = 0;
};

// Analyses N samples at RATE. The stretch analysed leaves out the first
// 100 ms of the tone (start-up) and its last 20 ms. 0, or -1 with a reason
// in *WHY when there is no tone to analyse.
int analyse_tone(const int16_t* samples, size_t n, uint32_t rate, ToneAnalysis* out,
                 const char** why);

// Power of the frequency HZ in N samples at RATE (Goertzel), normalised so
// that a full-scale sine over whole periods gives 0.5.
double goertzel_power(const int16_t* samples, size_t n, uint32_t rate, double hz);

// Reads a mono 16-bit PCM WAV file: 0, or -1 with a reason in *WHY.
int read_wav_file(const std::string& path, std::vector<int16_t>* samples, uint32_t* rate,
                  std::string* why);
