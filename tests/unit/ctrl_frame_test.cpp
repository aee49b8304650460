#include "link/ctrl_frame.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "link/ctrl_channel.h"
#include "platform/byte_order.h"

namespace {

using quor::read_ctrl_frame;
using quor::send_frame;

// A connected pair of stream sockets, closed on destruction.
struct SocketPair {
    int fd[2] = {-1, -1};
    SocketPair() { EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fd)); }
    ~SocketPair() {
        for (int s : fd)
            if (s >= 0) close(s);
    }
    void close_end(int i) {
        close(fd[i]);
        fd[i] = -1;
    }
};

std::vector<uint8_t> make_frame(uint8_t type, size_t len) {
    std::vector<uint8_t> payload(len);
    for (size_t i = 0; i < len; ++i) payload[i] = static_cast<uint8_t>(i * 7 + 3);
    std::vector<uint8_t> frame(CTRL_FRAME_MAX);
    int n = encode_frame(type, payload.data(), len, frame.data(), frame.size());
    EXPECT_EQ(static_cast<int>(len + 2), n);
    frame.resize(static_cast<size_t>(n));
    return frame;
}

void expect_frame_equals(const CtrlFrame& f, const std::vector<uint8_t>& frame) {
    ASSERT_EQ(frame[0], f.type);
    ASSERT_EQ(frame[1], f.len);
    EXPECT_EQ(0, memcmp(f.payload, frame.data() + 2, f.len));
}

TEST(ByteOrder, BigAndLittleEndianRoundTrip) {
    uint8_t b[4];
    put_be32(b, 0x01020304);
    EXPECT_EQ(0x01, b[0]);
    EXPECT_EQ(0x04, b[3]);
    EXPECT_EQ(0x01020304u, get_be32(b));
    put_be16(b, 0xA1B2);
    EXPECT_EQ(0xA1, b[0]);
    EXPECT_EQ(0xA1B2, get_be16(b));
    put_le32(b, 0x01020304);
    EXPECT_EQ(0x04, b[0]);
    EXPECT_EQ(0x01, b[3]);
    EXPECT_EQ(0x01020304u, get_le32(b));
    put_le16(b, 0xA1B2);
    EXPECT_EQ(0xB2, b[0]);
    EXPECT_EQ(0xA1B2, get_le16(b));
    const uint8_t high[4] = {0xFF, 0xFE, 0xFD, 0xFC};
    EXPECT_EQ(0xFFFEFDFCu, get_be32(high));
    EXPECT_EQ(0xFCFDFEFFu, get_le32(high));
}

TEST(CtrlCatalogue, NamesAndCodes) {
    const struct {
        int code;
        const char* name;
    } catalogue[] = {
        {0x11, "USER_NAME"},       {0x12, "PASSWORD"},
        {0x14, "DOMAIN"},          {0x15, "DISMISS_SIGNIN_HELP"},
        {0x16, "PAIR_START"},      {0x17, "LYNC_ONLINE"},
        {0x18, "LYNC_LOGOUT"},     {0x19, "PAIR_QUERY"},
        {0x1B, "LOG_ROUTE"},       {0x2A, "UNPAIR"},
        {0x3A, "UNPAIR_ACK"},      {0x40, "MEDIA_OFFER"},
        {0x41, "MEDIA_STOP"},      {0x42, "DISPLAY_NAME"},
        {0x60, "KEEPALIVE"},       {0x21, "SET_GRUU"},
        {0x22, "SIGNED_IN"},       {0x23, "SIGNED_OUT"},
        {0x24, "SIGNIN_FAILED"},   {0x25, "SIGNIN_REQUEST"},
        {0x26, "MODEL_NAME"},      {0x27, "VENDOR_ID"},
        {0x28, "PRODUCT_ID"},      {0x29, "DEVICE_RELEASE"},
        {0x2B, "SIGNOUT_REQUEST"}, {0x2C, "PAIR_ANSWER"},
        {0x2D, "TAKEN_OVER"},      {0x50, "PHONE_MEDIA_OFFER"},
        {0x51, "HANG_UP"},         {0x61, "KEEPALIVE_ACK"},
    };
    for (const auto& m : catalogue) {
        EXPECT_STREQ(m.name, ctrl_type_name(static_cast<uint8_t>(m.code))) << m.code;
        EXPECT_TRUE(ctrl_type_known(static_cast<uint8_t>(m.code))) << m.code;
    }
    int known = 0;
    for (int t = 0; t < 256; ++t) known += ctrl_type_known(static_cast<uint8_t>(t));
    EXPECT_EQ(30, known);
    EXPECT_STREQ("UNKNOWN", ctrl_type_name(0x7F));
    EXPECT_STREQ("UNKNOWN", ctrl_type_name(0x13));
    EXPECT_FALSE(ctrl_type_known(0));
}

TEST(CtrlEncode, PayloadLimits) {
    uint8_t out[CTRL_FRAME_MAX + 1];
    std::vector<uint8_t> payload(256, 0xAB);
    EXPECT_EQ(257, encode_frame(SET_GRUU, payload.data(), 255, out, sizeof(out)));
    EXPECT_EQ(255, out[1]);
    EXPECT_EQ(0xAB, out[256]);
    EXPECT_EQ(-1, encode_frame(SET_GRUU, payload.data(), 256, out, sizeof(out)));
    EXPECT_EQ(-1, encode_frame(SET_GRUU, payload.data(), 10, out, 11));
    EXPECT_EQ(12, encode_frame(SET_GRUU, payload.data(), 10, out, 12));
    EXPECT_EQ(2, encode_frame(KEEPALIVE, nullptr, 0, out, 2));
    EXPECT_EQ(0x60, out[0]);
    EXPECT_EQ(0x00, out[1]);
}

std::vector<uint8_t> joined(std::initializer_list<const std::vector<uint8_t>*> frames) {
    std::vector<uint8_t> all;
    for (const auto* f : frames) all.insert(all.end(), f->begin(), f->end());
    return all;
}

TEST(CtrlFramer, WholeFramesBackToBack) {
    auto a = make_frame(PAIR_ANSWER, 0);
    auto b = make_frame(0x7F, 10);  // unknown type: consumed whole
    auto c = make_frame(MODEL_NAME, 255);
    const auto all = joined({&a, &b, &c});
    CtrlFramer framer;
    CtrlFrame f{};
    size_t used = 0;
    for (const auto* expected : {&a, &b, &c}) {
        // Each feed stops at the end of the frame it completes.
        const size_t took = framer.feed(all.data() + used, all.size() - used);
        ASSERT_EQ(expected->size(), took);
        used += took;
        EXPECT_EQ(0u, framer.wanted());
        EXPECT_EQ(0u, framer.feed(all.data() + used, all.size() - used));  // frame not collected
        ASSERT_TRUE(framer.next(&f));
        expect_frame_equals(f, *expected);
    }
    EXPECT_FALSE(framer.next(&f));
    EXPECT_FALSE(framer.partial());
    EXPECT_EQ(CTRL_HEADER_LEN, framer.wanted());
}

TEST(CtrlFramer, FrameSplitIntoSingleBytesEqualsWholeFrame) {
    auto first = make_frame(SET_GRUU, 200);
    auto second = make_frame(KEEPALIVE_ACK, 0);
    const auto bytes = joined({&first, &second});
    CtrlFramer framer;
    std::vector<CtrlFrame> frames;
    for (size_t i = 0; i < bytes.size(); ++i) {
        ASSERT_EQ(1u, framer.feed(&bytes[i], 1)) << i;
        CtrlFrame f{};
        if (framer.next(&f)) {
            frames.push_back(f);
            EXPECT_TRUE(i + 1 == first.size() || i + 1 == bytes.size()) << i;
        } else {
            EXPECT_TRUE(framer.partial()) << i;
        }
    }
    ASSERT_EQ(2u, frames.size());
    expect_frame_equals(frames[0], first);
    expect_frame_equals(frames[1], second);
    EXPECT_FALSE(framer.partial());
}

TEST(CtrlRead, LeavesTheNextFrameInTheSocket) {
    SocketPair sp;
    auto a = make_frame(PAIR_ANSWER, 0);
    auto b = make_frame(0x7F, 10);
    auto c = make_frame(MODEL_NAME, 255);
    const auto all = joined({&a, &b, &c});
    ASSERT_EQ(static_cast<ssize_t>(all.size()), send(sp.fd[1], all.data(), all.size(), 0));
    sp.close_end(1);  // a reader that took too much meets the end, never blocks
    CtrlFrame f{};
    ASSERT_EQ(1, read_ctrl_frame(sp.fd[0], &f));
    expect_frame_equals(f, a);
    ASSERT_EQ(1, read_ctrl_frame(sp.fd[0], &f));
    expect_frame_equals(f, b);
    ASSERT_EQ(1, read_ctrl_frame(sp.fd[0], &f));
    expect_frame_equals(f, c);
    EXPECT_EQ(0, read_ctrl_frame(sp.fd[0], &f));
}

TEST(CtrlRead, PeerClosingMidFrameReturnsZero) {
    CtrlFrame f{};
    {
        SocketPair sp;  // one header byte, then close
        uint8_t half = SET_GRUU;
        ASSERT_EQ(1, send(sp.fd[1], &half, 1, 0));
        sp.close_end(1);
        EXPECT_EQ(0, read_ctrl_frame(sp.fd[0], &f));
    }
    {
        SocketPair sp;  // header promising 10 bytes, 4 sent, then close
        const uint8_t part[] = {SET_GRUU, 10, 'a', 'b', 'c', 'd'};
        ASSERT_EQ(6, send(sp.fd[1], part, sizeof(part), 0));
        sp.close_end(1);
        EXPECT_EQ(0, read_ctrl_frame(sp.fd[0], &f));
    }
    {
        SocketPair sp;  // nothing at all
        sp.close_end(1);
        EXPECT_EQ(0, read_ctrl_frame(sp.fd[0], &f));
    }
}

TEST(CtrlRead, FailedReadReturnsMinusOne) {
    CtrlFrame f{};
    EXPECT_EQ(-1, read_ctrl_frame(-1, &f));
    int fds[2];
    ASSERT_EQ(0, pipe(fds));  // not a socket: recv fails
    ASSERT_EQ(1, write(fds[1], "x", 1));
    EXPECT_EQ(-1, read_ctrl_frame(fds[0], &f));
    close(fds[0]);
    close(fds[1]);
}

TEST(CtrlSend, WholeFrameArrives) {
    SocketPair sp;
    const uint8_t payload[] = {'Q', '5', '5', 0};
    ASSERT_EQ(0, send_frame(sp.fd[0], MODEL_NAME, payload, sizeof(payload)));
    uint8_t buf[16];
    ASSERT_EQ(6, recv(sp.fd[1], buf, sizeof(buf), 0));
    const uint8_t expected[] = {0x26, 0x04, 'Q', '5', '5', 0};
    EXPECT_EQ(0, memcmp(buf, expected, sizeof(expected)));
    std::vector<uint8_t> big(256);
    EXPECT_EQ(-1, send_frame(sp.fd[0], SET_GRUU, big.data(), big.size()));
    EXPECT_EQ(-1, send_frame(-1, KEEPALIVE, nullptr, 0));
}

TEST(CtrlSend, DeadPeerFailsWithoutSigpipe) {
    // With SIGPIPE at its default action a send without MSG_NOSIGNAL would end
    // this test program.
    SocketPair sp;
    sp.close_end(1);
    EXPECT_EQ(-1, send_frame(sp.fd[0], KEEPALIVE, nullptr, 0));
    EXPECT_EQ(-1, send_frame(sp.fd[0], KEEPALIVE, nullptr, 0));
}

TEST(CtrlPayloads, LogRoute) {
    uint8_t out[LOG_ROUTE_LEN];
    build_log_route_to_pc(0xC0A80105, out);  // 192.168.1.5
    const uint8_t to_pc[] = {0x01, 0x01, 0x07, 0x00, 0xC0, 0xA8, 0x01, 0x05};
    EXPECT_EQ(0, memcmp(out, to_pc, sizeof(to_pc)));
    memset(out, 0xEE, sizeof(out));
    build_log_route_to_phone(out);
    const uint8_t to_phone[] = {0x01, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(0, memcmp(out, to_phone, sizeof(to_phone)));
}

TEST(CtrlPayloads, MediaOffer) {
    uint8_t out[MEDIA_OFFER_LEN];
    memset(out, 0xEE, sizeof(out));
    build_media_offer(18747, "AES_CM_128_HMAC_SHA1_80 inline:abc", out);
    const uint8_t port[] = {0x00, 0x00, 0x49, 0x3B};
    EXPECT_EQ(0, memcmp(out, port, sizeof(port)));
    EXPECT_STREQ("AES_CM_128_HMAC_SHA1_80 inline:abc", reinterpret_cast<const char*>(out + 4));
    for (size_t i = 4 + 34; i < MEDIA_OFFER_LEN; ++i) ASSERT_EQ(0, out[i]) << i;

    std::string longer(200, 'k');
    build_media_offer(65535, longer.c_str(), out);
    EXPECT_EQ(0xFFFFu, get_be32(out));
    EXPECT_EQ('k', out[4 + 126]);
    EXPECT_EQ(0, out[4 + 127]);

    build_media_offer(1, nullptr, out);
    EXPECT_EQ(0, out[4]);
}

TEST(CtrlPayloads, DisplayName) {
    uint8_t out[DISPLAY_NAME_MAX + 8];
    memset(out, 0xEE, sizeof(out));
    size_t len = 0;
    std::string seventy(70, 'n');
    build_display_name(seventy.c_str(), out, &len);
    EXPECT_EQ(64u, len);
    EXPECT_EQ('n', out[62]);
    EXPECT_EQ(0, out[63]);
    EXPECT_EQ(0xEE, out[64]);

    std::string sixty_three(63, 'm');
    build_display_name(sixty_three.c_str(), out, &len);
    EXPECT_EQ(64u, len);
    EXPECT_EQ(0, out[63]);

    build_display_name("Ann", out, &len);
    EXPECT_EQ(4u, len);
    EXPECT_STREQ("Ann", reinterpret_cast<const char*>(out));

    build_display_name("", out, &len);
    EXPECT_EQ(1u, len);
    EXPECT_EQ(0, out[0]);
}

TEST(CtrlPayloads, DisplayNameNeverSplitsACharacter) {
    uint8_t out[DISPLAY_NAME_MAX];
    size_t len = 0;
    // 61 ASCII bytes then a 3-byte character (U+4E2D) straddling the cut.
    std::string name(61, 'a');
    name += "\xE4\xB8\xAD";
    name += "tail";
    build_display_name(name.c_str(), out, &len);
    EXPECT_EQ(62u, len);
    EXPECT_EQ('a', out[60]);
    EXPECT_EQ(0, out[61]);

    // A 3-byte character ending exactly at byte 63 is kept whole.
    std::string exact(60, 'b');
    exact += "\xE4\xB8\xAD";
    exact += "more";
    build_display_name(exact.c_str(), out, &len);
    EXPECT_EQ(64u, len);
    EXPECT_EQ(0xAD, out[62]);

    // Not UTF-8 (a run of continuation bytes): the plain 63-byte cut.
    std::string junk(70, '\x80');
    build_display_name(junk.c_str(), out, &len);
    EXPECT_EQ(64u, len);
}

TEST(AddressDatagram, DecodeAndEncode) {
    uint32_t addr = 0;
    const uint8_t good[] = {0xC0, 0xA8, 0x01, 0x14, 0x01, 0x7D};
    ASSERT_EQ(0, decode_address_datagram(good, sizeof(good), &addr));
    EXPECT_EQ(0xC0A80114u, addr);

    addr = 7;
    const uint8_t bad_sum[] = {0xC0, 0xA8, 0x01, 0x14, 0x01, 0x7E};
    EXPECT_EQ(-1, decode_address_datagram(bad_sum, sizeof(bad_sum), &addr));
    const uint8_t seven[] = {0xC0, 0xA8, 0x01, 0x14, 0x01, 0x7D, 0x00};
    EXPECT_EQ(-1, decode_address_datagram(seven, sizeof(seven), &addr));
    EXPECT_EQ(-1, decode_address_datagram(good, 5, &addr));
    EXPECT_EQ(7u, addr);

    uint8_t out[ADDRESS_DATAGRAM_LEN];
    encode_address_datagram(0xC0A80114, out);
    EXPECT_EQ(0, memcmp(out, good, sizeof(good)));
    encode_address_datagram(0xFFFFFFFF, out);  // 4 * 255 = 0x03FC
    EXPECT_EQ(0x03, out[4]);
    EXPECT_EQ(0xFC, out[5]);
    ASSERT_EQ(0, decode_address_datagram(out, sizeof(out), &addr));
    EXPECT_EQ(0xFFFFFFFFu, addr);
}

}  // namespace
