// The streaming endpoints: sample halving, the pacing grid, the byte FIFO,
// the request's packet table, and both workers answering requests on a
// recording bus (no call open, so no RTP).
#include "soft_dev/audio_stream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "media/media_api.h"
#include "platform/event.h"
#include "soft_dev/audio_pacer.h"
#include "soft_dev/dev_globals.h"
#include "soft_dev/iso_request.h"
#include "soft_dev/lync_state.h"
#include "soft_dev/request_queue.h"
#include "soft_dev/sample_fifo.h"
#include "soft_dev/softdev_thread.h"
#include "soft_dev/usbip_pdu.h"
#include "support/audio_worker_fixture.h"

namespace quor::test {
namespace {

TEST(HalveSamples, FadesTowardZeroFromBothSides) {
    uint8_t buf[4];
    put_le16(buf, 3);
    put_le16(buf + 2, uint16_t(-3));
    const int16_t want[][2] = {{1, -1}, {0, 0}, {0, 0}};
    for (const auto& w : want) {
        ASSERT_EQ(halve_samples(buf, sizeof(buf)), 0);
        EXPECT_EQ(int16_t(get_le16(buf)), w[0]);
        EXPECT_EQ(int16_t(get_le16(buf + 2)), w[1]);
    }
    put_le16(buf, uint16_t(-32768));
    halve_samples(buf, 2);
    EXPECT_EQ(int16_t(get_le16(buf)), -16384);
}

TEST(HalveSamples, RefusesMissingEmptyAndOddBuffers) {
    uint8_t buf[3] = {8, 0, 8};
    EXPECT_EQ(halve_samples(nullptr, 2), -1);
    EXPECT_EQ(halve_samples(buf, 0), -1);
    EXPECT_EQ(halve_samples(buf, 3), -1);
    EXPECT_EQ(buf[0], 8);
    EXPECT_EQ(buf[2], 8);
}

TEST(AudioPacer, TenMillisecondsPer960BytesFromTheBase) {
    AudioPacer p;
    p.rebase(1000);
    EXPECT_EQ(p.next_completion(960), 1010);
    EXPECT_EQ(p.next_completion(960), 1020);
    p.rebase(5000);
    EXPECT_EQ(p.next_completion(576), 5006);  // 6 packets of 96 bytes
    EXPECT_EQ(p.next_completion(96), 5007);
}

TEST(AudioPacer, FractionsOfAMillisecondDoNotAccumulate) {
    AudioPacer p;
    p.rebase(0);
    int64_t last = 0;
    for (int i = 0; i < 96; ++i) last = p.next_completion(50);  // 4800 bytes = 50 ms
    EXPECT_EQ(last, 50);
}

TEST(SampleFifo, KeepsOrderAndRefusesWhatItDoesNotHold) {
    SampleFifo f;
    const uint8_t a[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(f.push(a, 5), 5u);
    uint8_t out[8] = {};
    EXPECT_FALSE(f.pop(out, 6));
    EXPECT_TRUE(f.pop(out, 2));
    EXPECT_EQ(out[1], 2);
    EXPECT_TRUE(f.pop(out, 3));
    EXPECT_EQ(out[0], 3);
    EXPECT_EQ(f.size(), 0u);
    std::vector<uint8_t> big(SampleFifo::CAPACITY + 10, 9);
    EXPECT_EQ(f.push(big.data(), big.size()), SampleFifo::CAPACITY);
}

TEST(IsoLayout, ReadsThePacketsOfARequestAndEchoesThemInTheReply) {
    Bytes pdu = converted(playback_request(7, 6, 96, 0));
    IsoLayout layout;
    ASSERT_EQ(read_iso_layout(pdu.data(), pdu.size(), &layout), 0);
    EXPECT_EQ(layout.number_of_packets, 6u);
    ASSERT_EQ(layout.count, 6u);
    EXPECT_EQ(layout.slice[5].offset, 480u);
    EXPECT_EQ(layout.slice[5].length, 96u);
    layout.slice[5].actual = 50;
    uint8_t d[6 * 16];
    ASSERT_EQ(put_iso_descriptors(layout, d), sizeof(d));
    EXPECT_EQ(get_le32(d + 5 * 16), 480u);
    EXPECT_EQ(get_le32(d + 5 * 16 + 8), 50u);
    EXPECT_EQ(get_le32(d + 5 * 16 + 12), 0u);
}

TEST(IsoLayout, RefusesTruncatedRequestsAndEmptiesPacketsOutsideTheBuffer) {
    Submit s = playback_request(1, 2, 96, 0);
    s.iso[1].offset = 150;  // 150 + 96 > 192
    Bytes pdu = converted(s);
    IsoLayout layout;
    ASSERT_EQ(read_iso_layout(pdu.data(), pdu.size(), &layout), 0);
    EXPECT_EQ(layout.slice[1].length, 0u);
    EXPECT_EQ(read_iso_layout(pdu.data(), pdu.size() - 1, &layout), -1);
    EXPECT_EQ(read_iso_layout(pdu.data(), 40, &layout), -1);
    put_le32(pdu.data() + USBIP_PACKETS, 100000);
    EXPECT_EQ(read_iso_layout(pdu.data(), pdu.size(), &layout), -1);
}

class AudioWorkers : public WorkerFixture {};

TEST_F(AudioWorkers, PlaybackAnswersTenPacketRequestsTenMillisecondsApart) {
    start_workers();
    const auto woke = Clock::now();
    for (uint32_t i = 0; i < 5; ++i) queue_playback(playback_request(100 + i, 10, 96, 0));
    ASSERT_TRUE(bus.wait_for_replies(5));
    for (size_t i = 0; i < 5; ++i) {
        const TimedReply r = bus.reply(i);
        ASSERT_EQ(r.pdu.size(), 208u);
        EXPECT_EQ(get_le32(&r.pdu[USBIP_COMMAND]), USBIP_RET_SUBMIT);
        EXPECT_EQ(get_le32(&r.pdu[USBIP_SEQNUM]), 100 + i);
        EXPECT_EQ(get_le32(&r.pdu[USBIP_LENGTH]), 0u);
        EXPECT_EQ(get_le32(&r.pdu[USBIP_PACKETS]), 10u);
        for (uint32_t k = 0; k < 10; ++k) {
            const uint8_t* d = &r.pdu[48 + 16 * k];
            EXPECT_EQ(get_le32(d), 96 * k);
            EXPECT_EQ(get_le32(d + 4), 96u);
            EXPECT_EQ(get_le32(d + 8), 96u);
            EXPECT_EQ(get_le32(d + 12), 0u);
        }
        // Never early; the upper bound only guards against a stuck worker.
        EXPECT_GE(ms_between(woke, r.at), 10.0 * double(i + 1) - 1.0) << i;
        EXPECT_LT(ms_between(woke, r.at), 10.0 * double(i + 1) + 80.0) << i;
    }
}

TEST_F(AudioWorkers, PlaybackPacesLinuxRequestsByTheAudioTheyCarry) {
    start_workers();
    const auto woke = Clock::now();
    for (uint32_t i = 0; i < 20; ++i) queue_playback(playback_request(i, 6, 96, 0));
    ASSERT_TRUE(bus.wait_for_replies(20));
    const TimedReply last = bus.reply(19);
    EXPECT_GE(ms_between(woke, last.at), 119.0);
    EXPECT_LT(ms_between(woke, last.at), 220.0);
    ASSERT_EQ(last.pdu.size(), 48u + 6 * 16);
    EXPECT_EQ(get_le32(&last.pdu[USBIP_PACKETS]), 6u);
    uint32_t sum = 0;
    for (int k = 0; k < 6; ++k) sum += get_le32(&last.pdu[48 + 16 * k + 8]);
    EXPECT_EQ(sum, 576u);
}

TEST_F(AudioWorkers, CaptureCarriesSilenceBeforeThePhoneSendsAnything) {
    start_workers();
    cp_stream_started = 1;
    clear_last_capture_frame();
    queue_capture(capture_request(1, 10, 96));
    queue_capture(capture_request(2, 1, 96));
    ASSERT_TRUE(bus.wait_for_replies(2));
    const TimedReply ten = bus.reply(0);
    ASSERT_EQ(ten.pdu.size(), 1168u);
    EXPECT_EQ(get_le32(&ten.pdu[USBIP_LENGTH]), 960u);
    EXPECT_EQ(get_le32(&ten.pdu[USBIP_DIRECTION]), USBIP_DIR_IN);
    EXPECT_EQ(get_le32(&ten.pdu[USBIP_EP]), 2u);
    EXPECT_EQ(Bytes(ten.pdu.begin() + 48, ten.pdu.begin() + 48 + 960), Bytes(960, 0));
    EXPECT_EQ(get_le32(&ten.pdu[48 + 960 + 9 * 16]), 864u);
    EXPECT_EQ(get_le32(&ten.pdu[48 + 960 + 9 * 16 + 8]), 96u);
    const TimedReply one = bus.reply(1);
    ASSERT_EQ(one.pdu.size(), 48u + 96 + 16);
    EXPECT_EQ(get_le32(&one.pdu[USBIP_LENGTH]), 96u);
    EXPECT_EQ(get_le32(&one.pdu[USBIP_PACKETS]), 1u);
    EXPECT_EQ(get_le32(&one.pdu[48 + 96 + 8]), 96u);
}

TEST_F(AudioWorkers, CaptureOfOneMillisecondRequestsKeepsAOneMillisecondGrid) {
    start_workers();
    cp_stream_started = 1;
    const auto start = Clock::now();
    for (uint32_t i = 0; i < 100; ++i) queue_capture(capture_request(i, 1, 96));
    ASSERT_TRUE(bus.wait_for_replies(100));
    EXPECT_GE(ms_between(start, bus.reply(99).at), 99.0);
    EXPECT_LT(ms_between(start, bus.reply(99).at), 200.0);
}

TEST_F(AudioWorkers, MalformedRequestsAreDroppedAndTheNextIsAnswered) {
    start_workers();
    Bytes bad = playback_request(1, 10, 96, 0).wire();
    bad.resize(bad.size() - 20);
    usbip_header_to_host(bad.data());
    g_pb_queue.push(bad.data(), bad.size());
    queue_playback(playback_request(2, 10, 96, 0));
    ASSERT_TRUE(bus.wait_for_replies(1));
    EXPECT_EQ(get_le32(&bus.reply(0).pdu[USBIP_SEQNUM]), 2u);
}

TEST_F(AudioWorkers, ShutdownEndsBothWorkersAndLeavesQueuedRequestsUnanswered) {
    start_workers();
    ASSERT_TRUE(wait_until([] { return g_pb_worker_alive == 1 && g_cp_worker_alive == 1; }));
    stop_workers();
    EXPECT_EQ(g_pb_worker_alive, 0);
    EXPECT_EQ(g_cp_worker_alive, 0);
    queue_playback(playback_request(1, 10, 96, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(bus.reply_count(), 0u);
}

}  // namespace
}  // namespace quor::test
