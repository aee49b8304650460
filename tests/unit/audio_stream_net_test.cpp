// The streaming workers during a call: speaker audio reaches a phone on
// 127.0.0.1 as 10 ms SRTP packets whatever the host's request size, and the
// phone's packets fill the microphone's requests (run in a network
// namespace of its own).
#include <gtest/gtest.h>

#include <memory>

#include "media/media_api.h"
#include "media/rtp_session.h"
#include "soft_dev/audio_stream.h"
#include "support/audio_worker_fixture.h"
#include "support/program_srtp.h"
#include "support/srtp_peer.h"

namespace quor::test {
namespace {

constexpr uint16_t PHONE_PORT = 30000;
constexpr uint32_t PHONE_SSRC = 0x600D;
const std::string PHONE_LINE =
    "1 AES_CM_128_HMAC_SHA1_80 inline:Q7Vdh8bVjCD8PtJjN0k6s8GmDWrYRmA6QPmzfzGd";

class CallAudio : public WorkerFixture {
  protected:
    void SetUp() override {
        WorkerFixture::SetUp();
        ASSERT_NO_FATAL_FAILURE(StartProgramSrtp());
        ASSERT_EQ(open_rtp_socket(PROGRAM_RTP_PORT, PHONE_PORT, LOOPBACK), 0);
        ASSERT_EQ(create_srtp_session(PHONE_LINE.c_str()), 0);
        phone = std::make_unique<SrtpPeer>(PHONE_LINE, g_media.local_crypto, PHONE_SSRC);
        ASSERT_TRUE(phone->ok());
    }
    void TearDown() override {
        WorkerFixture::TearDown();
        close_rtp_socket();
        destroy_srtp_session();
    }
    // Sends 10 ms in which every sample is VALUE.
    void phone_sends(uint16_t seq, int16_t value) {
        std::vector<uint8_t> payload(RTP_PAYLOAD_BYTES);
        for (size_t i = 0; i < payload.size(); i += 2) {
            payload[i] = uint8_t(uint16_t(value) >> 8);
            payload[i + 1] = uint8_t(value);
        }
        at_phone.send_to_program(phone->protect(rtp_packet(seq, PHONE_SSRC, payload)));
    }
    // Starts the workers, switches the microphone on and has it read once,
    // silent.
    void start_capturing() {
        start_workers();
        select_stream(controller, 2, 1);
        queue_capture(capture_request(0, 10, 96));
        ASSERT_TRUE(bus.wait_for_replies(1));
    }
    // The samples a capture reply carries.
    std::vector<int16_t> samples_of(size_t reply) {
        const TimedReply r = bus.reply(reply);
        const uint32_t n = get_le32(&r.pdu[USBIP_LENGTH]);
        std::vector<int16_t> out;
        for (uint32_t i = 0; i + 1 < n; i += 2) out.push_back(int16_t(get_le16(&r.pdu[48 + i])));
        return out;
    }

    PhoneSocket at_phone{PHONE_PORT};
    std::unique_ptr<SrtpPeer> phone;
};

TEST_F(CallAudio, SixPacketRequestsReachThePhoneAsContinuousTenMillisecondPackets) {
    start_workers();
    g_lync.pb_stream_started = 1;
    // 20 requests of 6 ms: 120 ms, 12 packets, one ramp across them all.
    for (uint32_t i = 0; i < 20; ++i) queue_playback(playback_request(i, 6, 96, int(i) * 288));
    for (uint32_t n = 0; n < 12; ++n) {
        const std::vector<uint8_t> plain = phone->unprotect(at_phone.receive());
        ASSERT_EQ(plain.size(), RTP_PACKET_LEN) << n;
        EXPECT_EQ((plain[2] << 8) | plain[3], 1010 + int(n));
        for (size_t j = 0; j < 160; j += 53) {
            const int want = int(3 * (160 * n + j));
            EXPECT_EQ((plain[12 + 2 * j] << 8) | plain[13 + 2 * j], want) << n << " " << j;
        }
    }
    EXPECT_TRUE(at_phone.receive(100).empty());
}

TEST_F(CallAudio, TheLastReceivedFrameRepeatsFadingToSilence) {
    start_capturing();
    phone_sends(1, 3);
    for (uint32_t i = 1; i < 5; ++i) queue_capture(capture_request(i, 10, 96));
    ASSERT_TRUE(bus.wait_for_replies(5));
    const int16_t want[] = {3, 3, 1, 0};
    for (size_t i = 0; i < 4; ++i) {
        const std::vector<int16_t> s = samples_of(i + 1);
        ASSERT_EQ(s.size(), 480u);
        EXPECT_EQ(s.front(), want[i]) << i;
        EXPECT_EQ(s.back(), want[i]) << i;
    }
    phone_sends(2, -3);
    for (uint32_t i = 5; i < 8; ++i) queue_capture(capture_request(i, 10, 96));
    ASSERT_TRUE(bus.wait_for_replies(8));
    EXPECT_EQ(samples_of(5).front(), -3);
    EXPECT_EQ(samples_of(6).front(), -3);
    EXPECT_EQ(samples_of(7).front(), -1);
}

TEST_F(CallAudio, OneMillisecondRequestsShareEachFrameOfThePhone) {
    start_capturing();
    phone_sends(1, 100);
    phone_sends(2, 200);
    for (uint32_t i = 1; i <= 20; ++i) queue_capture(capture_request(i, 1, 96));
    ASSERT_TRUE(bus.wait_for_replies(21));
    for (size_t i = 1; i <= 20; ++i) {
        const std::vector<int16_t> s = samples_of(i);
        ASSERT_EQ(s.size(), 48u);
        EXPECT_EQ(s.front(), i <= 10 ? 100 : 200) << i;
        EXPECT_EQ(s.back(), i <= 10 ? 100 : 200) << i;
    }
}

TEST_F(CallAudio, AudioQueuedBeforeTheMicrophoneIsReadIsDropped) {
    phone_sends(1, 7);
    phone_sends(2, 7);
    start_workers();
    select_stream(controller, 2, 1);
    for (uint32_t i = 0; i < 3; ++i) queue_capture(capture_request(i, 10, 96));
    ASSERT_TRUE(bus.wait_for_replies(3));
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(samples_of(i).front(), 0) << i;
    phone_sends(3, 9);
    queue_capture(capture_request(3, 10, 96));
    ASSERT_TRUE(bus.wait_for_replies(4));
    EXPECT_EQ(samples_of(3).front(), 9);
}

// The microphone of a new call repeats nothing of the last call's audio.
TEST_F(CallAudio, ASecondCallStartsSilentWhateverTheFirstEndedWith) {
    start_capturing();
    phone_sends(1, 1000);
    queue_capture(capture_request(1, 10, 96));
    ASSERT_TRUE(bus.wait_for_replies(2));
    ASSERT_EQ(samples_of(1).front(), 1000);
    select_stream(controller, 2, 0);
    close_rtp_socket();
    destroy_srtp_session();

    // The second call's offer brings a new key of ours.
    ASSERT_EQ(make_local_crypto(), 0);
    ASSERT_EQ(open_rtp_socket(PROGRAM_RTP_PORT, PHONE_PORT, LOOPBACK), 0);
    ASSERT_EQ(create_srtp_session(PHONE_LINE.c_str()), 0);
    select_stream(controller, 2, 1);
    queue_capture(capture_request(2, 10, 96));
    ASSERT_TRUE(bus.wait_for_replies(3));
    EXPECT_EQ(samples_of(2), std::vector<int16_t>(480, 0));
}

TEST_F(CallAudio, AfterTheCallClosesThePlaybackIsAnsweredButNothingIsSent) {
    close_rtp_socket();
    start_workers();
    for (uint32_t i = 0; i < 3; ++i) queue_playback(playback_request(i, 10, 96, 0));
    ASSERT_TRUE(bus.wait_for_replies(3));
    EXPECT_TRUE(at_phone.receive(100).empty());
}

}  // namespace
}  // namespace quor::test
