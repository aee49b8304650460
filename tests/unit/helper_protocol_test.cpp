// The helper's request records: what it accepts and what it refuses before
// anything is done.
#include "platform/helper_protocol.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace quor::helper {
namespace {

constexpr uint32_t ADDR_192_168_1_20 = 0xC0A80114;

// Result of decoding the record for REQ with FDS descriptors.
int check(const Request& req, int fds = 0, Request* out = nullptr) {
    uint8_t buf[REQUEST_SIZE];
    encode_request(req, buf);
    Request ignored;
    const char* why = nullptr;
    const int rc = decode_request(buf, sizeof(buf), fds, out ? out : &ignored, &why);
    EXPECT_NE(why, nullptr);
    if (rc != 0) {
        EXPECT_STRNE(why, "");
    }
    return rc;
}

TEST(HelperProtocol, RecordsOfTheWrongSizeMagicOrVersionAreRefused) {
    uint8_t buf[REQUEST_SIZE + 1] = {};
    encode_request({OP_DETACH, 3, 0, 0}, buf);
    Request req;
    const char* why;
    EXPECT_EQ(decode_request(buf, REQUEST_SIZE, 0, &req, &why), 0);
    EXPECT_EQ(req.a, 3u);
    EXPECT_EQ(decode_request(buf, REQUEST_SIZE - 1, 0, &req, &why), EINVAL);
    EXPECT_EQ(decode_request(buf, REQUEST_SIZE + 1, 0, &req, &why), EINVAL);
    uint8_t bad[REQUEST_SIZE];
    memcpy(bad, buf, sizeof(bad));
    bad[0] ^= 1;
    EXPECT_EQ(decode_request(bad, sizeof(bad), 0, &req, &why), EINVAL);
    memcpy(bad, buf, sizeof(bad));
    bad[4] ^= 2;  // version
    EXPECT_EQ(decode_request(bad, sizeof(bad), 0, &req, &why), EINVAL);
    EXPECT_EQ(check({0}), EINVAL);
    EXPECT_EQ(check({OP_FIREWALL_CLOSE + 1}), EINVAL);
}

TEST(HelperProtocol, OnlyAttachCarriesADescriptorAndExactlyOne) {
    Request got;
    EXPECT_EQ(check({OP_ATTACH, 0x10003, 2, 0}, 1, &got), 0);
    EXPECT_EQ(got.op, OP_ATTACH);
    EXPECT_EQ(got.a, 0x10003u);
    EXPECT_EQ(got.b, 2u);
    EXPECT_EQ(check({OP_ATTACH, 0x10003, 2, 0}, 0), EINVAL);
    EXPECT_EQ(check({OP_ATTACH, 0x10003, 2, 0}, 2), EINVAL);
    EXPECT_EQ(check({OP_DETACH, 1, 0, 0}, 1), EINVAL);
    EXPECT_EQ(check({OP_BIND_UDP, FAMILY_IPV4, 0, 514}, 1), EINVAL);
    EXPECT_EQ(check({OP_FIREWALL_OPEN, FAMILY_IPV4, ADDR_192_168_1_20, 0}, 1), EINVAL);
}

TEST(HelperProtocol, AttachTakesUsb2SpeedsAndDetachThePortsOfTheTable) {
    EXPECT_EQ(check({OP_ATTACH, 1, 0, 0}, 1), EINVAL);
    for (uint32_t speed : {1u, 2u, 3u}) EXPECT_EQ(check({OP_ATTACH, 1, speed, 0}, 1), 0);
    EXPECT_EQ(check({OP_ATTACH, 1, 4, 0}, 1), EINVAL);  // wireless
    EXPECT_EQ(check({OP_ATTACH, 1, 5, 0}, 1), EINVAL);  // super speed
    EXPECT_EQ(check({OP_ATTACH, 1, 2, 7}, 1), EINVAL);
    EXPECT_EQ(check({OP_DETACH, 0, 0, 0}), 0);
    EXPECT_EQ(check({OP_DETACH, 126, 0, 0}), 0);
    EXPECT_EQ(check({OP_DETACH, 127, 0, 0}), EINVAL);
    EXPECT_EQ(check({OP_DETACH, 0xFFFFFFFF, 0, 0}), EINVAL);
    EXPECT_EQ(check({OP_DETACH, 1, 1, 0}), EINVAL);
}

TEST(HelperProtocol, BindIsIpv4PortFiveFourteenOnAUnicastOrEveryAddress) {
    EXPECT_EQ(check({OP_BIND_UDP, FAMILY_IPV4, 0, 514}), 0);
    EXPECT_EQ(check({OP_BIND_UDP, FAMILY_IPV4, ADDR_192_168_1_20, 514}), 0);
    EXPECT_EQ(check({OP_BIND_UDP, 10, 0, 514}), EINVAL);  // AF_INET6
    EXPECT_EQ(check({OP_BIND_UDP, 1, 0, 514}), EINVAL);   // AF_UNIX
    EXPECT_EQ(check({OP_BIND_UDP, FAMILY_IPV4, 0, 22}), EINVAL);
    EXPECT_EQ(check({OP_BIND_UDP, FAMILY_IPV4, 0, 514 + 65536}), EINVAL);
    EXPECT_EQ(check({OP_BIND_UDP, FAMILY_IPV4, 0xE0000001, 514}), EINVAL);
    EXPECT_EQ(check({OP_BIND_UDP, FAMILY_IPV4, 0xFFFFFFFF, 514}), EINVAL);
}

TEST(HelperProtocol, FirewallRulesAreForOneHostOnly) {
    for (uint16_t op : {OP_FIREWALL_OPEN, OP_FIREWALL_CLOSE}) {
        EXPECT_EQ(check({op, FAMILY_IPV4, ADDR_192_168_1_20, 0}), 0);
        EXPECT_EQ(check({op, FAMILY_IPV4, 0x7F000001, 0}), 0);
        EXPECT_EQ(check({op, FAMILY_IPV4, 0, 0}), EINVAL);
        EXPECT_EQ(check({op, FAMILY_IPV4, 0x00000005, 0}), EINVAL);
        EXPECT_EQ(check({op, FAMILY_IPV4, 0xEFFFFFFA, 0}), EINVAL);
        EXPECT_EQ(check({op, FAMILY_IPV4, 0xFFFFFFFF, 0}), EINVAL);
        EXPECT_EQ(check({op, 10, ADDR_192_168_1_20, 0}), EINVAL);
        EXPECT_EQ(check({op, FAMILY_IPV4, ADDR_192_168_1_20, 514}), EINVAL);
    }
}

TEST(HelperProtocol, AnswersMustMatchTheRequestAndBeWhole) {
    uint8_t buf[ANSWER_SIZE];
    encode_answer({OP_ATTACH, 0, 5}, buf);
    Answer ans;
    ASSERT_EQ(decode_answer(buf, sizeof(buf), OP_ATTACH, &ans), 0);
    EXPECT_EQ(ans.value, 5u);
    EXPECT_EQ(decode_answer(buf, sizeof(buf), OP_DETACH, &ans), EPROTO);
    EXPECT_EQ(decode_answer(buf, sizeof(buf) - 1, OP_ATTACH, &ans), EPROTO);
    buf[0] ^= 1;
    EXPECT_EQ(decode_answer(buf, sizeof(buf), OP_ATTACH, &ans), EPROTO);
}

}  // namespace
}  // namespace quor::helper
