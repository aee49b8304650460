// Our SRTP against independent implementations (AES_CM_128_HMAC_SHA1_80,
// base64 keys): ffmpeg decodes the call audio we send with our key, and we
// decode what ffmpeg sends with its key (skipped when ffmpeg is not
// installed); and an end written from RFC 3711 follows both directions
// across the wrap of the 16-bit sequence number, which a call longer than
// about eleven minutes crosses. Runs in a network namespace of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "media/media_api.h"
#include "media/rtp_session.h"
#include "media/srtp_keying.h"
#include "platform/byte_order.h"
#include "support/program_srtp.h"
#include "support/rfc3711_srtp.h"
#include "support/srtp_peer.h"
#include "unit/temp_dir.h"

extern char** environ;

namespace quor::test {
namespace {

constexpr uint16_t FFMPEG_PORT = 40000;
constexpr size_t SENT_FRAMES = 300;
constexpr size_t SAMPLES_16K = 160;

bool have_ffmpeg() {
    return system("ffmpeg -hide_banner -version >/dev/null 2>&1") == 0;
}

// Runs ARGS with standard output and error in LOG; the process id or -1.
pid_t spawn(const std::vector<std::string>& args, const std::string& log) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

// The exit code, or -1 when PID had to be killed after TIMEOUT_MS.
int wait_exit(pid_t pid, int timeout_ms = 10000) {
    int status = 0;
    for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; waited += 10) {
        if (waited >= timeout_ms) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The receive queue (bytes) of the UDP socket bound to PORT in this network
// namespace, or -1 while none is.
long udp_queue_at(uint16_t port) {
    std::ifstream udp("/proc/self/net/udp");
    std::string line;
    std::getline(udp, line);  // the column names
    while (std::getline(udp, line)) {
        unsigned local_port = 0;
        unsigned long tx = 0, rx = 0;
        if (sscanf(line.c_str(), " %*d: %*x:%x %*x:%*x %*x %lx:%lx", &local_port, &tx, &rx) == 3 &&
            local_port == port)
            return long(rx);
    }
    return -1;
}

// Polls DONE every millisecond until it holds; false after 10 s.
template <typename Done>
bool wait_for(Done done) {
    for (int waited = 0; !done(); ++waited) {
        if (waited >= 10000) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string key_of(const char* line) {
    const std::string s(line);
    return s.substr(s.find("inline:") + 7);
}

// A sample pattern with no repeats over the run, so the decoded audio can
// be placed in what was sent without doubt.
int16_t pattern(size_t n) {
    return int16_t(uint32_t(n * 2654435761u) >> 16);
}

class SrtpInterop : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
        ASSERT_NO_FATAL_FAILURE(StartProgramSrtp());
    }
    void TearDown() override {
        close_rtp_socket();
        destroy_srtp_session();
    }
    TempDir dir;
};

TEST_F(SrtpInterop, FfmpegDecodesWhatWeSendWithOurKey) {
    const std::string sdp = dir.path + "stream.sdp";
    std::ofstream(sdp) << "v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=call\r\nc=IN IP4 127.0.0.1\r\n"
                          "t=0 0\r\nm=audio "
                       << FFMPEG_PORT
                       << " RTP/SAVP 108\r\na=rtpmap:108 L16/16000/1\r\n"
                          "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:"
                       << key_of(g_media.local_crypto) << "\r\n";
    const std::string raw = dir.path + "decoded.raw";
    const pid_t ffmpeg = spawn(
        {"ffmpeg", "-hide_banner", "-loglevel", "error", "-protocol_whitelist", "file,udp,rtp,srtp",
         "-analyzeduration", "100000", "-i", sdp, "-t", "2", "-f", "s16le", "-y", raw},
        dir.path + "ffmpeg.log");
    ASSERT_GT(ffmpeg, 0);
    ASSERT_EQ(open_rtp_socket(PROGRAM_RTP_PORT, FFMPEG_PORT, LOOPBACK), 0);
    ASSERT_EQ(create_srtp_session(
                  "1 AES_CM_128_HMAC_SHA1_80 inline:Q7Vdh8bVjCD8PtJjN0k6s8GmDWrYRmA6QPmzfzGd"),
              0);
    // What reaches ffmpeg's socket once it is bound waits there for it.
    ASSERT_TRUE(wait_for([] { return udp_queue_at(FFMPEG_PORT) >= 0; }))
        << read_text(dir.path + "ffmpeg.log");

    uint8_t frame[USB_FRAME_BYTES];
    for (size_t f = 0; f < SENT_FRAMES; ++f) {
        for (size_t i = 0; i < USB_FRAME_BYTES / 2; ++i) {
            // Only every third sample survives the 48 -> 16 kHz step.
            const int16_t v = i % 3 == 0 ? pattern(f * SAMPLES_16K + i / 3) : int16_t(-1);
            put_le16(frame + 2 * i, uint16_t(v));
        }
        // No faster than ffmpeg takes them, so its socket never overflows.
        ASSERT_TRUE(wait_for([] { return udp_queue_at(FFMPEG_PORT) < 32768; }));
        send_playback_audio(frame, sizeof(frame));
    }
    // ffmpeg ends by itself after 2 s of audio.
    EXPECT_EQ(wait_exit(ffmpeg), 0) << read_text(dir.path + "ffmpeg.log");

    std::ifstream in(raw, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    const size_t decoded = bytes.size() / 2;
    ASSERT_GE(decoded, SAMPLES_16K * SENT_FRAMES / 2) << read_text(dir.path + "ffmpeg.log");
    size_t start = 0;
    const int16_t first = int16_t(get_le16(bytes.data()));
    while (start < SAMPLES_16K * SENT_FRAMES && pattern(start) != first) ++start;
    ASSERT_LT(start, SAMPLES_16K * SENT_FRAMES) << "decoded audio is not what we sent";
    size_t matching = 0;
    for (size_t i = 0; i < decoded && start + i < SAMPLES_16K * SENT_FRAMES; ++i)
        if (int16_t(get_le16(bytes.data() + 2 * i)) == pattern(start + i)) ++matching;
    EXPECT_EQ(matching, std::min(decoded, SAMPLES_16K * SENT_FRAMES - start));
}

TEST_F(SrtpInterop, WeDecodeWhatFfmpegSendsWithItsKey) {
    const std::string ffmpeg_line =
        "1 AES_CM_128_HMAC_SHA1_80 inline:WVNfX19zZW1jdGwgKCkgewkyMjA7fQp9CnVubGVz";
    ASSERT_EQ(open_rtp_socket(PROGRAM_RTP_PORT, FFMPEG_PORT, LOOPBACK), 0);
    ASSERT_EQ(create_srtp_session(ffmpeg_line.c_str()), 0);
    const pid_t ffmpeg =
        spawn({"ffmpeg",
               "-hide_banner",
               "-loglevel",
               "error",
               "-re",
               "-f",
               "lavfi",
               "-i",
               "sine=frequency=600:sample_rate=16000:samples_per_frame=160:duration=2",
               "-c:a",
               "pcm_s16be",
               "-payload_type",
               "108",
               "-f",
               "rtp",
               "-srtp_out_suite",
               "AES_CM_128_HMAC_SHA1_80",
               "-srtp_out_params",
               key_of(ffmpeg_line.c_str()),
               "srtp://127.0.0.1:" + std::to_string(PROGRAM_RTP_PORT)},
              dir.path + "ffmpeg.log");
    ASSERT_GT(ffmpeg, 0);

    std::vector<int16_t> heard;  // the 16 kHz samples, one of each three
    uint8_t frame[USB_FRAME_BYTES];
    size_t frames = 0;
    bool tripled = true;
    // Each packet as it arrives, until ffmpeg has ended and none waits.
    for (int quiet = 0, ended = 0; ended < 2;) {
        if (rtp_receive(frame) != 0) {
            pollfd p{g_rtp_socket, POLLIN, 0};
            if (poll(&p, 1, 100) == 1) continue;
            if (ended > 0 || waitpid(ffmpeg, nullptr, WNOHANG) == ffmpeg) {
                ++ended;  // one more look after its end
            } else if (++quiet == 100) {
                kill(ffmpeg, SIGKILL);
                waitpid(ffmpeg, nullptr, 0);
                FAIL() << "ffmpeg neither sends nor ends\n" << read_text(dir.path + "ffmpeg.log");
            }
            continue;
        }
        quiet = 0;
        ++frames;
        for (size_t i = 0; i < USB_FRAME_BYTES / 2; i += 3) {
            const uint16_t s = get_le16(frame + 2 * i);
            tripled &= get_le16(frame + 2 * i + 2) == s && get_le16(frame + 2 * i + 4) == s;
            heard.push_back(int16_t(s));
        }
    }
    EXPECT_GE(frames, 190u) << read_text(dir.path + "ffmpeg.log");
    EXPECT_TRUE(tripled);
    size_t crossings = 0, first = 0, last = 0;
    int16_t peak = 0;
    for (size_t i = 1; i < heard.size(); ++i) {
        peak = std::max(peak, heard[i]);
        if (heard[i - 1] < 0 && heard[i] >= 0) {
            if (crossings++ == 0) first = i;
            last = i;
        }
    }
    ASSERT_GE(crossings, 100u);
    const double hz = double(crossings - 1) * 16000.0 / double(last - first);
    EXPECT_NEAR(hz, 600.0, 6.0);
    EXPECT_GT(peak, 3000);  // ffmpeg's sine is at an eighth of full scale
    EXPECT_LT(peak, 5000);
}

// The RFC 3711 end against the standard's own key derivation example.
TEST(Rfc3711Peer, DerivesTheSessionKeysOfTheStandardsExample) {
    const std::vector<uint8_t> master = {
        0xE1, 0xF9, 0x7A, 0x0D, 0x3E, 0x01, 0x8B, 0xE0, 0xD6, 0x4F, 0xA3, 0x2C, 0x06, 0xDE, 0x41,
        0x39, 0x0E, 0xC6, 0x75, 0xAD, 0x49, 0x8A, 0xFE, 0xEB, 0xB6, 0x96, 0x0B, 0x3A, 0xAB, 0xE6};
    const Rfc3711Srtp srtp(master);
    ASSERT_TRUE(srtp.ok());
    const auto hex = [](const uint8_t* b, size_t n) {
        std::string s;
        char h[3];
        for (size_t i = 0; i < n; ++i) {
            snprintf(h, sizeof(h), "%02X", b[i]);
            s += h;
        }
        return s;
    };
    EXPECT_EQ(hex(srtp.cipher_key(), 16), "C61E7A93744F39EE10734AFE3FF7A087");
    EXPECT_EQ(hex(srtp.cipher_salt(), 14), "30CBBC08863D8C85D49DB34A9AE1");
    EXPECT_EQ(hex(srtp.auth_key(), 20), "CEBE321F6FF7716B6FD4AB49AF256A156D38BAA4");
}

constexpr uint16_t PHONE_PORT = 30000;
constexpr uint32_t PHONE_SSRC = 0x5EED;
const std::string PHONE_LINE =
    "1 AES_CM_128_HMAC_SHA1_80 inline:Q7Vdh8bVjCD8PtJjN0k6s8GmDWrYRmA6QPmzfzGd";
// Packets on each side of the wrap: sequence numbers 65532 to 65535, then
// 0 to 5.
constexpr uint32_t WRAP_FIRST = 65532;
constexpr uint32_t WRAP_PACKETS = 10;

class SequenceWrap : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(StartProgramSrtp());
        ASSERT_EQ(open_rtp_socket(PROGRAM_RTP_PORT, PHONE_PORT, LOOPBACK), 0);
        ASSERT_EQ(create_srtp_session(PHONE_LINE.c_str()), 0);
    }
    void TearDown() override {
        close_rtp_socket();
        destroy_srtp_session();
    }
    PhoneSocket at_phone{PHONE_PORT};
};

TEST_F(SequenceWrap, OurPacketsStayAuthenticAcrossTheWrap) {
    {
        // Packet 64522 of the call carries sequence number 1010 + 64522.
        std::lock_guard lk(g_media.lock);
        g_media.rtp_packet_count = WRAP_FIRST - 1010;
    }
    Rfc3711Srtp phone(master_of_line(g_media.local_crypto));
    ASSERT_TRUE(phone.ok());
    for (uint32_t n = 0; n < WRAP_PACKETS; ++n) {
        const int16_t value = int16_t(100 * (n + 1));
        std::vector<uint8_t> frame(USB_FRAME_BYTES);
        for (size_t i = 0; i < frame.size(); i += 2) put_le16(&frame[i], uint16_t(value));
        send_playback_audio(frame.data(), frame.size());
        const std::vector<uint8_t> wire = at_phone.receive();
        ASSERT_EQ(wire.size(), RTP_PACKET_LEN + SRTP_TAG_LEN) << n;
        EXPECT_EQ(get_be16(&wire[2]), uint16_t(WRAP_FIRST + n)) << n;
        const std::vector<uint8_t> plain = phone.unprotect(wire);
        ASSERT_EQ(plain.size(), RTP_PACKET_LEN) << "packet " << n << " not authentic";
        EXPECT_EQ(int16_t(get_be16(&plain[12])), value) << n;
        EXPECT_EQ(int16_t(get_be16(&plain[RTP_PACKET_LEN - 2])), value) << n;
    }
    EXPECT_EQ(phone.roc(), 1u);
}

TEST_F(SequenceWrap, ThePhonesPacketsAreTakenAcrossTheWrap) {
    const Rfc3711Srtp phone(master_of_line(PHONE_LINE));
    ASSERT_TRUE(phone.ok());
    for (uint32_t n = 0; n < WRAP_PACKETS; ++n) {
        const uint64_t index = WRAP_FIRST + n;  // rollover counter 1 from the fifth on
        const int16_t value = int16_t(-100 * int(n + 1));
        std::vector<uint8_t> payload(RTP_PAYLOAD_BYTES);
        for (size_t i = 0; i < payload.size(); i += 2) put_be16(&payload[i], uint16_t(value));
        std::vector<uint8_t> packet = rtp_packet(uint16_t(index), PHONE_SSRC, payload);
        put_be32(&packet[4], uint32_t(index * 160));
        at_phone.send_to_program(phone.protect(packet, index));
        uint8_t frame[USB_FRAME_BYTES];
        ASSERT_EQ(rtp_receive(frame), 0) << "packet " << n << " refused";
        EXPECT_EQ(int16_t(get_le16(frame)), value) << n;
        EXPECT_EQ(int16_t(get_le16(frame + USB_FRAME_BYTES - 2)), value) << n;
    }
}

}  // namespace
}  // namespace quor::test
