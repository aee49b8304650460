#include "srtp_kit/crypto_line.h"

#include <cstring>
#include <string_view>

namespace srtp_kit {

namespace {
constexpr std::string_view SUITE = "AES_CM_128_HMAC_SHA1_80";
constexpr std::string_view INLINE = "inline:";
constexpr size_t KEY_TEXT_LEN = 40;

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

size_t skip_digits(std::string_view s, size_t at) {
    while (at < s.size() && is_digit(s[at])) ++at;
    return at;
}

// 40 characters without padding hold exactly 30 bytes.
bool decode_key(std::string_view text, uint8_t key[KEY_AND_SALT_LEN]) {
    if (text.size() != KEY_TEXT_LEN) return false;
    size_t out = 0;
    for (size_t i = 0; i < KEY_TEXT_LEN; i += 4) {
        uint32_t group = 0;
        for (size_t j = 0; j < 4; ++j) {
            const int v = base64_value(text[i + j]);
            if (v < 0) return false;
            group = (group << 6) | uint32_t(v);
        }
        key[out++] = uint8_t(group >> 16);
        key[out++] = uint8_t(group >> 8);
        key[out++] = uint8_t(group);
    }
    return true;
}

// "|2^31" or "|1048576"; AT points at the '|'. The position after it, or 0.
size_t skip_lifetime(std::string_view s, size_t at) {
    size_t p = at + 1;
    if (s.substr(p, 2) == "2^") p += 2;
    const size_t end = skip_digits(s, p);
    if (end == p) return 0;
    return end;
}
}  // namespace

int parse_crypto_line(const char* text, size_t len, uint8_t key[KEY_AND_SALT_LEN]) {
    if (text == nullptr) return -1;
    const std::string_view s(text, strnlen(text, len));
    size_t p = skip_digits(s, 0);
    if (p == 0 || p > 10 || p >= s.size() || s[p] != ' ') return -1;
    ++p;
    if (s.substr(p, SUITE.size()) != SUITE) return -1;
    p += SUITE.size();
    if (p >= s.size() || s[p] != ' ') return -1;
    ++p;
    if (s.substr(p, INLINE.size()) != INLINE) return -1;
    p += INLINE.size();
    size_t end = p;
    while (end < s.size() && s[end] != '|' && !is_space(s[end])) ++end;
    if (!decode_key(s.substr(p, end - p), key)) return -1;
    if (end < s.size() && s[end] == '|') {
        end = skip_lifetime(s, end);
        if (end == 0) return -1;
    }
    for (; end < s.size(); ++end) {
        if (!is_space(s[end])) return -1;
    }
    return 0;
}

}  // namespace srtp_kit
