// The bus's URB stream over a socket pair, with the test as the USB host:
// framing, wire conversion, unlinks, second answers, the bus's own control
// answers, malformed input and concurrent writers.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/vbus_socket.h"
#include "unit/soft_dev_test_support.h"

namespace quor::test {
namespace {

class Stream : public ::testing::Test {
  protected:
    void SetUp() override {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        host_ = sv[0];
        ASSERT_EQ(bus_.adopt_stream(sv[1]), 0);
        bus_.set_unlink_handler([this](uint32_t seqnum) { unlinked_.push_back(seqnum); });
    }
    void TearDown() override {
        bus_.close_device();
        close(host_);
    }

    void host_send(const Bytes& b) {
        ASSERT_EQ(send(host_, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size()));
    }
    // Exactly N bytes from the device, or fewer when it sent no more within
    // TIMEOUT_MS or closed the stream.
    Bytes host_read(size_t n, int timeout_ms = 2000) {
        Bytes b;
        while (b.size() < n) {
            pollfd p{host_, POLLIN, 0};
            if (poll(&p, 1, timeout_ms) <= 0) break;
            uint8_t chunk[4096];
            const ssize_t got = recv(host_, chunk, std::min(sizeof(chunk), n - b.size()), 0);
            if (got <= 0) break;
            b.insert(b.end(), chunk, chunk + got);
        }
        return b;
    }
    bool host_sees_eof() {
        pollfd p{host_, POLLIN, 0};
        uint8_t c;
        return poll(&p, 1, 2000) == 1 && recv(host_, &c, 1, 0) == 0;
    }
    bool host_gets_nothing() { return host_read(1, 50).empty(); }

    // The next request the bus hands to the device logic.
    Bytes next_request(int timeout_ms = 2000) {
        Bytes buf(USBIP_MAX_PDU);
        const int n = bus_.read_request(buf.data(), buf.size(), timeout_ms);
        return n > 0 ? Bytes(buf.begin(), buf.begin() + n) : Bytes{};
    }

    static Bytes device_reply(uint32_t seqnum, const Bytes& data) {
        Bytes r(48 + data.size(), 0);
        put_le32(&r[USBIP_COMMAND], USBIP_RET_SUBMIT);
        put_le32(&r[USBIP_SEQNUM], seqnum);
        put_le32(&r[USBIP_LENGTH], uint32_t(data.size()));
        std::copy(data.begin(), data.end(), r.begin() + 48);
        return r;
    }

    SocketBus bus_{"unix:/nonexistent"};
    int host_ = -1;
    std::vector<uint32_t> unlinked_;
};

Submit interrupt_in(uint32_t seqnum) {
    Submit s;
    s.seqnum = seqnum;
    s.ep = 3;
    s.length = 64;
    return s;
}

TEST_F(Stream, RequestReachesTheDeviceExactlyAsOnTheWire) {
    Submit s;
    s.seqnum = 9;
    s.ep = 1;
    s.direction = USBIP_DIR_OUT;
    s.length = 576;
    s.packets = 6;
    for (uint32_t i = 0; i < 6; ++i) s.iso.push_back({96 * i, 96});
    s.out_data.assign(576, 0x5A);
    host_send(s.wire());
    EXPECT_EQ(next_request(), s.wire());
}

TEST_F(Stream, RequestsArrivingInPiecesAndBackToBackComeOutWhole) {
    const Bytes a = control(1, 0x80, 6, 0x0100, 0, 64).wire();
    const Bytes b = control(2, 0x21, 9, 0x0203, 3, 33).wire();
    Bytes both = a;
    both.insert(both.end(), b.begin(), b.end());
    std::thread sender([&] {
        for (uint8_t byte : both) {
            send(host_, &byte, 1, MSG_NOSIGNAL);
            if (byte % 16 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    Bytes got_a, got_b;
    for (int i = 0; i < 100 && got_a.empty(); ++i) got_a = next_request(20);
    for (int i = 0; i < 100 && got_b.empty(); ++i) got_b = next_request(20);
    sender.join();
    EXPECT_EQ(got_a, a);
    EXPECT_EQ(got_b, b);
}

TEST_F(Stream, NothingToReadReturnsZeroAfterTheTimeOut) {
    Bytes buf(USBIP_MAX_PDU);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(bus_.read_request(buf.data(), buf.size(), 40), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(35));
}

TEST_F(Stream, InReplyIsConvertedAndCutToTheRequestedLength) {
    host_send(control(0x102, 0x80, 6, 0x0200, 0, 9).wire());
    ASSERT_FALSE(next_request().empty());
    Bytes config(217);
    for (size_t i = 0; i < config.size(); ++i) config[i] = uint8_t(i);
    EXPECT_EQ(bus_.write_reply(device_reply(0x102, config).data(), 48 + 217), 0);
    const Bytes wire = host_read(48 + 9);
    ASSERT_EQ(wire.size(), 57u);
    EXPECT_EQ(get_be32(&wire[USBIP_COMMAND]), 3u);
    EXPECT_EQ(get_be32(&wire[USBIP_SEQNUM]), 0x102u);
    EXPECT_EQ(get_be32(&wire[USBIP_LENGTH]), 9u);
    EXPECT_EQ(Bytes(wire.begin() + 48, wire.end()), Bytes(config.begin(), config.begin() + 9));
    EXPECT_TRUE(host_gets_nothing());
}

TEST_F(Stream, ARequestIsNeverAnsweredTwice) {
    host_send(control(5, 0x80, 6, 0x0100, 0, 18).wire());
    ASSERT_FALSE(next_request().empty());
    const Bytes reply = device_reply(5, Bytes(18, 1));
    EXPECT_EQ(bus_.write_reply(reply.data(), reply.size()), 0);
    EXPECT_EQ(host_read(66).size(), 66u);
    EXPECT_EQ(bus_.write_reply(reply.data(), reply.size()), -1);
    bus_.finish_request(5);
    // A reply to a request the host never sent is not sent either.
    const Bytes stray = device_reply(77, {});
    EXPECT_EQ(bus_.write_reply(stray.data(), stray.size()), -1);
    EXPECT_TRUE(host_gets_nothing());
}

// Replies written together reach the host in order, each converted; one
// to a request that is not pending is left out.
TEST_F(Stream, RepliesWrittenTogetherGoOutInOrderWithoutTheStrayOne) {
    host_send(control(5, 0x80, 6, 0x0100, 0, 18).wire());
    host_send(control(6, 0x80, 6, 0x0100, 0, 2).wire());
    ASSERT_FALSE(next_request().empty());
    ASSERT_FALSE(next_request().empty());
    const Bytes five = device_reply(5, Bytes(18, 5));
    const Bytes stray = device_reply(77, Bytes(4, 7));
    const Bytes six = device_reply(6, Bytes(9, 6));
    const VirtualBus::Reply batch[] = {
        {five.data(), five.size()}, {stray.data(), stray.size()}, {six.data(), six.size()}};
    EXPECT_EQ(bus_.write_replies(batch, 3), 2u);
    const Bytes wire = host_read(48 + 18 + 48 + 2);
    ASSERT_EQ(wire.size(), 116u);
    EXPECT_EQ(get_be32(&wire[USBIP_SEQNUM]), 5u);
    EXPECT_EQ(Bytes(wire.begin() + 48, wire.begin() + 66), Bytes(18, 5));
    EXPECT_EQ(get_be32(&wire[66 + USBIP_SEQNUM]), 6u);
    EXPECT_EQ(get_be32(&wire[66 + USBIP_LENGTH]), 2u);
    EXPECT_EQ(Bytes(wire.begin() + 114, wire.end()), Bytes(2, 6));
    EXPECT_TRUE(host_gets_nothing());
}

TEST_F(Stream, UnlinkOfAPendingRequestDropsItAndIsConfirmedWithConnReset) {
    host_send(interrupt_in(0x40).wire());
    ASSERT_FALSE(next_request().empty());
    host_send(unlink_pdu(0x41, 0x40));
    EXPECT_TRUE(next_request(50).empty());  // unlinks never reach the device logic
    EXPECT_EQ(unlinked_, std::vector<uint32_t>{0x40});
    const Bytes ret = host_read(48);
    ASSERT_EQ(ret.size(), 48u);
    EXPECT_EQ(get_be32(&ret[USBIP_COMMAND]), 4u);
    EXPECT_EQ(get_be32(&ret[USBIP_SEQNUM]), 0x41u);
    EXPECT_EQ(int32_t(get_be32(&ret[USBIP_STATUS])), -104);
    // The device's late answer never reaches the host.
    const Bytes late = device_reply(0x40, Bytes(3, 1));
    EXPECT_EQ(bus_.write_reply(late.data(), late.size()), -1);
    EXPECT_TRUE(host_gets_nothing());
}

TEST_F(Stream, UnlinkOfAnAnsweredRequestIsConfirmedWithZero) {
    host_send(interrupt_in(0x50).wire());
    ASSERT_FALSE(next_request().empty());
    const Bytes reply = device_reply(0x50, Bytes(3, 1));
    ASSERT_EQ(bus_.write_reply(reply.data(), reply.size()), 0);
    EXPECT_EQ(host_read(51).size(), 51u);
    host_send(unlink_pdu(0x51, 0x50));
    next_request(50);
    const Bytes ret = host_read(48);
    ASSERT_EQ(ret.size(), 48u);
    EXPECT_EQ(get_be32(&ret[USBIP_SEQNUM]), 0x51u);
    EXPECT_EQ(get_be32(&ret[USBIP_STATUS]), 0u);
    EXPECT_TRUE(unlinked_.empty());
}

TEST_F(Stream, UnansweredControlRequestsGetTheBusAnswerWhenFinished) {
    host_send(control(1, 0x00, 9, 1, 0, 0).wire());  // SET_CONFIGURATION(1)
    ASSERT_FALSE(next_request().empty());
    bus_.finish_request(1);
    Bytes r = host_read(48);
    ASSERT_EQ(r.size(), 48u);
    EXPECT_EQ(get_be32(&r[USBIP_STATUS]), 0u);

    host_send(control(2, 0x80, 8, 0, 0, 1).wire());  // GET_CONFIGURATION
    ASSERT_FALSE(next_request().empty());
    bus_.finish_request(2);
    r = host_read(49);
    ASSERT_EQ(r.size(), 49u);
    EXPECT_EQ(get_be32(&r[USBIP_LENGTH]), 1u);
    EXPECT_EQ(r[48], 1);

    host_send(control(3, 0x21, 9, 0x0205, 3, 2).wire());  // SET_REPORT nobody handles
    ASSERT_FALSE(next_request().empty());
    bus_.finish_request(3);
    r = host_read(48);
    ASSERT_EQ(r.size(), 48u);
    EXPECT_EQ(int32_t(get_be32(&r[USBIP_STATUS])), -32);
    EXPECT_EQ(get_be32(&r[USBIP_LENGTH]), 0u);
    EXPECT_TRUE(host_gets_nothing());
}

TEST_F(Stream, FinishingLeavesAnsweredAndNonControlRequestsAlone) {
    host_send(control(1, 0x80, 6, 0x0100, 0, 18).wire());
    host_send(interrupt_in(2).wire());
    ASSERT_FALSE(next_request().empty());
    ASSERT_FALSE(next_request().empty());
    const Bytes reply = device_reply(1, Bytes(18, 1));
    ASSERT_EQ(bus_.write_reply(reply.data(), reply.size()), 0);
    EXPECT_EQ(host_read(66).size(), 66u);
    bus_.finish_request(1);
    bus_.finish_request(2);
    EXPECT_TRUE(host_gets_nothing());
    // The interrupt request is still pending and can be answered later.
    const Bytes report = device_reply(2, {1, 3, 0});
    EXPECT_EQ(bus_.write_reply(report.data(), report.size()), 0);
    EXPECT_EQ(host_read(51).size(), 51u);
}

TEST_F(Stream, UnknownCommandDropsTheConnection) {
    Bytes bad = control(1, 0x80, 6, 0x0100, 0, 18).wire();
    put_be32(&bad[USBIP_COMMAND], 7);
    LogCapture log;
    host_send(bad);
    EXPECT_TRUE(next_request().empty());
    EXPECT_TRUE(host_sees_eof());
    Bytes buf(USBIP_MAX_PDU);
    EXPECT_EQ(bus_.read_request(buf.data(), buf.size(), 10), -1);
    EXPECT_NE(log.text().find("Quor ERR: malformed request from the USB host: unknown command"),
              std::string::npos);
}

TEST_F(Stream, OversizedOutDataDropsTheConnectionBeforeReadingIt) {
    Bytes huge = control(1, 0x21, 9, 0x0203, 3, 0).wire();
    put_be32(&huge[USBIP_LENGTH], 20000);
    LogCapture log;
    host_send(huge);
    Bytes buf(USBIP_MAX_PDU);
    EXPECT_EQ(bus_.read_request(buf.data(), buf.size(), 2000), -1);
    EXPECT_TRUE(host_sees_eof());
}

TEST_F(Stream, DuplicateSeqnumDropsTheConnectionAndForgetsPendingRequests) {
    host_send(interrupt_in(3).wire());
    ASSERT_FALSE(next_request().empty());
    LogCapture log;
    host_send(interrupt_in(3).wire());
    Bytes buf(USBIP_MAX_PDU);
    EXPECT_EQ(bus_.read_request(buf.data(), buf.size(), 2000), -1);
    const Bytes reply = device_reply(3, {1, 0, 0});
    EXPECT_EQ(bus_.write_reply(reply.data(), reply.size()), -1);
    EXPECT_EQ(unlinked_, std::vector<uint32_t>{3});  // the device logic drops it too
    EXPECT_TRUE(host_sees_eof());
}

TEST_F(Stream, RequestLargerThanTheCallersBufferDropsTheConnection) {
    host_send(control(1, 0x21, 9, 0x0203, 3, 100).wire());
    LogCapture log;
    Bytes small(64);
    EXPECT_EQ(bus_.read_request(small.data(), small.size(), 2000), -1);
    EXPECT_TRUE(host_sees_eof());
}

TEST_F(Stream, HostClosingTheConnectionEndsTheStream) {
    LogCapture log;
    shutdown(host_, SHUT_RDWR);
    Bytes buf(USBIP_MAX_PDU);
    EXPECT_EQ(bus_.read_request(buf.data(), buf.size(), 2000), -1);
    EXPECT_FALSE(bus_.stream_alive());
}

TEST_F(Stream, RepliesFromSeveralThreadsReachTheHostWhole) {
    constexpr uint32_t THREADS = 8, EACH = 40, SIZE = 600;
    for (uint32_t i = 0; i < THREADS * EACH; ++i) {
        Submit s;
        s.seqnum = i + 1;
        s.ep = 3;
        s.length = SIZE;
        host_send(s.wire());
        ASSERT_FALSE(next_request().empty());
    }
    std::vector<std::thread> writers;
    std::atomic<int> failures{0};
    for (uint32_t t = 0; t < THREADS; ++t) {
        writers.emplace_back([&, t] {
            for (uint32_t k = 0; k < EACH; ++k) {
                const uint32_t seqnum = t * EACH + k + 1;
                const Bytes r = device_reply(seqnum, Bytes(SIZE, uint8_t(seqnum)));
                if (bus_.write_reply(r.data(), r.size()) != 0) ++failures;
            }
        });
    }
    std::vector<bool> seen(THREADS * EACH + 1, false);
    for (uint32_t i = 0; i < THREADS * EACH; ++i) {
        const Bytes r = host_read(48 + SIZE);
        ASSERT_EQ(r.size(), 48u + SIZE);
        const uint32_t seqnum = get_be32(&r[USBIP_SEQNUM]);
        ASSERT_LE(seqnum, THREADS * EACH);
        EXPECT_FALSE(seen[seqnum]);
        seen[seqnum] = true;
        EXPECT_EQ(Bytes(r.begin() + 48, r.end()), Bytes(SIZE, uint8_t(seqnum)));
    }
    for (auto& w : writers) w.join();
    EXPECT_EQ(failures, 0);
}

}  // namespace
}  // namespace quor::test
