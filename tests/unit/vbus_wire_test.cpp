// The USB/IP codec of the bus: request checks, the wire form of the
// device's replies, RET_UNLINK, and the bus's own control answers.
#include "platform/vbus_wire.h"

#include "unit/soft_dev_test_support.h"

namespace quor::test {
namespace {

long size_of(const Bytes& pdu, const char** why = nullptr) {
    const char* reason = nullptr;
    const long n = usbip_request_size(pdu.data(), USBIP_MAX_PDU, &reason);
    if (why) *why = reason;
    return n;
}

UsbipRequest parsed(const Submit& s) {
    const Bytes pdu = s.wire();
    UsbipRequest req;
    const char* why = nullptr;
    EXPECT_EQ(size_of(pdu), long(pdu.size()));
    EXPECT_EQ(usbip_parse_submit(pdu.data(), pdu.size(), &req, &why), 0) << why;
    return req;
}

// A reply as the device logic builds it (little-endian).
Bytes device_reply(uint32_t seqnum, int32_t status, const Bytes& data, uint32_t packets = 0,
                   const std::vector<uint32_t>& packet_actuals = {}) {
    Bytes r(48 + data.size() + 16 * packet_actuals.size(), 0);
    put_le32(&r[USBIP_COMMAND], USBIP_RET_SUBMIT);
    put_le32(&r[USBIP_SEQNUM], seqnum);
    put_le32(&r[USBIP_STATUS], uint32_t(status));
    put_le32(&r[USBIP_LENGTH], uint32_t(data.size()));
    put_le32(&r[USBIP_PACKETS], packets);
    std::copy(data.begin(), data.end(), r.begin() + 48);
    uint8_t* d = r.data() + 48 + data.size();
    for (size_t i = 0; i < packet_actuals.size(); ++i, d += 16) {
        put_le32(d, uint32_t(96 * i));
        put_le32(d + 4, 96);
        put_le32(d + 8, packet_actuals[i]);
    }
    return r;
}

Bytes wire_of(const UsbipRequest& req, const Bytes& reply, int32_t* status = nullptr) {
    Bytes out;
    int32_t st = 0;
    EXPECT_EQ(usbip_wire_reply(req, reply.data(), reply.size(), &out, &st), 0);
    if (status) *status = st;
    return out;
}

Submit iso_request(uint32_t seqnum, uint32_t direction, uint32_t packets, uint32_t each = 96) {
    Submit s;
    s.seqnum = seqnum;
    s.ep = direction == USBIP_DIR_OUT ? 1 : 2;
    s.direction = direction;
    s.packets = packets;
    s.length = each * packets;
    for (uint32_t i = 0; i < packets; ++i) s.iso.push_back({each * i, each});
    if (direction == USBIP_DIR_OUT) s.out_data.assign(s.length, 7);
    return s;
}

Bytes ramp(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i);
    return b;
}

TEST(RequestSize, CountsHeaderOutDataAndIsoDescriptors) {
    EXPECT_EQ(size_of(control(1, 0x80, 6, 0x100, 0, 255).wire()), 48);
    EXPECT_EQ(size_of(control(1, 0x21, 9, 0x203, 3, 33).wire()), 48 + 33);
    EXPECT_EQ(size_of(iso_request(1, USBIP_DIR_OUT, 6).wire()), 48 + 576 + 96);
    EXPECT_EQ(size_of(iso_request(1, USBIP_DIR_IN, 1).wire()), 48 + 16);
    EXPECT_EQ(size_of(unlink_pdu(5, 4)), 48);
    Submit not_iso = control(1, 0x80, 6, 0x100, 0, 18);
    not_iso.packets = USBIP_NOT_ISO;
    EXPECT_EQ(size_of(not_iso.wire()), 48);
}

TEST(RequestSize, MalformedHeadersAreRefusedWithAReason) {
    const char* why = nullptr;
    Bytes bad = control(1, 0x80, 6, 0x100, 0, 18).wire();
    put_be32(&bad[USBIP_COMMAND], 3);  // a reply from the host
    EXPECT_EQ(size_of(bad, &why), -1);
    EXPECT_STREQ(why, "unknown command");
    Submit s = control(1, 0x80, 6, 0x100, 0, 18);
    s.direction = 2;
    EXPECT_EQ(size_of(s.wire(), &why), -1);
    EXPECT_STREQ(why, "bad direction");
    s = control(1, 0x80, 6, 0x100, 0, 18);
    s.ep = 16;
    EXPECT_EQ(size_of(s.wire(), &why), -1);
    // OUT data or descriptors beyond the read buffer, with no wrap-around.
    Bytes huge = control(1, 0x21, 9, 0, 0, 0).wire();
    put_be32(&huge[USBIP_LENGTH], 0xFFFFFFFF);
    EXPECT_EQ(size_of(huge, &why), -1);
    EXPECT_STREQ(why, "request larger than the device accepts");
    Bytes many = iso_request(1, USBIP_DIR_IN, 1).wire();
    put_be32(&many[USBIP_PACKETS], 0x10000001);
    EXPECT_EQ(size_of(many), -1);
    // An IN request's buffer length is only a limit, however large.
    Bytes in = control(1, 0x80, 6, 0x100, 0, 18).wire();
    put_be32(&in[USBIP_LENGTH], 0xFFFFFFFF);
    EXPECT_EQ(size_of(in), 48);
}

TEST(ParseSubmit, IsoPacketOutsideTheTransferBufferIsRefused) {
    Submit s = iso_request(1, USBIP_DIR_IN, 2);
    s.iso[1] = {0xFFFFFFF0, 0x20};  // would wrap in 32 bits
    const Bytes pdu = s.wire();
    UsbipRequest req;
    const char* why = nullptr;
    EXPECT_EQ(usbip_parse_submit(pdu.data(), pdu.size(), &req, &why), -1);
    EXPECT_STREQ(why, "isochronous packets outside the transfer buffer");
}

TEST(ParseSubmit, OverlappingIsoPacketsLongerThanTheBufferAreRefused) {
    // Each packet fits, but together they claim 192 bytes of a 96-byte
    // buffer: an OUT reply would report more taken than was sent.
    Submit s = iso_request(1, USBIP_DIR_OUT, 2, 48);
    s.iso = {{0, 96}, {0, 96}};
    const Bytes pdu = s.wire();
    UsbipRequest req;
    const char* why = nullptr;
    EXPECT_EQ(usbip_parse_submit(pdu.data(), pdu.size(), &req, &why), -1);
}

TEST(WireReply, ControlInDataIsCutToTheTransferBufferAndHeaderIsBigEndian) {
    const UsbipRequest req = parsed(control(0x102, 0x80, 6, 0x200, 0, 9));
    const Bytes out = wire_of(req, device_reply(0x102, 0, ramp(217)));
    ASSERT_EQ(out.size(), 48u + 9);
    Bytes header(48, 0);
    put_be32(&header[0], 3);
    put_be32(&header[4], 0x102);
    put_be32(&header[24], 9);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 48), header);
    EXPECT_EQ(Bytes(out.begin() + 48, out.end()), ramp(9));
}

TEST(WireReply, ControlOutReplyCarriesNoDataAndReportsTheBytesTaken) {
    // SET_REPORT of 33 bytes acknowledged by the device with a 5-byte block.
    const UsbipRequest req = parsed(control(8, 0x21, 9, 0x0203, 3, 33));
    const Bytes out = wire_of(req, device_reply(8, 0, {0x12, 2, 0x48, 0x20, 8}));
    ASSERT_EQ(out.size(), 48u);
    EXPECT_EQ(get_be32(&out[USBIP_LENGTH]), 33u);
    EXPECT_EQ(get_be32(&out[USBIP_STATUS]), 0u);
}

TEST(WireReply, FailedReplyCarriesItsStatusAndNothingElse) {
    const UsbipRequest req = parsed(control(8, 0x80, 6, 0x100, 0, 18));
    int32_t status = 0;
    const Bytes out = wire_of(req, device_reply(8, USBIP_ESTALL, ramp(18)), &status);
    EXPECT_EQ(status, USBIP_ESTALL);
    ASSERT_EQ(out.size(), 48u);
    EXPECT_EQ(int32_t(get_be32(&out[USBIP_STATUS])), -32);
    EXPECT_EQ(get_be32(&out[USBIP_LENGTH]), 0u);
}

TEST(WireReply, IsoOutReportsEveryPacketTakenWithOneDescriptorPerRequestPacket) {
    // Linux plays with 6 packets; the device's reply still has the ten
    // descriptors and actual_length 0 of the original playback reply.
    const UsbipRequest req = parsed(iso_request(40, USBIP_DIR_OUT, 6));
    const Bytes reply = device_reply(40, 0, {}, 10, std::vector<uint32_t>(10, 96));
    const Bytes out = wire_of(req, reply);
    ASSERT_EQ(out.size(), 48u + 6 * 16);
    EXPECT_EQ(get_be32(&out[USBIP_LENGTH]), 576u);
    EXPECT_EQ(get_be32(&out[USBIP_PACKETS]), 6u);
    for (uint32_t i = 0; i < 6; ++i) {
        const uint8_t* d = &out[48 + 16 * i];
        EXPECT_EQ(get_be32(d), 96 * i);
        EXPECT_EQ(get_be32(d + 4), 96u);
        EXPECT_EQ(get_be32(d + 8), 96u);
        EXPECT_EQ(get_be32(d + 12), 0u);
    }
}

TEST(WireReply, IsoInTakesPacketsFromTheDeviceDataInOrder) {
    // Linux captures one packet per request; the device offers ten.
    const UsbipRequest req = parsed(iso_request(41, USBIP_DIR_IN, 1));
    const Bytes out =
        wire_of(req, device_reply(41, 0, ramp(960), 10, std::vector<uint32_t>(10, 96)));
    ASSERT_EQ(out.size(), 48u + 96 + 16);
    EXPECT_EQ(get_be32(&out[USBIP_LENGTH]), 96u);
    EXPECT_EQ(get_be32(&out[USBIP_PACKETS]), 1u);
    EXPECT_EQ(Bytes(out.begin() + 48, out.begin() + 144), ramp(96));
    EXPECT_EQ(get_be32(&out[144 + 8]), 96u);
}

TEST(WireReply, IsoInShortPacketsArePackedAndSumToTheActualLength) {
    const UsbipRequest req = parsed(iso_request(42, USBIP_DIR_IN, 3));
    // The device gives 94, 96 and 2 bytes, packed, with its own descriptors.
    const Bytes out = wire_of(req, device_reply(42, 0, ramp(192), 3, {94, 96, 2}));
    ASSERT_EQ(out.size(), 48u + 192 + 48);
    EXPECT_EQ(get_be32(&out[USBIP_LENGTH]), 192u);
    EXPECT_EQ(Bytes(out.begin() + 48, out.begin() + 240), ramp(192));
    uint32_t sum = 0;
    for (int i = 0; i < 3; ++i) {
        const uint8_t* d = &out[240 + 16 * i];
        EXPECT_EQ(get_be32(d), 96u * i);
        sum += get_be32(d + 8);
    }
    EXPECT_EQ(sum, get_be32(&out[USBIP_LENGTH]));
    EXPECT_EQ(get_be32(&out[240 + 8]), 94u);
    EXPECT_EQ(get_be32(&out[240 + 32 + 8]), 2u);
}

TEST(WireReply, IsoInWithLessDataThanAskedFillsWhatItHas) {
    const UsbipRequest req = parsed(iso_request(43, USBIP_DIR_IN, 2));
    // Device descriptors claim more than its data holds: only the data counts.
    const Bytes out = wire_of(req, device_reply(43, 0, ramp(100), 2, {96, 96}));
    EXPECT_EQ(get_be32(&out[USBIP_LENGTH]), 100u);
    EXPECT_EQ(get_be32(&out[48 + 100 + 16 + 8]), 4u);
}

TEST(WireReply, MalformedDeviceRepliesAreRefused) {
    const UsbipRequest req = parsed(control(8, 0x80, 6, 0x100, 0, 18));
    Bytes out;
    int32_t status = 0;
    Bytes reply = device_reply(8, 0, ramp(18));
    EXPECT_EQ(usbip_wire_reply(req, reply.data(), 47, &out, &status), -1);
    put_le32(&reply[USBIP_LENGTH], 19);  // claims more data than it has
    EXPECT_EQ(usbip_wire_reply(req, reply.data(), reply.size(), &out, &status), -1);
    reply = device_reply(8, 0, ramp(18));
    put_le32(&reply[USBIP_COMMAND], USBIP_RET_UNLINK);
    EXPECT_EQ(usbip_wire_reply(req, reply.data(), reply.size(), &out, &status), -1);
    EXPECT_TRUE(out.empty());
}

TEST(RetUnlink, CarriesTheUnlinkSeqnumAndStatus) {
    const auto r = usbip_ret_unlink(0x10, USBIP_ECONNRESET);
    Bytes expected(48, 0);
    put_be32(&expected[0], 4);
    put_be32(&expected[4], 0x10);
    put_be32(&expected[20], uint32_t(-104));
    EXPECT_EQ(Bytes(r.begin(), r.end()), expected);
}

// What the bus answers for control requests the device left unanswered.
int32_t fallback(const UsbipControlState& st, const Submit& s, Bytes* data) {
    const UsbipRequest req = parsed(s);
    const Bytes reply = st.fallback_reply(req);
    int32_t status = 0;
    const Bytes out = wire_of(req, reply, &status);
    *data = Bytes(out.begin() + 48, out.end());
    return status;
}

TEST(ControlFallback, ConfigurationAndAlternateSettingsFollowAnsweredSetters) {
    UsbipControlState st;
    Bytes data;
    EXPECT_EQ(fallback(st, control(1, 0x80, 8, 0, 0, 1), &data), 0);
    EXPECT_EQ(data, Bytes{0});  // not configured yet
    const Submit set_config = control(2, 0x00, 9, 1, 0, 0);
    EXPECT_EQ(fallback(st, set_config, &data), 0);
    st.note_answer(parsed(set_config), 0);
    EXPECT_EQ(fallback(st, control(3, 0x80, 8, 0, 0, 1), &data), 0);
    EXPECT_EQ(data, Bytes{1});
    // A SET_INTERFACE that the device answered with success is remembered.
    st.note_answer(parsed(control(4, 0x01, 11, 1, 2, 0)), 0);
    st.note_answer(parsed(control(5, 0x01, 11, 1, 1, 0)), USBIP_ESTALL);
    EXPECT_EQ(fallback(st, control(6, 0x81, 10, 0, 2, 1), &data), 0);
    EXPECT_EQ(data, Bytes{1});
    EXPECT_EQ(fallback(st, control(7, 0x81, 10, 0, 1, 1), &data), 0);
    EXPECT_EQ(data, Bytes{0});
    // A new configuration resets the alternate settings.
    st.note_answer(parsed(set_config), 0);
    EXPECT_EQ(fallback(st, control(8, 0x81, 10, 0, 2, 1), &data), 0);
    EXPECT_EQ(data, Bytes{0});
}

TEST(ControlFallback, EverythingElseStalls) {
    UsbipControlState st;
    Bytes data;
    // Class SET_REPORT shares bRequest 9 with SET_CONFIGURATION.
    EXPECT_EQ(fallback(st, control(1, 0x21, 9, 0x0205, 3, 2), &data), USBIP_ESTALL);
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(fallback(st, control(2, 0x80, 6, 0x0302, 0x409, 255), &data), USBIP_ESTALL);
    EXPECT_EQ(fallback(st, control(3, 0xA1, 1, 0x0105, 3, 2), &data), USBIP_ESTALL);
    EXPECT_TRUE(data.empty());
}

TEST(ControlFallback, GetConfigurationWithNoRoomReturnsNoData) {
    UsbipControlState st;
    Bytes data;
    EXPECT_EQ(fallback(st, control(1, 0x80, 8, 0, 0, 0), &data), 0);
    EXPECT_TRUE(data.empty());
}

}  // namespace
}  // namespace quor::test
