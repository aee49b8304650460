// Request framing and dispatch: byte-order conversion, reply headers,
// routing by endpoint and recipient, the worker queues, the packet records
// and the bus reader loop.
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "base/clock.h"
#include "base/diag_log.h"
#include "platform/event.h"
#include "soft_dev/descriptors.h"
#include "soft_dev/dev_globals.h"
#include "soft_dev/dispatch.h"
#include "soft_dev/soft_dev_hooks.h"
#include "soft_dev/softdev_thread.h"
#include "soft_dev/usbip_pdu.h"
#include "support/fake_controller.h"
#include "unit/soft_dev_test_support.h"

namespace quor::test {
namespace {

TEST(HeaderConversion, SubmitHasAllTenWordsConvertedAndSetupKept) {
    Submit s = control(0x01020304, 0x80, 6, 0x0100, 0, 64);
    s.ep = 0;
    Bytes b = s.wire();
    const Bytes setup(b.begin() + 40, b.end());
    usbip_header_to_host(b.data());
    EXPECT_EQ(pdu_word(b.data(), USBIP_COMMAND), 1u);
    EXPECT_EQ(pdu_word(b.data(), USBIP_SEQNUM), 0x01020304u);
    EXPECT_EQ(pdu_word(b.data(), USBIP_DEVID), 0x00010002u);
    EXPECT_EQ(pdu_word(b.data(), USBIP_DIRECTION), 1u);
    EXPECT_EQ(pdu_word(b.data(), USBIP_LENGTH), 64u);
    EXPECT_EQ(Bytes(b.begin() + 40, b.end()), setup);
}

TEST(HeaderConversion, UnlinkHasOnlyItsFirstFiveWordsConverted) {
    Bytes b = unlink_pdu(9, 0x11223344);
    usbip_header_to_host(b.data());
    EXPECT_EQ(pdu_word(b.data(), USBIP_COMMAND), 2u);
    EXPECT_EQ(pdu_word(b.data(), USBIP_SEQNUM), 9u);
    EXPECT_EQ(Bytes(b.begin() + 20, b.begin() + 24), (Bytes{0x11, 0x22, 0x33, 0x44}));
}

TEST(ReplyHeaders, ControlReplyHasRequestSeqnumAndZeroAddress) {
    Submit s = control(0x102, 0x80, 6, 0x0100, 0, 18);
    s.ep = 0;
    Bytes req = s.wire();
    usbip_header_to_host(req.data());
    uint8_t reply[48];
    memset(reply, 0xEE, sizeof(reply));
    make_ret_header(req.data(), reply, 18);
    EXPECT_EQ(Bytes(reply, reply + 8), (Bytes{0x03, 0, 0, 0, 0x02, 0x01, 0, 0}));
    Bytes expected(48, 0);
    put_le32(&expected[0], 3);
    put_le32(&expected[4], 0x102);
    put_le32(&expected[24], 18);
    EXPECT_EQ(Bytes(reply, reply + 48), expected);
}

TEST(ReplyHeaders, IsoReplyCopiesDirectionEndpointAndPacketCount) {
    Submit s;
    s.seqnum = 77;
    s.direction = USBIP_DIR_IN;
    s.ep = 2;
    s.length = 960;
    s.packets = 10;
    for (uint32_t i = 0; i < 10; ++i) s.iso.push_back({96 * i, 96});
    Bytes req = s.wire();
    usbip_header_to_host(req.data());
    uint8_t reply[48];
    make_iso_ret_header(req.data(), reply, 960);
    EXPECT_EQ(pdu_word(reply, USBIP_COMMAND), 3u);
    EXPECT_EQ(pdu_word(reply, USBIP_SEQNUM), 77u);
    EXPECT_EQ(pdu_word(reply, USBIP_DEVID), 0u);
    EXPECT_EQ(pdu_word(reply, USBIP_DIRECTION), 1u);
    EXPECT_EQ(pdu_word(reply, USBIP_EP), 2u);
    EXPECT_EQ(pdu_word(reply, USBIP_LENGTH), 960u);
    EXPECT_EQ(pdu_word(reply, USBIP_PACKETS), 10u);
}

// Dispatch with recording class handlers installed.
class Dispatch : public ::testing::Test {
  protected:
    SoftDevHooks RecordingHooks() {
        SoftDevHooks hooks;
        hooks.hid_requests = [this](DeviceContext&, VirtualBus&, uint8_t* req, size_t) {
            calls.push_back("hid " + std::to_string(req[PDU_INDEX_LOW]));
            return -1;
        };
        hooks.audio_requests = [this](DeviceContext&, VirtualBus&, uint8_t* req, size_t) {
            calls.push_back("audio " + std::to_string(req[PDU_INDEX_LOW]));
            return -1;
        };
        return hooks;
    }
    void SetUp() override {
        g_dev.pb_queue.clear();
        g_dev.cp_queue.clear();
        g_dev.intr_queue.clear();
        ASSERT_EQ(set_device_identity("ABC", 1, 2, 3), 0);
    }
    void TearDown() override {
        g_dev.pb_queue.clear();
        g_dev.cp_queue.clear();
        g_dev.intr_queue.clear();
        g_debug_level = 0;
    }
    void dispatch(const Submit& s) {
        Bytes b = s.wire();
        EXPECT_EQ(process_dev_data(device, b.data(), b.size(), bus), 0);
    }
    static Submit iso(uint32_t seqnum, uint32_t ep, uint32_t direction, uint32_t packets) {
        Submit s;
        s.seqnum = seqnum;
        s.ep = ep;
        s.direction = direction;
        s.packets = packets;
        s.length = 96 * packets;
        for (uint32_t i = 0; i < packets; ++i) s.iso.push_back({96 * i, 96});
        if (direction == USBIP_DIR_OUT) s.out_data.assign(s.length, uint8_t(seqnum));
        return s;
    }

    FakeBus bus;
    std::vector<std::string> calls;
    FakeController controller;
    DeviceContext device{controller, RecordingHooks()};
};

TEST_F(Dispatch, InterfaceRecipientGoesToHidForInterfaceThreeElseToAudio) {
    dispatch(control(1, 0x81, 6, 0x2200, 3, 457));  // standard GET_DESCRIPTOR to interface 3
    dispatch(control(2, 0x81, 6, 0x2200, 1, 64));
    dispatch(control(3, 0x21, 9, 0x0203, 3, 33));  // class SET_REPORT
    dispatch(control(4, 0x01, 11, 1, 2, 0));       // SET_INTERFACE 2
    dispatch(control(5, 0x23, 1, 0, 0, 0));        // recipient "other" has bit 0 set
    EXPECT_EQ(calls, (std::vector<std::string>{"hid 3", "audio 1", "hid 3", "audio 2", "audio 0"}));
    EXPECT_TRUE(bus.replies.empty());
}

// GET_STATUS of an interface answers its two status bytes; the standard
// requests that are not for an interface are left unanswered (the bus
// stalls them, or answers GET_INTERFACE from the settings it saw). None
// reaches a class handler.
TEST_F(Dispatch, StandardRequestsToAnInterfaceGetTheirUsbAnswers) {
    for (uint16_t interface : {0, 1, 2, 3})
        dispatch(control(0x40 + interface, 0x81, 0, 0, interface, 2));
    ASSERT_EQ(bus.replies.size(), 4u);
    for (uint32_t i = 0; i < 4; ++i) {
        const Bytes& r = bus.replies[i];
        ASSERT_EQ(r.size(), 50u);
        EXPECT_EQ(pdu_word(r.data(), USBIP_SEQNUM), 0x40 + i);
        EXPECT_EQ(pdu_word(r.data(), USBIP_LENGTH), 2u);
        EXPECT_EQ(Bytes(r.begin() + 48, r.end()), (Bytes{0, 0}));
    }
    bus.replies.clear();
    dispatch(control(0x50, 0x81, 0, 0, 4, 2));   // GET_STATUS: there is no interface 4
    dispatch(control(0x51, 0x83, 0, 0, 1, 2));   // GET_STATUS to "other"
    dispatch(control(0x52, 0x81, 10, 0, 3, 1));  // GET_INTERFACE
    dispatch(control(0x53, 0x81, 10, 0, 0, 1));
    dispatch(control(0x54, 0x01, 1, 0, 0, 0));  // CLEAR_FEATURE: interfaces have no features
    dispatch(control(0x55, 0x01, 3, 0, 3, 0));  // SET_FEATURE
    EXPECT_TRUE(bus.replies.empty());
    EXPECT_TRUE(calls.empty());
}

TEST_F(Dispatch, EndpointAndDeviceRecipientsGoToTheStandardHandlers) {
    {
        LogCapture log;
        dispatch(control(0x10, 0x02, 1, 0, 0x84, 0));  // CLEAR_FEATURE to endpoint 4
        EXPECT_EQ(log.text(), "EDPDEV: Unknown Endpoint\n");
    }
    dispatch(control(0x11, 0x80, 6, 0x0100, 0, 64));
    // Type bits are not looked at: a vendor request to the device lands there too.
    dispatch(control(0x12, 0x40, 6, 0x0100, 0, 64));
    ASSERT_EQ(bus.replies.size(), 3u);
    EXPECT_EQ(bus.replies[0].size(), 48u);
    EXPECT_EQ(bus.replies[1].size(), 48u + 18);
    EXPECT_EQ(pdu_word(bus.replies[2].data(), USBIP_SEQNUM), 0x12u);
    EXPECT_TRUE(calls.empty());
}

TEST_F(Dispatch, UnknownEndpointIsLoggedAndDropped) {
    LogCapture log;
    Submit s = control(4, 0x80, 6, 0x0100, 0, 18);
    s.ep = 4;
    dispatch(s);
    s.ep = 15;
    dispatch(s);
    EXPECT_EQ(log.text(), "DEV: case def\nDEV: case def\n");
    EXPECT_TRUE(bus.replies.empty());
    EXPECT_EQ(g_dev.pb_queue.size() + g_dev.cp_queue.size() + g_dev.intr_queue.size(), 0u);
}

TEST_F(Dispatch, StreamingRequestsAreQueuedWholeAndTheirWorkerWoken) {
    const EventHandle pb = open_named_event(EVENT_PB_COMPLETE, EventReset::AUTO);
    const EventHandle cp = open_named_event(EVENT_CP_COMPLETE, EventReset::AUTO);
    // Larger than the 2004 bytes a fixed node would hold.
    const Submit big = iso(0x21, 1, USBIP_DIR_OUT, 24);
    dispatch(big);
    dispatch(iso(0x22, 2, USBIP_DIR_IN, 1));
    EXPECT_EQ(pb->wait(0), 0);
    EXPECT_EQ(cp->wait(0), 0);
    ASSERT_EQ(g_dev.pb_queue.size(), 1u);
    ASSERT_EQ(g_dev.cp_queue.size(), 1u);
    Bytes node;
    ASSERT_TRUE(g_dev.pb_queue.pop(&node));
    const Bytes sent = big.wire();
    ASSERT_EQ(node.size(), sent.size());
    EXPECT_GT(node.size(), 2004u);
    EXPECT_EQ(pdu_word(node.data(), USBIP_SEQNUM), 0x21u);  // converted
    EXPECT_EQ(Bytes(node.begin() + 48, node.end()), Bytes(sent.begin() + 48, sent.end()));
    ASSERT_TRUE(g_dev.cp_queue.pop(&node));
    EXPECT_EQ(node.size(), 48u + 16);
    EXPECT_TRUE(bus.replies.empty());
}

// What a queue holds ahead of its worker, in packets (milliseconds of a
// full-speed stream), follows every way a request enters or leaves it.
TEST_F(Dispatch, QueuedAudioFollowsPushPopUnlinkAndClear) {
    dispatch(iso(1, 1, USBIP_DIR_OUT, 6));
    dispatch(iso(2, 1, USBIP_DIR_OUT, 10));
    dispatch(iso(3, 1, USBIP_DIR_OUT, 6));
    EXPECT_EQ(g_dev.pb_queue.queued_packets(), 22u);
    Bytes node;
    ASSERT_TRUE(g_dev.pb_queue.pop(&node));
    EXPECT_EQ(g_dev.pb_queue.queued_packets(), 16u);
    drop_queued_request(2);
    EXPECT_EQ(g_dev.pb_queue.queued_packets(), 6u);
    g_dev.pb_queue.clear();
    EXPECT_EQ(g_dev.pb_queue.queued_packets(), 0u);
    dispatch(iso(4, 1, USBIP_DIR_OUT, 6));
    EXPECT_EQ(g_dev.pb_queue.queued_packets(), 6u);
}

TEST_F(Dispatch, InterruptRequestsAreQueuedWithoutAnEvent) {
    Submit s;
    s.seqnum = 0x31;
    s.ep = 3;
    s.length = 64;
    dispatch(s);
    EXPECT_EQ(g_dev.intr_queue.size(), 1u);
    EXPECT_TRUE(bus.replies.empty());
}

TEST_F(Dispatch, UnlinkedRequestLeavesWhicheverQueueHoldsIt) {
    dispatch(iso(1, 1, USBIP_DIR_OUT, 6));
    dispatch(iso(2, 1, USBIP_DIR_OUT, 6));
    dispatch(iso(3, 2, USBIP_DIR_IN, 1));
    Submit intr;
    intr.seqnum = 4;
    intr.ep = 3;
    intr.length = 64;
    dispatch(intr);
    drop_queued_request(2);
    drop_queued_request(3);
    drop_queued_request(4);
    drop_queued_request(99);
    EXPECT_EQ(g_dev.cp_queue.size(), 0u);
    EXPECT_EQ(g_dev.intr_queue.size(), 0u);
    Bytes node;
    ASSERT_TRUE(g_dev.pb_queue.pop(&node));
    EXPECT_EQ(pdu_word(node.data(), USBIP_SEQNUM), 1u);
    EXPECT_FALSE(g_dev.pb_queue.pop(&node));
}

TEST_F(Dispatch, PacketRecordsNameTheReceiverAndTheSenderAtLevelThree) {
    g_debug_level = 3;
    LogCapture log;
    dispatch(control(0x102, 0x80, 6, 0x0100, 0, 18));
    const std::string text = log.text();
    const auto rec = text.find("[process_dev_data] Rec Dev Pkg:\n");
    const auto send = text.find("[process_standard_device_requests] Send Dev Pkg:\n");
    ASSERT_NE(rec, std::string::npos) << text;
    ASSERT_NE(send, std::string::npos) << text;
    EXPECT_LT(rec, send);
    EXPECT_EQ(text.substr(0, 5), "###  ");
    // The received dump is the PDU as it came (big-endian seqnum)...
    EXPECT_NE(text.find("00 00 00 01 00 00 01 02 "), std::string::npos);
    // ...and the sent one the little-endian reply.
    EXPECT_NE(text.find("03 00 00 00 02 01 00 00 "), std::string::npos);
}

TEST_F(Dispatch, CredentialChunksAreDumpedWithTheirTextHidden) {
    g_debug_level = 3;
    LogCapture log;
    // A 40-byte password: its first chunk as SET_REPORT on the control
    // endpoint, its last as data on the interrupt endpoint, then a poll.
    const std::string password = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";
    Submit first = control(0x15, 0x21, 0x09, 0x0203, 3, 33);
    first.out_data = {3, 0x45, 40, 0};
    first.out_data.insert(first.out_data.end(), password.begin(), password.begin() + 29);
    Submit last;
    last.seqnum = 0x16;
    last.direction = USBIP_DIR_OUT;
    last.ep = 3;
    last.length = 33;
    last.out_data = {3, 0x85};
    last.out_data.insert(last.out_data.end(), password.begin() + 29, password.end());
    last.out_data.resize(33);
    Submit poll = control(0x17, 0x21, 0x09, 0x0203, 3, 33);
    poll.out_data = {3, 0x01, 0x61, 0x62};
    poll.out_data.resize(33);
    dispatch(first);
    dispatch(last);
    dispatch(poll);
    const std::string text = log.text();
    // The headers, report ids and request codes are shown; the 31 bytes
    // after them in each chunk are not.
    EXPECT_NE(text.find("00 00 00 01 00 00 00 15 "), std::string::npos) << text;
    EXPECT_NE(text.find("\n03 45 ** ** ** "), std::string::npos) << text;
    EXPECT_NE(text.find("\n03 85 ** ** ** "), std::string::npos) << text;
    EXPECT_EQ(count_of(text, "** "), 2u * 31u) << text;
    EXPECT_EQ(text.find("62 63 64"), std::string::npos) << text;
    // A report that carries no credential is dumped whole.
    EXPECT_NE(text.find("\n03 01 61 62 00 "), std::string::npos) << text;
}

TEST_F(Dispatch, NoPacketRecordsBelowLevelThree) {
    g_debug_level = 2;
    LogCapture log;
    dispatch(control(1, 0x80, 6, 0x0100, 0, 18));
    EXPECT_EQ(log.text(), "");
}

TEST_F(Dispatch, ShortBufferIsDroppedWithoutTouchingIt) {
    LogCapture log;
    Bytes b(20, 0xFF);
    EXPECT_EQ(process_dev_data(device, b.data(), b.size(), bus), 0);
    EXPECT_EQ(b, Bytes(20, 0xFF));
    EXPECT_EQ(log.text(), "DEV: request of 20 bytes dropped\n");
}

// Waits for DONE, giving up after 10 s of real time (a hung thread).
bool wait_until(const std::function<bool()>& done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit) return false;
        std::this_thread::yield();
    }
    return true;
}

// The reader loop on a recording bus.
class ReadLoop : public Dispatch {
  protected:
    void run_until_done(const std::function<bool()>& done) {
        std::thread reader([this] { softdev_io_loop(device, bus); });
        for (int i = 0; i < 2000 && !done(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        open_named_event(EVENT_SOFTDEV_SHUTDOWN, EventReset::MANUAL)->set();
        reader.join();
    }
    // The loop reads SOFTDEV_SHUTDOWN by name: hold it for the test.
    EventHandle shutdown_ = open_named_event(EVENT_SOFTDEV_SHUTDOWN, EventReset::MANUAL);
};

TEST_F(ReadLoop, EachRequestIsDispatchedThenFinishedOnTheBus) {
    bus.requests.push_back(control(0x51, 0x80, 6, 0x0100, 0, 64).wire());
    bus.requests.push_back(control(0x52, 0x00, 9, 1, 0, 0).wire());
    bus.requests.push_back(iso(0x53, 2, USBIP_DIR_IN, 1).wire());
    LogCapture log;
    run_until_done([&] {
        std::lock_guard lk(bus.mu);
        return bus.finished.size() == 3;
    });
    EXPECT_EQ(bus.finished, (std::vector<uint32_t>{0x51, 0x52, 0x53}));
    ASSERT_EQ(bus.replies.size(), 1u);  // SET_CONFIGURATION is left to the bus
    EXPECT_EQ(g_dev.cp_queue.size(), 1u);
    const std::string text = log.text();
    EXPECT_NE(text.find("STDDEV: Set Configuration Request\n"), std::string::npos);
    EXPECT_NE(text.find("DEV: Received SoftDevice Shutdown event.....\n"), std::string::npos);
}

// While the capture queue holds 10 ms of audio ahead of its worker, a
// request that comes in is read 4 ms later with whatever came meanwhile,
// not on its own at once.
TEST_F(ReadLoop, ReadsWaitWhileTheStreamsHaveAudioQueuedAhead) {
    ManualClock clock;
    FakeController manual{clock};
    DeviceContext paced{manual, RecordingHooks()};
    for (uint32_t i = 0; i < 10; ++i) dispatch(iso(i, 2, USBIP_DIR_IN, 1));
    {
        std::lock_guard lk(bus.mu);
        bus.requests.push_back(control(0x61, 0x80, 6, 0x0100, 0, 64).wire());
    }
    std::thread reader([&] { softdev_io_loop(paced, bus); });
    const auto reads = [&] {
        std::lock_guard lk(bus.mu);
        return bus.reads;
    };
    const auto asleep = [&] { return clock.sleepers() == 1; };
    ASSERT_TRUE(wait_until(asleep));
    EXPECT_EQ(reads(), 0);
    clock.advance(3);
    ASSERT_TRUE(wait_until(asleep));
    EXPECT_EQ(reads(), 0);
    clock.advance(1);
    EXPECT_TRUE(wait_until([&] { return bus.finished_count() == 1; }));
    // The queue still holds the audio: the reader waits again.
    ASSERT_TRUE(wait_until(asleep));
    shutdown_->set();
    clock.advance(4);
    reader.join();
}

TEST_F(ReadLoop, AfterTheHostIsGoneTheLoopStillEndsOnShutdown) {
    bus.host_gone = true;
    LogCapture log;
    run_until_done([&] {
        std::lock_guard lk(bus.mu);
        return bus.reads > 0;
    });
    EXPECT_EQ(bus.reads, 1);  // no further reads once the host is gone
    const std::string text = log.text();
    EXPECT_EQ(count_of(text, "DEV: the USB host is gone"), 1u);
    EXPECT_NE(text.find("DEV: Received SoftDevice Shutdown event.....\n"), std::string::npos);
}

}  // namespace
}  // namespace quor::test
