// Writes mono 16-bit PCM to a WAV file as it arrives; the header's sizes are
// filled in when the file is closed. Header-only so that both simulators
// record the same way.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "platform/byte_order.h"

class WavWriter {
  public:
    WavWriter() = default;
    ~WavWriter() { close(); }
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // 0, or -1 when PATH cannot be written.
    int open(const char* path, uint32_t sample_rate) {
        close();
        m_file = fopen(path, "wb");
        if (!m_file) return -1;
        m_rate = sample_rate;
        m_bytes = 0;
        return write_header();
    }
    bool is_open() const { return m_file != nullptr; }

    void write_samples(const int16_t* samples, size_t count) {
        if (!m_file) return;
        uint8_t buf[2];
        for (size_t i = 0; i < count; ++i) {
            put_le16(buf, static_cast<uint16_t>(samples[i]));
            if (fwrite(buf, 1, 2, m_file) == 2) m_bytes += 2;
        }
    }

    void close() {
        if (!m_file) return;
        write_header();
        fclose(m_file);
        m_file = nullptr;
    }

  private:
    int write_header() {
        uint8_t h[44];
        const uint8_t riff[4] = {'R', 'I', 'F', 'F'}, wave[4] = {'W', 'A', 'V', 'E'};
        const uint8_t fmt[4] = {'f', 'm', 't', ' '}, data[4] = {'d', 'a', 't', 'a'};
        std::copy(riff, riff + 4, h);
        put_le32(h + 4, 36 + m_bytes);
        std::copy(wave, wave + 4, h + 8);
        std::copy(fmt, fmt + 4, h + 12);
        put_le32(h + 16, 16);
        put_le16(h + 20, 1);  // PCM
        put_le16(h + 22, 1);  // mono
        put_le32(h + 24, m_rate);
        put_le32(h + 28, m_rate * 2);
        put_le16(h + 32, 2);
        put_le16(h + 34, 16);
        std::copy(data, data + 4, h + 36);
        put_le32(h + 40, m_bytes);
        const long at = ftell(m_file);
        if (fseek(m_file, 0, SEEK_SET) != 0 || fwrite(h, 1, sizeof(h), m_file) != sizeof(h))
            return -1;
        if (at > 0) fseek(m_file, at, SEEK_SET);
        fflush(m_file);
        return 0;
    }

    FILE* m_file = nullptr;
    uint32_t m_rate = 0;
    uint32_t m_bytes = 0;
};
