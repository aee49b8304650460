// Input reports on the interrupt endpoint: which report answers a request,
// their bytes, the GRUU pieces, and the worker's send window and pacing.
#include <atomic>
#include <thread>

#include "soft_dev/dev_globals.h"
#include "soft_dev/gruu_store.h"
#include "soft_dev/interrupt_reports.h"
#include "soft_dev/lync_state.h"
#include "soft_dev/request_queue.h"
#include "support/controller_fixture.h"
#include "unit/lync_test_support.h"

namespace quor::test {
namespace {

// A bus whose replies can be refused, as when the host unlinked the request.
class RefusingBus : public FakeBus {
  public:
    std::atomic<bool> refuse{false};
    int write_reply(const uint8_t* pdu, size_t len) override {
        if (refuse) return -1;
        return FakeBus::write_reply(pdu, len);
    }
};

std::vector<uint8_t> InterruptRequest(uint32_t seqnum) {
    Submit s;
    s.seqnum = seqnum;
    s.ep = 3;
    s.length = 64;
    return Converted(s);
}

std::string Repeat(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += char('A' + i % 26);
    return s;
}

void ClearFlags() {
    for (std::atomic<int>* f :
         {&g_lync.signout_request_pending, &g_lync.hungup_pre_pending, &g_lync.hungup_pending,
          &g_lync.ack_report_pending, &g_lync.signin_failed_pending, &g_lync.signin_request_pending,
          &g_lync.gruu_pending, &g_lync.hid_send_window})
        *f = 0;
    release_gruu();
}

class Reports : public ::testing::Test {
  protected:
    void SetUp() override { ClearFlags(); }
    void TearDown() override { ClearFlags(); }
    InterruptReport Answer() { return answer_interrupt_request(bus, InterruptRequest(++seq)); }
    Bytes Data(size_t i) const { return Bytes(bus.replies[i].begin() + 48, bus.replies[i].end()); }
    // Answers until nothing is left to say; the GRUU text the pieces carry,
    // reassembled the way Lync does, and the number of pieces.
    std::string TakeGruu(int* pieces) {
        std::string text;
        size_t total = 0;
        *pieces = 0;
        while (Answer() == InterruptReport::GRUU_PIECE) {
            const Bytes d = Data(bus.replies.size() - 1);
            EXPECT_EQ(d.size(), 33u);
            ++*pieces;
            if (d[1] == 0x42) {
                total = d[2];
                text.assign(d.begin() + 4, d.end());
            } else {
                text.append(d.begin() + 2, d.end());
            }
        }
        return text.substr(0, total);
    }

    RefusingBus bus;
    uint32_t seq = 0;
};

TEST_F(Reports, RaisedFlagsGoOutInPriorityOrderEachOnce) {
    g_lync.signin_request_pending = 1;
    g_lync.signin_failed_pending = 1;
    g_lync.ack_report_pending = 1;
    g_lync.hungup_pending = 1;
    g_lync.hungup_pre_pending = 1;
    g_lync.signout_request_pending = 1;
    ASSERT_EQ(set_gruu("sip:a@b"), 0);
    LogCapture log;
    std::vector<InterruptReport> order;
    for (int i = 0; i < 10; ++i) order.push_back(Answer());
    EXPECT_EQ(order, (std::vector<InterruptReport>{
                         InterruptReport::SIGNOUT_REQUEST, InterruptReport::HUNGUP_PRE,
                         InterruptReport::HUNGUP, InterruptReport::ACKNOWLEDGE,
                         InterruptReport::SIGNIN_FAILED, InterruptReport::SIGNIN_REQUEST,
                         InterruptReport::GRUU_PIECE, InterruptReport::GRUU_PIECE,
                         InterruptReport::NOTHING, InterruptReport::NOTHING}));
    EXPECT_EQ(log.text(),
              "HID MSG: signout_request\nHID MSG: hungup_pre\nHID MSG: hungup\n"
              "HID MSG: signin_failed\nHID MSG: signin_request\n"
              "GRUU: Now send gruu data.\nGRUU: Gruu data send finished.\n");
}

TEST_F(Reports, ReportBytesAndTheirEchoingHeaders) {
    g_lync.signout_request_pending = 1;
    Answer();
    g_lync.hungup_pre_pending = g_lync.hungup_pending = 1;
    Answer();
    Answer();
    g_lync.ack_report_pending = 1;
    Answer();
    g_lync.signin_failed_pending = 1;
    Answer();
    g_lync.signin_request_pending = 1;
    Answer();
    Answer();
    auto vendor = [](Bytes head) {
        head.resize(33, 0);
        return head;
    };
    ASSERT_EQ(bus.replies.size(), 7u);
    EXPECT_EQ(Data(0), vendor({0x04, 0xC2}));
    EXPECT_EQ(Data(1), (Bytes{0x01, 0x00, 0x00}));
    EXPECT_EQ(Data(2), (Bytes{0x01, 0x03, 0x00}));
    EXPECT_EQ(Data(3), vendor({0x04, 0xC1, 0x02, 0x00}));
    EXPECT_EQ(Data(4), vendor({0x04, 0xC3, 0x04, 0x00, 0x05, 0x40}));
    EXPECT_EQ(Data(5), vendor({0x04, 0xC3, 0x04, 0x00}));
    EXPECT_TRUE(Data(6).empty());
    const size_t sizes[] = {81, 51, 51, 81, 81, 81, 48};
    for (size_t i = 0; i < 7; ++i) {
        const Bytes& r = bus.replies[i];
        EXPECT_EQ(r.size(), sizes[i]);
        EXPECT_EQ(pdu_word(r.data(), USBIP_SEQNUM), i + 1);
        EXPECT_EQ(pdu_word(r.data(), USBIP_EP), 3u);
        EXPECT_EQ(pdu_word(r.data(), USBIP_DIRECTION), USBIP_DIR_IN);
        EXPECT_EQ(pdu_word(r.data(), USBIP_LENGTH), sizes[i] - 48);
    }
}

TEST_F(Reports, UndeliveredAnswerKeepsItsFlagForTheNextRequest) {
    g_lync.hungup_pre_pending = g_lync.hungup_pending = 1;
    bus.refuse = true;
    EXPECT_EQ(Answer(), InterruptReport::HUNGUP_PRE);
    EXPECT_EQ(g_lync.hungup_pre_pending, 1);
    bus.refuse = false;
    EXPECT_EQ(Answer(), InterruptReport::HUNGUP_PRE);
    EXPECT_EQ(Answer(), InterruptReport::HUNGUP);
    EXPECT_EQ(g_lync.hungup_pre_pending + g_lync.hungup_pending, 0);
}

TEST_F(Reports, GruuPieceArithmetic) {
    struct Case {
        size_t len;
        int pieces;
    };
    for (const Case c : {Case{1, 2}, Case{29, 2}, Case{30, 2}, Case{59, 2}, Case{60, 3},
                         Case{91, 4}, Case{254, 9}, Case{255, 9}}) {
        const std::string gruu = Repeat(c.len);
        ASSERT_EQ(set_gruu(gruu.c_str()), 0);
        int pieces = 0;
        EXPECT_EQ(TakeGruu(&pieces), gruu) << c.len;
        EXPECT_EQ(pieces, c.pieces) << c.len;
        EXPECT_EQ(g_lync.gruu_pending, 0);
    }
}

TEST_F(Reports, GruuOfTwentyNineBytesEndsWithAnEmptyLastPiece) {
    ASSERT_EQ(set_gruu(Repeat(29).c_str()), 0);
    Answer();
    Answer();
    Bytes first = {0x04, 0x42, 29, 0x00};
    const std::string text = Repeat(29);
    first.insert(first.end(), text.begin(), text.end());
    EXPECT_EQ(Data(0), first);
    Bytes last(33, 0);
    last[0] = 0x04;
    last[1] = 0x82;
    EXPECT_EQ(Data(1), last);
}

TEST_F(Reports, GruuOfSixtyBytesIsFirstMiddleAndEmptyLast) {
    const std::string gruu = Repeat(60);
    ASSERT_EQ(set_gruu(gruu.c_str()), 0);
    Answer();
    Answer();
    Answer();
    ASSERT_EQ(bus.replies.size(), 3u);
    const Bytes middle = Data(1);
    EXPECT_EQ(middle[1], 0x02);
    EXPECT_EQ(std::string(middle.begin() + 2, middle.end()), gruu.substr(29));
    EXPECT_EQ(Data(2)[1], 0x82);
    EXPECT_EQ(Data(2)[2], 0x00);
}

TEST_F(Reports, SendGruuRestartsATransferAndResendsAFinishedOne) {
    const std::string gruu = Repeat(100);
    ASSERT_EQ(set_gruu(gruu.c_str()), 0);
    Answer();
    Answer();
    LogCapture log;
    EXPECT_EQ(send_gruu(), 0);
    int pieces = 0;
    EXPECT_EQ(TakeGruu(&pieces), gruu);
    EXPECT_EQ(pieces, 4);
    EXPECT_EQ(send_gruu(), 0);
    EXPECT_EQ(TakeGruu(&pieces), gruu);
    EXPECT_EQ(count_of(log.text(), "GRUU: send gruu()\n"), 2u);
}

TEST_F(Reports, UndeliveredGruuPieceIsSentAgain) {
    const std::string gruu = Repeat(70);
    ASSERT_EQ(set_gruu(gruu.c_str()), 0);
    Answer();
    bus.refuse = true;
    Answer();
    bus.refuse = false;
    int pieces = 0;
    while (Answer() == InterruptReport::GRUU_PIECE) ++pieces;
    EXPECT_EQ(pieces, 2);  // the middle piece again, then the last
    const Bytes middle = Data(1);
    EXPECT_EQ(std::string(middle.begin() + 2, middle.end()), gruu.substr(29, 31));
}

TEST_F(Reports, GruuStoreEdges) {
    LogCapture log;
    EXPECT_EQ(send_gruu(), -1);
    EXPECT_EQ(g_lync.gruu_pending, 0);
    EXPECT_EQ(set_gruu(nullptr), -1);
    ASSERT_EQ(set_gruu("sip:x"), 0);
    EXPECT_EQ(set_gruu(""), 0);  // discards the stored one
    EXPECT_EQ(choose_interrupt_report(), InterruptReport::NOTHING);
    EXPECT_EQ(send_gruu(), -1);
    EXPECT_EQ(set_gruu(Repeat(256).c_str()), -1);
    EXPECT_EQ(send_gruu(), -1);
    ASSERT_EQ(set_gruu("sip:y"), 0);
    release_gruu();
    EXPECT_EQ(g_lync.gruu_pending, 1);  // keeps its value, but nothing is armed
    EXPECT_EQ(choose_interrupt_report(), InterruptReport::NOTHING);
    EXPECT_EQ(log.text(),
              "GRUU: send gruu()\nGRUU: Fail gruu is NULL\nGRUU: Set gruu Success! gruu: sip:x\n"
              "GRUU: Set gruu failed!\nGRUU: send gruu()\nGRUU: Fail gruu is NULL\n"
              "GRUU: gruu longer than 255 bytes refused\nGRUU: send gruu()\n"
              "GRUU: Fail gruu is NULL\nGRUU: Set gruu Success! gruu: sip:y\n");
}

TEST_F(Reports, GruuStoreIsSafeAgainstItsThreeWritersAndTheWorker) {
    {
        LogCapture quiet;
        std::thread setter([] {
            for (int i = 0; i < 2000; ++i) set_gruu(Repeat(size_t(1 + i % 254)).c_str());
        });
        std::thread resender([] {
            for (int i = 0; i < 2000; ++i) send_gruu();
        });
        std::thread releaser([] {
            for (int i = 0; i < 2000; ++i) release_gruu();
        });
        for (int i = 0; i < 4000; ++i) Answer();
        setter.join();
        resender.join();
        releaser.join();
    }
    for (const Bytes& r : bus.replies) {
        if (r.size() == 48) continue;  // nothing to say
        ASSERT_EQ(r.size(), 81u);
        if (r[49] == 0x42) {
            EXPECT_LE(r[50], 254);
        }
    }
}

// The worker thread on the main window's manual clock.
class Worker : public ControllerFixture {
  protected:
    void SetUp() override {
        ControllerFixture::SetUp();
        Start();
        ClearFlags();
        g_dev.intr_queue.clear();
    }
    void TearDown() override {
        StopWorker();
        ClearFlags();
        g_dev.stop = DEV_RUN;
        ControllerFixture::TearDown();
    }
    void StartWorker() {
        worker = std::thread([this] { result = interrupt_ep_thread(clock, bus); });
        WaitUntil([] { return g_dev.intr_thread_alive == 1; });
    }
    void StopWorker() {
        if (!worker.joinable()) return;
        g_dev.stop = DEV_STOP;
        WaitUntil([] { return g_dev.intr_thread_alive == 0; });
        worker.join();
    }
    // Moves the manual clock on in 10 ms steps, letting the worker run
    // between them, until COND holds; false after 10 s of real time.
    template <typename Cond>
    bool WaitUntil(Cond cond) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!cond()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            clock.advance(10);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
    size_t Replies() {
        std::lock_guard lk(bus.mu);
        return bus.replies.size();
    }
    void Queue(uint32_t seqnum) {
        const std::vector<uint8_t> r = InterruptRequest(seqnum);
        g_dev.intr_queue.push(r.data(), r.size());
    }

    RefusingBus bus;
    std::thread worker;
    int result = 0;
};

TEST_F(Worker, AnswersNothingWhileTheWindowIsClosedThenOnePerHalfSecondInOrder) {
    Queue(11);
    Queue(12);
    Queue(13);
    StartWorker();
    const int64_t start = clock.now_ms();
    ASSERT_TRUE(WaitUntil([&] { return clock.now_ms() - start >= 3000; }));
    EXPECT_EQ(Replies(), 0u);
    EXPECT_EQ(g_dev.intr_queue.size(), 3u);

    g_lync.hid_send_window = 1;
    std::vector<int64_t> at;
    for (size_t n = 1; n <= 3; ++n) {
        ASSERT_TRUE(WaitUntil([&] { return Replies() >= n; }));
        at.push_back(clock.now_ms());
    }
    EXPECT_GE(at[1] - at[0], 480);
    EXPECT_GE(at[2] - at[1], 480);
    std::lock_guard lk(bus.mu);
    for (uint32_t i = 0; i < 3; ++i)
        EXPECT_EQ(pdu_word(bus.replies[i].data(), USBIP_SEQNUM), 11 + i);
}

TEST_F(Worker, StopFreesTheQueueAndClearsTheAliveFlag) {
    Queue(1);
    Queue(2);
    StartWorker();
    StopWorker();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(g_dev.intr_thread_alive, 0);
    EXPECT_EQ(g_dev.intr_queue.size(), 0u);
    EXPECT_EQ(Replies(), 0u);
}

TEST_F(Worker, AlreadyStoppedDeviceEndsAtOnce) {
    g_dev.stop = DEV_STOP;
    Queue(1);
    g_lync.hid_send_window = 1;
    EXPECT_EQ(interrupt_ep_thread(clock, bus), 1);
    EXPECT_EQ(g_dev.intr_queue.size(), 0u);
    EXPECT_EQ(Replies(), 0u);
}

}  // namespace
}  // namespace quor::test
