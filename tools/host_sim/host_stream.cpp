#include "host_stream.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <ctime>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "../phone_sim/tone_meter.h"
#include "../phone_sim/wav_writer.h"
#include "host_text.h"
#include "platform/byte_order.h"
#include "stream_stats.h"

const char* const STREAM_COMMAND_HELP =
    "  stream SECONDS [play HZ] [level DBFS] [burst] [record FILE]\n"
    "         [out-packets N] [out-urbs N] [in-packets N] [in-urbs N]\n"
    "         [detach-after MS]\n"
    "                                   play a tone (or silence) into endpoint 0x01\n"
    "                                   and record endpoint 0x82 for SECONDS with\n"
    "                                   URBs in flight both ways (defaults: 6-packet\n"
    "                                   playback URBs, 4 in flight; 1-packet capture\n"
    "                                   URBs, 12 in flight); burst: the tone on for\n"
    "                                   200 ms, off for 300 ms; prints onset times,\n"
    "                                   a reading a second and stream play/record\n"
    "                                   summaries; detach-after: unplug the device\n"
    "                                   MS into the stream (prints stream detached)\n";

namespace {

constexpr uint32_t PACKET_BYTES = 96;  // 1 ms of 48 kHz 16-bit mono
constexpr uint32_t SAMPLE_RATE = 48000;
constexpr uint32_t SAMPLES_PER_MS = 48;
constexpr uint8_t SPEAKER_EP = 0x01;
constexpr uint8_t MICROPHONE_EP = 0x82;
constexpr uint32_t MAX_SECONDS = 3600;
constexpr uint32_t MAX_PACKETS = 64;
constexpr uint32_t MAX_URBS = 32;
constexpr uint64_t BURST_PERIOD_MS = 500;
constexpr uint64_t BURST_ON_MS = 200;
constexpr double QUIET_DBFS = -50.0;
constexpr double LOUD_DBFS = -30.0;
constexpr double AUDIBLE_DBFS = -60.0;
constexpr double DIP_DB = 3.0;
constexpr size_t BLOCK_SAMPLES = 480;  // 10 ms
constexpr int DRAIN_TIMEOUT_MS = 2000;
constexpr int UNLINK_TIMEOUT_MS = 1000;
constexpr double PI = 3.14159265358979323846;

int64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

double level_of(const int16_t* s, size_t n) {
    double sum = 0;
    for (size_t i = 0; i < n; ++i) sum += double(s[i]) * s[i];
    if (n == 0 || sum <= 0) return -120.0;
    return 10.0 * std::log10(sum / double(n) / (32768.0 * 32768.0));
}

int parse_count(const std::string& word, uint32_t low, uint32_t high, uint32_t* value) {
    if (parse_number(word, high, value) != 0 || *value < low) return -1;
    return 0;
}

int parse_real(const std::string& word, double low, double high, double* value) {
    char* end = nullptr;
    const double v = strtod(word.c_str(), &end);
    if (end == word.c_str() || *end != 0 || !(v >= low && v <= high)) return -1;
    *value = v;
    return 0;
}

class Streamer {
  public:
    Streamer(const StreamCommand& cmd, HostConnection& conn, HostOutput& out)
        : m_cmd(cmd),
          m_conn(conn),
          m_out(out),
          m_amplitude(32767.0 * std::pow(10.0, cmd.level_dbfs / 20.0)) {}

    int run() {
        if (!m_cmd.record_path.empty() && m_wav.open(m_cmd.record_path.c_str(), SAMPLE_RATE) != 0)
            m_out.error("stream: cannot write " + m_cmd.record_path);
        {
            std::lock_guard lock(m_mutex);
            m_running = true;
            for (uint32_t i = 0; i < m_cmd.out_urbs; ++i) submit_play();
            for (uint32_t i = 0; i < m_cmd.in_urbs; ++i) submit_record();
        }
        m_out.line("stream started");
        const auto start = std::chrono::steady_clock::now();
        const auto until = start + std::chrono::seconds(m_cmd.seconds);
        const auto detach_at = start + std::chrono::milliseconds(m_cmd.detach_after_ms);
        while (std::chrono::steady_clock::now() < until && m_conn.alive()) {
            if (m_cmd.detach_after_ms > 0 && std::chrono::steady_clock::now() >= detach_at) {
                m_conn.drop();
                m_out.line("stream detached");
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        stop();
        m_wav.close();
        report();
        return m_conn.alive() ? 0 : -1;
    }

  private:
    // Ends the stream as the Linux driver does: the capture URBs still
    // pending are unlinked at once, playback drains.
    void stop() {
        std::set<uint32_t> pending;
        {
            std::lock_guard lock(m_mutex);
            m_running = false;
            pending = m_record_pending;
        }
        size_t unlinked = 0;
        for (uint32_t seqnum : pending) {
            int32_t status = 0;
            if (m_conn.unlink(seqnum, UNLINK_TIMEOUT_MS, &status) ==
                HostConnection::UNLINK_ANSWERED)
                ++unlinked;
        }
        std::unique_lock lock(m_mutex);
        m_drained.wait_for(lock, std::chrono::milliseconds(DRAIN_TIMEOUT_MS),
                           [&] { return m_play_pending.empty() && m_record_pending.empty(); });
        m_unlinked = unlinked;
    }

    bool gate(uint64_t sample) const {
        if (m_cmd.tone_hz <= 0) return false;
        return !m_cmd.burst || (sample / SAMPLES_PER_MS) % BURST_PERIOD_MS < BURST_ON_MS;
    }

    // Under m_mutex.
    void submit_play() {
        UrbRequest req;
        req.type = UrbType::ISO;
        req.endpoint = SPEAKER_EP;
        req.interval = 1;
        req.buffer_length = m_cmd.out_packets * PACKET_BYTES;
        req.out_data.resize(req.buffer_length);
        int64_t onset = -1;
        for (uint32_t i = 0; i < req.buffer_length / 2; ++i, ++m_play_sample) {
            const bool on = gate(m_play_sample);
            if (on && !m_play_gate) onset = i;
            m_play_gate = on;
            double v = 0;
            if (on) {
                const double cycles =
                    std::fmod(double(m_play_sample) * m_cmd.tone_hz / SAMPLE_RATE, 1.0);
                v = m_amplitude * std::sin(2 * PI * cycles);
            }
            put_le16(&req.out_data[2 * i], uint16_t(int16_t(std::lround(v))));
        }
        for (uint32_t p = 0; p < m_cmd.out_packets; ++p)
            req.iso.push_back({p * PACKET_BYTES, PACKET_BYTES, 0, 0});
        uint32_t seqnum = 0;
        if (m_conn.submit(
                req, [this](uint32_t s, const UrbResult& r) { play_done(s, r); }, &seqnum) != 0)
            return;
        m_play_pending[seqnum] = onset;
    }

    void submit_record() {
        UrbRequest req;
        req.type = UrbType::ISO;
        req.endpoint = MICROPHONE_EP;
        req.interval = 1;
        req.buffer_length = m_cmd.in_packets * PACKET_BYTES;
        for (uint32_t p = 0; p < m_cmd.in_packets; ++p)
            req.iso.push_back({p * PACKET_BYTES, PACKET_BYTES, 0, 0});
        uint32_t seqnum = 0;
        if (m_conn.submit(
                req, [this](uint32_t s, const UrbResult& r) { record_done(s, r); }, &seqnum) != 0)
            return;
        m_record_pending.insert(seqnum);
    }

    void play_done(uint32_t seqnum, const UrbResult& r) {
        const int64_t now = monotonic_ns();
        std::lock_guard lock(m_mutex);
        const auto it = m_play_pending.find(seqnum);
        if (it == m_play_pending.end()) return;
        const int64_t onset = it->second;
        m_play_pending.erase(it);
        if (!r.unlinked && r.status == 0) {
            const size_t bytes = m_cmd.out_packets * PACKET_BYTES;
            m_play_stats.completed(now, bytes);
            if (onset >= 0) {
                // The device's clock reached the onset this long before the
                // URB's end.
                const int64_t after = int64_t(bytes / 2) - onset;
                m_out.linef("onset played at %lld us",
                            (long long)((now - after * 1'000'000'000 / SAMPLE_RATE) / 1000));
            }
        } else if (!r.unlinked) {
            m_out.error(strfmt("stream: playback URB %u status %d", seqnum, r.status));
        }
        if (m_running) submit_play();
        if (m_play_pending.empty()) m_drained.notify_all();
    }

    void record_done(uint32_t seqnum, const UrbResult& r) {
        const int64_t now = monotonic_ns();
        std::lock_guard lock(m_mutex);
        if (m_record_pending.erase(seqnum) == 0) return;
        if (!r.unlinked && r.status == 0) {
            m_record_stats.completed(now, r.data.size());
            note_recorded(r.data, now);
        } else if (!r.unlinked) {
            m_out.error(strfmt("stream: capture URB %u status %d", seqnum, r.status));
        }
        if (m_running) submit_record();
        if (m_record_pending.empty()) m_drained.notify_all();
    }

    void note_recorded(const std::vector<uint8_t>& data, int64_t now) {
        std::vector<int16_t> samples(data.size() / 2);
        for (size_t i = 0; i < samples.size(); ++i) samples[i] = int16_t(get_le16(&data[2 * i]));
        m_wav.write_samples(samples.data(), samples.size());
        m_second.add(samples.data(), samples.size());
        const double level = level_of(samples.data(), samples.size());
        if (m_quiet && level > LOUD_DBFS) {
            m_out.linef("onset recorded at %lld us", (long long)(now / 1000));
            m_quiet = false;
        } else if (level < QUIET_DBFS) {
            m_quiet = true;
        }
        for (int16_t s : samples) {
            m_block.push_back(s);
            if (m_block.size() < BLOCK_SAMPLES) continue;
            const double block_level = level_of(m_block.data(), m_block.size());
            m_total.add(m_block.data(), m_block.size());
            if (block_level > AUDIBLE_DBFS) {
                m_audible.add(m_block.data(), m_block.size());
                m_block_levels.push_back(block_level);
            }
            m_block.clear();
        }
        if (m_second.reading().samples >= SAMPLE_RATE) {
            const ToneReading t = m_second.reading();
            m_out.linef("stream rx: tone %.1f Hz level %.1f dBFS", t.frequency_hz, t.level_dbfs);
            m_second.reset();
        }
    }

    void report() {
        std::lock_guard lock(m_mutex);
        m_out.line("stream play: " + m_play_stats.summary());
        std::vector<double> levels = m_block_levels;
        std::sort(levels.begin(), levels.end());
        const double median = percentile(levels, 0.5);
        const size_t dips = size_t(std::count_if(levels.begin(), levels.end(),
                                                 [&](double l) { return l < median - DIP_DB; }));
        const ToneReading t = m_total.reading();
        const ToneReading audible = m_audible.reading();
        m_out.line("stream record: " + m_record_stats.summary() +
                   strfmt(" tone=%.1f Hz level=%.1f dBFS blocks=%zu dips=%zu unlinked=%zu",
                          t.frequency_hz, audible.level_dbfs, levels.size(), dips, m_unlinked));
    }

    const StreamCommand m_cmd;
    HostConnection& m_conn;
    HostOutput& m_out;
    const double m_amplitude;

    std::mutex m_mutex;  // everything below; the callbacks run on the reader thread
    std::condition_variable m_drained;
    bool m_running = false;
    std::map<uint32_t, int64_t> m_play_pending;  // seqnum -> onset sample in the URB, or -1
    std::set<uint32_t> m_record_pending;
    uint64_t m_play_sample = 0;
    bool m_play_gate = false;
    StreamStats m_play_stats;
    StreamStats m_record_stats;
    WavWriter m_wav;
    ToneMeter m_second{SAMPLE_RATE};
    ToneMeter m_total{SAMPLE_RATE};    // frequency over the whole stream
    ToneMeter m_audible{SAMPLE_RATE};  // level over its audible blocks
    std::vector<int16_t> m_block;
    std::vector<double> m_block_levels;
    bool m_quiet = true;
    size_t m_unlinked = 0;
};

}  // namespace

int parse_stream_command(const std::vector<std::string>& words, StreamCommand* cmd,
                         std::string* error) {
    *cmd = StreamCommand();
    bool ok = words.size() >= 2 && parse_count(words[1], 1, MAX_SECONDS, &cmd->seconds) == 0;
    for (size_t i = 2; ok && i < words.size(); ++i) {
        const std::string& key = words[i];
        const bool has_value = i + 1 < words.size();
        if (key == "burst") {
            cmd->burst = true;
        } else if (!has_value) {
            ok = false;
        } else if (key == "play") {
            ok = parse_real(words[++i], 1, 23999, &cmd->tone_hz) == 0;
        } else if (key == "level") {
            ok = parse_real(words[++i], -90, 0, &cmd->level_dbfs) == 0;
        } else if (key == "record") {
            cmd->record_path = words[++i];
        } else if (key == "out-packets") {
            ok = parse_count(words[++i], 1, MAX_PACKETS, &cmd->out_packets) == 0;
        } else if (key == "out-urbs") {
            ok = parse_count(words[++i], 1, MAX_URBS, &cmd->out_urbs) == 0;
        } else if (key == "in-packets") {
            ok = parse_count(words[++i], 1, MAX_PACKETS, &cmd->in_packets) == 0;
        } else if (key == "in-urbs") {
            ok = parse_count(words[++i], 1, MAX_URBS, &cmd->in_urbs) == 0;
        } else if (key == "detach-after") {
            ok = parse_count(words[++i], 1, MAX_SECONDS * 1000, &cmd->detach_after_ms) == 0;
        } else {
            ok = false;
        }
    }
    if (!ok) {
        *error =
            "usage: stream SECONDS [play HZ] [level DBFS] [burst] [record FILE] "
            "[out-packets N] [out-urbs N] [in-packets N] [in-urbs N] [detach-after MS]";
        return -1;
    }
    return 0;
}

int run_stream_command(const StreamCommand& cmd, HostConnection& conn, HostOutput& out) {
    Streamer streamer(cmd, conn, out);
    return streamer.run();
}
