// Feeds the phone's crypto line, as PHONE_MEDIA_OFFER carries it after the
// port, to the SDES line reader of the SRTP library and to the creation of
// the call's SRTP context. Checks that the reader accepts only lines of our
// suite whose 40 key characters are the base64 of the key it returns, that
// the program creates a context exactly for the lines the reader accepts,
// and that such a context takes the audio a phone keyed with that line
// protects.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/base64.h"
#include "srtp_kit/crypto_line.h"
#include "srtp_phone.h"

using namespace quor;
using namespace quor::fuzz;

namespace {

constexpr std::string_view SUITE_AND_INLINE = " AES_CM_128_HMAC_SHA1_80 inline:";
constexpr size_t KEY_TEXT_LEN = 40;

// An accepted line: a tag of 1 to 10 digits, the suite, the key, and only a
// lifetime and blanks after it.
void check_accepted(std::string_view line, const uint8_t key[srtp_kit::KEY_AND_SALT_LEN]) {
    const size_t tag = line.find_first_not_of("0123456789");
    if (tag == 0 || tag > 10 || line.substr(tag, SUITE_AND_INLINE.size()) != SUITE_AND_INLINE)
        abort();
    const size_t key_at = tag + SUITE_AND_INLINE.size();
    char text[KEY_TEXT_LEN + 1];
    if (base64_encode(key, srtp_kit::KEY_AND_SALT_LEN, text, sizeof(text)) != int(KEY_TEXT_LEN) ||
        line.substr(key_at, KEY_TEXT_LEN) != text)
        abort();
    const std::string_view rest = line.substr(key_at + KEY_TEXT_LEN);
    if (rest.find_first_not_of("|^0123456789 \t\r\n") != std::string_view::npos) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    uint8_t key[srtp_kit::KEY_AND_SALT_LEN];
    if (srtp_kit::parse_crypto_line(text, size, key) == 0)
        check_accepted(std::string_view(text, strnlen(text, size)), key);

    // The line as the session hands it over: up to its NUL, at most 127
    // characters.
    const std::string line(text, strnlen(text, std::min(size, CRYPTO_LINE_SIZE - 1)));
    const bool valid = srtp_kit::parse_crypto_line(line.c_str(), line.size(), key) == 0;
    if ((create_srtp_session(line.c_str()) == 0) != valid) abort();
    if (!valid) return 0;
    rtp_discard_waiting();
    PhoneEnd phone(line.c_str(), g_media.local_crypto);
    std::vector<uint8_t> packet(RTP_PACKET_LEN, 0);
    packet[0] = 0x80;
    packet[1] = RTP_PAYLOAD_TYPE;
    if (!deliver(phone.protect(packet), Ipv4Endpoint{0x7F000001, 30000})) abort();
    return 0;
}
