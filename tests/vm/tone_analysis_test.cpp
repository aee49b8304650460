// The guest's tone analyser on recordings made up here: the figures the vm
// test judges the device by must come out right for known signals.
#include "tone_analysis.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/byte_order.h"

namespace {

constexpr double PI = 3.14159265358979323846;

// SILENT_S of silence, then a sine of HZ at DBFS for TONE_S.
std::vector<int16_t> tone(uint32_t rate, double hz, double silent_s, double tone_s,
                          double dbfs = -12) {
    const double amplitude = 32767.0 * std::pow(10.0, dbfs / 20);
    const size_t lead = size_t(silent_s * rate);
    std::vector<int16_t> s(lead + size_t(tone_s * rate), 0);
    for (size_t i = lead; i < s.size(); ++i)
        s[i] = int16_t(std::lround(amplitude * std::sin(2 * PI * hz * double(i - lead) / rate)));
    return s;
}

// What the capture worker does when the phone's frame is missing: the 10 ms
// frame at FRAME is the one before it at half level.
void fade_repeat(std::vector<int16_t>& s, uint32_t rate, size_t frame) {
    const size_t n = rate / 100;
    for (size_t i = 0; i < n; ++i) s[frame * n + i] = int16_t(s[(frame - 1) * n + i] / 2);
}

ToneAnalysis analyse(const std::vector<int16_t>& s, uint32_t rate) {
    ToneAnalysis a;
    const char* why = nullptr;
    EXPECT_EQ(analyse_tone(s.data(), s.size(), rate, &a, &why), 0) << (why ? why : "");
    return a;
}

TEST(ToneAnalysis, MeasuresACleanToneAfterSilence) {
    const ToneAnalysis a = analyse(tone(48000, 600, 0.5, 3.0), 48000);
    EXPECT_NEAR(a.frequency_hz, 600.0, 0.05);
    EXPECT_NEAR(a.tone_start_s, 0.5, 0.011);
    EXPECT_NEAR(a.tone_s, 3.0, 0.011);
    EXPECT_NEAR(a.duration_s, 3.5, 1e-9);
    EXPECT_NEAR(a.level_dbfs, -15.0, 0.1);  // a sine's RMS is 3 dB below its peak
    EXPECT_GT(a.purity, 0.99);
    EXPECT_EQ(a.gaps, 0u);
}

TEST(ToneAnalysis, FindsTheFrequencyBetweenScanSteps) {
    for (double hz : {997.3, 1000.0, 1003.9}) {
        const ToneAnalysis a = analyse(tone(16000, hz, 0.2, 2.0), 16000);
        EXPECT_NEAR(a.frequency_hz, hz, 0.1) << hz;
    }
}

TEST(ToneAnalysis, CountsEachFadedRepeatAndDropoutOnce) {
    std::vector<int16_t> s = tone(48000, 600, 0.0, 3.0);
    fade_repeat(s, 48000, 50);   // 0.5 s
    fade_repeat(s, 48000, 120);  // 1.2 s: two frames in a row make one gap
    fade_repeat(s, 48000, 121);
    for (size_t i = 48000 * 2 + 4800; i < 48000 * 2 + 5280; ++i) s[i] = 0;  // 2.1 s
    const ToneAnalysis a = analyse(s, 48000);
    EXPECT_EQ(a.gaps, 3u);
    ASSERT_EQ(a.gap_starts_s.size(), 3u);
    EXPECT_NEAR(a.gap_starts_s[0], 0.50, 0.005);
    EXPECT_NEAR(a.gap_starts_s[1], 1.20, 0.005);
    EXPECT_NEAR(a.gap_starts_s[2], 2.10, 0.005);
    EXPECT_EQ(a.worst_second_gaps, 1u);
    EXPECT_NEAR(a.gaps_per_s, 3 / a.analysed_s, 1e-9);
    EXPECT_NEAR(a.frequency_hz, 600.0, 0.5);
}

TEST(ToneAnalysis, NoiseIsImpureAndAQuietRecordingHasNoTone) {
    std::vector<int16_t> noise(48000);
    uint32_t x = 12345;
    for (int16_t& v : noise) {
        x = x * 1664525u + 1013904223u;
        v = int16_t(x >> 20);
    }
    EXPECT_LT(analyse(noise, 48000).purity, 0.05);

    const std::vector<int16_t> quiet = tone(48000, 600, 0.0, 1.0, -70);
    ToneAnalysis a;
    const char* why = nullptr;
    EXPECT_EQ(analyse_tone(quiet.data(), quiet.size(), 48000, &a, &why), -1);
    EXPECT_STREQ(why, "no tone: every block is below -60 dBFS");
    const std::vector<int16_t> blip = tone(48000, 600, 1.0, 0.2);
    EXPECT_EQ(analyse_tone(blip.data(), blip.size(), 48000, &a, &why), -1);
}

class WavFile : public ::testing::Test {
  protected:
    void TearDown() override { unlink(path_.c_str()); }

    // A RIFF file with a fmt chunk of CHANNELS and BITS, then a data chunk
    // announcing DATA_SIZE bytes and holding the samples.
    void write(uint16_t channels, uint16_t bits, uint32_t data_size,
               const std::vector<int16_t>& samples) {
        std::vector<uint8_t> b(44 + 2 * samples.size());
        memcpy(b.data(), "RIFF", 4);
        put_le32(&b[4], uint32_t(b.size() - 8));
        memcpy(&b[8], "WAVEfmt ", 8);
        put_le32(&b[16], 16);
        put_le16(&b[20], 1);
        put_le16(&b[22], channels);
        put_le32(&b[24], 16000);
        put_le32(&b[28], 32000);
        put_le16(&b[32], 2);
        put_le16(&b[34], bits);
        memcpy(&b[36], "data", 4);
        put_le32(&b[40], data_size);
        for (size_t i = 0; i < samples.size(); ++i) put_le16(&b[44 + 2 * i], uint16_t(samples[i]));
        FILE* f = fopen(path_.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fwrite(b.data(), 1, b.size(), f);
        fclose(f);
    }

    std::string path_ = "/tmp/tone_analysis_test_" + std::to_string(getpid()) + ".wav";
};

TEST_F(WavFile, ReadsMonoPcmAndStopsAtTheFileEnd) {
    write(1, 16, 0x7FFFFFFF, {1, -2, 32767});  // a recorder stopped early
    std::vector<int16_t> s;
    uint32_t rate = 0;
    std::string why;
    ASSERT_EQ(read_wav_file(path_, &s, &rate, &why), 0) << why;
    EXPECT_EQ(rate, 16000u);
    EXPECT_EQ(s, (std::vector<int16_t>{1, -2, 32767}));
}

TEST_F(WavFile, RefusesWhatItCannotAnalyse) {
    std::vector<int16_t> s;
    uint32_t rate = 0;
    std::string why;
    write(2, 16, 4, {1, 2});
    EXPECT_EQ(read_wav_file(path_, &s, &rate, &why), -1);
    EXPECT_NE(why.find("not mono 16-bit PCM"), std::string::npos);
    write(1, 8, 4, {1, 2});
    EXPECT_EQ(read_wav_file(path_, &s, &rate, &why), -1);
    unlink(path_.c_str());
    EXPECT_EQ(read_wav_file(path_, &s, &rate, &why), -1);
    EXPECT_NE(why.find("cannot open"), std::string::npos);
}

}  // namespace
