// The RTP session: packet layout, sample conversion, and the socket against
// a phone on 127.0.0.1 that holds the other end of the SRTP stream (run in a
// network namespace of its own).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "media/media_api.h"
#include "media/rtp_session.h"
#include "media/srtp_keying.h"
#include "support/program_srtp.h"
#include "support/srtp_peer.h"

namespace quor::test {
namespace {

constexpr uint16_t PHONE_PORT = 30000;
constexpr uint16_t OTHER_PORT = 30002;
const std::string PHONE_LINE =
    "1 AES_CM_128_HMAC_SHA1_80 inline:Q7Vdh8bVjCD8PtJjN0k6s8GmDWrYRmA6QPmzfzGd";

std::vector<uint8_t> header_of(uint32_t count, uint32_t ssrc) {
    uint8_t h[RTP_HEADER_LEN];
    build_rtp_header(count, ssrc, h);
    return {h, h + RTP_HEADER_LEN};
}

TEST(RtpPacket, FirstPacketHasTheMarkerSequence1010AndTimestampZero) {
    EXPECT_EQ(header_of(0, 0x01020304),
              (std::vector<uint8_t>{0x80, 0xEC, 0x03, 0xF2, 0, 0, 0, 0, 1, 2, 3, 4}));
    EXPECT_EQ(header_of(1, 0xA0B0C0D0), (std::vector<uint8_t>{0x80, 0x6C, 0x03, 0xF3, 0, 0, 0, 0xA0,
                                                              0xA0, 0xB0, 0xC0, 0xD0}));
}

TEST(RtpPacket, SequenceAndTimestampWrap) {
    const std::vector<uint8_t> before = header_of(64525, 0);
    const std::vector<uint8_t> after = header_of(64526, 0);
    EXPECT_EQ(before[2], 0xFF);
    EXPECT_EQ(before[3], 0xFF);
    EXPECT_EQ(after[2], 0x00);
    EXPECT_EQ(after[3], 0x00);
    EXPECT_EQ(after[1], 0x6C);
    // 26843546 * 160 = 2^32 + 64
    const std::vector<uint8_t> ts = header_of(26843546, 0);
    EXPECT_EQ(std::vector<uint8_t>(ts.begin() + 4, ts.begin() + 8),
              (std::vector<uint8_t>{0, 0, 0, 64}));
}

TEST(Samples, DownsampleKeepsTheFirstOfEveryThreeInNetworkOrder) {
    std::vector<uint8_t> frame(USB_FRAME_BYTES);
    for (size_t i = 0; i < frame.size() / 2; ++i) {
        frame[2 * i] = uint8_t(i + 1);
        frame[2 * i + 1] = uint8_t((i + 1) >> 8);
    }
    uint8_t out[400];
    ASSERT_EQ(downsample_by_3(frame.data(), frame.size(), out, sizeof(out)), 320u);
    samples_to_network(out, 320);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{0, 1, 0, 4, 0, 7}));
    EXPECT_EQ(out[318], 0x01);  // sample 478 = 0x01DE
    EXPECT_EQ(out[319], 0xDE);
}

TEST(Samples, DownsampleOfOtherLengthsStaysInsideBothBuffers) {
    uint8_t in[12] = {1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0};
    uint8_t out[8];
    memset(out, 0xEE, sizeof(out));
    EXPECT_EQ(downsample_by_3(in, 7, out, sizeof(out)), 2u);   // one whole group
    EXPECT_EQ(downsample_by_3(in, 11, out, sizeof(out)), 2u);  // partial group left out
    EXPECT_EQ(downsample_by_3(in, 12, out, sizeof(out)), 4u);
    EXPECT_EQ(downsample_by_3(in, 12, out, 3), 2u);
    EXPECT_EQ(out[4], 0xEE);
    EXPECT_EQ(downsample_by_3(in, 0, out, sizeof(out)), 0u);
}

TEST(Samples, UpsampleRepeatsEachSampleThreeTimesInHostOrder) {
    uint8_t payload[RTP_PAYLOAD_BYTES] = {0x00, 0x07, 0x12, 0x34};
    uint8_t frame[USB_FRAME_BYTES + 6];
    memset(frame, 0xEE, sizeof(frame));
    ASSERT_EQ(upsample_by_3(payload, sizeof(payload), frame, USB_FRAME_BYTES), USB_FRAME_BYTES);
    samples_to_host(frame, USB_FRAME_BYTES);
    EXPECT_EQ(std::vector<uint8_t>(frame, frame + 12),
              (std::vector<uint8_t>{7, 0, 7, 0, 7, 0, 0x34, 0x12, 0x34, 0x12, 0x34, 0x12}));
    EXPECT_EQ(frame[USB_FRAME_BYTES], 0xEE);
    EXPECT_EQ(upsample_by_3(payload, 5, frame, sizeof(frame)), 12u);
    EXPECT_EQ(upsample_by_3(payload, 4, frame, 11), 6u);
}

class RtpSession : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(StartProgramSrtp());
        ASSERT_EQ(open_rtp_socket(PROGRAM_RTP_PORT, PHONE_PORT, LOOPBACK), 0);
        ASSERT_EQ(create_srtp_session(PHONE_LINE.c_str()), 0);
        phone = std::make_unique<SrtpPeer>(PHONE_LINE, g_media.local_crypto, PHONE_SSRC);
        ASSERT_TRUE(phone->ok());
    }
    void TearDown() override {
        close_rtp_socket();
        destroy_srtp_session();
    }

    static std::vector<uint8_t> ramp_frame(int start) {
        std::vector<uint8_t> f(USB_FRAME_BYTES);
        for (size_t i = 0; i < f.size() / 2; ++i) {
            f[2 * i] = uint8_t(start + int(i));
            f[2 * i + 1] = uint8_t((start + int(i)) >> 8);
        }
        return f;
    }
    std::vector<uint8_t> phone_packet(uint16_t seq, const std::vector<uint8_t>& payload) {
        return phone->protect(rtp_packet(seq, PHONE_SSRC, payload));
    }

    static constexpr uint32_t PHONE_SSRC = 0x0BADCAFE;
    PhoneSocket at_phone{PHONE_PORT};
    std::unique_ptr<SrtpPeer> phone;
};

TEST_F(RtpSession, PlaybackFramesReachThePhoneAsNumberedSrtpPackets) {
    for (int i = 0; i < 3; ++i) EXPECT_EQ(send_playback_audio(ramp_frame(1 + i).data(), 960), 0);
    for (uint32_t i = 0; i < 3; ++i) {
        const std::vector<uint8_t> wire = at_phone.receive();
        ASSERT_EQ(wire.size(), RTP_PACKET_LEN + 10) << i;
        const std::vector<uint8_t> plain = phone->unprotect(wire);
        ASSERT_EQ(plain.size(), RTP_PACKET_LEN);
        EXPECT_EQ(std::vector<uint8_t>(plain.begin(), plain.begin() + 12),
                  header_of(i, g_media.rtp_ssrc));
        EXPECT_EQ(plain[12], 0);
        EXPECT_EQ(plain[13], 1 + i);  // first sample of the frame, big-endian
        EXPECT_EQ(plain[15], 4 + i);
    }
}

TEST_F(RtpSession, OversizedFramesAreIgnoredWithoutUsingASequenceNumber) {
    const std::vector<uint8_t> big(15001, 0);
    send_playback_audio(big.data(), big.size());
    EXPECT_TRUE(at_phone.receive(100).empty());
    EXPECT_EQ(g_media.rtp_packet_count, 0u);
    send_playback_audio(ramp_frame(0).data(), 960);
    EXPECT_EQ(phone->unprotect(at_phone.receive())[3], 0xF2);
}

TEST_F(RtpSession, ReceivedPacketsBecome48kHzFrames) {
    std::vector<uint8_t> payload(RTP_PAYLOAD_BYTES, 0);
    payload[1] = 0x07;
    at_phone.send_to_program(phone_packet(100, payload));
    uint8_t frame[USB_FRAME_BYTES];
    ASSERT_EQ(rtp_receive(frame), 0);
    EXPECT_EQ(std::vector<uint8_t>(frame, frame + 8),
              (std::vector<uint8_t>{7, 0, 7, 0, 7, 0, 0, 0}));
    EXPECT_EQ(rtp_receive(frame), -1) << "nothing more is waiting";
}

TEST_F(RtpSession, PacketsOfAnotherLengthAreDropped) {
    uint8_t frame[USB_FRAME_BYTES];
    memset(frame, 0x55, sizeof(frame));
    at_phone.send_to_program(phone_packet(1, std::vector<uint8_t>(319, 1)));
    EXPECT_EQ(rtp_receive(frame), -1);
    at_phone.send_to_program(phone_packet(2, std::vector<uint8_t>(321, 1)));
    EXPECT_EQ(rtp_receive(frame), -1);
    EXPECT_EQ(frame[0], 0x55);
    at_phone.send_to_program(phone_packet(3, std::vector<uint8_t>(320, 1)));
    EXPECT_EQ(rtp_receive(frame), 0);
}

TEST_F(RtpSession, DiscardingDropsEverythingWaiting) {
    for (uint16_t seq = 1; seq <= 3; ++seq)
        at_phone.send_to_program(phone_packet(seq, std::vector<uint8_t>(320, 0)));
    EXPECT_EQ(rtp_discard_waiting(), 3);
    uint8_t frame[USB_FRAME_BYTES];
    EXPECT_EQ(rtp_receive(frame), -1);
    EXPECT_EQ(rtp_discard_waiting(), 0);
    at_phone.send_to_program(phone_packet(4, std::vector<uint8_t>(320, 0)));
    EXPECT_EQ(rtp_receive(frame), 0);
}

TEST_F(RtpSession, ForgedDatagramsDoNotTakeTheRealFramesPlace) {
    PhoneSocket attacker(OTHER_PORT);
    std::vector<uint8_t> forged = phone_packet(20, std::vector<uint8_t>(320, 0x55));
    forged[30] ^= 0x01;
    at_phone.send_to_program(phone_packet(21, std::vector<uint8_t>(320, 0x01)));
    attacker.send_to_program(forged);
    at_phone.send_to_program(phone_packet(22, std::vector<uint8_t>(320, 0x02)));
    uint8_t frame[USB_FRAME_BYTES];
    ASSERT_EQ(rtp_receive(frame), 0);
    EXPECT_EQ(frame[0], 0x01);
    ASSERT_EQ(rtp_receive(frame), 0);
    EXPECT_EQ(frame[0], 0x02);
    EXPECT_EQ(rtp_receive(frame), -1);
}

TEST_F(RtpSession, AnAuthenticatedPacketFromElsewhereRedirectsLaterSends) {
    PhoneSocket moved(OTHER_PORT);
    moved.send_to_program(phone_packet(7, std::vector<uint8_t>(320, 0)));
    uint8_t frame[USB_FRAME_BYTES];
    ASSERT_EQ(rtp_receive(frame), 0);
    send_playback_audio(ramp_frame(0).data(), 960);
    EXPECT_EQ(moved.receive().size(), RTP_PACKET_LEN + 10);
    EXPECT_TRUE(at_phone.receive(100).empty());
}

TEST_F(RtpSession, ForgedOrMisshapenDatagramsDoNotMoveTheCall) {
    PhoneSocket attacker(OTHER_PORT);
    uint8_t frame[USB_FRAME_BYTES];
    std::vector<uint8_t> forged = phone_packet(8, std::vector<uint8_t>(320, 0));
    forged[20] ^= 0xFF;
    const std::vector<std::vector<uint8_t>> bad = {
        forged,
        rtp_packet(9, PHONE_SSRC, std::vector<uint8_t>(330, 0)),  // plain RTP, no tag
        {0x80},
        phone_packet(10, std::vector<uint8_t>(100, 0)),  // authentic but not 10 ms
    };
    for (const auto& d : bad) {
        attacker.send_to_program(d);
        EXPECT_EQ(rtp_receive(frame), -1);
    }
    send_playback_audio(ramp_frame(0).data(), 960);
    EXPECT_EQ(at_phone.receive().size(), RTP_PACKET_LEN + 10);
    EXPECT_TRUE(attacker.receive(100).empty());
}

TEST_F(RtpSession, ASecondOpenWhileOpenFailsAndCloseEndsTheSession) {
    EXPECT_EQ(open_rtp_socket(PROGRAM_RTP_PORT, PHONE_PORT, LOOPBACK), -1);
    close_rtp_socket();
    EXPECT_EQ(g_rtp_socket, -1);
    uint8_t frame[USB_FRAME_BYTES];
    EXPECT_EQ(rtp_receive(frame), -1);
    close_rtp_socket();
    EXPECT_EQ(open_rtp_socket(PROGRAM_RTP_PORT, PHONE_PORT, LOOPBACK), 0);
}

TEST_F(RtpSession, WithoutAContextNothingIsSentOrTaken) {
    destroy_srtp_session();
    send_playback_audio(ramp_frame(0).data(), 960);
    EXPECT_TRUE(at_phone.receive(100).empty());
    at_phone.send_to_program(phone_packet(1, std::vector<uint8_t>(320, 0)));
    uint8_t frame[USB_FRAME_BYTES];
    EXPECT_EQ(rtp_receive(frame), -1);
}

}  // namespace
}  // namespace quor::test
