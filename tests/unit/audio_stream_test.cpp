// The streaming endpoints: sample halving, the pacing grid, the byte FIFO,
// the request's packet table, and both workers answering requests on a
// recording bus (no call open, so no RTP), paced by a manual clock.
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
#include "support/controller_fixture.h"

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

// How long a worker may take to reach its next sleep, in real time, before
// the test gives up on it: a guard against a hung worker, far beyond what
// any load delays it.
constexpr int GUARD_MS = 10000;

// The workers on the main window's manual clock. The clock moves only while
// the worker under test sleeps on it, so every completion time is exact.
class AudioWorkers : public ControllerFixture {
  protected:
    // Records each reply with the time of the manual clock.
    class ClockedBus : public FakeBus {
      public:
        explicit ClockedBus(quor::Clock& clock) : clock_(clock) {}
        int write_reply(const uint8_t* pdu, size_t len) override {
            std::lock_guard lk(mu);
            add(pdu, len);
            writes.push_back(1);
            return 0;
        }
        size_t write_replies(const Reply* r, size_t count) override {
            std::lock_guard lk(mu);
            for (size_t i = 0; i < count; ++i) add(r[i].pdu, r[i].len);
            writes.push_back(count);
            return count;
        }
        size_t count() {
            std::lock_guard lk(mu);
            return replies.size();
        }
        std::vector<int64_t> at;
        std::vector<size_t> writes;  // replies in each write

      private:
        void add(const uint8_t* pdu, size_t len) {
            replies.emplace_back(pdu, pdu + len);
            at.push_back(clock_.now_ms());
        }
        quor::Clock& clock_;
    };

    void SetUp() override {
        ControllerFixture::SetUp();
        Start();
        reset_worker_state(shutdown_);
    }
    void TearDown() override {
        StopWorker();
        reset_worker_state(shutdown_);
        ControllerFixture::TearDown();
    }
    void StartPlayback() {
        worker_ = std::thread(dealwith_audio_pb_buf, std::ref(clock), std::ref(bus));
        alive_ = &g_dev.pb_worker_alive;
        ASSERT_TRUE(wait_until([] { return g_dev.pb_worker_alive == 1; }, GUARD_MS));
    }
    void StartCapture() {
        worker_ = std::thread(dealwith_audio_cp_buf, std::ref(clock), std::ref(bus));
        alive_ = &g_dev.cp_worker_alive;
        ASSERT_TRUE(wait_until([] { return g_dev.cp_worker_alive == 1; }, GUARD_MS));
    }
    // Raises SOFTDEV_SHUTDOWN and moves the clock while the worker sleeps
    // on it, until it has ended.
    void StopWorker() {
        if (!worker_.joinable()) return;
        shutdown_->set();
        while (*alive_ == 1) {
            if (clock.sleepers() > 0) clock.advance(1);
            std::this_thread::yield();
        }
        worker_.join();
    }
    // Requests queued together, as the bus reader queues a burst: one
    // wake-up for all of them, so no stale wake-up is left for later.
    void QueuePlayback(std::initializer_list<Submit> burst) {
        Queue(g_dev.pb_queue, *pb_complete_, burst);
    }
    void QueueCapture(std::initializer_list<Submit> burst) {
        Queue(g_dev.cp_queue, *cp_complete_, burst);
    }
    void WaitAsleep() {
        ASSERT_TRUE(wait_until([&] { return clock.sleepers() == 1; }, GUARD_MS))
            << "at " << clock.now_ms();
    }
    // Moves the clock on by MS, a millisecond at a time, each while the
    // worker sleeps on it; it sleeps again at the end.
    void Run(int64_t ms) {
        for (int64_t i = 0; i < ms; ++i) {
            WaitAsleep();
            clock.advance(1);
        }
        WaitAsleep();
    }
    // Lets the worker poll its empty queue POLLS times, after which it
    // waits for requests again.
    void RunDry(int polls) {
        for (int i = 0; i < polls; ++i) {
            WaitAsleep();
            clock.advance(1);
        }
    }
    // Runs the clock until N replies were written; their times.
    std::vector<int64_t> RunUntilReplies(size_t n) {
        while (bus.count() < n) {
            if (!wait_until([&] { return clock.sleepers() == 1 || bus.count() >= n; }, GUARD_MS)) {
                ADD_FAILURE() << "the worker neither sleeps nor answers at " << clock.now_ms();
                break;
            }
            if (bus.count() < n) clock.advance(1);
        }
        std::lock_guard lk(bus.mu);
        return bus.at;
    }
    Bytes Reply(size_t i) {
        std::lock_guard lk(bus.mu);
        return bus.replies.at(i);
    }

    ClockedBus bus{clock};
    // Held for the test's length, so that what is set before a worker opens
    // them is still there when it does.
    EventHandle pb_complete_ = open_named_event(EVENT_PB_COMPLETE, EventReset::AUTO);
    EventHandle cp_complete_ = open_named_event(EVENT_CP_COMPLETE, EventReset::AUTO);
    EventHandle shutdown_ = open_named_event(EVENT_SOFTDEV_SHUTDOWN, EventReset::MANUAL);

  private:
    void Queue(RequestQueue& queue, Event& complete, std::initializer_list<Submit> burst) {
        for (const Submit& s : burst) {
            const Bytes b = converted(s);
            queue.push(b.data(), b.size());
        }
        complete.set();
    }

    std::thread worker_;
    std::atomic<int>* alive_ = nullptr;
};

TEST_F(AudioWorkers, PlaybackAnswersTenPacketRequestsTenMillisecondsApart) {
    StartPlayback();
    for (uint32_t i = 0; i < 5; ++i) QueuePlayback({playback_request(100 + i, 10, 96, 0)});
    EXPECT_EQ(RunUntilReplies(5), (std::vector<int64_t>{10, 20, 30, 40, 50}));
    for (size_t i = 0; i < 5; ++i) {
        const Bytes r = Reply(i);
        ASSERT_EQ(r.size(), 208u);
        EXPECT_EQ(get_le32(&r[USBIP_COMMAND]), USBIP_RET_SUBMIT);
        EXPECT_EQ(get_le32(&r[USBIP_SEQNUM]), 100 + i);
        EXPECT_EQ(get_le32(&r[USBIP_LENGTH]), 0u);
        EXPECT_EQ(get_le32(&r[USBIP_PACKETS]), 10u);
        for (uint32_t k = 0; k < 10; ++k) {
            const uint8_t* d = &r[48 + 16 * k];
            EXPECT_EQ(get_le32(d), 96 * k);
            EXPECT_EQ(get_le32(d + 4), 96u);
            EXPECT_EQ(get_le32(d + 8), 96u);
            EXPECT_EQ(get_le32(d + 12), 0u);
        }
    }
}

TEST_F(AudioWorkers, PlaybackPacesLinuxRequestsByTheAudioTheyCarry) {
    StartPlayback();
    for (uint32_t i = 0; i < 20; ++i) QueuePlayback({playback_request(i, 6, 96, 0)});
    const std::vector<int64_t> at = RunUntilReplies(20);
    for (size_t i = 0; i < 20; ++i) EXPECT_EQ(at[i], int64_t(6 * (i + 1))) << i;
    const Bytes last = Reply(19);
    ASSERT_EQ(last.size(), 48u + 6 * 16);
    EXPECT_EQ(get_le32(&last[USBIP_PACKETS]), 6u);
    uint32_t sum = 0;
    for (int k = 0; k < 6; ++k) sum += get_le32(&last[48 + 16 * k + 8]);
    EXPECT_EQ(sum, 576u);
}

TEST_F(AudioWorkers, PlaybackStartsANewGridWhenItWakesAfterRunningDry) {
    StartPlayback();
    QueuePlayback({playback_request(1, 10, 96, 0), playback_request(2, 10, 96, 0)});
    EXPECT_EQ(RunUntilReplies(2), (std::vector<int64_t>{10, 20}));
    RunDry(200);          // 200 empty polls: the worker waits again
    clock.advance(1000);  // idle at 1220
    QueuePlayback({playback_request(3, 10, 96, 0), playback_request(4, 10, 96, 0)});
    EXPECT_EQ(RunUntilReplies(4), (std::vector<int64_t>{10, 20, 1230, 1240}));
}

TEST_F(AudioWorkers, PlaybackStartsANewGridWhenTheSpeakerIsSwitchedOn) {
    StartPlayback();
    QueuePlayback({playback_request(1, 10, 96, 0)});
    EXPECT_EQ(RunUntilReplies(1), (std::vector<int64_t>{10}));
    Run(15);  // still polling at 25; its grid's next step is 20
    select_stream(*dlg, 1, 1);
    QueuePlayback({playback_request(2, 10, 96, 0)});  // found at the poll of 26
    EXPECT_EQ(RunUntilReplies(2), (std::vector<int64_t>{10, 36}));
}

// A completion that comes late is followed by shorter waits, not by a grid
// shifted by the delay.
TEST_F(AudioWorkers, PlaybackCatchesUpAfterALateCompletion) {
    StartPlayback();
    QueuePlayback({playback_request(1, 10, 96, 0)});
    EXPECT_EQ(RunUntilReplies(1), (std::vector<int64_t>{10}));
    Run(15);  // the next requests are found at the poll of 26, after the step at 20
    for (uint32_t i = 2; i <= 4; ++i) QueuePlayback({playback_request(i, 10, 96, 0)});
    EXPECT_EQ(RunUntilReplies(4), (std::vector<int64_t>{10, 26, 30, 40}));
}

TEST_F(AudioWorkers, CaptureKeepsItsGridUntilTheMicrophoneIsSwitchedOnAgain) {
    StartCapture();
    select_stream(*dlg, 2, 1);
    QueueCapture({capture_request(1, 10, 96), capture_request(2, 10, 96)});
    EXPECT_EQ(RunUntilReplies(2), (std::vector<int64_t>{10, 20}));
    RunDry(201);          // 201 empty polls: the worker waits again
    clock.advance(1000);  // idle at 1221
    QueueCapture({capture_request(3, 10, 96), capture_request(4, 10, 96)});
    // The old grid's steps 30 and 40 are long past: both at once, in one
    // write.
    EXPECT_EQ(RunUntilReplies(4), (std::vector<int64_t>{10, 20, 1221, 1221}));
    {
        std::lock_guard lk(bus.mu);
        EXPECT_EQ(bus.writes, (std::vector<size_t>{1, 1, 2}));
    }
    WaitAsleep();  // polling again, the next poll at 1222
    select_stream(*dlg, 2, 1);
    QueueCapture({capture_request(5, 10, 96)});
    EXPECT_EQ(RunUntilReplies(5).back(), 1232);
}

TEST_F(AudioWorkers, CaptureOfOneMillisecondRequestsKeepsAOneMillisecondGrid) {
    StartCapture();
    select_stream(*dlg, 2, 1);
    for (uint32_t i = 0; i < 100; ++i) QueueCapture({capture_request(i, 1, 96)});
    const std::vector<int64_t> at = RunUntilReplies(100);
    for (size_t i = 0; i < 100; ++i) EXPECT_EQ(at[i], int64_t(i + 1)) << i;
}

TEST_F(AudioWorkers, CaptureCarriesSilenceBeforeThePhoneSendsAnything) {
    StartCapture();
    select_stream(*dlg, 2, 1);
    QueueCapture({capture_request(1, 10, 96)});
    QueueCapture({capture_request(2, 1, 96)});
    RunUntilReplies(2);
    const Bytes ten = Reply(0);
    ASSERT_EQ(ten.size(), 1168u);
    EXPECT_EQ(get_le32(&ten[USBIP_LENGTH]), 960u);
    EXPECT_EQ(get_le32(&ten[USBIP_DIRECTION]), USBIP_DIR_IN);
    EXPECT_EQ(get_le32(&ten[USBIP_EP]), 2u);
    EXPECT_EQ(Bytes(ten.begin() + 48, ten.begin() + 48 + 960), Bytes(960, 0));
    EXPECT_EQ(get_le32(&ten[48 + 960 + 9 * 16]), 864u);
    EXPECT_EQ(get_le32(&ten[48 + 960 + 9 * 16 + 8]), 96u);
    const Bytes one = Reply(1);
    ASSERT_EQ(one.size(), 48u + 96 + 16);
    EXPECT_EQ(get_le32(&one[USBIP_LENGTH]), 96u);
    EXPECT_EQ(get_le32(&one[USBIP_PACKETS]), 1u);
    EXPECT_EQ(get_le32(&one[48 + 96 + 8]), 96u);
}

TEST_F(AudioWorkers, MalformedRequestsAreDroppedAndTheNextIsAnswered) {
    StartPlayback();
    Bytes bad = playback_request(1, 10, 96, 0).wire();
    bad.resize(bad.size() - 20);
    usbip_header_to_host(bad.data());
    g_dev.pb_queue.push(bad.data(), bad.size());
    QueuePlayback({playback_request(2, 10, 96, 0)});
    RunUntilReplies(1);
    EXPECT_EQ(get_le32(&Reply(0)[USBIP_SEQNUM]), 2u);
}

TEST_F(AudioWorkers, ShutdownLeavesQueuedRequestsUnanswered) {
    StartPlayback();
    QueuePlayback({playback_request(1, 10, 96, 0), playback_request(2, 10, 96, 0)});
    WaitAsleep();
    StopWorker();  // the first is answered at 10, the second never
    EXPECT_EQ(g_dev.pb_worker_alive, 0);
    EXPECT_EQ(bus.count(), 1u);
    std::vector<uint8_t> left;
    ASSERT_TRUE(g_dev.pb_queue.pop(&left));
    EXPECT_EQ(pdu_word(left.data(), USBIP_SEQNUM), 2u);
}

}  // namespace
}  // namespace quor::test
