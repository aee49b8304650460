#include "sim_media.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/base64.h"
#include "link/ctrl_frame.h"
#include "platform/byte_order.h"
#include "sim_state.h"

namespace {

constexpr const char* CRYPTO_PREFIX = "1 AES_CM_128_HMAC_SHA1_80 inline:";
constexpr size_t SAMPLES_PER_PACKET = 160;  // 10 ms at 16 kHz
constexpr uint32_t SAMPLE_RATE = 16000;
constexpr uint8_t PAYLOAD_TYPE = 108;
constexpr size_t HEADER_LEN = 12;
constexpr int64_t PACKET_NS = 10'000'000;
constexpr int BURST_PERIOD_PACKETS = 50;  // 500 ms
constexpr int BURST_ON_PACKETS = 20;      // 200 ms
constexpr int PACKETS_PER_REPORT = 100;   // one line a second
constexpr double QUIET_DBFS = -50.0;
constexpr double LOUD_DBFS = -30.0;
// Packets that belong to the call's audio rather than to silence around it.
constexpr double AUDIBLE_DBFS = -60.0;
constexpr uint16_t MAX_SEQ_GAP = 3000;
constexpr size_t MAX_PACKET_SAMPLES = 1024;
constexpr double PI = 3.14159265358979323846;

int64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void sleep_until_ns(int64_t when) {
    timespec ts{time_t(when / 1'000'000'000), long(when % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

double level_of(const int16_t* s, size_t n) {
    double sum = 0;
    for (size_t i = 0; i < n; ++i) sum += double(s[i]) * s[i];
    if (n == 0 || sum <= 0) return -120.0;
    return 10.0 * std::log10(sum / double(n) / (32768.0 * 32768.0));
}

// Puts NUMBER into the low bit of the first 32 samples: its 16 bits, then
// the same bits inverted (a halved or silent copy cannot pass for a mark).
void mark_frame(int16_t* samples, uint16_t number) {
    for (int i = 0; i < 16; ++i) {
        const int bit = (number >> i) & 1;
        samples[i] = int16_t((samples[i] & ~1) | bit);
        samples[16 + i] = int16_t((samples[16 + i] & ~1) | (bit ^ 1));
    }
}

template <typename T>
int random_value(T* out) {
    return getrandom(out, sizeof(T), 0) == ssize_t(sizeof(T)) ? 0 : -1;
}

// Our own key and its crypto line.
int make_crypto_line(std::string* line) {
    uint8_t key[30];
    char text[64];
    if (getrandom(key, sizeof(key), 0) != ssize_t(sizeof(key))) return -1;
    if (quor::base64_encode(key, sizeof(key), text, sizeof(text)) < 0) return -1;
    *line = std::string(CRYPTO_PREFIX) + text;
    return 0;
}

int bind_loopback_udp(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Where the payload of an RTP packet of LEN bytes starts and how long it is;
// false when the header does not fit.
bool locate_payload(const uint8_t* p, size_t len, size_t* at, size_t* size) {
    if (len < HEADER_LEN || (p[0] >> 6) != 2) return false;
    size_t hdr = HEADER_LEN + 4 * size_t(p[0] & 0x0F);
    if (p[0] & 0x10) {
        if (hdr + 4 > len) return false;
        hdr += 4 + 4 * size_t(get_be16(p + hdr + 2));
    }
    const size_t padding = (p[0] & 0x20) ? p[len - 1] : 0;
    if (hdr + padding > len) return false;
    *at = hdr;
    *size = len - hdr - padding;
    return true;
}

}  // namespace

int SimMedia::start(const uint8_t* offer, size_t len, uint8_t* answer, size_t answer_size) {
    stop();
    std::lock_guard lock(m_control);
    if (len < 4 + 1) return -1;
    m_connector_port = uint16_t(get_be32(offer) & 0xFFFF);
    const std::string connector_line(reinterpret_cast<const char*>(offer + 4),
                                     strnlen(reinterpret_cast<const char*>(offer + 4), len - 4));
    std::string own_line;
    const char* why = nullptr;
    if (make_crypto_line(&own_line) != 0 || random_value(&m_ssrc) != 0 ||
        random_value(&m_seq) != 0 || random_value(&m_timestamp) != 0) {
        m_out.event("note: media: no random numbers");
        return -1;
    }
    if (4 + own_line.size() + 1 > answer_size) return -1;
    if (m_srtp.create(own_line, connector_line, m_ssrc, &why) != 0) {
        m_out.event("note: media: %s", why);
        return -1;
    }
    m_fd = bind_loopback_udp(m_opt.port);
    if (m_fd < 0) {
        m_out.event("note: media: cannot bind 127.0.0.1:%u: %s", m_opt.port, strerror(errno));
        m_srtp.destroy();
        return -1;
    }
    if (!m_opt.record_path.empty() && m_wav.open(m_opt.record_path.c_str(), SAMPLE_RATE) != 0)
        m_out.event("note: media: cannot write %s", m_opt.record_path.c_str());

    m_sent = m_received = m_lost = m_dropped = m_played = 0;
    {
        std::lock_guard playout(m_playout_mutex);
        m_playout = SimPlayout{};
    }
    m_faults.reset();
    m_have_seq = false;
    m_quiet = true;
    m_phase = 0;
    m_second.reset();
    m_total.reset();
    m_audible.reset();
    m_running = true;
    m_receiver = std::thread(&SimMedia::receive_loop, this);
    if (m_opt.skewed_clock) m_player = std::thread(&SimMedia::playout_loop, this);
    if (!m_opt.echo) m_sender = std::thread(&SimMedia::send_loop, this);
    m_out.event("media started: phone port %u, connector port %u, %s", m_opt.port, m_connector_port,
                m_opt.echo          ? "echo"
                : m_opt.tone_hz > 0 ? "tone"
                                    : "silence");
    if (m_opt.skewed_clock) m_out.event("media clock: %+.0f ppm", m_opt.clock_skew_ppm);

    put_be32(answer, m_opt.port);
    memcpy(answer + 4, own_line.c_str(), own_line.size() + 1);
    return int(4 + own_line.size() + 1);
}

void SimMedia::stop() {
    std::lock_guard lock(m_control);
    if (!m_running.exchange(false)) return;
    if (m_sender.joinable()) m_sender.join();
    if (m_receiver.joinable()) m_receiver.join();
    m_playout_ready.notify_all();
    if (m_player.joinable()) m_player.join();
    close(m_fd);
    m_fd = -1;
    m_srtp.destroy();
    m_wav.close();
    const ToneReading r = m_total.reading();
    const ToneReading audible = m_audible.reading();
    const uint64_t received = m_received, lost = m_lost;
    const uint64_t expected = received + lost;
    char playout[128] = "";
    if (m_opt.skewed_clock)
        snprintf(playout, sizeof(playout), ", played %llu, repeated %llu, skipped %llu",
                 (unsigned long long)m_playout.played(), (unsigned long long)m_playout.repeated(),
                 (unsigned long long)m_playout.dropped());
    m_out.event(
        "media summary: rx %llu packets, lost %llu (%.2f%%), dropped %llu, tone %.1f Hz, "
        "level %.1f dBFS, tx %llu packets, %u faulty%s",
        (unsigned long long)received, (unsigned long long)lost,
        expected ? 100.0 * double(lost) / double(expected) : 0.0, (unsigned long long)m_dropped,
        r.frequency_hz, audible.level_dbfs, (unsigned long long)m_sent, m_faults.injected(),
        playout);
}

int64_t SimMedia::real_time_at(int64_t start, int64_t media_ns) const {
    if (!m_opt.skewed_clock) return start + media_ns;
    return start + std::llround(double(media_ns) / (1.0 + m_opt.clock_skew_ppm / 1e6));
}

void SimMedia::send_loop() {
    const double amplitude = 32767.0 * std::pow(10.0, m_opt.level_dbfs / 20.0);
    const double step = 2 * PI * m_opt.tone_hz / SAMPLE_RATE;
    // Each send time is worked out from the start, so the pacing does not
    // drift by rounding.
    const int64_t start = monotonic_ns();
    for (int packet = 0; m_running; ++packet) {
        sleep_until_ns(real_time_at(start, (int64_t(packet) + 1) * PACKET_NS));
        int16_t samples[SAMPLES_PER_PACKET] = {};
        const int in_burst = packet % BURST_PERIOD_PACKETS;
        const bool on = m_opt.tone_hz > 0 && (!m_opt.burst || in_burst < BURST_ON_PACKETS);
        if (on) {
            for (int16_t& s : samples) {
                s = int16_t(std::lround(amplitude * std::sin(m_phase)));
                m_phase = std::fmod(m_phase + step, 2 * PI);
            }
        } else {
            m_phase = 0;
        }
        if (m_opt.frame_marks) mark_frame(samples, uint16_t(packet));
        send_packet(samples);
        if (on && (packet == 0 || (m_opt.burst && in_burst == 0)))
            m_out.event("onset sent at %lld us", (long long)(monotonic_ns() / 1000));
    }
}

void SimMedia::send_packet(const int16_t* samples) {
    uint8_t buf[HEADER_LEN + 2 * SAMPLES_PER_PACKET + SRTP_KIT_TRAILER_ROOM];
    std::lock_guard lock(m_send_mutex);
    buf[0] = 0x80;
    buf[1] = uint8_t((m_sent == 0 ? 0x80 : 0) | PAYLOAD_TYPE);
    put_be16(buf + 2, m_seq++);
    put_be32(buf + 4, m_timestamp);
    m_timestamp += SAMPLES_PER_PACKET;
    put_be32(buf + 8, m_ssrc);
    for (size_t i = 0; i < SAMPLES_PER_PACKET; ++i)
        put_be16(buf + HEADER_LEN + 2 * i, uint16_t(samples[i]));
    int len = int(HEADER_LEN + 2 * SAMPLES_PER_PACKET);
    if (m_srtp.protect(buf, &len) != 0) return;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(m_connector_port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (const RtpFaultInjector::Datagram& d : m_faults.shape(buf, size_t(len))) {
        const ssize_t n = sendto(m_fd, d.bytes.data(), d.bytes.size(), MSG_NOSIGNAL,
                                 reinterpret_cast<sockaddr*>(&to), sizeof(to));
        if (n == ssize_t(d.bytes.size()) && !d.faulty) ++m_sent;
    }
    if (RtpFault spent; m_faults.take_spent(&spent))
        m_out.event("rtp fault spent: %s", rtp_fault_name(spent));
}

void SimMedia::receive_loop() {
    uint8_t buf[2048];
    while (m_running) {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, SIM_TICK_MS) <= 0) continue;
        const ssize_t n = recv(m_fd, buf, sizeof(buf), 0);
        if (n <= 0) continue;
        int len = int(n);
        size_t at = 0, size = 0;
        if (m_srtp.unprotect(buf, &len) != 0 || !locate_payload(buf, size_t(len), &at, &size) ||
            size % 2 != 0) {
            ++m_dropped;
            continue;
        }
        if (!accept_sequence(get_be16(buf + 2))) continue;
        int16_t samples[MAX_PACKET_SAMPLES];
        const size_t count = std::min(size / 2, MAX_PACKET_SAMPLES);
        for (size_t i = 0; i < count; ++i) samples[i] = int16_t(get_be16(buf + at + 2 * i));
        if (!m_opt.skewed_clock) {
            play(samples, count);
            continue;
        }
        {
            std::lock_guard lock(m_playout_mutex);
            m_playout.push(samples, count);
        }
        m_playout_ready.notify_one();
    }
}

bool SimMedia::accept_sequence(uint16_t seq) {
    if (m_have_seq) {
        const uint16_t gap = uint16_t(seq - m_last_seq - 1);
        if (gap >= MAX_SEQ_GAP) return false;
        m_lost += gap;
    }
    m_have_seq = true;
    m_last_seq = seq;
    ++m_received;
    return true;
}

// Plays one packet each 10 ms of the media clock, from one packet time after
// the first arrival: that margin absorbs the connector's jitter.
void SimMedia::playout_loop() {
    {
        std::unique_lock lock(m_playout_mutex);
        while (m_running && m_playout.waiting() == 0)
            m_playout_ready.wait_for(lock, std::chrono::milliseconds(SIM_TICK_MS));
    }
    const int64_t start = monotonic_ns();
    std::vector<int16_t> frame;
    for (int64_t tick = 1; m_running; ++tick) {
        sleep_until_ns(real_time_at(start, tick * PACKET_NS));
        uint64_t played = 0, repeated = 0, skipped = 0;
        {
            std::lock_guard lock(m_playout_mutex);
            if (!m_playout.take(&frame)) continue;
            played = m_playout.played();
            repeated = m_playout.repeated();
            skipped = m_playout.dropped();
        }
        play(frame.data(), frame.size());
        if (played % PACKETS_PER_REPORT == 0)
            m_out.event("media playout at %lld us: %llu frames, %llu repeated, %llu skipped",
                        (long long)(monotonic_ns() / 1000), (unsigned long long)played,
                        (unsigned long long)repeated, (unsigned long long)skipped);
    }
}

void SimMedia::play(const int16_t* samples, size_t count) {
    m_wav.write_samples(samples, count);
    m_second.add(samples, count);
    const double level = level_of(samples, count);
    m_total.add(samples, count);
    if (level > AUDIBLE_DBFS) m_audible.add(samples, count);
    if (m_quiet && level > LOUD_DBFS) {
        m_out.event("onset heard at %lld us", (long long)(monotonic_ns() / 1000));
        m_quiet = false;
    } else if (level < QUIET_DBFS) {
        m_quiet = true;
    }
    if (m_opt.echo && count == SAMPLES_PER_PACKET) send_packet(samples);
    if (++m_played % PACKETS_PER_REPORT == 0) {
        const ToneReading r = m_second.reading();
        m_out.event("media rx: %llu packets, lost %llu, tone %.1f Hz, level %.1f dBFS",
                    (unsigned long long)m_received.load(), (unsigned long long)m_lost.load(),
                    r.frequency_hz, r.level_dbfs);
        m_second.reset();
    }
}
