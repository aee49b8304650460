// Crypto lines, base64, the SRTP library loader and the call's SRTP context.
#include "media/srtp_keying.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "base/base64.h"
#include "media/media_api.h"
#include "media/rtp_session.h"
#include "support/program_srtp.h"
#include "support/srtp_peer.h"

namespace quor::test {
namespace {

const std::string PREFIX = "1 AES_CM_128_HMAC_SHA1_80 inline:";
const std::string LINE_A = PREFIX + "WVNfX19zZW1jdGwgKCkgewkyMjA7fQp9CnVubGVz";
const std::string LINE_B = PREFIX + "Q7Vdh8bVjCD8PtJjN0k6s8GmDWrYRmA6QPmzfzGd";

std::string encode(const std::string& in, size_t out_size, int* rc) {
    std::vector<char> out(out_size + 1, '#');
    *rc =
        base64_encode(reinterpret_cast<const uint8_t*>(in.data()), in.size(), out.data(), out_size);
    return *rc >= 0 ? std::string(out.data()) : std::string();
}

TEST(Base64, EncodesTheStandardVectorsWithPadding) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"\xff\xfe\xfd", "//79"},
    };
    for (const auto& [in, want] : cases) {
        int rc = 0;
        EXPECT_EQ(encode(in, 100, &rc), want) << in;
        EXPECT_EQ(rc, int(want.size())) << in;
    }
}

TEST(Base64, RefusesAnOutputWithoutRoomForTheTerminator) {
    const std::string key(30, 'k');
    int rc = 0;
    encode(key, 40, &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(encode(key, 41, &rc).size(), 40u);
    EXPECT_EQ(rc, 40);
    encode("", 0, &rc);
    EXPECT_EQ(rc, -1);
    encode("", 1, &rc);
    EXPECT_EQ(rc, 0);
}

TEST(Base64, RefusesAGroupThatDoesNotFitAndWritesNothingPastTheBuffer) {
    char out[8];
    memset(out, '#', sizeof(out));
    const uint8_t in[4] = {1, 2, 3, 4};
    EXPECT_EQ(base64_encode(in, sizeof(in), out, 6), -1);
    EXPECT_EQ(out[6], '#');
    EXPECT_EQ(out[7], '#');
    EXPECT_EQ(base64_encode(nullptr, 3, out, sizeof(out)), -1);
}

TEST(LocalCrypto, IsTheSuiteLineWithFortyBase64CharactersAndChangesEveryOffer) {
    std::set<std::string> lines;
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(make_local_crypto(), 0);
        const std::string line = g_media.local_crypto;
        ASSERT_EQ(line.size(), 73u) << line;
        EXPECT_EQ(line.substr(0, PREFIX.size()), PREFIX);
        const std::string key = line.substr(PREFIX.size());
        EXPECT_EQ(key.find_first_not_of(
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"),
                  std::string::npos)
            << key;
        lines.insert(line);
    }
    EXPECT_EQ(lines.size(), 50u);
}

TEST(SrtpLoader, RefusesAMissingLibrary) {
    int code = 0;
    EXPECT_EQ(load_srtp_library_at("/nonexistent/libquor_srtp_kit.so", &code), -1);
    EXPECT_EQ(code, SRTP_LOAD_NO_LIBRARY);
}

TEST(SrtpLoader, RefusesALibraryWithoutRtcpUnprotectThoughItIsNeverCalled) {
    int code = 0;
    EXPECT_EQ(load_srtp_library_at(QUOR_SRTP_KIT_PARTIAL_PATH, &code), -1);
    EXPECT_EQ(code, SRTP_LOAD_NO_ENTRY);
}

TEST(SrtpLoader, LoadsAndInitialisesTheCompleteLibrary) {
    int code = 0;
    EXPECT_EQ(load_srtp_library_at(QUOR_SRTP_KIT_PATH, &code), 0);
    EXPECT_GE(init_srtp_library(), 0);
    EXPECT_TRUE(srtp_library_ready());
}

TEST(SrtpLoader, StartsWithALibraryWhoseVersionAndBuildMustNotBeCalled) {
    // A process of its own, so that no library loaded before serves instead.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            int code = 0;
            const bool started = load_srtp_library_at(QUOR_SRTP_KIT_TRAPPED_PATH, &code) == 0 &&
                                 init_srtp_library() >= 0 && srtp_library_ready();
            _exit(started ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

class SrtpContext : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(StartProgramSrtp()); }
    void TearDown() override { destroy_srtp_session(); }

    // Protects PLAIN with the call's context, as the send path does.
    std::vector<uint8_t> protect_with_session(const std::vector<uint8_t>& plain) {
        std::vector<uint8_t> buf(plain);
        buf.resize(plain.size() + SRTP_KIT_TRAILER_ROOM);
        int len = int(plain.size());
        std::lock_guard lk(g_media.lock);
        if (srtp_protect_locked(buf.data(), &len) != 0) return {};
        buf.resize(size_t(len));
        return buf;
    }
    std::vector<uint8_t> unprotect_with_session(const std::vector<uint8_t>& wire) {
        std::vector<uint8_t> buf(wire);
        int len = int(wire.size());
        std::lock_guard lk(g_media.lock);
        if (srtp_unprotect_locked(buf.data(), &len) != 0) return {};
        buf.resize(size_t(len));
        return buf;
    }
};

TEST_F(SrtpContext, RoundTripsBetweenContextsKeyedWithSwappedLines) {
    ASSERT_EQ(create_srtp_session(LINE_B.c_str()), 0);
    SrtpPeer phone(LINE_B, g_media.local_crypto, 0x1234);
    ASSERT_TRUE(phone.ok());

    uint8_t header[RTP_HEADER_LEN];
    build_rtp_header(0, g_media.rtp_ssrc, header);
    std::vector<uint8_t> plain(header, header + RTP_HEADER_LEN);
    for (int i = 0; i < int(RTP_PAYLOAD_BYTES); ++i) plain.push_back(uint8_t(i * 7));
    const std::vector<uint8_t> wire = protect_with_session(plain);
    ASSERT_EQ(wire.size(), plain.size() + 10);  // 80-bit tag
    EXPECT_NE(std::vector<uint8_t>(wire.begin() + 12, wire.begin() + 40),
              std::vector<uint8_t>(plain.begin() + 12, plain.begin() + 40));
    EXPECT_EQ(phone.unprotect(wire), plain);
    EXPECT_TRUE(phone.unprotect(wire).empty()) << "a replay must be refused";

    const std::vector<uint8_t> reply = rtp_packet(500, 0x1234, std::vector<uint8_t>(320, 0x5A));
    const std::vector<uint8_t> reply_wire = phone.protect(reply);
    ASSERT_FALSE(reply_wire.empty());
    EXPECT_EQ(unprotect_with_session(reply_wire), reply);
}

TEST_F(SrtpContext, RefusesTamperedPacketsAndTheWrongKey) {
    ASSERT_EQ(create_srtp_session(LINE_B.c_str()), 0);
    SrtpPeer phone(LINE_B, g_media.local_crypto, 77);
    SrtpPeer stranger(LINE_A, g_media.local_crypto, 77);
    ASSERT_TRUE(phone.ok());
    ASSERT_TRUE(stranger.ok());
    const std::vector<uint8_t> plain = rtp_packet(9, 77, std::vector<uint8_t>(320, 1));
    std::vector<uint8_t> wire = phone.protect(plain);
    ASSERT_FALSE(wire.empty());
    wire[100] ^= 0x01;
    EXPECT_TRUE(unprotect_with_session(wire).empty());
    EXPECT_TRUE(unprotect_with_session(stranger.protect(rtp_packet(10, 77, plain))).empty());
    EXPECT_TRUE(unprotect_with_session({0x80, 0x6C, 0x00}).empty());
}

TEST_F(SrtpContext, TwoOffersKeyTwoDifferentStreams) {
    ASSERT_EQ(create_srtp_session(LINE_B.c_str()), 0);
    const std::string first_line = g_media.local_crypto;
    const uint32_t first_ssrc = g_media.rtp_ssrc;
    uint8_t header[RTP_HEADER_LEN];
    build_rtp_header(0, first_ssrc, header);
    const std::vector<uint8_t> plain(header, header + RTP_HEADER_LEN);
    const std::vector<uint8_t> first = protect_with_session(plain);

    ASSERT_EQ(make_local_crypto(), 0);
    EXPECT_NE(first_line, g_media.local_crypto);
    ASSERT_EQ(create_srtp_session(LINE_B.c_str()), 0);
    EXPECT_EQ(g_media.rtp_packet_count, 0u);
    SrtpPeer old_key(LINE_B, first_line, 5);
    ASSERT_TRUE(old_key.ok());
    build_rtp_header(0, g_media.rtp_ssrc, header);
    EXPECT_TRUE(
        old_key
            .unprotect(protect_with_session(std::vector<uint8_t>(header, header + RTP_HEADER_LEN)))
            .empty());
    EXPECT_EQ(old_key.unprotect(first), plain);
}

TEST_F(SrtpContext, KeepsAtMost127CharactersOfThePhonesLine) {
    const std::string longer = LINE_B + std::string(200, ' ');
    create_srtp_session(longer.c_str());
    EXPECT_EQ(std::string(g_media.remote_crypto), longer.substr(0, 127));
    ASSERT_EQ(create_srtp_session(LINE_B.c_str()), 0);
    EXPECT_EQ(std::string(g_media.remote_crypto), LINE_B);
}

TEST_F(SrtpContext, RefusesLinesThatDoNotCarryAUsableKey) {
    const std::string refused[] = {
        "",
        PREFIX + "WVNfX19zZW1jdGwgKCkgewkyMjA7fQp9CnVubGV",    // 39 characters
        PREFIX + "WVNfX19zZW1jdGwgKCkgewkyMjA7fQp9CnVubGVzz",  // 41 characters
        PREFIX + "WVNfX19zZW1jdGwgKCkgewkyMjA7fQp9CnVubG!z",   // not base64
        "1 AES_CM_128_HMAC_SHA1_32 inline:WVNfX19zZW1jdGwgKCkgewkyMjA7fQp9CnVubGVz",
        "1 AES_CM_128_HMAC_SHA1_80 WVNfX19zZW1jdGwgKCkgewkyMjA7fQp9CnVubGVz",
        LINE_A + "|2^20|1:4",  // master key index
        LINE_A + " KDR=1",     // session parameter
    };
    for (const std::string& line : refused) {
        EXPECT_EQ(create_srtp_session(line.c_str()), -1) << line;
        SrtpPeer peer(g_media.local_crypto, line, 1);
        EXPECT_NE(peer.create_result(), 0) << line;
    }
    for (const std::string& line : {LINE_A + "|2^31", LINE_A + "|1048576\r\n", LINE_A}) {
        EXPECT_EQ(create_srtp_session(line.c_str()), 0) << line;
    }
}

TEST_F(SrtpContext, TheEndOfTheCallWipesBothKeyLines) {
    ASSERT_EQ(create_srtp_session(LINE_B.c_str()), 0);
    ASSERT_EQ(std::string(g_media.remote_crypto), LINE_B);
    ASSERT_EQ(strlen(g_media.local_crypto), PREFIX.size() + 40);
    destroy_srtp_session();
    EXPECT_EQ(std::vector<char>(g_media.local_crypto, g_media.local_crypto + CRYPTO_LINE_SIZE),
              std::vector<char>(CRYPTO_LINE_SIZE, 0));
    EXPECT_EQ(std::vector<char>(g_media.remote_crypto, g_media.remote_crypto + CRYPTO_LINE_SIZE),
              std::vector<char>(CRYPTO_LINE_SIZE, 0));
}

TEST_F(SrtpContext, NothingIsProtectedOnceTheContextIsDestroyed) {
    ASSERT_EQ(create_srtp_session(LINE_B.c_str()), 0);
    destroy_srtp_session();
    destroy_srtp_session();
    EXPECT_EQ(g_media.srtp_session, nullptr);
    EXPECT_TRUE(protect_with_session(rtp_packet(1, g_media.rtp_ssrc, {})).empty());
}

}  // namespace
}  // namespace quor::test
