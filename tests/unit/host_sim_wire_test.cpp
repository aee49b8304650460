// The host simulator's USB/IP codec, reply framing and URB bookkeeping.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "host_text.h"
#include "platform/byte_order.h"
#include "urb_tracker.h"
#include "usbip_wire.h"

namespace {

std::vector<uint8_t> bytes(const std::string& hex) {
    std::vector<uint8_t> out;
    EXPECT_EQ(0, parse_hex(hex, &out)) << hex;
    return out;
}

// A RET_SUBMIT or RET_UNLINK as a device writes it.
std::vector<uint8_t> ret_pdu(uint32_t command, uint32_t seqnum, int32_t status, uint32_t actual,
                             int32_t packets = 0, const std::vector<uint8_t>& body = {}) {
    std::vector<uint8_t> pdu(48 + body.size(), 0);
    put_be32(&pdu[0], command);
    put_be32(&pdu[4], seqnum);
    put_be32(&pdu[20], static_cast<uint32_t>(status));
    put_be32(&pdu[24], actual);
    put_be32(&pdu[32], static_cast<uint32_t>(packets));
    std::copy(body.begin(), body.end(), pdu.begin() + 48);
    return pdu;
}

std::vector<uint8_t> iso_desc(uint32_t offset, uint32_t length, uint32_t actual) {
    std::vector<uint8_t> d(16, 0);
    put_be32(&d[0], offset);
    put_be32(&d[4], length);
    put_be32(&d[8], actual);
    return d;
}

class MapLookup : public UrbShapeLookup {
  public:
    std::map<uint32_t, UrbShape> shapes;
    int shape_of(uint32_t seqnum, UrbShape* shape, std::string* why) override {
        auto it = shapes.find(seqnum);
        if (it == shapes.end()) {
            *why = "which was never sent";
            return -1;
        }
        *shape = it->second;
        return 0;
    }
};

UrbShape control_in(uint32_t length) {
    UrbShape s;
    s.in = true;
    s.buffer_length = length;
    return s;
}

}  // namespace

TEST(HostSimEncode, ControlInSubmitMatchesTheKernelLayout) {
    CmdSubmit cmd;
    cmd.seqnum = 1;
    cmd.devid = 65538;
    cmd.direction = USBIP_DIR_IN;
    cmd.transfer_flags = URB_DIR_IN;
    cmd.transfer_buffer_length = 64;
    const uint8_t setup[8] = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x40, 0x00};
    memcpy(cmd.setup, setup, 8);
    std::vector<uint8_t> pdu;
    ASSERT_EQ(0, encode_cmd_submit(cmd, nullptr, {}, &pdu));
    EXPECT_EQ(bytes("00000001 00000001 00010002 00000001 00000000"
                    "00000200 00000040 00000000 00000000 00000000"
                    "8006000100004000"),
              pdu);
}

TEST(HostSimEncode, OutDataAndIsoDescriptorsFollowTheHeader) {
    CmdSubmit cmd;
    cmd.seqnum = 0x0102;
    cmd.ep = 1;
    cmd.transfer_buffer_length = 4;
    cmd.number_of_packets = 2;
    cmd.interval = 1;
    const uint8_t data[4] = {0xAA, 0xBB, 0xCC, 0xDD};
    std::vector<UsbipIsoPacket> iso = {{0, 2, 0, 0}, {2, 2, 0, -18}};
    std::vector<uint8_t> pdu;
    ASSERT_EQ(0, encode_cmd_submit(cmd, data, iso, &pdu));
    ASSERT_EQ(48u + 4 + 32, pdu.size());
    EXPECT_EQ(bytes("00000001 00000102 00000000 00000000 00000001"),
              std::vector<uint8_t>(pdu.begin(), pdu.begin() + 20));
    EXPECT_EQ(bytes("aabbccdd"), std::vector<uint8_t>(pdu.begin() + 48, pdu.begin() + 52));
    EXPECT_EQ(bytes("00000000 00000002 00000000 00000000 00000002 00000002 00000000 ffffffee"),
              std::vector<uint8_t>(pdu.begin() + 52, pdu.end()));
}

TEST(HostSimEncode, RefusesMissingOutDataOrDescriptors) {
    CmdSubmit cmd;
    cmd.transfer_buffer_length = 3;
    std::vector<uint8_t> pdu = {1, 2, 3};
    EXPECT_EQ(-1, encode_cmd_submit(cmd, nullptr, {}, &pdu));
    EXPECT_EQ(3u, pdu.size());
    const uint8_t data[3] = {};
    cmd.number_of_packets = 2;
    EXPECT_EQ(-1, encode_cmd_submit(cmd, data, {UsbipIsoPacket()}, &pdu));
}

TEST(HostSimEncode, UnlinkNamesTheVictimOnly) {
    std::vector<uint8_t> pdu;
    encode_cmd_unlink(19, 65538, 18, &pdu);
    std::vector<uint8_t> want = bytes("00000002 00000013 00010002 00000000 00000000 00000012");
    want.resize(48, 0);
    EXPECT_EQ(want, pdu);
}

TEST(HostSimFramer, ReassemblesRepliesFedByteByByte) {
    MapLookup lookup;
    lookup.shapes[7] = control_in(18);
    UrbShape out;
    out.buffer_length = 3;
    lookup.shapes[8] = out;
    std::vector<uint8_t> stream = ret_pdu(3, 7, 0, 4, 0, {0x12, 0x01, 0x10, 0x01});
    // An OUT reply reports the bytes taken but carries none.
    std::vector<uint8_t> second = ret_pdu(3, 8, 0, 3);
    std::vector<uint8_t> unlink = ret_pdu(4, 9, -104, 0);
    stream.insert(stream.end(), second.begin(), second.end());
    stream.insert(stream.end(), unlink.begin(), unlink.end());

    RetFramer framer;
    std::vector<RetPdu> got;
    RetPdu pdu;
    std::string error;
    for (uint8_t b : stream) {
        framer.append(&b, 1);
        RetFramer::Result r;
        while ((r = framer.next(lookup, &pdu, &error)) == RetFramer::PDU) got.push_back(pdu);
        ASSERT_EQ(RetFramer::NEED_MORE, r) << error;
    }
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ(7u, got[0].header.seqnum);
    EXPECT_EQ(bytes("12011001"), got[0].data);
    EXPECT_EQ(3u, got[1].header.actual_length);
    EXPECT_TRUE(got[1].data.empty());
    EXPECT_EQ(4u, got[2].header.command);
    EXPECT_EQ(-104, got[2].header.status);
    EXPECT_EQ(0u, framer.buffered());
}

TEST(HostSimFramer, RepliesTheLinuxHostRefusesAreFatalAndStayFatal) {
    struct Case {
        const char* name;
        std::vector<uint8_t> pdu;
        const char* message;
    };
    std::vector<Case> cases = {
        {"unknown seqnum", ret_pdu(3, 42, 0, 0), "seqnum 42, which was never sent"},
        {"longer than the buffer", ret_pdu(3, 7, 0, 19, 0, std::vector<uint8_t>(19)),
         "carries 19 bytes for a 18-byte buffer"},
        {"unknown command", ret_pdu(5, 7, 0, 0), "unknown command 5"},
    };
    for (const Case& c : cases) {
        MapLookup lookup;
        lookup.shapes[7] = control_in(18);
        RetFramer framer;
        framer.append(c.pdu.data(), c.pdu.size());
        RetPdu pdu;
        std::string error;
        EXPECT_EQ(RetFramer::FATAL, framer.next(lookup, &pdu, &error)) << c.name;
        EXPECT_NE(std::string::npos, error.find(c.message)) << c.name << ": " << error;
        std::vector<uint8_t> good = ret_pdu(3, 7, 0, 0);
        framer.append(good.data(), good.size());
        EXPECT_EQ(RetFramer::FATAL, framer.next(lookup, &pdu, &error)) << c.name;
    }
}

TEST(HostSimFramer, IsoReplyDataIsPackedAndMustAddUp) {
    UrbShape iso;
    iso.in = true;
    iso.iso = true;
    iso.buffer_length = 192;
    iso.packets = 2;

    std::vector<uint8_t> body(190, 0x5A);
    std::vector<uint8_t> d0 = iso_desc(0, 96, 96), d1 = iso_desc(96, 96, 94);
    body.insert(body.end(), d0.begin(), d0.end());
    body.insert(body.end(), d1.begin(), d1.end());

    MapLookup lookup;
    lookup.shapes[3] = iso;
    RetFramer good;
    std::vector<uint8_t> pdu_bytes = ret_pdu(3, 3, 0, 190, 2, body);
    good.append(pdu_bytes.data(), pdu_bytes.size());
    RetPdu pdu;
    std::string error;
    ASSERT_EQ(RetFramer::PDU, good.next(lookup, &pdu, &error)) << error;
    EXPECT_EQ(190u, pdu.data.size());
    ASSERT_EQ(2u, pdu.iso.size());
    EXPECT_EQ(94u, pdu.iso[1].actual_length);
    EXPECT_EQ(96u, pdu.iso[1].offset);

    // actual_length 192 while the packets say 96 + 94.
    std::vector<uint8_t> bad_sum(192, 0);
    bad_sum.insert(bad_sum.end(), d0.begin(), d0.end());
    bad_sum.insert(bad_sum.end(), d1.begin(), d1.end());
    RetFramer sum;
    pdu_bytes = ret_pdu(3, 3, 0, 192, 2, bad_sum);
    sum.append(pdu_bytes.data(), pdu_bytes.size());
    EXPECT_EQ(RetFramer::FATAL, sum.next(lookup, &pdu, &error));
    EXPECT_NE(std::string::npos, error.find("add up to 190, actual_length is 192")) << error;

    RetFramer count;
    pdu_bytes = ret_pdu(3, 3, 0, 0, 1, iso_desc(0, 96, 0));
    count.append(pdu_bytes.data(), pdu_bytes.size());
    EXPECT_EQ(RetFramer::FATAL, count.next(lookup, &pdu, &error));
    EXPECT_NE(std::string::npos, error.find("has 1 packets, the request had 2")) << error;
}

TEST(HostSimTracker, SubmitsAndUnlinksShareOneSeqnumCounter) {
    UrbTracker t;
    EXPECT_EQ(1u, t.add(control_in(18), nullptr));
    EXPECT_EQ(2u, t.add(control_in(18), nullptr));
    uint32_t unlink = 0;
    EXPECT_EQ(0, t.begin_unlink(2, &unlink));
    EXPECT_EQ(3u, unlink);
    EXPECT_EQ(4u, t.add(control_in(18), nullptr));
    EXPECT_EQ(-1, t.begin_unlink(99, &unlink));
    EXPECT_EQ(-1, t.begin_unlink(3, &unlink));  // a CMD_UNLINK's own seqnum
}

TEST(HostSimTracker, NamesWhyAReplyCannotBeMatched) {
    UrbTracker t;
    uint32_t answered = t.add(control_in(4), nullptr);
    uint32_t victim = t.add(control_in(4), nullptr);
    uint32_t unlink = 0;
    ASSERT_EQ(0, t.begin_unlink(victim, &unlink));

    std::vector<std::string> problems;
    UrbCompletion done;
    RetPdu reply;
    reply.header.command = USBIP_RET_SUBMIT;
    reply.header.seqnum = answered;
    t.on_ret_submit(reply, &problems, &done);
    RetHeader ru;
    ru.command = USBIP_RET_UNLINK;
    ru.seqnum = unlink;
    ru.status = STATUS_ECONNRESET;
    t.on_ret_unlink(ru, &problems, &done);
    EXPECT_TRUE(problems.empty());

    UrbResult result;
    ASSERT_EQ(UrbTracker::DONE, t.wait(answered, 0, &result));
    ASSERT_EQ(UrbTracker::DONE, t.wait(victim, 0, &result));
    EXPECT_TRUE(result.unlinked);
    EXPECT_EQ(STATUS_ECONNRESET, result.status);

    UrbShape shape;
    std::string why;
    EXPECT_EQ(-1, t.shape_of(answered, &shape, &why));
    EXPECT_EQ("which was answered already", why);
    EXPECT_EQ(-1, t.shape_of(victim, &shape, &why));
    EXPECT_EQ("which was unlinked", why);
    EXPECT_EQ(-1, t.shape_of(unlink, &shape, &why));
    EXPECT_EQ("which is the seqnum of a CMD_UNLINK", why);
    EXPECT_EQ(-1, t.shape_of(unlink + 1, &shape, &why));
    EXPECT_EQ("which was never sent", why);
    EXPECT_EQ(-1, t.shape_of(0, &shape, &why));
    EXPECT_EQ("which was never sent", why);
}

TEST(HostSimTracker, ReplyRacingTheUnlinkWinsAndTheUnlinkMustSayZero) {
    for (int32_t unlink_status : {0, STATUS_ECONNRESET}) {
        UrbTracker t;
        uint32_t seq = t.add(control_in(4), nullptr);
        uint32_t unlink = 0;
        ASSERT_EQ(0, t.begin_unlink(seq, &unlink));
        std::vector<std::string> problems;
        UrbCompletion done;
        RetPdu reply;
        reply.header.command = USBIP_RET_SUBMIT;
        reply.header.seqnum = seq;
        reply.header.actual_length = 2;
        reply.data = {0xAB, 0xCD};
        t.on_ret_submit(reply, &problems, &done);
        RetHeader ru;
        ru.seqnum = unlink;
        ru.status = unlink_status;
        t.on_ret_unlink(ru, &problems, &done);
        int32_t status = 1;
        EXPECT_EQ(UrbTracker::DONE, t.wait_unlink(unlink, 0, &status));
        EXPECT_EQ(unlink_status, status);
        UrbResult result;
        ASSERT_EQ(UrbTracker::DONE, t.wait(seq, 0, &result));
        EXPECT_FALSE(result.unlinked);
        EXPECT_EQ(std::vector<uint8_t>({0xAB, 0xCD}), result.data);
        EXPECT_EQ(unlink_status == 0 ? 0u : 1u, problems.size());
    }
}

TEST(HostSimTracker, OddUnlinkAnswersAreProblems) {
    UrbTracker t;
    uint32_t seq = t.add(control_in(4), nullptr);
    uint32_t unlink = 0;
    ASSERT_EQ(0, t.begin_unlink(seq, &unlink));
    std::vector<std::string> problems;
    UrbCompletion done;
    RetHeader stray;
    stray.seqnum = 77;
    t.on_ret_unlink(stray, &problems, &done);
    RetHeader zero;
    zero.seqnum = unlink;
    zero.status = 0;
    t.on_ret_unlink(zero, &problems, &done);
    t.on_ret_unlink(zero, &problems, &done);
    ASSERT_EQ(3u, problems.size());
    EXPECT_NE(std::string::npos, problems[0].find("seqnum 77: no CMD_UNLINK in flight"));
    EXPECT_NE(std::string::npos, problems[1].find("was still pending (expected -104)"));
    EXPECT_NE(std::string::npos, problems[2].find("answered already"));
}

TEST(HostSimTracker, CallbackUrbsAreHandedBackAndOutLengthsChecked) {
    UrbTracker t;
    int calls = 0;
    UrbShape out;
    out.buffer_length = 3;
    uint32_t seq = t.add(out, [&calls](uint32_t, const UrbResult&) { ++calls; });
    std::vector<std::string> problems;
    UrbCompletion done;
    RetPdu reply;
    reply.header.seqnum = seq;
    reply.header.actual_length = 5;
    t.on_ret_submit(reply, &problems, &done);
    ASSERT_TRUE(done.callback);
    done.callback(done.seqnum, done.result);
    EXPECT_EQ(1, calls);
    ASSERT_EQ(1u, problems.size());
    EXPECT_NE(std::string::npos, problems[0].find("5 bytes taken of 3 sent"));
    UrbShape shape;
    std::string why;
    EXPECT_EQ(-1, t.shape_of(seq, &shape, &why));
    uint32_t unlink = 0;
    EXPECT_EQ(1, t.begin_unlink(seq, &unlink));  // answered: nothing left to unlink
}

TEST(HostSimTracker, WaitEndsOnTimeOutAndOnClose) {
    UrbTracker t;
    uint32_t seq = t.add(control_in(4), nullptr);
    UrbResult result;
    EXPECT_EQ(UrbTracker::TIMEOUT, t.wait(seq, 20, &result));
    std::thread closer([&t] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        t.close();
    });
    EXPECT_EQ(UrbTracker::CLOSED, t.wait(seq, 5000, &result));
    closer.join();
}
